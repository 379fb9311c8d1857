// Objects behind the layer's handles (comm devices and events), the handle table, and the
// helpers that comm.cpp (opening, settings) and transfer.cpp (transfers, status) share.
//
// Overlapped operations are records on their handle, keyed by the OVERLAPPED's address.
// Nothing runs in the background: a pending operation makes progress only inside calls
// about it (GetOverlappedResult, or a new transfer's first attempt), so a pending read
// takes no bytes until its result is asked for. Waits block in poll() for the time left.
//
// The table is safe to use from several threads; one handle is meant to be used by one
// thread at a time, as the library does.
#ifndef TTY_POSIX_COMM_H
#define TTY_POSIX_COMM_H

#include "dcb.h"
#include "speed.h"
#include "win32.h"

#include <sys/types.h>

#include <cstdint>
#include <vector>

namespace tty::posix {

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
    Kind kind;
};

// Nothing waits on events here; they exist so that OVERLAPPED records hold real handles.
struct Event : Object {
    Event() : Object(Kind::Event) {}
};

struct Pending {
    enum class Op { Read, Write, Wait };
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

struct Comm : Object {
    Comm() : Object(Kind::Comm) {}
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    bool pty = false;           // carries plain bytes: no framing to verify
    bool gone = false;          // hung up; every transfer fails from now on
    bool noCounters = false;    // the driver has no TIOCGICOUNT
    Clock clock;                // how the device makes bit rates
    LineSettings saved;         // restored at close
    DCB asked {};               // the DCB taken last (see dcb_current)
    LineSettings applied;       // what the device reported after taking it
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
    std::vector<Pending> pending;
};

// Looks a handle up; on failure sets ERROR_INVALID_HANDLE and returns null.
Comm *find_comm(HANDLE h);

// Monotonic clock in ms.
int64_t now_ms();

// Marks the device gone, sets ERROR_DEVICE_NOT_CONNECTED and returns FALSE.
BOOL fail_gone(Comm &c);

// Sets `err` and returns FALSE.
BOOL fail(DWORD err);

// Ends every pending operation of `c` that `which` selects with `status` in its record.
template <class Pred> bool end_pending(Comm &c, ULONG_PTR status, Pred which)
{
    bool any = false;
    for (auto it = c.pending.begin(); it != c.pending.end();) {
        if (which(*it)) {
            it->ov->InternalHigh = it->done;
            it->ov->Internal = status;
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
