// Objects behind the layer's handles (comm devices and events), the handle table, and the
// helpers that comm.cpp (handles, settings) and transfer.cpp (transfers, status) share.
//
// Overlapped operations are records on their handle, keyed by the OVERLAPPED's address.
// Nothing runs in the background: a pending operation makes progress only inside calls
// about it (GetOverlappedResult, or a new transfer's first attempt), so a pending read
// takes no bytes until its result is asked for. Waits block in poll() for the time left.
//
// Threads: every handle may be used from several threads at once, as on Windows. The table
// hands out counted references, so an object lives until its last user lets go and its
// device is closed only then: a descriptor number cannot be given to another device while
// a call still holds the old one. Each comm object has a mutex that guards its state and is
// never held across poll(); a waiting thread registers itself with a wake-up descriptor of
// its own for the length of the wait, which CancelIoEx, CloseHandle and the other calls that
// end an operation write to. Lock order: the table's mutex before an object's, never the
// other way. CloseHandle takes the object out of the table and ends its records under both,
// so a call that no longer finds the handle finds its record ended.
//
// The device behind a handle (devices/device.h) is one of several kinds; nothing here
// depends on which. Every call lets the device do its own work through serve() before it
// asks the device what it holds, and after every wait.
#ifndef TTY_POSIX_WIN32_COMM_H
#define TTY_POSIX_WIN32_COMM_H

#include "posix/devices/device.h"
#include "posix/monotonic.h"
#include "posix/pure/timeouts.h"
#include "win32.h"

