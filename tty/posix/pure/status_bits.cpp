// Modem and error bits (see status_bits.h).
#include "posix/pure/status_bits.h"

#include <sys/ioctl.h>

namespace tty::posix::pure {

DWORD modem_status_from_tiocm(int bits)
{
    DWORD ms = 0;
    if (bits & TIOCM_CTS)
        ms |= MS_CTS_ON;
    if (bits & TIOCM_DSR)
        ms |= MS_DSR_ON;
    if (bits & TIOCM_RNG)
        ms |= MS_RING_ON;
    if (bits & TIOCM_CAR)
        ms |= MS_RLSD_ON;
    return ms;
}

DWORD comm_errors_from_counts(const ErrorCounts &before, const ErrorCounts &now)
{
    // Counters only grow; a smaller value (a driver that reset them) is no error.
    DWORD ce = 0;
    if (now.overrun > before.overrun)
        ce |= CE_OVERRUN;
    if (now.bufOverrun > before.bufOverrun)
        ce |= CE_RXOVER;
    if (now.parity > before.parity)
        ce |= CE_RXPARITY;
    if (now.frame > before.frame)
        ce |= CE_FRAME;
    if (now.brk > before.brk)
        ce |= CE_BREAK;
    return ce;
}

} // namespace tty::posix::pure
