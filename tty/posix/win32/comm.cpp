// The layer's handles: the handle table, opening and closing comm devices, events, the
// per-thread last error, the waits of a call, fork handling, and the line settings calls.
#include "comm.h"
#include "posix/pure/dcb.h"
#include "posix/last_error.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <utility>

namespace tty::posix::win32 {
namespace {

using devices::Claims;
using devices::DeviceId;

// Trivially destructible: a thread_local with a destructor would keep the library loaded
// after dlclose for as long as the thread runs.
thread_local DWORD lastError = ERROR_SUCCESS;

struct Table {
    Mutex mutex;
    std::unordered_map<uintptr_t, std::shared_ptr<Object>> objects;
    // Devices held by handles of this process, and by opens under way.
    std::vector<DeviceId> claimed;
    // Handle values come from this counter and are never given out twice, so a stale value
    // can never reach a newer object.
    uintptr_t last = 0;
};

Table &table();

template <class F> void each_comm(Table &t, F f)
{
    for (auto &entry : t.objects)
        if (entry.second->kind == Object::Kind::Comm)
            f(static_cast<Comm &>(*entry.second));
}

// A child made by fork() must not inherit a mutex that another thread of its parent held at
// that moment: every one is taken around the fork.
void before_fork()
{
    Table &t = table();
    t.mutex.lock();
    each_comm(t, [](Comm &c) { c.mutex.lock(); });
}

void after_fork()
{
    Table &t = table();
    each_comm(t, [](Comm &c) { c.mutex.unlock(); });
    t.mutex.unlock();
}

// Only the forking thread lives on in the child, and it was in no call of this layer: the
// records, waits and settings changes of the parent's other threads are dropped, so that
// the child's copy of a port works as in a single-threaded parent.
void after_fork_in_child()
{
    Table &t = table();
    const pthread_t self = pthread_self();
    each_comm(t, [self](Comm &c) {
        std::erase_if(c.pending, [self](const Pending &p) { return !pthread_equal(p.thread, self); });
        c.waiters = nullptr;
        c.changing = false;
    });
    after_fork();
}

Table &table()
{
    // Never destroyed: handles may be used until the very end, also by threads still running
    // while the process exits. Built in static storage, as an allocation that failed here
    // would throw out of a call that must not.
    alignas(Table) static unsigned char storage[sizeof(Table)];
    static Table *t = [] {
        Table *made = new (storage) Table;
        pthread_atfork(before_fork, after_fork, after_fork_in_child);
        return made;
    }();
    return *t;
}

// Caller holds the table's mutex. Takes the object only when it succeeds.
HANDLE insert(Table &t, std::shared_ptr<Object> &object)
{
    if (t.last >= UINTPTR_MAX - 1) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    try {
        t.objects.try_emplace(t.last + 1).first->second = std::move(object);
    } catch (const std::bad_alloc &) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    return reinterpret_cast<HANDLE>(++t.last);
}

bool same(const DeviceId &a, const DeviceId &b)
{
    return a.dev == b.dev && a.ino == b.ino;
}

// Caller holds the table's mutex.
void unclaim(Table &t, const DeviceId &id)
{
    auto it = std::find_if(t.claimed.begin(), t.claimed.end(),
                           [&](const DeviceId &c) { return same(c, id); });
    if (it != t.claimed.end())
        t.claimed.erase(it);
}

// The table holds no memory while nothing is open or being opened, so that a library
// unloaded with nothing open leaves nothing allocated behind. Caller holds its mutex.
void let_go_if_empty(Table &t)
{
    if (!t.objects.empty() || !t.claimed.empty())
        return;
    decltype(t.objects)().swap(t.objects);
    decltype(t.claimed)().swap(t.claimed);
}

// The claim of one CreateFileA, given up unless the handle is made.
class Opening final : public Claims {
public:
    bool claim(const DeviceId &id) override
    {
        Table &t = table();
        std::lock_guard lock(t.mutex);
        if (std::any_of(t.claimed.begin(), t.claimed.end(), [&](const DeviceId &c) { return same(c, id); }))
            return false;
        try {
            t.claimed.push_back(id);
        } catch (const std::bad_alloc &) {
            return false;
        }
        id_ = id;
        claimed_ = true;
        return true;
    }
    // Caller holds the table's mutex.
    void give_up(Table &t)
    {
        if (claimed_)
            unclaim(t, id_);
        claimed_ = false;
    }
    bool claimed() const { return claimed_; }
    const DeviceId &id() const { return id_; }

private:
    DeviceId id_;
    bool claimed_ = false;
};

} // namespace

CommRef use_comm(HANDLE h)
{
    Table &t = table();
    std::unique_lock tableLock(t.mutex);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
    if (it == t.objects.end() || it->second->kind != Object::Kind::Comm) {
        tableLock.unlock();
        SetLastError(ERROR_INVALID_HANDLE);
        return {};
    }
    Comm *c = static_cast<Comm *>(it->second.get());
    std::shared_ptr<Comm> kept;
    std::unique_lock lock(c->mutex, std::try_to_lock);
    if (lock.owns_lock()) {
        tableLock.unlock();
    } else {
        kept = std::static_pointer_cast<Comm>(it->second);
        tableLock.unlock();
        lock.lock();
    }
    if (c->closed) {
        lock.unlock();
        SetLastError(ERROR_INVALID_HANDLE);
        return {};
    }
    return CommRef(c, std::move(lock), std::move(kept));
}

int wait_unlocked(CommRef &c, uint64_t id, struct pollfd device, int64_t deadline, DWORD &err)
{
    // Without a wake-up descriptor, wait in slices short enough to notice a cancellation.
    constexpr int64_t kSliceMs = 20;
    // Made for this wait alone: a descriptor kept per thread would need a thread_local with a
    // destructor, which pins the library in memory.
    Waiter self {id, eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), c->waiters};
    c->waiters = &self;
    c.unlock();

