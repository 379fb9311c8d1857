// One tick of the terminal's poll (see poll.h).
#include "poll.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace zantic::core {

TickResult readTick(int32_t port, const PortCalls &calls, std::vector<char> &buffer)
{
    // Room for a full tick, plus the 256 bytes the library clears behind every read start.
    buffer.resize(size_t(kMaxReadPerTick + kMinReadBuffer));
    TickResult result;
    int32_t total = 0;
    int emptyLooks = 0;
    const auto start = std::chrono::steady_clock::now();
    while (total < kMaxReadPerTick && std::chrono::steady_clock::now() - start < kMaxReadTime) {
        const int32_t waiting = calls.waiting(port);
        if (waiting < 0) {
            result.gone = true;
            break;
        }
        if (waiting == 0) {
            // The kernel moves bytes that queue behind a full line buffer up only after a
            // read has made room; give it a moment before taking "nothing waits" for true,
            // or a fast stream would be left to back up until the next tick.
            if (total == 0 || ++emptyLooks > kEmptyLooks)
                break;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
        }
        emptyLooks = 0;
        const int32_t want = std::min(waiting, kMaxReadPerTick - total);
        const int32_t got = calls.read(port, buffer.data() + total, want);
        if (got < 0)
            result.gone = true;
        if (got < 1)
            break;
        total += std::min(got, want);
    }
    result.count = size_t(total);
    return result;
}

std::string goneMessage(int32_t port)
{
    return "COM" + std::to_string(port) +
           ": the device went away (unplugged, switched off, or its other end ended). "
           "Connect again once it is back.";
}

} // namespace zantic::core
