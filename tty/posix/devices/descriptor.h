// The base of the device kinds that read a descriptor themselves (a local device, a raw TCP
// port): the non-blocking transfers with their EINTR/EAGAIN loops, how the descriptor shows
// its end, and the count of every byte that entered its input queue (WaitCommEvent's
// history). A terminal ends with a hang-up; a socket's end shows as input, to be read after
// the bytes before it.
#ifndef TTY_POSIX_DEVICES_DESCRIPTOR_H
#define TTY_POSIX_DEVICES_DESCRIPTOR_H

#include "posix/devices/device.h"

namespace tty::posix::devices {

class DescriptorDevice : public Device {
public:
    ssize_t read(uint8_t *dst, size_t n, DWORD &err) override;
    ssize_t write(const uint8_t *src, size_t n, DWORD &err) override;
    bool arrived(uint64_t &total) override;
    struct pollfd poll_for(Want want) override;
    bool service(short revents) override;

protected:
    enum class Type { Terminal, Socket };
    DescriptorDevice(int fd, Type type) : fd_(fd), type_(type) {}
    ~DescriptorDevice() override;

    int fd() const { return fd_; }
    // Bytes waiting in the input queue; -1 when the descriptor cannot tell (the device has gone).
    int waiting() const;
    // Whether the other end has gone, without waiting: a hang-up, or the connection's end.
    bool ended();
    // Counts bytes dropped from the input queue (a purge): they still count as arrived.
    void dropped(uint64_t n) { left_ += n; }

private:
    const int fd_;
    const Type type_;
    bool ended_ = false; // a socket's end has been seen
    uint64_t left_ = 0;  // bytes that have left the input queue, read or dropped
};

} // namespace tty::posix::devices

#endif
