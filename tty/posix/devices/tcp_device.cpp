// A raw TCP port behind a comm handle: a serial server in its raw mode or a serial-to-network
// module, carrying the bytes unchanged, 0xFF included. The line settings belong to the server,
// so they are taken and read back as given, as a pseudo-terminal does; there are no modem
// lines; the end of the connection is a hang-up once the bytes before it have been read.
#include "posix/devices/device.h"
#include "posix/devices/net.h"
#include "posix/devices/remote.h"
#include "posix/devices/stash.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

namespace tty::posix {
namespace {

class TcpDevice final : public Device {
public:
    explicit TcpDevice(int fd) : fd_(fd) {}
    ~TcpDevice() override { close(fd_); }

    ssize_t read(uint8_t *dst, size_t n, DWORD &err) override;
    ssize_t write(const uint8_t *src, size_t n, DWORD &err) override;
    bool arrived(uint64_t &total) override;
    ssize_t take_in(DWORD &err, bool &full) override;
    size_t held() const override { return stash_.size(); }
    bool hung_up() override { return stash_.empty() && waiting() == 0 && ended(); }
    struct pollfd poll_for(Want want) override;
    // The end of the connection shows as input, to be read after the bytes before it.
    bool gone_in(short) const override { return false; }
    bool status(DWORD &errors, COMSTAT &stat, DWORD &err) override;
    bool modem(DWORD &, DWORD &err) override
    {
        err = ERROR_NOT_SUPPORTED; // no modem lines, as on a pseudo-terminal
        return false;
    }
    bool purge(bool input, bool output, DWORD &err) override;
    bool get_state(DCB &dcb, DWORD &) override
    {
        dcb = asked_;
        return true;
    }
    bool set_state(const DCB &dcb, Pause &, DWORD &) override
    {
        keep_asked(asked_, dcb);
        return true;
    }
    // Sent bytes are the kernel's to deliver; closing the socket does not drop them.
    void release() override {}

private:
    ssize_t recv_some(uint8_t *dst, size_t n, DWORD &err);
    size_t waiting() const;
    bool ended();

    int fd_;
    bool ended_ = false; // the server closed (or reset) the connection
    DCB asked_ = network_dcb();
    Stash stash_;
};

// Bytes waiting in the socket.
size_t TcpDevice::waiting() const
{
    int n = 0;
    return ioctl(fd_, FIONREAD, &n) == 0 && n > 0 ? size_t(n) : 0;
}

// Whether the server has closed its side or the connection has failed, without waiting.
bool TcpDevice::ended()
{
    struct pollfd p {fd_, POLLIN | POLLRDHUP, 0};
    if (!ended_ && poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)))
        ended_ = true;
    return ended_;
}

ssize_t TcpDevice::recv_some(uint8_t *dst, size_t n, DWORD &err)
{
    if (n == 0)
        return 0;
    for (;;) {
        const ssize_t r = recv(fd_, dst, n, MSG_DONTWAIT);
        if (r > 0)
            return r;
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        ended_ = true;
        err = ERROR_DEVICE_NOT_CONNECTED;
        return -1;
    }
}

ssize_t TcpDevice::read(uint8_t *dst, size_t n, DWORD &err)
{
    return stash_.read(dst, n, err, [this](uint8_t *d, size_t m, DWORD &e) { return recv_some(d, m, e); });
}

ssize_t TcpDevice::write(const uint8_t *src, size_t n, DWORD &err)
{
    if (n == 0)
        return 0;
    for (;;) {
        const ssize_t r = send(fd_, src, n, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (r >= 0)
            return r;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        ended_ = true;
        err = ERROR_DEVICE_NOT_CONNECTED;
        return -1;
    }
}

bool TcpDevice::arrived(uint64_t &total)
{
    const size_t inq = waiting();
    total = stash_.arrived(inq);
    return inq > 0 || !stash_.empty() || !ended();
}

ssize_t TcpDevice::take_in(DWORD &err, bool &full)
{
    const size_t inq = waiting();
    if (inq == 0 && ended()) {
        err = ERROR_DEVICE_NOT_CONNECTED;
        return -1;
    }
    return stash_.take_in(inq, err, full,
                          [this](uint8_t *d, size_t m, DWORD &e) { return recv_some(d, m, e); });
}

struct pollfd TcpDevice::poll_for(Want want)
{
    short events = 0;
    if (want == Want::Input || want == Want::Event)
        events = POLLIN | POLLRDHUP;
    else if (want == Want::Output)
        events = POLLOUT;
    return {fd_, events, 0};
}

bool TcpDevice::status(DWORD &errors, COMSTAT &stat, DWORD &err)
{
    errors = 0;
    stat = COMSTAT {};
    stat.cbInQue = DWORD(std::min<size_t>(waiting() + stash_.size(), UINT32_MAX));
    // Nothing queues on this side: a write hands its bytes to the socket or waits.
    if (stat.cbInQue == 0 && ended()) {
        err = ERROR_DEVICE_NOT_CONNECTED;
        return false;
    }
    return true;
}

bool TcpDevice::purge(bool input, bool, DWORD &err)
{
    if (!input)
        return true;
    // Purged bytes still count as received for WaitCommEvent's history. Only what waits now
    // goes, so the call ends even while the server keeps sending.
    stash_.purge(0);
    uint8_t buf[16384];
    for (size_t left = waiting(); left > 0;) {
        const ssize_t r = recv_some(buf, std::min(left, sizeof buf), err);
        if (r <= 0)
            return r == 0;
        stash_.purge(uint64_t(r));
        left -= size_t(r);
    }
    return true;
}

} // namespace

std::unique_ptr<Device> open_tcp_device(const RemoteTarget &target, DWORD &err)
{
    const int fd = tcp_connect(target.host, target.port, now_ms() + kRemoteOpenMs, err);
    if (fd < 0)
        return nullptr;
    try {
        return std::make_unique<TcpDevice>(fd);
    } catch (const std::bad_alloc &) {
        close(fd);
        err = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
}

} // namespace tty::posix
