// The test executable's own poll(): counts and holds the watched thread's polls (hold.h),
// then polls for real.
#include "hold.h"

#include <dlfcn.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace testing_tty {
namespace {

struct Watch {
    std::mutex mutex;
    std::condition_variable changed;
    pid_t thread = 0;
    Polls which = Polls::Waits;
    bool hold = false;
    int seen = 0;
};

Watch &watch()
{
    static Watch &w = *new Watch; // never destroyed: threads may still poll during exit
    return w;
}

pid_t this_thread()
{
    return pid_t(syscall(SYS_gettid));
}

} // namespace

void watch_polls(Polls which, bool hold)
{
    Watch &w = watch();
    std::lock_guard lock(w.mutex);
    w.thread = this_thread();
    w.which = which;
    w.hold = hold;
    w.seen = 0;
}

bool wait_for_polls(int n)
{
    Watch &w = watch();
    std::unique_lock lock(w.mutex);
    return w.changed.wait_for(lock, std::chrono::seconds(5), [&] { return w.seen >= n; });
}

int polls_seen()
{
    Watch &w = watch();
    std::lock_guard lock(w.mutex);
    return w.seen;
}

void release_polls()
{
    Watch &w = watch();
    std::lock_guard lock(w.mutex);
    w.hold = false;
    w.changed.notify_all();
}

void stop_watching()
{
    release_polls();
    Watch &w = watch();
    std::lock_guard lock(w.mutex);
    w.thread = 0;
    w.seen = 0;
}

} // namespace testing_tty

using namespace testing_tty;

extern "C" __attribute__((visibility("default"))) int poll(struct pollfd *fds, nfds_t n, int timeout)
{
    static const auto real = reinterpret_cast<int (*)(struct pollfd *, nfds_t, int)>(dlsym(RTLD_NEXT, "poll"));
    Watch &w = watch();
    {
        std::unique_lock lock(w.mutex);
        if (w.thread == this_thread() && (timeout == 0) == (w.which == Polls::Checks)) {
            ++w.seen;
            w.changed.notify_all();
            w.changed.wait(lock, [&] { return !w.hold; });
        }
    }
    return real(fds, n, timeout);
}
