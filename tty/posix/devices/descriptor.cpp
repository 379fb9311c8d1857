// The descriptor-reading kinds' shared part (see descriptor.h).
#include "posix/devices/descriptor.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace tty::posix::devices {
namespace {

constexpr short kHungUp = POLLHUP | POLLERR | POLLNVAL;

// Errors of a terminal that mean the device has gone; anything else is a plain failure. On
// a socket every failure is the connection's end.
bool gone_error(int err)
{
    return err == EIO || err == ENXIO || err == ENODEV;
}

} // namespace

DescriptorDevice::~DescriptorDevice()
{
    close(fd_);
}

int DescriptorDevice::waiting() const
{
    int n = 0;
    if (ioctl(fd_, FIONREAD, &n) != 0)
        return -1;
    return n > 0 ? n : 0;
}

bool DescriptorDevice::ended()
{
    if (type_ == Type::Terminal) {
        struct pollfd p {fd_, 0, 0};
        return poll(&p, 1, 0) == 1 && (p.revents & kHungUp);
    }
    struct pollfd p {fd_, POLLIN | POLLRDHUP, 0};
    if (!ended_ && poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | kHungUp)))
        ended_ = true;
    return ended_;
}

ssize_t DescriptorDevice::read(uint8_t *dst, size_t n, DWORD &err)
{
    if (n == 0)
        return 0;
    for (;;) {
        const ssize_t r = ::read(fd_, dst, n);
        if (r > 0) {
            left_ += uint64_t(r);
            return r;
        }
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        if (type_ == Type::Socket) {
            ended_ = true;
            err = ERROR_DEVICE_NOT_CONNECTED;
            return -1;
        }
        // A read of 0 is a hang-up in our raw mode (see line_make_raw); poll confirms it in
        // case someone else has changed the line's settings since.
        if (r == 0 && !ended())
            return 0;
        err = (r == 0 || gone_error(errno)) ? ERROR_DEVICE_NOT_CONNECTED : ERROR_GEN_FAILURE;
        return -1;
    }
}

ssize_t DescriptorDevice::write(const uint8_t *src, size_t n, DWORD &err)
{
    if (n == 0)
        return 0;
    for (;;) {
        // A socket whose peer has gone would raise SIGPIPE under write().
        const ssize_t r = type_ == Type::Socket ? send(fd_, src, n, MSG_DONTWAIT | MSG_NOSIGNAL)
                                                : ::write(fd_, src, n);
        if (r >= 0)
            return r;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        if (type_ == Type::Socket)
            ended_ = true;
        err = type_ == Type::Socket || gone_error(errno) ? ERROR_DEVICE_NOT_CONNECTED : ERROR_GEN_FAILURE;
        return -1;
    }
}

bool DescriptorDevice::arrived(uint64_t &total)
{
    const int inq = waiting();
    if (inq < 0)
        return false;
    total = left_ + uint64_t(inq);
    return type_ == Type::Terminal || inq > 0 || !ended();
}

struct pollfd DescriptorDevice::poll_for(Want want)
{
    // A socket's end shows only to POLLRDHUP while the connection is half open.
    const short end = type_ == Type::Socket ? short(POLLRDHUP) : short(0);
    short events = end;
    if (want == Want::Input)
        events |= POLLIN;
    else if (want == Want::Output)
        events = POLLOUT;
    return {fd_, events, 0};
}

bool DescriptorDevice::service(short revents)
{
    // The kernel moves the bytes: only the end is left to see.
    if (type_ == Type::Terminal)
        return !(revents & kHungUp);
    if (revents & (POLLRDHUP | kHungUp))
        ended_ = true;
    return !ended_ || waiting() > 0;
}

} // namespace tty::posix::devices
