// Transfers and status: ReadFile, WriteFile, GetOverlappedResult, CancelIoEx,
// WaitCommEvent, ClearCommError and GetCommModemStatus on the records of comm.h.
//
// A call without an OVERLAPPED runs synchronously (it waits for its own end). A transfer
// started while another of its kind is pending on the same handle, or on an OVERLAPPED that
// still carries a pending operation of that handle, fails with ERROR_INVALID_PARAMETER: the
// lazy records could otherwise reorder the bytes.
#include "comm.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <new>
#include <cstddef>
#include <cstring>

namespace tty::posix {
namespace {

enum class Outcome { Done, Incomplete, Failed };

// Whether the device has hung up, without waiting.
bool hung_up(int fd)
{
    struct pollfd p {fd, 0, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

// Errors that mean the device has gone; anything else is a plain failure.
bool is_gone_error(int err)
{
    return err == EIO || err == ENXIO || err == ENODEV;
}

// Reads what the device has, up to n bytes, without waiting. Returns the count, or -1 with
// `err` set.
ssize_t read_device(Comm &c, uint8_t *dst, size_t n, DWORD &err)
{
    if (n == 0)
        return 0;
    for (;;) {
        const ssize_t r = read(c.fd, dst, n);
        if (r > 0)
            return r;
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        // A read of 0 is a hang-up in our raw mode (see line_make_raw); poll confirms it in
        // case someone else has changed the line's settings since.
        if (r == 0 && !hung_up(c.fd))
            return 0;
        err = (r == 0 || is_gone_error(errno)) ? ERROR_DEVICE_NOT_CONNECTED : ERROR_GEN_FAILURE;
        return -1;
    }
}

// Takes up to n bytes for a reader: the stash first, then the device.
ssize_t take(Comm &c, uint8_t *dst, size_t n, DWORD &err)
{
    size_t got = std::min(n, c.stash.size());
    if (got > 0) {
        std::memcpy(dst, c.stash.data(), got);
        c.stash.erase(c.stash.begin(), c.stash.begin() + std::ptrdiff_t(got));
    }
    const ssize_t r = read_device(c, dst + got, n - got, err);
    if (r < 0)
        return -1;
    got += size_t(r);
    c.taken += got;
    return ssize_t(got);
}

// Moves what waits in the device's queue to the stash, so that poll() can wait for new
// bytes. Returns the count moved, or -1 with `err` set.
ssize_t stash_waiting(Comm &c, DWORD &err)
{
    int inq = 0;
    if (ioctl(c.fd, TIOCINQ, &inq) != 0) {
        err = ERROR_DEVICE_NOT_CONNECTED;
        return -1;
    }
    if (inq <= 0)
        return 0;
    const size_t old = c.stash.size();
    try {
        c.stash.resize(old + size_t(inq));
    } catch (const std::bad_alloc &) {
        err = ERROR_NOT_ENOUGH_MEMORY;
        return -1;
    }
    const ssize_t r = read_device(c, c.stash.data() + old, size_t(inq), err);
    c.stash.resize(old + size_t(r > 0 ? r : 0));
    return r;
}

// Hands up to n bytes to the device without waiting.
ssize_t give(Comm &c, const uint8_t *src, size_t n, DWORD &err)
{
    if (n == 0)
        return 0;
    for (;;) {
        const ssize_t r = write(c.fd, src, n);
        if (r >= 0)
            return r;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        err = is_gone_error(errno) ? ERROR_DEVICE_NOT_CONNECTED : ERROR_GEN_FAILURE;
        return -1;
    }
}

// Blocks until the device is ready for `events` or the deadline (-1: none) has passed.
// Returns 1 ready, 0 time-out, -1 hung up or failed (`err` set).
int wait_device(Comm &c, short events, int64_t deadline, DWORD &err)
{
    for (;;) {
        int timeout = -1;
        if (deadline >= 0)
            timeout = int(std::clamp<int64_t>(deadline - now_ms(), 0, INT_MAX));
        struct pollfd p {c.fd, events, 0};
        const int r = poll(&p, 1, timeout);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            err = ERROR_GEN_FAILURE;
            return -1;
        }
        if (r == 0)
            return 0;
        if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
            err = ERROR_DEVICE_NOT_CONNECTED;
            return -1;
        }
        return 1;
    }
}

int64_t earlier(int64_t a, int64_t b)
{
    if (a < 0)
        return b;
    if (b < 0)
        return a;
    return std::min(a, b);
}

Outcome advance_read(Comm &c, Pending &p, bool wait, DWORD &err)
{
    for (;;) {
        const ssize_t n = take(c, p.buffer + p.done, p.count - p.done, err);
        if (n < 0)
            return Outcome::Failed;
        if (n > 0) {
            p.done += DWORD(n);
            p.lastArrival = now_ms();
        }
        if (p.done == p.count || (p.rule.endsOnArrival && p.done > 0))
            return Outcome::Done;
        int64_t deadline = p.deadline;
        if (p.rule.intervalMs >= 0 && p.done > 0)
            deadline = earlier(deadline, p.lastArrival + p.rule.intervalMs);
        if (deadline >= 0 && now_ms() >= deadline)
            return Outcome::Done; // a time-out ends a read successfully
        if (!wait)
            return Outcome::Incomplete;
        if (wait_device(c, POLLIN, deadline, err) < 0)
            return Outcome::Failed;
    }
}

Outcome advance_write(Comm &c, Pending &p, bool wait, DWORD &err)
{
    for (;;) {
        const ssize_t n = give(c, p.source + p.done, p.count - p.done, err);
        if (n < 0)
            return Outcome::Failed;
        p.done += DWORD(n);
        if (p.done == p.count)
            return Outcome::Done;
        if (p.deadline >= 0 && now_ms() >= p.deadline)
            return Outcome::Done; // ends with the count handed over
        if (!wait)
            return Outcome::Incomplete;
        if (wait_device(c, POLLOUT, p.deadline, err) < 0)
            return Outcome::Failed;
    }
}

Outcome advance_wait(Comm &c, Pending &p, bool wait, DWORD &err)
{
    const bool rx = c.mask & EV_RXCHAR;
    for (;;) {
        uint64_t total = 0;
        if (!arrived_total(c, total)) {
            err = ERROR_DEVICE_NOT_CONNECTED;
            return Outcome::Failed;
        }
        if (rx && total > c.arrivedAtLastWait) {
            c.arrivedAtLastWait = total;
            if (p.events)
                *p.events = EV_RXCHAR;
            return Outcome::Done;
        }
        if (!wait)
            return Outcome::Incomplete;
        if (rx) {
            const ssize_t moved = stash_waiting(c, err);
            if (moved < 0)
                return Outcome::Failed;
            if (moved > 0)
                continue; // count again: bytes may have come in since
        }
        // Without EV_RXCHAR nothing this layer reports can happen: wait for a hang-up only.
        if (wait_device(c, rx ? POLLIN : 0, -1, err) < 0)
            return Outcome::Failed;
    }
}

Outcome advance(Comm &c, Pending &p, bool wait, DWORD &err)
{
    if (c.gone) {
        err = ERROR_DEVICE_NOT_CONNECTED;
        return Outcome::Failed;
    }
    Outcome o = Outcome::Failed;
    switch (p.op) {
    case Pending::Op::Read: o = advance_read(c, p, wait, err); break;
    case Pending::Op::Write: o = advance_write(c, p, wait, err); break;
    case Pending::Op::Wait: o = advance_wait(c, p, wait, err); break;
    }
    if (o == Outcome::Failed && err == ERROR_DEVICE_NOT_CONNECTED)
        c.gone = true;
    return o;
}

std::vector<Pending>::iterator find_pending(Comm &c, const OVERLAPPED *ov)
{
    return std::find_if(c.pending.begin(), c.pending.end(),
                        [ov](const Pending &p) { return p.ov == ov; });
}

bool kind_pending(const Comm &c, Pending::Op op)
{
    return std::any_of(c.pending.begin(), c.pending.end(),
                       [op](const Pending &p) { return p.op == op; });
}

BOOL completed(OVERLAPPED *ov, DWORD count, LPDWORD done)
{
    ov->Internal = kStatusSuccess;
    ov->InternalHigh = count;
    if (done)
        *done = count;
    return TRUE;
}

BOOL started(Comm &c, const Pending &p)
{
    try {
        c.pending.push_back(p);
    } catch (const std::bad_alloc &) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    p.ov->Internal = kStatusPending;
    p.ov->InternalHigh = 0;
    return fail(ERROR_IO_PENDING);
}

// A call without an OVERLAPPED: start it on a record of our own and wait for its end.
template <class Start> BOOL synchronously(HANDLE h, LPDWORD done, Start start)
{
    OVERLAPPED ov {};
    if (start(&ov))
        return TRUE;
    if (GetLastError() != ERROR_IO_PENDING)
        return FALSE;
    return GetOverlappedResult(h, &ov, done, TRUE);
}

// The result kept in an OVERLAPPED whose operation has ended (or never was).
BOOL result_of(const OVERLAPPED *ov, LPDWORD done)
{
    if (done)
        *done = DWORD(ov->InternalHigh);
    if (ov->Internal == kStatusSuccess)
        return TRUE;
    if (ov->Internal == kStatusCancelled)
        return fail(ERROR_OPERATION_ABORTED);
    if ((ov->Internal & kStatusErrorBit) == kStatusErrorBit)
        return fail(DWORD(ov->Internal & ~kStatusErrorBit));
    // Pending, but not on this handle: nothing to wait for.
    return fail(ERROR_INVALID_PARAMETER);
}

// May a new operation of kind `op` start on `ov`?
bool can_start(Comm &c, const OVERLAPPED *ov, Pending::Op op)
{
    return find_pending(c, ov) == c.pending.end() && !kind_pending(c, op);
}

// The checks a read or write passes before it starts: a comm handle, a buffer for a count
// above 0, a free record and a device that is still there. Null, with the last error set,
// when the call ends here.
Comm *transfer_device(HANDLE h, const void *buffer, DWORD count, LPDWORD done, const OVERLAPPED *ov,
                      Pending::Op op)
{
    Comm *c = find_comm(h);
    if (!c)
        return nullptr;
    if (done)
        *done = 0;
    if ((!buffer && count > 0) || !can_start(*c, ov, op)) {
        fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (c->gone) {
        fail_gone(*c);
        return nullptr;
    }
    return c;
}

} // namespace
} // namespace tty::posix

using namespace tty::posix;

BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED ov)
{
    if (!ov)
        return synchronously(h, done, [&](LPOVERLAPPED o) { return ReadFile(h, buffer, count, done, o); });
    Comm *c = transfer_device(h, buffer, count, done, ov, Pending::Op::Read);
    if (!c)
        return FALSE;

    Pending p {};
    p.op = Pending::Op::Read;
    p.ov = ov;
    p.buffer = static_cast<uint8_t *>(buffer);
    p.count = count;
    p.rule = read_rule(c->timeouts, count);
    p.lastArrival = now_ms();
    p.deadline = p.rule.totalMs < 0 ? -1 : p.lastArrival + p.rule.totalMs;
    DWORD err = 0;
    const ssize_t n = take(*c, p.buffer, count, err);
    if (n < 0)
        return err == ERROR_DEVICE_NOT_CONNECTED ? fail_gone(*c) : fail(err);
    p.done = DWORD(n);
    if (p.done == count || p.rule.atOnce || (p.done > 0 && p.rule.takesWaiting))
        return completed(ov, p.done, done);
    return started(*c, p);
}

BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED ov)
{
    if (!ov)
        return synchronously(h, done, [&](LPOVERLAPPED o) { return WriteFile(h, buffer, count, done, o); });
    Comm *c = transfer_device(h, buffer, count, done, ov, Pending::Op::Write);
    if (!c)
        return FALSE;

    Pending p {};
    p.op = Pending::Op::Write;
    p.ov = ov;
    p.source = static_cast<const uint8_t *>(buffer);
    p.count = count;
    const int64_t total = write_total_ms(c->timeouts, count);
    p.deadline = total < 0 ? -1 : now_ms() + total;
    DWORD err = 0;
    const ssize_t n = give(*c, p.source, count, err);
    if (n < 0)
        return err == ERROR_DEVICE_NOT_CONNECTED ? fail_gone(*c) : fail(err);
    p.done = DWORD(n);
    if (p.done == count)
        return completed(ov, p.done, done);
    return started(*c, p);
}

BOOL WaitCommEvent(HANDLE h, LPDWORD events, LPOVERLAPPED ov)
{
    Comm *c = find_comm(h);
    if (!c)
        return FALSE;
    if (!events || c->mask == 0)
        return fail(ERROR_INVALID_PARAMETER);
    if (!ov)
        return synchronously(h, nullptr, [&](LPOVERLAPPED o) { return WaitCommEvent(h, events, o); });
    if (!can_start(*c, ov, Pending::Op::Wait))
        return fail(ERROR_INVALID_PARAMETER);
    uint64_t total = 0;
    if (!arrived_total(*c, total))
        return fail_gone(*c);
    const bool happened = (c->mask & EV_RXCHAR) && total > c->arrivedAtLastWait;
    c->arrivedAtLastWait = total;
    if (happened) {
        *events = EV_RXCHAR;
        return completed(ov, 0, nullptr);
    }
    Pending p {};
    p.op = Pending::Op::Wait;
    p.ov = ov;
    p.deadline = -1;
    p.events = events;
    return started(*c, p);
}

