// How a device makes bit rates: the divisor models of 8250-type UARTs and FTDI adapters,
// and the tolerance within which a rate counts as made.
#ifndef TTY_POSIX_PURE_RATES_H
#define TTY_POSIX_PURE_RATES_H

#include <cstdint>

namespace tty::posix::pure {

// Whether a line asked for `asked` bit/s and running at `runs` is close enough: within 2 %,
// the error at which a receiver still frames characters.
bool rate_close(uint64_t asked, uint64_t runs);

// How a device makes bit rates, as its driver tells: an 8250-type UART divides `base` (its
// baud_base) by a whole number; an FTDI USB adapter (not the first SIO chip) divides 3 MHz
// by a number in eighths, at most 16383.875; anything else is taken at its driver's word.
struct Clock {
    enum class Kind { Driver, Divisor, Ftdi };
    Kind kind = Kind::Driver;
    uint32_t base = 0; // Divisor: the rate at divisor 1
};

// Whether the device runs a line asked for `rate` bit/s within 2 % of it (rate_close), the
// tolerance the read-back check allows too.
bool clock_makes(const Clock &clock, uint32_t rate);

// The rate the device runs at when asked for `rate`; 0 when it cannot divide down to it.
// For Kind::Driver, `rate` itself.
uint32_t clock_rate(const Clock &clock, uint32_t rate);

} // namespace tty::posix::pure

#endif
