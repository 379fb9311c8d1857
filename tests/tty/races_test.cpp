// The library with a thread held at a chosen point of a call (hold.h): a close that races a
// call, cancellation, fork while other threads are inside calls, a hang-up in the middle of
// a read, and a write waiting on a server that stopped reading. Assertions are on results,
// bytes and how many times a thread polled, never on how long anything took.
#include "com_ports.h"
#include "hold.h"
#include "serial_servers.h"

#include "tty.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <termios.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

using namespace testing_tty;
using namespace std::chrono_literals;

namespace {

class Races : public ComPortTest {
protected:
    void TearDown() override {
        stop_watching();
        ComPortTest::TearDown();
    }
};

// Fills a stretch of the calling thread's stack (where the frames of the call it has just
// returned from were), waits for `until`, and tells whether the stretch kept its bytes.
__attribute__((noinline)) bool stack_kept(const std::atomic<bool> &until) {
    volatile unsigned char area[16384];
    // From the top down: the frames just left were there, and a late write must land after.
    for (size_t i = sizeof area; i-- > 0;) area[i] = 0x5A;
    while (!until) std::this_thread::yield();
    for (auto &b : area)
        if (b != 0x5A) return false;
    return true;
}

// Waits for a child for at most 10 s ("did not hang"); its exit status, or -1 when it hung
// (it is then killed).
int child_status(pid_t child) {
    for (int i = 0; i < 1000; ++i) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        usleep(10000);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return -1;
}

} // namespace

// IOP_Getc finds nothing and ends its read; IOP_Close from another thread takes the handle
// away meanwhile (the reader is held inside its look at the queue). The close must not end
// that read after IOP_Getc has returned, writing into a stack frame that is gone.
TEST_F(Races, CloseDuringGetcWritesNothingAfterItReturns) {
    attach(3);
    ASSERT_EQ(IOP_Open(3, k9600_8N1), 0);
    std::atomic<bool> closed{false};
    int32_t getc = 0;
    bool kept = false;
    std::thread reader([&] {
        watch_polls(Polls::Checks, true);
        char c = 'x';
        getc = IOP_Getc(3, &c);
        kept = stack_kept(closed);
    });
    ASSERT_TRUE(wait_for_polls(1));
    int32_t close = 0;
    std::thread closer([&] {
        close = IOP_Close(3);
        closed = true;
    });
    std::this_thread::sleep_for(100ms); // the close is now waiting for the reader's call
    release_polls();
    closer.join();
    reader.join();
    EXPECT_EQ(getc, -1);
    EXPECT_EQ(close, 0);
    EXPECT_TRUE(kept) << "the close wrote into the reader's stack after IOP_Getc returned";
}

// A reader thread stopped by pthread_cancel while IOP_Read waits: the call is no cancellation
// point, so the read ends with its bytes and the thread at its next cancellation point.
TEST_F(Races, CancellingAReaderEndsItAfterItsReadNotTheProcess) {
    Pty &pty = attach(3);
    ASSERT_EQ(IOP_Open(3, k9600_8N1), 0);
    struct Reader {
        std::atomic<uint32_t> got{0};
        char buf[256] = {};
    } r;
    pthread_t thread;
    auto body = [](void *arg) -> void * {
        auto &r = *static_cast<Reader *>(arg);
        watch_polls(Polls::Waits, false);
        r.got = IOP_Read(3, r.buf, 2);
        pthread_testcancel();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, nullptr, body, &r), 0);
    ASSERT_TRUE(wait_for_polls(1));
    ASSERT_EQ(pthread_cancel(thread), 0);
    write_all(pty.master, "ok");
    void *result = nullptr;
    ASSERT_EQ(pthread_join(thread, &result), 0);
    EXPECT_EQ(result, PTHREAD_CANCELED);
    EXPECT_EQ(r.got, 2u);
    EXPECT_EQ(std::string(r.buf, 2), "ok");
}