BOOL GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD done, BOOL wait)
{
    Comm *c = find_comm(h);
    if (!c)
        return FALSE;
    if (!ov)
        return fail(ERROR_INVALID_PARAMETER);
    auto it = find_pending(*c, ov);
    if (it == c->pending.end())
        return result_of(ov, done);
    DWORD err = 0;
    const Outcome o = advance(*c, *it, wait, err);
    if (o == Outcome::Incomplete) {
        if (done)
            *done = it->done;
        return fail(ERROR_IO_INCOMPLETE);
    }
    ov->InternalHigh = it->done;
    ov->Internal = o == Outcome::Done ? kStatusSuccess : (kStatusErrorBit | err);
    c->pending.erase(it);
    return result_of(ov, done);
}

BOOL CancelIoEx(HANDLE h, LPOVERLAPPED ov)
{
    Comm *c = find_comm(h);
    if (!c)
        return FALSE;
    // Nothing runs in the background, so the cancellation is complete on return.
    if (!end_pending(*c, kStatusCancelled, [ov](const Pending &p) { return !ov || p.ov == ov; }))
        return fail(ERROR_NOT_FOUND);
    return TRUE;
}

BOOL ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat)
{
    Comm *c = find_comm(h);
    if (!c)
        return FALSE;
    // Checked first: some drivers keep answering queue ioctls for a while after a hang-up.
    if (c->gone || hung_up(c->fd))
        return fail_gone(*c);
    int inq = 0;
    int outq = 0;
    if (ioctl(c->fd, TIOCINQ, &inq) != 0 || ioctl(c->fd, TIOCOUTQ, &outq) != 0)
        return fail_gone(*c);
    ErrorCounts now = c->counts;
    if (!c->noCounters) {
        int err = 0;
        if (!read_counts(c->fd, now, err)) {
            if (err == EIO)
                return fail_gone(*c);
            c->noCounters = true; // a pseudo-terminal, say: no errors to report
            now = c->counts;
        }
    }
    const DWORD ce = comm_errors_from_counts(c->counts, now);
    c->counts = now;
    if (errors)
        *errors = ce;
    if (stat) {
        *stat = COMSTAT {};
        stat->cbInQue = DWORD(inq > 0 ? inq : 0) + DWORD(c->stash.size());
        stat->cbOutQue = DWORD(outq > 0 ? outq : 0);
    }
    return TRUE;
}

BOOL GetCommModemStatus(HANDLE h, LPDWORD status)
{
    Comm *c = find_comm(h);
    if (!c)
        return FALSE;
    if (!status)
        return fail(ERROR_INVALID_PARAMETER);
    if (c->gone)
        return fail_gone(*c);
    int bits = 0;
    if (ioctl(c->fd, TIOCMGET, &bits) != 0) {
        if (is_gone_error(errno))
            return fail_gone(*c);
        return fail(ERROR_NOT_SUPPORTED); // no modem lines (a pseudo-terminal)
    }
    *status = modem_status_from_tiocm(bits);
    return TRUE;
}
