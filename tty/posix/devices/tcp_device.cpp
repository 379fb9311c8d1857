// A raw TCP port behind a comm handle: a serial server in its raw mode or a serial-to-network
// module, carrying the bytes unchanged, 0xFF included. The line settings belong to the server,
// so they are taken and read back as given, as a pseudo-terminal does; there are no modem
// lines; the end of the connection is a hang-up once the bytes before it have been read.
#include "posix/devices/descriptor.h"
#include "posix/devices/net.h"
#include "posix/devices/remote.h"

#include <unistd.h>

#include <algorithm>
#include <new>

namespace tty::posix::devices {
namespace {

class TcpDevice final : public DescriptorDevice {
public:
    explicit TcpDevice(int fd) : DescriptorDevice(fd, Type::Socket) {}

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
    bool set_state(const DCB &dcb, bool, int64_t &, DWORD &) override
    {
        keep_asked(asked_, dcb);
        return true;
    }
    // Sent bytes are the kernel's to deliver; closing the socket does not drop them.
    void release() override {}

private:
    DCB asked_ = network_dcb();
};

bool TcpDevice::status(DWORD &errors, COMSTAT &stat, DWORD &err)
{
    errors = 0;
    stat = COMSTAT {};
    const int inq = waiting();
    stat.cbInQue = DWORD(inq > 0 ? inq : 0);
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
    // Only what waits now goes, so the call ends even while the server keeps sending. Read
    // bytes count as received for WaitCommEvent's history, as purged ones do.
    uint8_t buf[16384];
    for (int left = waiting(); left > 0;) {
        const ssize_t r = read(buf, std::min(size_t(left), sizeof buf), err);
        if (r <= 0)
            return r == 0;
        left -= int(r);
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

} // namespace tty::posix::devices