// A reader that loops on IOP_Read and makes no other call: a cancellation is acted upon as it
// enters its next read, which takes nothing, so the port's next bytes are there for the next
// reader.
TEST_F(Races, CancellingAReaderThatOnlyLoopsOnReadEndsItAtItsNextRead) {
    Pty &pty = attach(3);
    ASSERT_EQ(IOP_Open(3, k9600_8N1), 0);
    std::atomic<int> reads{0};
    pthread_t thread;
    auto body = [](void *arg) -> void * {
        auto &reads = *static_cast<std::atomic<int> *>(arg);
        char buf[256];
        for (;;) {
            IOP_Read(3, buf, sizeof buf);
            ++reads;
        }
    };
    ASSERT_EQ(pthread_create(&thread, nullptr, body, &reads), 0);
    while (reads == 0) std::this_thread::yield(); // one whole read, so the loop is going
    ASSERT_EQ(pthread_cancel(thread), 0);
    // Within the read time-out (1 s) and a wide margin; a reader that is never acted upon
    // would be left behind, and the process ends with the test.
    timespec limit{};
    clock_gettime(CLOCK_REALTIME, &limit);
    limit.tv_sec += 10;
    void *result = nullptr;
    ASSERT_EQ(pthread_timedjoin_np(thread, &result, &limit), 0) << "the reader was never cancelled";
    EXPECT_EQ(result, PTHREAD_CANCELED);

    write_all(pty.master, "next");
    ASSERT_TRUE(wait_for_input(3, 4));
    char buf[256];
    ASSERT_EQ(IOP_Read(3, buf, 4), 4u);
    EXPECT_EQ(std::string(buf, 4), "next");
    EXPECT_EQ(IOP_Close(3), 0);
}

// The opening thread held inside IOP_Open, at the flush that empties the new port's queues
// (the test executable's own tcflush, exported for the library to find): the port's handle is
// in its slot, its time-outs are not yet set.
namespace {
std::atomic<pid_t> flushHolder{0};
std::atomic<bool> flushReached{false};
std::atomic<bool> flushGo{false};
} // namespace

extern "C" __attribute__((visibility("default"))) int tcflush(int fd, int queue) {
    static const auto real = reinterpret_cast<int (*)(int, int)>(dlsym(RTLD_NEXT, "tcflush"));
    if (flushHolder != 0 && pid_t(syscall(SYS_gettid)) == flushHolder) {
        flushReached = true;
        while (!flushGo) usleep(1000);
    }
    return real(fd, queue);
}

// A read that another thread starts while IOP_Open is still setting the port up fails at once
// instead of waiting, with no time-out, for its whole count; once the open is done, reads wait
// their usual time-out.
TEST_F(Races, AReadStartedWhileTheOpenSetsThePortUpDoesNotWaitWithoutATimeOut) {
    attach(3);
    flushGo = false;
    flushReached = false;
    std::atomic<int32_t> opened{1};
    std::thread opener([&] {
        flushHolder = pid_t(syscall(SYS_gettid));
        opened = IOP_Open(3, k9600_8N1);
        flushHolder = 0;
    });
    for (int i = 0; i < 5000 && !flushReached; ++i) usleep(1000);
    ASSERT_TRUE(flushReached) << "the open never flushed the port";

    std::atomic<bool> readDone{false};
    std::atomic<uint32_t> got{0};
    std::thread reader([&] {
        char buf[256];
        got = IOP_Read(3, buf, 10);
        readDone = true;
    });
    for (int i = 0; i < 5000 && !readDone; ++i) usleep(1000);
    const bool endedDuringOpen = readDone;
    flushGo = true;
    opener.join();
    if (!endedDuringOpen) IOP_Close(3); // lets a read that waits for ever go
    reader.join();
    EXPECT_TRUE(endedDuringOpen) << "the read waited for the open to finish";
    EXPECT_EQ(got, kFailed);
    ASSERT_EQ(opened, 0);

    char buf[256];
    EXPECT_EQ(IOP_Read(3, buf, 10), 0u); // nothing arrives: the read time-out ends it
    EXPECT_EQ(IOP_Close(3), 0);
}

