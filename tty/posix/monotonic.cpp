// The library's monotonic clock (see monotonic.h).
#include "posix/monotonic.h"

#include <time.h>

#include <algorithm>
#include <climits>

namespace tty::posix {

int64_t now_ms()
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int ms_left(int64_t deadline)
{
    return int(std::clamp<int64_t>(deadline - now_ms(), 0, INT_MAX));
}

} // namespace tty::posix
