// How a device makes bit rates (see rates.h).
#include "posix/pure/rates.h"

namespace tty::posix::pure {

bool rate_close(uint64_t asked, uint64_t runs)
{
    const uint64_t diff = asked > runs ? asked - runs : runs - asked;
    return diff * 50 <= asked;
}

uint32_t clock_rate(const Clock &c, uint32_t rate)
{
    if (rate == 0)
        return 0;
    switch (c.kind) {
    case Clock::Kind::Driver:
        return rate;
    case Clock::Kind::Divisor: {
        // The 8250 driver's divisor: base / rate rounded to the nearest whole number.
        const uint64_t divisor = (uint64_t(c.base) + rate / 2) / rate;
        if (divisor == 0 || divisor > 0xFFFF)
            return 0;
        return uint32_t((c.base + divisor / 2) / divisor);
    }
    case Clock::Kind::Ftdi: {
        // ftdi_sio: 3 MHz over a divisor in eighths, rounded to the nearest eighth. Below 2
        // only 1 (3 Mbit/s) and 1.5 (2 Mbit/s) exist; the whole part has 14 bits. Chips
        // with a faster clock use it only from 1200 bit/s up, where this one is within the
        // tolerance as well, so the decision is the same for them.
        constexpr uint64_t eighths = 24000000;
        const uint64_t d3 = (eighths + rate / 2) / rate;
        if (d3 < 16 && d3 != 8 && d3 != 12)
            return 0;
        if (d3 > 16383 * 8 + 7)
            return 0;
        return uint32_t((eighths + d3 / 2) / d3);
    }
    }
    return 0;
}

bool clock_makes(const Clock &c, uint32_t rate)
{
    const uint32_t made = clock_rate(c, rate);
    return made != 0 && rate_close(rate, made);
}

} // namespace tty::posix::pure
