// How a device makes bit rates, from its driver: TIOCGSERIAL for UARTs, sysfs for USB.
#include "posix/devices/rate_probe.h"

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace tty::posix::devices {
namespace {

// Only the plain divisor UARTs: later types have prescalers or sampling clocks of their own.
bool plain_divisor_uart(int type)
{
    return type == PORT_8250 || type == PORT_16450 || type == PORT_16550 || type == PORT_16550A;
}

std::string sysfs_dir(dev_t rdev)
{
    return "/sys/dev/char/" + std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev));
}

// ftdi_sio tells its chips apart by the USB device's release number; below 0x200 is the SIO,
// which knows only ten fixed rates and reports any other as the 9600 it falls back to.
bool ftdi_with_divisor(dev_t rdev)
{
    const std::string dir = sysfs_dir(rdev) + "/device";
    char link[256] = {};
    const ssize_t n = readlink((dir + "/driver").c_str(), link, sizeof link - 1);
    if (n <= 0)
        return false;
    const char *slash = std::strrchr(link, '/');
    if (std::strcmp(slash ? slash + 1 : link, "ftdi_sio") != 0)
        return false;
    // device/.. is the USB interface, device/../.. the USB device.
    FILE *f = std::fopen((dir + "/../../bcdDevice").c_str(), "re");
    if (!f)
        return false;
    unsigned release = 0;
    const bool read = std::fscanf(f, "%x", &release) == 1;
    std::fclose(f);
    return read && release >= 0x200;
}

} // namespace

pure::Clock device_clock(int fd, dev_t rdev)
{
    pure::Clock c;
    struct serial_struct ss {};
    if (ioctl(fd, TIOCGSERIAL, &ss) == 0 && plain_divisor_uart(ss.type) && ss.baud_base > 0 &&
        !(ss.flags & ASYNC_MAGIC_MULTIPLIER)) {
        c.kind = pure::Clock::Kind::Divisor;
        c.base = uint32_t(ss.baud_base);
        return c;
    }
    if (ftdi_with_divisor(rdev))
        c.kind = pure::Clock::Kind::Ftdi;
    return c;
}

} // namespace tty::posix::devices
