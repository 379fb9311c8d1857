// The connection to a serial server (see remote.h).
#include "remote.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <cerrno>
#include <climits>
#include <new>
#include <string>

namespace tty::posix {
namespace {

using namespace rfc2217;

// Received data is held up to this much; beyond it the socket is left unread, so that a
// server sending faster than the program reads is slowed down by TCP instead of growing
// memory. While waiting for answers to settings, data is taken in up to kInHardCap so
// that the answers behind it can be seen.
constexpr size_t kInCap = 64 * 1024;
constexpr size_t kInHardCap = 1024 * 1024;
// Data taken for sending and not yet on the wire, like a serial driver's output queue.
constexpr size_t kOutCap = 4096;

int ms_left(int64_t deadline)
{
    return int(std::clamp<int64_t>(deadline - now_ms(), 0, INT_MAX));
}

// A name lookup with a time limit. getaddrinfo alone cannot be bounded, so a name is looked
// up by a thread of its own; one still running at the deadline is abandoned and frees its
// result when it ends. (glibc's getaddrinfo_a would do the same with threads that the
// sanitizers cannot follow.)
struct Lookup {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    bool abandoned = false;
    int rc = 0;
    struct addrinfo *result = nullptr;
};

struct addrinfo *resolve(const RemoteTarget &t, int64_t deadline, DWORD &err)
{
    err = ERROR_FILE_NOT_FOUND;
    const std::string service = std::to_string(t.port);
    struct addrinfo hints {};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    struct addrinfo *res = nullptr;
    if (getaddrinfo(t.host.c_str(), service.c_str(), &hints, &res) == 0)
        return res;

    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, host = t.host, service] {
            struct addrinfo hints {};
            hints.ai_socktype = SOCK_STREAM;
            hints.ai_flags = AI_NUMERICSERV;
            struct addrinfo *found = nullptr;
            const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
            std::lock_guard lock(lookup->mutex);
            if (lookup->abandoned) {
                if (rc == 0)
                    freeaddrinfo(found);
                return;
            }
            lookup->rc = rc;
            lookup->result = rc == 0 ? found : nullptr;
            lookup->done = true;
            lookup->ended.notify_all();
        }).detach();
    } catch (const std::system_error &) {
        err = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    std::unique_lock lock(lookup->mutex);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms_left(deadline));
    if (!lookup->ended.wait_until(lock, until, [&] { return lookup->done; })) {
        lookup->abandoned = true;
        err = kErrorTimeout;
        return nullptr;
    }
    return lookup->result;
}

// A connected, non-blocking socket to one of `list`'s addresses, or -1.
int connect_any(const struct addrinfo *list, int64_t deadline, DWORD &err)
{
    err = ERROR_FILE_NOT_FOUND;
    for (const struct addrinfo *a = list; a; a = a->ai_next) {
        const int fd = socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            continue;
        int r = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (r != 0 && errno == EINPROGRESS) {
            struct pollfd p {fd, POLLOUT, 0};
            while ((r = poll(&p, 1, ms_left(deadline))) < 0 && errno == EINTR) {
            }
            int soError = 0;
            socklen_t len = sizeof soError;
            if (r == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) == 0 && soError == 0) {
                r = 0;
            } else {
                if (r == 0)
                    err = kErrorTimeout;
                r = -1;
            }
        }
        if (r == 0) {
            // One-byte writes of a terminal must not wait for more to fill a segment.
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            // A server that vanishes without closing (power, cable) is a hang-up within about
            // half a minute of silence, not after the system's two hours.
            const int idle = 15, interval = 5, probes = 3;
            setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
            setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
            setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
            setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
            return fd;
        }
        close(fd);
        if (now_ms() >= deadline)
            break;
    }
    return -1;
}

} // namespace

