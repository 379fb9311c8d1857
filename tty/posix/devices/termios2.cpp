// TCGETS2 and TCSETS2 (see termios2.h). Free of <termios.h>, as line_settings.cpp is.
#include "posix/devices/termios2.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstring>

namespace tty::posix::devices {

int line_get(int fd, pure::LineSettings &out)
{
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0)
        return -1;
    std::memcpy(static_cast<void *>(&out), &t, sizeof t);
    return 0;
}

int line_set(int fd, const pure::LineSettings &in)
{
    struct termios2 t {};
    std::memcpy(&t, &in, sizeof t);
    return ioctl(fd, TCSETS2, &t);
}

} // namespace tty::posix::devices