// A child forked while a parent thread waits in IOP_Read of the port reads the port itself.
TEST_F(Races, AChildReadsAPortAParentThreadWasReadingAtTheFork) {
    Pty &pty = attach(3);
    ASSERT_EQ(IOP_Open(3, k9600_8N1), 0);
    uint32_t parentGot = 0;
    std::thread reader([&] {
        watch_polls(Polls::Waits, true); // held with its read pending, so it takes no byte
        char buf[256];
        parentGot = IOP_Read(3, buf, 10);
    });
    ASSERT_TRUE(wait_for_polls(1));
    const pid_t child = fork();
    if (child == 0) {
        write_all(pty.master, "xy");
        char buf[256];
        const uint32_t n = IOP_Read(3, buf, 2);
        const bool ok = n == 2 && std::string(buf, 2) == "xy" && IOP_Write(3, "z", 1) == 1;
        _exit(ok ? 0 : 1);
    }
    const int status = child_status(child);
    release_polls();
    reader.join();
    EXPECT_EQ(status, 0);
    EXPECT_NE(parentGot, kFailed);
    EXPECT_EQ(read_some(pty.master, 1), "z");
}

// A read that has received some bytes when the device hangs up ends with them; the hang-up
// is reported by the next call.
TEST_F(Races, AHangUpDuringAReadKeepsTheBytesItHadReceived) {
    Pty &pty = attach(3);
    ASSERT_EQ(IOP_Open(3, k9600_8N1), 0);
    char buf[256];
    uint32_t got = 0;
    std::thread reader([&] {
        watch_polls(Polls::Waits, false);
        got = IOP_Read(3, buf, 10);
    });
    ASSERT_TRUE(wait_for_polls(1));
    write_all(pty.master, "abc");
    ASSERT_TRUE(wait_for_polls(2)); // it has taken them and waits for more
    hang_up(pty);
    reader.join();
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(std::string(buf, 3), "abc");
    EXPECT_EQ(IOP_Read(3, buf, 10), kFailed);
}

// A child forked while a parent thread waits for a remote server's answers to a settings
// change can change the port's settings itself: nothing the parent thread held blocks it.
TEST_F(Races, AChildChangesRemoteSettingsWhileAParentThreadWaitsForAnswers) {
    ScriptedServer server(ScriptedServer::Mode::NoAnswers);
    map_entry(5, server.url());
    ASSERT_EQ(IOP_Open(5, k9600_8N1), -1); // held, but the server answers no setting
    std::thread changer([] {
        watch_polls(Polls::Waits, true);
        IOP_Ioctrl(5, k9600_8N1);
    });
    ASSERT_TRUE(wait_for_polls(1));
    const pid_t child = fork();
    if (child == 0) _exit(IOP_Ioctrl(5, k9600_8N1) == -1 ? 0 : 1); // no answer: -1, in time
    const int status = child_status(child);
    release_polls();
    changer.join();
    EXPECT_EQ(status, 0) << "-1: the child hung";
}

// A write waiting for room on a server that has stopped reading, with bytes from the server
// not yet read: the write waits in poll() for room only, instead of waking for that input
// over and over.
TEST_F(Races, AWriteWaitingOnAServerThatStoppedReadingDoesNotSpin) {
    if (!Ser2net::installed()) GTEST_SKIP() << "ser2net is not installed";
    Ser2net ser2net;
    map_entry(5, ser2net.url());
    ASSERT_EQ(IOP_Open(5, k9600_8N1), 0);
    write_all(ser2net.master(), "hello!"); // and the device never reads again
    const std::string chunk(256, 'w');
    watch_polls(Polls::Waits, false);
    int polls = -1;
    for (size_t sent = 0; sent < (256u << 20);) {
        const int before = polls_seen();
        const uint32_t n = IOP_Write(5, chunk.data(), int32_t(chunk.size()));
        ASSERT_NE(n, kFailed);
        sent += n;
        if (n < chunk.size()) { // this one waited until its time-out
            polls = polls_seen() - before;
            break;
        }
    }
    ASSERT_GE(polls, 0) << "the server never stopped taking bytes";
    EXPECT_LT(polls, 100);
}