    int64_t timeout = deadline < 0 ? -1 : std::clamp<int64_t>(deadline - now_ms(), 0, INT_MAX);
    if (self.fd < 0)
        timeout = timeout < 0 ? kSliceMs : std::min(timeout, kSliceMs);
    struct pollfd p[2] = {device, {self.fd, POLLIN, 0}};
    p[0].revents = 0;
    const int n = poll(p, self.fd < 0 ? 1 : 2, int(timeout));
    const int pollErr = errno;

    c.lock();
    for (Waiter **w = &c->waiters; *w; w = &(*w)->next) {
        if (*w == &self) {
            *w = self.next;
            break;
        }
    }
    // Unlinked first: a thread that wakes this one writes to the descriptor under the mutex.
    if (self.fd >= 0)
        close(self.fd);
    if (n < 0 && pollErr != EINTR) {
        err = ERROR_GEN_FAILURE;
        return -1;
    }
    return n > 0 ? p[0].revents : 0;
}

void wake(Comm &c, uint64_t id)
{
    const uint64_t one = 1;
    for (Waiter *w = c.waiters; w; w = w->next) {
        // A full counter (it cannot be, short of 2^64 wakes) would still wake its thread.
        if ((id == 0 || w->id == id) && w->fd >= 0 && write(w->fd, &one, sizeof one) < 0)
            continue;
    }
}

bool serve(Comm &c, short revents)
{
    const bool live = c.device->service(revents);
    if (c.changing)
        wake(c, kChangeWaiter);
    return live;
}

BOOL fail(DWORD err)
{
    SetLastError(err);
    return FALSE;
}

void set_gone(Comm &c)
{
    if (c.device->held().unread == 0)
        c.gone = true;
}

BOOL fail_gone(Comm &c)
{
    set_gone(c);
    return fail(ERROR_DEVICE_NOT_CONNECTED);
}

BOOL fail_device(Comm &c, DWORD err)
{
    return err == ERROR_DEVICE_NOT_CONNECTED ? fail_gone(c) : fail(err);
}

} // namespace tty::posix::win32