#include <pthread.h>

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tty::posix::win32 {

using devices::Device;

// Values kept in OVERLAPPED.Internal, as Windows keeps them there.
inline constexpr ULONG_PTR kStatusSuccess = 0;
inline constexpr ULONG_PTR kStatusPending = 0x103;
inline constexpr ULONG_PTR kStatusCancelled = 0xC0000120;
// Other failures: this bit with the Win32 error value in the low bits.
inline constexpr ULONG_PTR kStatusErrorBit = 0xE0000000;

struct Object {
    enum class Kind { Comm, Event };
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    const Kind kind;
};

// Nothing waits on events here; they exist so that OVERLAPPED records hold real handles.
struct Event : Object {
    Event() : Object(Kind::Event) {}
};

struct Pending {
    enum class Op { Read, Write };
    uint64_t id;            // tells a record from a later one on the same OVERLAPPED
    Op op;
    OVERLAPPED *ov;
    pthread_t thread;       // that started it: a child made by fork() keeps only its own
    uint8_t *buffer;        // Read: destination
    const uint8_t *source;  // Write: source
    DWORD count;
    DWORD done;
    pure::ReadRule rule;    // Read
    int64_t deadline;       // monotonic ms; -1: none
    int64_t lastArrival;    // Read: when bytes came last (for the interval time-out)
};

// A thread blocked in a call on a Comm, linked into it while it waits: for the record `id`,
// for the answers to its own settings change (kChangeWaiter), or (0) for the end of another
// thread's change. `fd` is the wait's wake-up descriptor (-1: none could be made; the thread
// then waits in short slices).
inline constexpr uint64_t kChangeWaiter = UINT64_MAX;
struct Waiter {
    uint64_t id;
    int fd;
    Waiter *next;
};

// std::mutex: tty_bench found the hand-written futex lock this layer had no faster on the
// one-byte path (within the noise of a loaded machine).
using Mutex = std::mutex;

struct Comm : Object, std::enable_shared_from_this<Comm> {
    explicit Comm(std::unique_ptr<Device> d) : Object(Kind::Comm), device(std::move(d)) {}
    // Fixed once the handle is in the table.
    const std::unique_ptr<Device> device; // used under `mutex`; closed with the object
    devices::DeviceId id;       // claimed in the table while the handle is there
    pid_t owner = 0;            // the process that opened it: only it may restore the device
    // Set while CloseHandle waits for `mutex`: a thread coming back from a wait lets it go
    // first. The mutex is not fair, and a waiter that a busy device wakes again and again
    // would otherwise keep it from the close until its own time-out.
    std::atomic<bool> closing {false};
    // Everything below is guarded by `mutex`.
    Mutex mutex;
    bool closed = false;        // CloseHandle has begun: nothing touches the device any more
    bool gone = false;          // hung up; every transfer fails from now on
    bool changing = false;      // a settings change is under way (it may wait for answers)
    COMMTIMEOUTS timeouts {};
    DWORD mask = 0;
    uint64_t arrivedAtLastWait = 0; // the device's arrived() count at the last event wait
    // Looked up again after every wait, never referred to across an unlock: the vector may
    // move when another thread starts an operation.
    std::vector<Pending> pending;
    uint64_t lastId = 0;
    Waiter *waiters = nullptr;
};

// A comm handle in use, with the object's mutex held. An object is locked while the table's
// mutex is still held, so it cannot be taken out of the table and freed meanwhile; a counted
// reference is taken only when it must outlive that: when the object is busy (its mutex is
// then awaited without holding up the table) and before a wait lets the mutex go. Calls that
// neither wait nor meet another thread pay for no reference count.
class CommRef {
public:
    CommRef() = default;
    CommRef(Comm *c, std::unique_lock<Mutex> lock, std::shared_ptr<Comm> kept)
        : kept_(std::move(kept)), comm_(c), lock_(std::move(lock))
    {
    }
    explicit operator bool() const { return comm_ != nullptr; }
    Comm *operator->() const { return comm_; }
    Comm &operator*() const { return *comm_; }
    // Lets the mutex go for a wait; the object stays alive until this reference ends.
    void unlock()
    {
        if (!kept_)
            kept_ = comm_->shared_from_this();
        lock_.unlock();
    }
    void lock()
    {
        while (comm_->closing.load(std::memory_order_acquire))
            std::this_thread::yield();
        lock_.lock();
    }

private:
    std::shared_ptr<Comm> kept_; // declared first: let go of after the mutex
    Comm *comm_ = nullptr;
    std::unique_lock<Mutex> lock_;
};

// Looks a comm handle up and locks it; on failure (no such handle, or one being closed) sets
// ERROR_INVALID_HANDLE and returns an empty reference.
CommRef use_comm(HANDLE h);

// Waits without the object's mutex until `device` is ready, `deadline` (-1: none) has come,
// or another thread wakes the waiter `id` (0: only wakes of all waiters). Returns the
// device's revents, or -1 with `err` set when poll() failed. The mutex is held again on
// return; the caller looks at `closed` and its records anew.
int wait_unlocked(CommRef &c, uint64_t id, struct pollfd device, int64_t deadline, DWORD &err);

// Wakes the threads waiting on record `id` (or for kChangeWaiter), or all waiting threads
// when `id` is 0. Caller holds the object's mutex.
void wake(Comm &c, uint64_t id);

// Lets the device do its own work after a wait whose poll found `revents`, or (0) before a
// call asks it what it holds (Device::service), and wakes a settings change under way, whose
// answers may have come in with it, whichever thread's call this is. False once the device
// has gone and nothing is left to read.
bool serve(Comm &c, short revents);

// Marks the device gone: every transfer fails from now on; not while the device still holds
// bytes that came before its end, which a read returns first.
void set_gone(Comm &c);

// set_gone, sets ERROR_DEVICE_NOT_CONNECTED and returns FALSE.
BOOL fail_gone(Comm &c);

// Fails with `err`, through fail_gone when it says that the device has gone.
BOOL fail_device(Comm &c, DWORD err);

// Sets `err` and returns FALSE.
BOOL fail(DWORD err);

// Ends every pending operation of `c` that `which` selects with `status` in its record, and
// wakes the threads that wait for them. Caller holds the object's mutex.
template <class Pred> bool end_pending(Comm &c, ULONG_PTR status, Pred which)
{
    bool any = false;
    for (auto it = c.pending.begin(); it != c.pending.end();) {
        if (which(*it)) {
            it->ov->InternalHigh = it->done;
            it->ov->Internal = status;
            wake(c, it->id);
            it = c.pending.erase(it);
            any = true;
        } else {
            ++it;
        }
    }
    return any;
}

} // namespace tty::posix::win32

#endif
