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

// The same for a handle's device; a remote port has hung up once its connection has closed
// and the bytes that came before have been read.
bool hung_up(Comm &c)
{
    if (c.remote)
        return !remote_service(c);
    return hung_up(c.fd);
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
    if (c.remote) {
        const bool live = remote_service(c);
        const size_t got = c.remote->read(dst, n);
        if (got == 0 && !live) {
            err = ERROR_DEVICE_NOT_CONNECTED;
            return -1;
        }
        return ssize_t(got);
    }
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

// The most the stash holds. Beyond it the bytes stay in the device's queue, so that a device
// that sends while nobody reads is held back by the queue's flow control as it would be
// without event waits, and memory stays bounded.
constexpr size_t kStashLimit = 4096;

// Moves what waits in the device's queue to the stash, as far as the stash has room, so that
// poll() can wait for new bytes. Returns the count moved, or -1 with `err` set; `full` tells
// that bytes are left in the device's queue.
ssize_t stash_waiting(Comm &c, DWORD &err, bool &full)
{
    if (c.remote) {
        // The connection keeps its own buffer: taking in what the socket holds is enough.
        const uint64_t before = c.remote->received();
        if (!remote_service(c)) {
            err = ERROR_DEVICE_NOT_CONNECTED;
            return -1;
        }
        return ssize_t(c.remote->received() - before);
    }
    int inq = 0;
    if (ioctl(c.fd, TIOCINQ, &inq) != 0) {
        err = ERROR_DEVICE_NOT_CONNECTED;
        return -1;
    }
    const size_t waiting = size_t(inq > 0 ? inq : 0);
    const size_t old = c.stash.size();
    const size_t room = old < kStashLimit ? kStashLimit - old : 0;
    full = waiting > room;
    const size_t n = std::min(waiting, room);
    if (n == 0)
        return 0;
    try {
        c.stash.resize(old + n);
    } catch (const std::bad_alloc &) {
        err = ERROR_NOT_ENOUGH_MEMORY;
        return -1;
    }
    const ssize_t r = read_device(c, c.stash.data() + old, n, err);
    c.stash.resize(old + size_t(r > 0 ? r : 0));
    return r;
}

// Hands up to n bytes to the device without waiting.
ssize_t give(Comm &c, const uint8_t *src, size_t n, DWORD &err)
{
    if (n == 0)
        return 0;
    if (c.remote)
        return c.remote->write(src, n, err);
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

int64_t earlier(int64_t a, int64_t b)
{
    if (a < 0)
        return b;
    if (b < 0)
        return a;
    return std::min(a, b);
}

// What a pending operation waits for when it cannot go on: the device's readiness for
// `events` (0: only a hang-up) until `deadline` (-1: none).
struct Readiness {
    short events = 0;
    int64_t deadline = -1;
};

Outcome step_read(Comm &c, Pending &p, DWORD &err, Readiness &r)
{
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
    r = {POLLIN, deadline};
    return Outcome::Incomplete;
}

Outcome step_write(Comm &c, Pending &p, DWORD &err, Readiness &r)
{
    const ssize_t n = give(c, p.source + p.done, p.count - p.done, err);
    if (n < 0)
        return Outcome::Failed;
    p.done += DWORD(n);
    if (p.done == p.count)
        return Outcome::Done;
    if (p.deadline >= 0 && now_ms() >= p.deadline)
        return Outcome::Done; // ends with the count handed over
    r = {POLLOUT, p.deadline};
    return Outcome::Incomplete;
}

Outcome step_wait(Comm &c, Pending &p, bool wait, DWORD &err, Readiness &r)
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
        if (!wait || !rx)
            break;
        bool full = false;
        const ssize_t moved = stash_waiting(c, err, full);
        if (moved < 0)
            return Outcome::Failed;
        if (moved > 0) {
            // A reader waiting in poll() would not see the bytes now in the stash.
            wake(c, 0);
            continue; // count again: bytes may have come in since
        }
        if (full) {
            // poll() cannot tell new bytes from those left in the queue: look again soon.
            constexpr int64_t kFullSliceMs = 10;
            r = {0, now_ms() + kFullSliceMs};
            return Outcome::Incomplete;
        }
        break;
    }
    // Without EV_RXCHAR nothing this layer reports can happen: wait for a hang-up only.
    r = {short(rx ? POLLIN : 0), -1};
    return Outcome::Incomplete;
}

