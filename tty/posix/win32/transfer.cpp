// Transfers and status: ReadFile, WriteFile, GetOverlappedResult, CancelIoEx,
// WaitCommEvent, ClearCommError and GetCommModemStatus on the records of comm.h.
//
// Transfers are overlapped: a call without an OVERLAPPED fails with ERROR_INVALID_PARAMETER.
// A transfer started while another of its kind is pending on the same handle, or on an
// OVERLAPPED that still carries a pending operation of that handle, fails the same way: the
// lazy records could otherwise reorder the bytes. WaitCommEvent reports the events since the
// last one and never waits: its one caller would cancel a wait that did not end at once.
#include "posix/win32/comm.h"

#include <poll.h>

#include <algorithm>
#include <new>

namespace tty::posix::win32 {
namespace {

enum class Outcome { Done, Incomplete, Failed };

int64_t earlier(int64_t a, int64_t b)
{
    if (a < 0)
        return b;
    if (b < 0)
        return a;
    return std::min(a, b);
}

// What a pending operation waits for when it cannot go on, until `deadline` (-1: none).
struct Readiness {
    Device::Want want = Device::Want::Nothing;
    int64_t deadline = -1;
};

// A read that fails after it has received bytes ends with them; the failure shows at the
// next call.
Outcome ended_by_failure(const Pending &p)
{
    return p.op == Pending::Op::Read && p.done > 0 ? Outcome::Done : Outcome::Failed;
}

Outcome step_read(Comm &c, Pending &p, DWORD &err, Readiness &r)
{
    const ssize_t n = p.count == p.done ? 0 : c.device->read(p.buffer + p.done, p.count - p.done, err);
    if (n < 0)
        return ended_by_failure(p);
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
    r = {Device::Want::Input, deadline};
    return Outcome::Incomplete;
}

Outcome step_write(Comm &c, Pending &p, DWORD &err, Readiness &r)
{
    const ssize_t n = c.device->write(p.source + p.done, p.count - p.done, err);
    if (n < 0)
        return Outcome::Failed;
    p.done += DWORD(n);
    if (p.done == p.count && c.device->held().unsent == 0)
        return Outcome::Done;
    if (p.deadline >= 0 && now_ms() >= p.deadline)
        return Outcome::Done; // ends with the count handed over
    r = {Device::Want::Output, p.deadline};
    return Outcome::Incomplete;
}

// One step of a pending operation, without waiting.
Outcome advance(Comm &c, Pending &p, DWORD &err, Readiness &r)
{
    if (c.gone) {
        err = ERROR_DEVICE_NOT_CONNECTED;
        return ended_by_failure(p);
    }
    Outcome o = Outcome::Failed;
    switch (p.op) {
    case Pending::Op::Read: o = step_read(c, p, err, r); break;
    case Pending::Op::Write: o = step_write(c, p, err, r); break;
    }
    if (o == Outcome::Failed && err == ERROR_DEVICE_NOT_CONNECTED)
        set_gone(c);
    return o;
}

// Waits, without the object's mutex, until the device is ready as `r` asks, its time has
// come, or another thread wakes this one (the record `id` ended), and lets the device act on
// what the wait found. Returns false with `err` set when poll() failed or the device has hung
// up (ERROR_DEVICE_NOT_CONNECTED); the caller then ends the operation.
bool await(CommRef &c, uint64_t id, const Readiness &r, DWORD &err)
{
    const int revents = wait_unlocked(c, id, c->device->poll_for(r.want), r.deadline, err);
    if (revents < 0)
        return false;
    if (!c->closed && revents > 0 && !serve(*c, short(revents))) {
        err = ERROR_DEVICE_NOT_CONNECTED;
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
    p.thread = pthread_self();
    try {
        c.pending.push_back(p);
    } catch (const std::bad_alloc &) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    p.ov->Internal = kStatusPending;
    p.ov->InternalHigh = 0;
    return fail(ERROR_IO_PENDING);
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

// Whether the device is still there, asked without waiting: a transfer of nothing finds a
// hang-up only so.
bool still_there(Comm &c)
{
    struct pollfd p = c.device->poll_for(Device::Want::Nothing);
    p.revents = 0;
    return serve(c, poll(&p, 1, 0) == 1 ? p.revents : 0);
}

// The checks a read or write passes before it starts: a comm handle, an OVERLAPPED, a buffer
// for a count above 0, a free record and a device that is still there. Empty, with the last
// error set, when the call ends here.
CommRef transfer_device(HANDLE h, const void *buffer, DWORD count, LPDWORD done,
                        const OVERLAPPED *ov, Pending::Op op)
{
    CommRef c = use_comm(h);
    if (!c)
        return {};
    if (done)
        *done = 0;
    if (!ov || (!buffer && count > 0) || !can_start(*c, ov, op)) {
        fail(ERROR_INVALID_PARAMETER);
        return {};
    }
    if (c->gone || (count == 0 && !still_there(*c))) {
        fail_gone(*c);
        return {};
    }
    return c;
}

} // namespace
} // namespace tty::posix::win32

using namespace tty::posix;
using namespace tty::posix::pure;
using namespace tty::posix::win32;

BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED ov)
{
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
    if (count > 0)
        serve(*c, 0);
    const ssize_t n = count == 0 ? 0 : c->device->read(p.buffer, count, err);
    if (n < 0)
        return fail_device(*c, err);
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
    CommRef c = transfer_device(h, buffer, count, done, ov, Pending::Op::Write);
    if (!c)
        return FALSE;

    Pending p {};
    p.op = Pending::Op::Write;
    p.ov = ov;
    p.source = static_cast<const uint8_t *>(buffer);
    p.count = count;
    DWORD err = 0;
    const ssize_t n = count == 0 ? 0 : c->device->write(p.source, count, err);
    if (n < 0)
        return fail_device(*c, err);
    p.done = DWORD(n);
    if (p.done == count && c->device->held().unsent == 0)
        return completed(ov, p.done, done);
    // The clock is read only for a write that has to wait.
    const int64_t total = write_total_ms(c->timeouts, count);
    p.deadline = total < 0 ? -1 : now_ms() + total;
    return started(*c, p);
}

BOOL WaitCommEvent(HANDLE h, LPDWORD events, LPOVERLAPPED ov)
{
    CommRef c = use_comm(h);
    if (!c)
        return FALSE;
    if (!events || !ov || c->mask == 0)
        return fail(ERROR_INVALID_PARAMETER);
    if (c->gone)
        return fail_gone(*c);
    serve(*c, 0);
    uint64_t total = 0;
    if (!c->device->arrived(total))
        return fail_gone(*c);
    *events = (c->mask & EV_RXCHAR) && total > c->arrivedAtLastWait ? EV_RXCHAR : 0;
    c->arrivedAtLastWait = total;
    return completed(ov, 0, nullptr);
}

BOOL GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD done, BOOL wait)
{
    CommRef c = use_comm(h);
    // A handle closed meanwhile has ended the records it had before its look-up failed (see
    // CloseHandle): that result is final, and kept in the record, as on Windows.
    if (!c)
        return ov && ov->Internal == kStatusCancelled ? result_of(ov, done) : FALSE;
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
        Outcome o = advance(*c, *it, err, ready);
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
            // After a hang-up, one last step takes the bytes that came before it.
            if (err == ERROR_DEVICE_NOT_CONNECTED)
                o = advance(*c, *it, err, ready);
            if (o == Outcome::Incomplete) {
                if (err == ERROR_DEVICE_NOT_CONNECTED)
                    set_gone(*c);
                o = ended_by_failure(*it);
            }
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
    if (c->gone)
        return fail_gone(*c);
    serve(*c, 0);
    DWORD ce = 0;
    COMSTAT counts {};
    DWORD err = 0;
    if (!c->device->status(ce, counts, err))
        return fail_device(*c, err);
    if (errors)
        *errors = ce;
    if (stat)
        *stat = counts;
    return TRUE;
}

BOOL GetCommModemStatus(HANDLE h, LPDWORD status)
{
    CommRef c = use_comm(h);
    if (!c)
        return FALSE;
    if (!status)
        return fail(ERROR_INVALID_PARAMETER);
    if (c->gone)
        return fail_gone(*c);
    serve(*c, 0);
    DWORD err = 0;
    if (!c->device->modem(*status, err))
        return fail_device(*c, err);
    return TRUE;
}
