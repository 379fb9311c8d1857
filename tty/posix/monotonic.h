// The library's monotonic clock: every deadline of the layer and the device kinds is on it.
#ifndef TTY_POSIX_MONOTONIC_H
#define TTY_POSIX_MONOTONIC_H

#include <cstdint>

namespace tty::posix {

// Milliseconds on CLOCK_MONOTONIC.
int64_t now_ms();

// Milliseconds from now to `deadline`, 0 once it has passed.
int ms_left(int64_t deadline);

} // namespace tty::posix

#endif
