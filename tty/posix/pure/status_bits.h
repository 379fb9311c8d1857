// What a device reports of its modem lines and receive errors, as ClearCommError and
// GetCommModemStatus report them.
#ifndef TTY_POSIX_PURE_STATUS_BITS_H
#define TTY_POSIX_PURE_STATUS_BITS_H

#include "win32.h"

#include <cstdint>

namespace tty::posix::pure {

// TIOCM_* bits to MS_*_ON bits.
DWORD modem_status_from_tiocm(int bits);

// The receive-error counters of TIOCGICOUNT, and the CE_* bits for their growth.
struct ErrorCounts {
    uint32_t frame = 0;
    uint32_t overrun = 0;
    uint32_t parity = 0;
    uint32_t brk = 0;
    uint32_t bufOverrun = 0;
};
DWORD comm_errors_from_counts(const ErrorCounts &before, const ErrorCounts &now);

} // namespace tty::posix::pure

#endif
