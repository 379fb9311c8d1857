// The only calls that move line settings between a terminal's descriptor and LineSettings
// (pure/line_settings.h): TCGETS2 and TCSETS2.
#ifndef TTY_POSIX_DEVICES_TERMIOS2_H
#define TTY_POSIX_DEVICES_TERMIOS2_H

#include "posix/pure/line_settings.h"

namespace tty::posix::devices {

// TCGETS2 / TCSETS2 (the latter applies at once). Return 0, or -1 with errno set.
int line_get(int fd, pure::LineSettings &out);
int line_set(int fd, const pure::LineSettings &in);

} // namespace tty::posix::devices

#endif
