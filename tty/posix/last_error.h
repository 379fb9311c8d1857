// The layer's last error as errno: the one table from the Win32 error values the layer sets
// to the errno values a Linux caller of the library sees after a failed call.
#ifndef TTY_POSIX_LAST_ERROR_H
#define TTY_POSIX_LAST_ERROR_H

#include "win32.h"

namespace tty::posix {

// The errno value for a last-error value; EIO for one without a closer match.
int errno_from_last_error(DWORD err);

// The last-error value for what a failed socket call left in errno.
DWORD last_error_from_socket_errno(int err);

} // namespace tty::posix

#endif