using namespace tty::posix;
using namespace tty::posix::pure;
using namespace tty::posix::win32;

DWORD GetLastError(void)
{
    return lastError;
}

// errno follows, so that a C caller of the library learns why a call failed as a Windows
// caller does from GetLastError.
void SetLastError(DWORD err)
{
    lastError = err;
    if (err != ERROR_SUCCESS)
        errno = errno_from_last_error(err);
}

BOOL DisableThreadLibraryCalls(HMODULE)
{
    return TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR name)
{
    if (name != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED); // no named objects here
        return nullptr;
    }
    std::shared_ptr<Object> event;
    try {
        event = std::make_shared<Event>();
    } catch (const std::bad_alloc &) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    Table &t = table();
    std::lock_guard lock(t.mutex);
    HANDLE h = insert(t, event);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

HANDLE CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    uint32_t n = 0;
    if (!parse_com_name(name, n)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    Opening opening;
    std::unique_ptr<Device> device;
    DWORD err = ERROR_NOT_ENOUGH_MEMORY;
    try {
        const std::string path = com_device_path(n);
        err = ERROR_FILE_NOT_FOUND;
        // Opened without the table's mutex: a connection to a server may take seconds.
        if (!path.empty())
            device = tty::posix::devices::open_device(path, opening, err);
    } catch (const std::bad_alloc &) {
        err = ERROR_NOT_ENOUGH_MEMORY;
    }
    std::shared_ptr<Comm> c;
    if (device) {
        try {
            c = std::make_shared<Comm>(std::move(device));
        } catch (const std::bad_alloc &) {
            device->release(); // the move happens only once the object is made
            err = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    Table &t = table();
    if (!c) {
        std::lock_guard lock(t.mutex);
        opening.give_up(t);
        SetLastError(err);
        return INVALID_HANDLE_VALUE;
    }
    c->owner = getpid();
    c->id = opening.id();
    HANDLE h = INVALID_HANDLE_VALUE;
    {
        std::lock_guard lock(t.mutex);
        std::shared_ptr<Object> object = c;
        h = insert(t, object);
        if (h == INVALID_HANDLE_VALUE)
            opening.give_up(t);
    }
    if (h == INVALID_HANDLE_VALUE)
        c->device->release();
    return h;
}

BOOL CloseHandle(HANDLE h)
{
    std::shared_ptr<Object> object;
    {
        Table &t = table();
        std::lock_guard lock(t.mutex);
        auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
        if (it == t.objects.end())
            return fail(ERROR_INVALID_HANDLE);
        object = std::move(it->second);
        t.objects.erase(it);
        if (object->kind != Object::Kind::Comm) {
            let_go_if_empty(t);
            return TRUE;
        }
        Comm &c = static_cast<Comm &>(*object);
        // Under the table's mutex too: a thread whose look-up of the handle fails from now
        // on finds its records ended, and nothing writes to them after it has returned.
        c.closing.store(true, std::memory_order_release);
        std::lock_guard commLock(c.mutex);
        c.closing.store(false, std::memory_order_relaxed);
        c.closed = true;
        // Windows ends a handle's pending operations when it is closed; their threads wake
        // and return at once, as do those waiting for a settings change.
        end_pending(c, kStatusCancelled, [](const Pending &) { return true; });
        wake(c, 0);
        unclaim(t, c.id);
        let_go_if_empty(t);
    }
    // Outside the mutexes: the drain may take a while, and the threads just woken need the
    // mutex to see that their operations have ended.
    Comm &c = static_cast<Comm &>(*object);
    if (c.owner == getpid())
        c.device->release();
    // A process that did not open the device (a child made by fork) leaves it alone: the
    // settings, the exclusive mode and the lock belong to the process that opened it.
    return TRUE;
}

BOOL SetupComm(HANDLE h, DWORD, DWORD)
{
    // The device owns its queues and their sizes.
    return use_comm(h) ? TRUE : FALSE;
}

BOOL SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts)
{
    CommRef c = use_comm(h);
    if (!c)
        return FALSE;
    if (!timeouts)
        return fail(ERROR_INVALID_PARAMETER);
    c->timeouts = *timeouts;
    return TRUE;
}

BOOL SetCommMask(HANDLE h, DWORD mask)
{
    CommRef c = use_comm(h);
    if (!c)
        return FALSE;
    c->mask = mask;
    if (c->gone)
        return fail_gone(*c);
    serve(*c, 0);
    uint64_t total = 0;
    if (!c->device->arrived(total))
        return fail_gone(*c);
    c->arrivedAtLastWait = total;
    return TRUE;
}

BOOL PurgeComm(HANDLE h, DWORD flags)
{
    CommRef c = use_comm(h);
    if (!c)
        return FALSE;
    if (flags & ~DWORD(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
        return fail(ERROR_INVALID_PARAMETER);
    if (flags & PURGE_TXABORT)
        end_pending(*c, kStatusCancelled, [](const Pending &p) { return p.op == Pending::Op::Write; });
    if (flags & PURGE_RXABORT)
        end_pending(*c, kStatusCancelled, [](const Pending &p) { return p.op == Pending::Op::Read; });
    if (!(flags & (PURGE_TXCLEAR | PURGE_RXCLEAR)))
        return TRUE;
    if (c->gone)
        return fail_gone(*c);
    serve(*c, 0); // what waits in a socket is purged too
    DWORD err = 0;
    if (!c->device->purge(flags & PURGE_RXCLEAR, flags & PURGE_TXCLEAR, err))
        return fail_device(*c, err);
    return TRUE;
}

BOOL GetCommState(HANDLE h, LPDCB dcb)
{
    CommRef c = use_comm(h);
    if (!c)
        return FALSE;
    if (!dcb)
        return fail(ERROR_INVALID_PARAMETER);
    if (c->gone)
        return fail_gone(*c);
    serve(*c, 0); // a server's late answers are part of what it reports
    DCB current;
    DWORD err = 0;
    if (!c->device->get_state(current, err))
        return fail_device(*c, err);
    current.DCBlength = dcb->DCBlength; // echoed as given
    *dcb = current;
    return TRUE;
}

BOOL SetCommState(HANDLE h, LPDCB dcb)
{
    CommRef c = use_comm(h);
    if (!c)
        return FALSE;
    if (!dcb || !dcb_valid(*dcb))
        return fail(ERROR_INVALID_PARAMETER);
    // One change at a time, from its request until its answers are in, so that no change
    // takes another's answers (a server's) for its own. The flag lives under the object's
    // mutex, so a fork never leaves it held for the child.
    while (c->changing) {
        DWORD err = 0;
        if (wait_unlocked(c, 0, {-1, 0, 0}, -1, err) < 0)
            return fail(err);
        if (c->closed)
            return fail(ERROR_INVALID_HANDLE);
    }
    if (c->gone)
        return fail_gone(*c);
    c->changing = true;
    DWORD err = 0;
    int64_t until = -1;
    bool took = c->device->set_state(*dcb, false, until, err);
    // A device waiting for answers is served by whichever thread's call takes them in, which
    // wakes this one (serve); its own poll wakes it when nothing else is calling.
    while (!took && err == ERROR_IO_PENDING) {
        DWORD pollErr = 0;
        const int revents = wait_unlocked(c, kChangeWaiter, c->device->poll_for(Device::Want::Nothing), until, pollErr);
        if (c->closed)
            break;
        if (revents > 0)
            serve(*c, short(revents));
        took = c->device->set_state(*dcb, true, until, err);
    }
    c->changing = false;
    wake(*c, 0); // another change may be waiting
    if (c->closed)
        return fail(ERROR_INVALID_HANDLE); // CloseHandle came while it waited
    return took ? TRUE : fail_device(*c, err);
}
