// The time rules of transfers (see timeouts.h).
#include "posix/pure/timeouts.h"

#include <algorithm>

namespace tty::posix::pure {

// A limit that no wait could outlive counts as none, which also keeps the sums in range.
static int64_t limit_ms(uint64_t ms)
{
    return ms >= (uint64_t(1) << 40) ? -1 : int64_t(ms);
}

ReadRule read_rule(const COMMTIMEOUTS &t, DWORD count)
{
    ReadRule r{false, false, false, -1, -1};
    if (t.ReadIntervalTimeout == MAXDWORD) {
        if (t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
            r.atOnce = true;
            return r;
        }
        r.takesWaiting = true;
        if (t.ReadTotalTimeoutMultiplier == MAXDWORD && t.ReadTotalTimeoutConstant != MAXDWORD) {
            r.endsOnArrival = true;
            r.totalMs = t.ReadTotalTimeoutConstant;
            return r;
        }
    } else if (t.ReadIntervalTimeout != 0) {
        r.intervalMs = t.ReadIntervalTimeout;
    }
    if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0)
        r.totalMs = limit_ms(uint64_t(t.ReadTotalTimeoutMultiplier) * count +
                             t.ReadTotalTimeoutConstant);
    return r;
}

int64_t write_total_ms(const COMMTIMEOUTS &t, DWORD count)
{
    if (t.WriteTotalTimeoutMultiplier == 0 && t.WriteTotalTimeoutConstant == 0)
        return -1;
    return limit_ms(uint64_t(t.WriteTotalTimeoutMultiplier) * count + t.WriteTotalTimeoutConstant);
}

int64_t close_drain_ms(uint32_t queued, uint32_t rate)
{
    if (queued == 0)
        return 0;
    const uint64_t onLine = uint64_t(queued) * 10 * 1000 / (rate ? rate : 1);
    return int64_t(std::min<uint64_t>(onLine + 500, 5000));
}

} // namespace tty::posix::pure
