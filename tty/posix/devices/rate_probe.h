// Asks a serial device's driver how it makes bit rates (see Clock in pure/rates.h).
#ifndef TTY_POSIX_DEVICES_RATE_PROBE_H
#define TTY_POSIX_DEVICES_RATE_PROBE_H

#include "posix/pure/rates.h"

#include <sys/types.h>

namespace tty::posix::devices {

// An 8250-type UART from TIOCGSERIAL (port type and baud_base); an FTDI adapter from sysfs
// (driver name and chip revision). Kind::Driver when the device is neither or cannot tell.
pure::Clock device_clock(int fd, dev_t rdev);

} // namespace tty::posix::devices

#endif
