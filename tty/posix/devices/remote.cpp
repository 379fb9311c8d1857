// The connection to a serial server (see remote.h).
#include "posix/devices/remote.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

namespace tty::posix::devices {
namespace {

using namespace pure;

// Received bytes are decoded this many at a time, which bounds the commands held at once.
constexpr size_t kDecodeSlice = 4096;

// Data bytes among the first `bytes` of an escaped run that holds `ff` 0xFF bytes among
// them: every other byte is data, and 0xFF goes as a pair (one begun counts as sent).
size_t escaped_data(size_t bytes, size_t ff)
{
    return bytes - ff + (ff + 1) / 2;
}

} // namespace

std::unique_ptr<Remote> Remote::connect(const RemoteTarget &target, int64_t deadline, DWORD &err)
{
    const int fd = tcp_connect(target.host, target.port, deadline, err);
    if (fd < 0)
        return nullptr;
    std::unique_ptr<Remote> r(new (std::nothrow) Remote);
    if (!r) {
        close(fd);
        err = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    r->fd_ = fd;
    try {
        r->ctl_.reserve(kCtlCap);
        r->options_.start(r->ctl_);
        if (!r->flush(err)) {
            err = WSAECONNRESET;
            return nullptr;
        }
        while (!r->options_.ready()) {
            if (r->options_.refused()) {
                err = ERROR_NOT_SUPPORTED;
                return nullptr;
            }
            if (!r->wait(deadline, err)) {
                if (err == ERROR_DEVICE_NOT_CONNECTED)
                    err = WSAECONNRESET; // the server let us in and closed at once
                return nullptr;
            }
        }
        // The server reports the modem lines from now on, and line errors as they happen.
        com_port(kSetModemstateMask, 0xFF, r->ctl_);
        com_port(kSetLinestateMask, kLineErrors, r->ctl_);
        if (!r->flush(err)) {
            err = WSAECONNRESET;
            return nullptr;
        }
    } catch (const std::bad_alloc &) {
        err = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    return r;
}

Remote::~Remote()
{
    if (fd_ >= 0)
        close(fd_);
}

short Remote::poll_events(bool beyondCap) const
{
    short events = 0;
    if (!closed_ && in_queue() < (beyondCap ? kInHardCap : kInCap))
        events |= POLLIN;
    if (!closed_ && (wireHead_ < wire_.size() || !ctl_.empty() || !data_.empty()))
        events |= POLLOUT;
    return events;
}

bool Remote::hang_up(DWORD &err)
{
    closed_ = true;
    err = ERROR_DEVICE_NOT_CONNECTED;
    return false;
}

bool Remote::awaiting_answers() const
{
    for (int f = kBaud; f < kFields; ++f)
        if (answers_[f] < last_[f])
            return true;
    return false;
}

bool Remote::pump(bool beyondCap, DWORD &err)
{
    uint8_t buf[16384];
    const size_t cap = beyondCap ? kInHardCap : kInCap;
    // Bounded whatever comes: a server that sends nothing but commands (which never fill the
    // data buffer) gets the same share of a call as one that sends data.
    for (size_t budget = kServiceBytes; !closed_ && budget > 0 && in_queue() < cap;) {
        const size_t want = std::min({sizeof buf, budget, cap - in_queue()});
        const ssize_t n = recv(fd_, buf, want, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (n <= 0)
            return hang_up(err);
        budget -= size_t(n);
        for (size_t at = 0; at < size_t(n); at += kDecodeSlice)
            take_in(buf + at, std::min(kDecodeSlice, size_t(n) - at), cap);
        // While answers are awaited, each segment is acknowledged at once: a server whose
        // Nagle holds its next answer until then would otherwise wait for our delayed
        // acknowledgement (some 40 ms). The kernel clears the flag again by itself.
        if (!options_.ready() || awaiting_answers()) {
            const int one = 1;
            setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        }
    }
    return !closed_ || hang_up(err);
}

// Decodes `n` received bytes (at most kDecodeSlice), all of which may be data; the caller
// has made sure that they fit under `cap` with the data held.
void Remote::take_in(const uint8_t *buf, size_t n, size_t cap)
{
    if (inHead_ == in_.size()) {
        in_.clear();
        inHead_ = 0;
    } else if (in_.size() + n > in_.capacity()) {
        in_.erase(in_.begin(), in_.begin() + std::ptrdiff_t(inHead_));
        inHead_ = 0;
    }
    if (in_.size() + n > in_.capacity())
        in_.reserve(std::min(cap, std::max(2 * in_.capacity(), in_.size() + n)));
    const size_t before = in_.size();
    commands_.clear();
    decoder_.feed(buf, n, in_, commands_);
    received_ += in_.size() - before;
    for (const Command &c : commands_)
        handle(c);
}

// Queues a command to send; one that finds the queue full is dropped, so that a server that
// asks without reading cannot grow it.
bool Remote::queue_command(const std::vector<uint8_t> &bytes)
{
    if (ctl_.size() + bytes.size() > kCtlCap)
        return false;
    ctl_.insert(ctl_.end(), bytes.begin(), bytes.end());
    return true;
}

void Remote::handle(const Command &c)
{
    if (c.verb != kSb) {
        // A refusal that does not fit is dropped: the option stays off either way.
        scratch_.clear();
        options_.receive(c.verb, c.option, scratch_);
        queue_command(scratch_);
        return;
    }
    Answer a;
    if (!parse_answer(c, a))
        return;
    switch (a.command) {
    case kSetBaudrate: answered(kBaud, a.value); break;
    case kSetDatasize: answered(kData, a.value); break;
    case kSetParity: answered(kParity, a.value); break;
    case kSetStopsize: answered(kStop, a.value); break;
    case kSetControl:
        // The same command answers DTR, RTS and flow control; only the latter is kept.
        if (a.value >= kFlowNone && a.value <= kFlowHardware)
            answered(kFlow, a.value);
        break;
    case kNotifyModemstate: modem_ = uint8_t(a.value); break;
    case kNotifyLinestate: lineState_ |= uint8_t(a.value); break;
    default: break;
    }
}

// One answer of the server: it states the device's setting now, and it answers the oldest of
// our requests for that setting not yet answered (none: the server spoke by itself).
void Remote::answered(Field f, uint32_t value)
{
    RemoteLine *lines[] = {&confirmed_, nullptr};
    if (answers_[f] < asked_[f] && ++answers_[f] == last_[f])
        lines[1] = &got_;
    for (RemoteLine *l : lines) {
        if (!l)
            continue;
        switch (f) {
        case kFlow: l->flow = uint8_t(value); break;
        case kBaud: l->baud = value; break;
        case kData: l->dataSize = uint8_t(value); break;
        case kParity: l->parity = uint8_t(value); break;
        case kStop: l->stopSize = uint8_t(value); break;
        case kFields: break;
        }
    }
}

// Accounts for `n` bytes of wire_ handed to the socket from wireHead_ on.
void Remote::sent(size_t n)
{
    const size_t from = std::max(wireHead_, ctlEnd_);
    const size_t to = wireHead_ + n;
    if (to > from)
        wireFfSent_ += size_t(std::count(wire_.begin() + std::ptrdiff_t(from), wire_.begin() + std::ptrdiff_t(to), kIac));
    wireHead_ = to;
}

bool Remote::flush(DWORD &err)
{
    while (!closed_) {
        if (wireHead_ == wire_.size()) {
            wire_.clear();
            wireHead_ = 0;
            wire_.swap(ctl_);
            ctlEnd_ = wire_.size();
            wireData_ = std::min(data_.size(), kOutCap);
            wireFfSent_ = 0;
            escape(data_.data(), wireData_, wire_);
            data_.erase(data_.begin(), data_.begin() + std::ptrdiff_t(wireData_));
            ctl_.reserve(kCtlCap);
            if (wire_.empty())
                return true;
        }
        const ssize_t n = send(fd_, wire_.data() + wireHead_, wire_.size() - wireHead_, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (n < 0)
            return hang_up(err);
        sent(size_t(n));
    }
    return hang_up(err);
}

bool Remote::service(DWORD &err, bool beyondCap)
{
    try {
        if (flush(err) && pump(beyondCap, err) && flush(err))
            return true;
    } catch (const std::bad_alloc &) {
        err = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    RemoteLine got;
    return beyondCap && closed_ && line_answered(got);
}

bool Remote::wait(int64_t deadline, DWORD &err)
{
    if (now_ms() >= deadline) {
        err = kErrorTimeout;
        return false;
    }
    struct pollfd p {fd_, poll_events(), 0};
    int r;
    while ((r = poll(&p, 1, ms_left(deadline))) < 0 && errno == EINTR) {
    }
    if (r == 0) {
        err = kErrorTimeout;
        return false;
    }
    return service(err);
}

bool Remote::request_line(const RemoteLine &line, ModemDrive drive)
{
    got_ = RemoteLine {};
    try {
        scratch_.clear();
        com_port(kSetControl, line.flow, scratch_);
        set_baudrate(line.baud, scratch_);
        com_port(kSetDatasize, line.dataSize, scratch_);
        com_port(kSetParity, line.parity, scratch_);
        com_port(kSetStopsize, line.stopSize, scratch_);
        if (drive.dtr != Drive::Leave)
            com_port(kSetControl, drive.dtr == Drive::Raise ? kDtrOn : kDtrOff, scratch_);
        if (drive.rts != Drive::Leave)
            com_port(kSetControl, drive.rts == Drive::Raise ? kRtsOn : kRtsOff, scratch_);
        if (!queue_command(scratch_))
            return false; // not sent: the answers never come and the change fails at its time-out
    } catch (const std::bad_alloc &) {
        return false;
    }
    for (int f = 0; f < kFields; ++f)
        last_[f] = ++asked_[f];
    DWORD err = 0;
    flush(err);
    return true;
}

bool Remote::line_answered(RemoteLine &got) const
{
    got = got_;
    return got_.baud != 0 && got_.dataSize != 0 && got_.parity != 0 && got_.stopSize != 0;
}

size_t Remote::read(uint8_t *dst, size_t n)
{
    n = std::min(n, in_queue());
    std::copy_n(in_.data() + inHead_, n, dst);
    inHead_ += n;
    if (inHead_ == in_.size() && in_.capacity() > kInCap)
        std::vector<uint8_t>().swap(in_); // the room taken beyond the cap goes back at once
    if (in_.empty())
        inHead_ = 0;
    return n;
}

ssize_t Remote::write(const uint8_t *src, size_t n, DWORD &err)
{
    if (closed_) {
        hang_up(err);
        return -1;
    }
    try {
        if (!flush(err))
            return -1;
        const size_t take = std::min(n, kOutCap - std::min(kOutCap, data_.size()));
        data_.insert(data_.end(), src, src + take);
        if (!flush(err))
            return -1;
        return ssize_t(take);
    } catch (const std::bad_alloc &) {
        err = ERROR_NOT_ENOUGH_MEMORY;
        return -1;
    }
}

size_t Remote::out_queue() const
{
    const size_t sentData = wireHead_ > ctlEnd_ ? escaped_data(wireHead_ - ctlEnd_, wireFfSent_) : 0;
    return data_.size() + wireData_ - sentData;
}

void Remote::purge(bool receive, bool transmit)
{
    if (receive) {
        in_.clear();
        inHead_ = 0;
    }
    if (transmit) {
        data_.clear();
        // What is left of the escaped data goes too, except the second half of a 0xFF pair
        // begun: a lone IAC would make the server read the next bytes as a command.
        size_t keep = std::max(wireHead_, ctlEnd_);
        if (wireFfSent_ % 2 == 1)
            ++keep;
        if (keep < wire_.size()) {
            wire_.resize(keep);
            wireData_ = keep > ctlEnd_ ? escaped_data(keep - ctlEnd_, wireFfSent_) : 0;
        }
    }
    if (receive || transmit) {
        try {
            scratch_.clear();
            com_port(kPurgeData, receive && transmit ? kPurgeBoth : receive ? kPurgeReceive : kPurgeTransmit, scratch_);
            queue_command(scratch_);
        } catch (const std::bad_alloc &) {
            return; // the server keeps its buffers; ours are empty
        }
        DWORD err = 0;
        flush(err);
    }
}

DWORD Remote::take_line_errors()
{
    const DWORD ce = comm_errors_from_linestate(lineState_);
    lineState_ = 0;
    return ce;
}

void Remote::drain(int64_t ms)
{
    const int64_t deadline = now_ms() + ms;
    DWORD err = 0;
    // Only data is waited for: commands left (refusals a server did not read) are not worth it.
    while (!closed_) {
        if (!flush(err) || out_queue() == 0)
            return;
        struct pollfd p {fd_, POLLOUT, 0};
        if (poll(&p, 1, ms_left(deadline)) <= 0)
            return;
    }
}

} // namespace tty::posix::devices