std::unique_ptr<Remote> Remote::connect(const RemoteTarget &target, int64_t deadline, DWORD &err)
{
    struct addrinfo *list = resolve(target, deadline, err);
    if (!list)
        return nullptr;
    const int fd = connect_any(list, deadline, err);
    freeaddrinfo(list);
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
        r->options_.start(r->ctl_);
        if (!r->flush(err)) {
            err = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        while (!r->options_.ready()) {
            if (r->options_.refused()) {
                err = ERROR_NOT_SUPPORTED;
                return nullptr;
            }
            if (!r->wait(deadline, err)) {
                if (err == ERROR_DEVICE_NOT_CONNECTED)
                    err = ERROR_FILE_NOT_FOUND; // the server let us in and closed at once
                return nullptr;
            }
        }
        // The server reports the modem lines from now on, and line errors as they happen.
        com_port(kSetModemstateMask, 0xFF, r->ctl_);
        com_port(kSetLinestateMask, kLineErrors, r->ctl_);
        if (!r->flush(err)) {
            err = ERROR_FILE_NOT_FOUND;
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

bool Remote::pump(bool beyondCap, DWORD &err)
{
    uint8_t buf[16384];
    const size_t cap = beyondCap ? kInHardCap : kInCap;
    while (!closed_ && in_queue() < cap) {
        const ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (n <= 0)
            return hang_up(err);
        if (inHead_ == in_.size()) {
            in_.clear();
            inHead_ = 0;
        } else if (inHead_ >= kInCap) {
            in_.erase(in_.begin(), in_.begin() + std::ptrdiff_t(inHead_));
            inHead_ = 0;
        }
        const size_t before = in_.size();
        commands_.clear();
        decoder_.feed(buf, size_t(n), in_, commands_);
        received_ += in_.size() - before;
        for (const Command &c : commands_)
            handle(c);
    }
    return !closed_ || hang_up(err);
}

void Remote::handle(const Command &c)
{
    if (c.verb != kSb) {
        options_.receive(c.verb, c.option, ctl_);
        return;
    }
    Answer a;
    if (!parse_answer(c, a))
        return;
    switch (a.command) {
    case kSetBaudrate: got_.baud = a.value; break;
    case kSetDatasize: got_.dataSize = uint8_t(a.value); break;
    case kSetParity: got_.parity = uint8_t(a.value); break;
    case kSetStopsize: got_.stopSize = uint8_t(a.value); break;
    case kSetControl:
        // The same command answers DTR, RTS and flow control; only the latter is kept.
        if (a.value >= kFlowNone && a.value <= kFlowHardware)
            got_.flow = uint8_t(a.value);
        break;
    case kNotifyModemstate: modem_ = uint8_t(a.value); break;
    case kNotifyLinestate: lineState_ |= uint8_t(a.value); break;
    default: break;
    }
}

bool Remote::flush(DWORD &err)
{
    while (!closed_) {
        if (wireHead_ == wire_.size()) {
            wire_.clear();
            wireHead_ = 0;
            wire_.swap(ctl_);
            const size_t n = std::min(data_.size(), kOutCap);
            escape(data_.data(), n, wire_);
            data_.erase(data_.begin(), data_.begin() + std::ptrdiff_t(n));
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
        wireHead_ += size_t(n);
    }
    return hang_up(err);
}

bool Remote::service(DWORD &err, bool beyondCap)
{
    try {
        return flush(err) && pump(beyondCap, err) && flush(err);
    } catch (const std::bad_alloc &) {
        err = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
}

bool Remote::wait(int64_t deadline, DWORD &err)
{
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

void Remote::request_line(const Line &line, ModemDrive drive)
{
    got_ = Line {};
    try {
        com_port(kSetControl, line.flow, ctl_);
        set_baudrate(line.baud, ctl_);
        com_port(kSetDatasize, line.dataSize, ctl_);
        com_port(kSetParity, line.parity, ctl_);
        com_port(kSetStopsize, line.stopSize, ctl_);
        if (drive.dtr != Drive::Leave)
            com_port(kSetControl, drive.dtr == Drive::Raise ? kDtrOn : kDtrOff, ctl_);
        if (drive.rts != Drive::Leave)
            com_port(kSetControl, drive.rts == Drive::Raise ? kRtsOn : kRtsOff, ctl_);
    } catch (const std::bad_alloc &) {
        return; // not sent: the answers never come and the change fails at its time-out
    }
    DWORD err = 0;
    flush(err);
}

bool Remote::line_answered(Line &got) const
{
    got = got_;
    return got_.baud != 0 && got_.dataSize != 0 && got_.parity != 0 && got_.stopSize != 0;
}

size_t Remote::read(uint8_t *dst, size_t n)
{
    n = std::min(n, in_queue());
    std::copy_n(in_.data() + inHead_, n, dst);
    inHead_ += n;
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
    return data_.size() + (wire_.size() - wireHead_);
}

void Remote::purge(bool receive, bool transmit)
{
    if (receive) {
        in_.clear();
        inHead_ = 0;
    }
    if (transmit)
        data_.clear();
    if (receive || transmit) {
        try {
            com_port(kPurgeData, receive && transmit ? kPurgeBoth : receive ? kPurgeReceive : kPurgeTransmit, ctl_);
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
    while (!closed_ && out_queue() + ctl_.size() > 0) {
        if (!flush(err) || out_queue() + ctl_.size() == 0)
            return;
        struct pollfd p {fd_, POLLOUT, 0};
        if (poll(&p, 1, ms_left(deadline)) <= 0)
            return;
    }
}

} // namespace tty::posix
