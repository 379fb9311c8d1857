// Objects behind the layer's handles (comm devices and events), the handle table, and the
// helpers that comm.cpp (opening, settings) and transfer.cpp (transfers, status) share.
//
// Overlapped operations are records on their handle, keyed by the OVERLAPPED's address.
// Nothing runs in the background: a pending operation makes progress only inside calls
// about it (GetOverlappedResult, or a new transfer's first attempt), so a pending read
// takes no bytes until its result is asked for. Waits block in poll() for the time left.
//
// Threads: every handle may be used from several threads at once, as on Windows. The table
// hands out counted references, so an object lives until its last user lets go and its
// descriptor is closed only then: a descriptor number cannot be given to another device while
// a call still holds the old one. Each comm object has a mutex that guards its state and is
// never held across poll(); a waiting thread registers itself with its own wake-up
// descriptor, which CancelIoEx, CloseHandle and the other calls that end an operation write
// to. Lock order: the table's mutex before an object's, never the other way.
//
// What is particular to a local device is its descriptor and the few calls made on it:
// read_device/give/hung_up and the queue counts in transfer.cpp, the line settings and
// release() in comm.cpp. The reference counting, the closing, the pending records and the
// waits do not depend on it. A remote port (Comm::remote, a serial server reached over TCP,
// see remote.h) keeps them and replaces those calls, polling its connection's socket in
// await(); its connection holds the bytes received and not yet read, so that a closed
// connection is a hang-up only once they have been read.
#ifndef TTY_POSIX_COMM_H
#define TTY_POSIX_COMM_H

#include "dcb.h"
#include "remote.h"
#include "speed.h"
#include "win32.h"

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace tty::posix {

// Values kept in OVERLAPPED.Internal, as Windows keeps them there.
inline constexpr ULONG_PTR kStatusSuccess = 0;
inline constexpr ULONG_PTR kStatusPending = 0x103;
inline constexpr ULONG_PTR kStatusCancelled = 0xC0000120;
// Other failures: this bit with the Win32 error value in the low bits.
inline constexpr ULONG_PTR kStatusErrorBit = 0xE0000000;

// A mutex whose uncontended lock and unlock are one atomic instruction each, inline: the
// layer takes two on every call, and a one-byte write costs little more than its system call.
// Contended, it sleeps in the kernel as any mutex does.
class Lock {
public:
    void lock()
    {
        int was = kFree;
        if (state_.compare_exchange_strong(was, kHeld, std::memory_order_acquire))
            return;
        // Mark it contended, so that the holder wakes a sleeper when it lets go.
        if (was != kContended)
            was = state_.exchange(kContended, std::memory_order_acquire);
        while (was != kFree) {
            state_.wait(kContended, std::memory_order_relaxed);
            was = state_.exchange(kContended, std::memory_order_acquire);
        }
    }
    bool try_lock()
    {
        int was = kFree;
        return state_.compare_exchange_strong(was, kHeld, std::memory_order_acquire);
    }
    void unlock()
    {
        if (state_.exchange(kFree, std::memory_order_release) == kContended)
            state_.notify_one();
    }

private:
    static constexpr int kFree = 0, kHeld = 1, kContended = 2;
    std::atomic<int> state_ {kFree};
};

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
    enum class Op { Read, Write, Wait };
    uint64_t id;            // tells a record from a later one on the same OVERLAPPED
    Op op;
    OVERLAPPED *ov;
    uint8_t *buffer;        // Read: destination
    const uint8_t *source;  // Write: source
    DWORD count;
    DWORD done;
    ReadRule rule;          // Read
    int64_t deadline;       // monotonic ms; -1: none
    int64_t lastArrival;    // Read: when bytes came last (for the interval time-out)
    DWORD *events;          // Wait: where the event mask goes
};

// A thread blocked in GetOverlappedResult on the record `id`, linked into its Comm while it
// waits. `fd` is the thread's wake-up descriptor (-1: none could be made; the thread then
// waits in short slices).
struct Waiter {
    uint64_t id;
    int fd;
    Waiter *next;
};

struct Comm : Object, std::enable_shared_from_this<Comm> {
    Comm() : Object(Kind::Comm) {}
    ~Comm() override;           // closes the descriptor: the last user has let go
    // Fixed once the handle is in the table.
    int fd = -1;                // -1 for a remote port: its connection has the socket
    // A port on a serial server (see remote.h); null for a local device. Used under `mutex`.
    std::unique_ptr<Remote> remote;
    dev_t dev = 0;
    ino_t ino = 0;
    bool pty = false;           // carries plain bytes: no framing to verify
    pid_t owner = 0;            // the process that opened it: only it may restore the device
    // Everything below is guarded by `mutex`.
    Lock mutex;
    bool closed = false;        // CloseHandle has begun: nothing touches the device any more
    bool gone = false;          // hung up; every transfer fails from now on
    bool noCounters = false;    // the driver has no TIOCGICOUNT
    Clock clock;                // how the device makes bit rates
    LineSettings saved;         // restored at close
    DCB asked {};               // the DCB taken last (see dcb_current)
    LineSettings applied;       // what the device reported after taking it
    rfc2217::Line remoteAsked;  // remote: the line asked for last, and the server's answers
    rfc2217::Line remoteGot;
    // Remote: one settings change at a time, from its request until its answers are in, so
    // that no change takes another's answers for its own. Taken while `mutex` is not held.
    std::mutex remoteChange;
    COMMTIMEOUTS timeouts {};
    DWORD mask = 0;
    ErrorCounts counts;         // at the last ClearCommError
    // Received-character history for WaitCommEvent: every byte that ever entered the input
    // queue is either still there, or was taken by a read, or purged, or moved to `stash`.
    uint64_t taken = 0;
    uint64_t purged = 0;
    uint64_t arrivedAtLastWait = 0;
    // Bytes moved out of the kernel's queue so that poll() can wait for new ones; reads
    // take from here first.
    std::vector<uint8_t> stash;
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
    CommRef(Comm *c, std::unique_lock<Lock> lock, std::shared_ptr<Comm> kept)
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
    void lock() { lock_.lock(); }

private:
    std::shared_ptr<Comm> kept_; // declared first: let go of after the mutex
    Comm *comm_ = nullptr;
    std::unique_lock<Lock> lock_;
};

// Looks a comm handle up and locks it; on failure (no such handle, or one being closed) sets
// ERROR_INVALID_HANDLE and returns an empty reference.
CommRef use_comm(HANDLE h);

// This thread's wake-up descriptor (an eventfd), made at its first wait; -1 when none can be.
int thread_waker();

// Wakes the threads waiting on record `id`, or all waiting threads when `id` is 0. Caller
// holds the object's mutex.
void wake(Comm &c, uint64_t id);

// Marks the device gone: every transfer fails from now on. A remote port whose connection has
// closed is gone only once the bytes that came before the close have been read.
void set_gone(Comm &c);

// set_gone, sets ERROR_DEVICE_NOT_CONNECTED and returns FALSE.
BOOL fail_gone(Comm &c);

// Remote: takes in what the connection holds and sends what it will take, without waiting;
// false once the port is gone. Caller holds the object's mutex.
bool remote_service(Comm &c);

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

// TIOCGICOUNT; on failure stores errno in `err` and returns false.
bool read_counts(int fd, ErrorCounts &out, int &err);

// Bytes that have entered the input queue since the handle was opened, as far as can be
// counted; false when the device has gone.
bool arrived_total(Comm &c, uint64_t &total);

} // namespace tty::posix

#endif