// One step of a pending operation, without waiting. A step that waits for a received
// character first moves the bytes already counted to the stash, so that `r` waits for new
// ones; it does so only when the caller is going to wait.
Outcome advance(Comm &c, Pending &p, bool wait, DWORD &err, Readiness &r)
{
    if (c.gone) {
        err = ERROR_DEVICE_NOT_CONNECTED;
        return Outcome::Failed;
    }
    Outcome o = Outcome::Failed;
    switch (p.op) {
    case Pending::Op::Read: o = step_read(c, p, err, r); break;
    case Pending::Op::Write: o = step_write(c, p, err, r); break;
    case Pending::Op::Wait: o = step_wait(c, p, wait, err, r); break;
    }
    if (o == Outcome::Failed && err == ERROR_DEVICE_NOT_CONNECTED)
        set_gone(c);
    return o;
}

// Waits, without the object's mutex, until the device is ready as `r` asks, its time has
// come, or another thread wakes this one (the record `id` ended, or the stash grew). Returns
// false with `err` set when the device has hung up or poll() failed; the caller then fails
// the operation.
bool await(CommRef &c, uint64_t id, const Readiness &r, DWORD &err)
{
    // Without a wake-up descriptor, wait in slices short enough to notice a cancellation.
    constexpr int64_t kSliceMs = 20;
    Waiter self {id, thread_waker(), c->waiters};
    c->waiters = &self;
    // Stays open while this reference is held. A remote port also waits for its own output to
    // leave, and for input only while its buffer has room; the end of its connection shows as
    // input, to be read after the bytes before it.
    const int fd = c->remote ? c->remote->fd() : c->fd;
    const short events = c->remote ? short(c->remote->poll_events() | (r.events & POLLOUT)) : r.events;
    const bool remote = c->remote != nullptr;
    c.unlock();

    int64_t timeout = r.deadline < 0 ? -1 : std::clamp<int64_t>(r.deadline - now_ms(), 0, INT_MAX);
    if (self.fd < 0)
        timeout = timeout < 0 ? kSliceMs : std::min(timeout, kSliceMs);
    struct pollfd p[2] = {{fd, events, 0}, {self.fd, POLLIN, 0}};
    const int n = poll(p, self.fd < 0 ? 1 : 2, int(timeout));
    const int pollErr = errno;
    uint64_t count = 0;
    if (self.fd >= 0 && (p[1].revents & POLLIN) && read(self.fd, &count, sizeof count) < 0)
        count = 0; // drained by the read; nothing else to do

    c.lock();
    for (Waiter **w = &c->waiters; *w; w = &(*w)->next) {
        if (*w == &self) {
            *w = self.next;
            break;
        }
    }
    if (n < 0 && pollErr != EINTR) {
        err = ERROR_GEN_FAILURE;
        return false;
    }
    if (!remote && n > 0 && (p[0].revents & (POLLHUP | POLLERR | POLLNVAL))) {
        err = ERROR_DEVICE_NOT_CONNECTED;
        c->gone = true;
        return false;
    }
    return true;
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

BOOL started(Comm &c, Pending &p)
{
    p.id = ++c.lastId;
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
// above 0, a free record and a device that is still there. A transfer of nothing finds a
// hang-up only by asking. Empty, with the last error set, when the call ends here.
CommRef transfer_device(HANDLE h, const void *buffer, DWORD count, LPDWORD done,
                        const OVERLAPPED *ov, Pending::Op op)
{
    CommRef c = use_comm(h);
    if (!c)
        return {};
    if (done)
        *done = 0;
    if ((!buffer && count > 0) || !can_start(*c, ov, op)) {
        fail(ERROR_INVALID_PARAMETER);
        return {};
    }
    if (c->gone || (count == 0 && hung_up(*c))) {
        fail_gone(*c);
        return {};
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
    CommRef c = transfer_device(h, buffer, count, done, ov, Pending::Op::Read);
    if (!c)
        return FALSE;

    Pending p {};
    p.op = Pending::Op::Read;
    p.ov = ov;
    p.buffer = static_cast<uint8_t *>(buffer);
    p.count = count;
    p.rule = read_rule(c->timeouts, count);
    DWORD err = 0;
    const ssize_t n = take(*c, p.buffer, count, err);
    if (n < 0)
        return err == ERROR_DEVICE_NOT_CONNECTED ? fail_gone(*c) : fail(err);
    p.done = DWORD(n);
    if (p.done == count || p.rule.atOnce || (p.done > 0 && p.rule.takesWaiting))
        return completed(ov, p.done, done);
    // The clock is read only for a read that has to wait.
    p.lastArrival = now_ms();
    p.deadline = p.rule.totalMs < 0 ? -1 : p.lastArrival + p.rule.totalMs;
    return started(*c, p);
}

BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED ov)
{
    if (!ov)
        return synchronously(h, done, [&](LPOVERLAPPED o) { return WriteFile(h, buffer, count, done, o); });
    CommRef c = transfer_device(h, buffer, count, done, ov, Pending::Op::Write);
    if (!c)
        return FALSE;

    Pending p {};
    p.op = Pending::Op::Write;
    p.ov = ov;
    p.source = static_cast<const uint8_t *>(buffer);
    p.count = count;
    DWORD err = 0;
    const ssize_t n = give(*c, p.source, count, err);
    if (n < 0)
        return err == ERROR_DEVICE_NOT_CONNECTED ? fail_gone(*c) : fail(err);
    p.done = DWORD(n);
    if (p.done == count)
        return completed(ov, p.done, done);
    // The clock is read only for a write that has to wait.
    const int64_t total = write_total_ms(c->timeouts, count);
    p.deadline = total < 0 ? -1 : now_ms() + total;
    return started(*c, p);
}

BOOL WaitCommEvent(HANDLE h, LPDWORD events, LPOVERLAPPED ov)
{
    if (!ov) {
        // Checked here too: a synchronous wait with nothing to wait for would never end.
        CommRef c = use_comm(h);
        if (!c)
            return FALSE;
        if (!events || c->mask == 0)
            return fail(ERROR_INVALID_PARAMETER);
        c.unlock();
        return synchronously(h, nullptr, [&](LPOVERLAPPED o) { return WaitCommEvent(h, events, o); });
    }
    CommRef c = use_comm(h);
    if (!c)
        return FALSE;
    if (!events || c->mask == 0 || !can_start(*c, ov, Pending::Op::Wait))
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
    CommRef c = use_comm(h);
    if (!c)
        return FALSE;
    if (!ov)
        return fail(ERROR_INVALID_PARAMETER);
    // The record is found again after every wait: another thread may have ended it
    // (CancelIoEx, CloseHandle, a purge) or, waiting on it too, completed it.
    for (uint64_t id = 0;;) {
        auto it = find_pending(*c, ov);
        if (it == c->pending.end() || (id != 0 && it->id != id))
            return result_of(ov, done);
        id = it->id;
        DWORD err = 0;
        Readiness ready;
        Outcome o = advance(*c, *it, wait, err, ready);
        if (o == Outcome::Incomplete && !wait) {
            if (done)
                *done = it->done;
            return fail(ERROR_IO_INCOMPLETE);
        }
        if (o == Outcome::Incomplete) {
            if (await(c, id, ready, err))
                continue;
            it = find_pending(*c, ov);
            if (it == c->pending.end() || it->id != id)
                return result_of(ov, done);
            o = Outcome::Failed;
        }
        ov->InternalHigh = it->done;
        ov->Internal = o == Outcome::Done ? kStatusSuccess : (kStatusErrorBit | err);
        wake(*c, id); // others waiting on the same record
        c->pending.erase(it);
        return result_of(ov, done);
    }
}

BOOL CancelIoEx(HANDLE h, LPOVERLAPPED ov)
{
    CommRef c = use_comm(h);
    if (!c)
        return FALSE;
    // Nothing runs in the background, and a thread waiting for the operation touches nothing
    // of it once woken, so the cancellation is complete on return.
    if (!end_pending(*c, kStatusCancelled, [ov](const Pending &p) { return !ov || p.ov == ov; }))
        return fail(ERROR_NOT_FOUND);
    return TRUE;
}

BOOL ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat)
{
    CommRef c = use_comm(h);
    if (!c)
        return FALSE;
    // Checked first: some drivers keep answering queue ioctls for a while after a hang-up.
    if (c->gone || hung_up(*c))
        return fail_gone(*c);
    if (c->remote) {
        // The counts of this side's own buffers; errors as the server reported them.
        if (errors)
            *errors = c->remote->take_line_errors();
        if (stat) {
            *stat = COMSTAT {};
            stat->cbInQue = DWORD(c->remote->in_queue());
            stat->cbOutQue = DWORD(c->remote->out_queue());
        }
        return TRUE;
    }
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
    CommRef c = use_comm(h);
    if (!c)
        return FALSE;
    if (!status)
        return fail(ERROR_INVALID_PARAMETER);
    if (c->gone || (c->remote && hung_up(*c)))
        return fail_gone(*c);
    if (c->remote) {
        *status = c->remote->modem_status();
        return TRUE;
    }
    int bits = 0;
    if (ioctl(c->fd, TIOCMGET, &bits) != 0) {
        if (is_gone_error(errno))
            return fail_gone(*c);
        return fail(ERROR_NOT_SUPPORTED); // no modem lines (a pseudo-terminal)
    }
    *status = modem_status_from_tiocm(bits);
    return TRUE;
}
