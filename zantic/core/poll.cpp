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
            // Bytes that queue behind the kernel's full line buffer are moved up after a read
            // has made room, by a kernel thread that can be late under load. A read that finds
            // the line buffer empty moves them up at once: take one byte that way. Otherwise
            // give the kernel a moment before taking "nothing waits" for true, or a fast stream
            // would be left to back up until the next tick.
            if (total == 0)
                break;
            if (calls.getc(port, buffer.data() + total) == 0) {
                ++total;
                emptyLooks = 0;
                continue;
            }
            if (++emptyLooks > kEmptyLooks)
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

size_t wholeCharacters(std::string_view bytes, bool (*isLead)(unsigned char byte))
{
    if (!isLead)
        return bytes.size();
    // From the start: a second byte can look like a lead byte.
    size_t at = 0;
    while (at < bytes.size())
        at += isLead(static_cast<unsigned char>(bytes[at])) ? 2 : 1;
    return at > bytes.size() ? bytes.size() - 1 : bytes.size();
}

std::string goneMessage(int32_t port)
{
    return "COM" + std::to_string(port) +
           ": the device went away (unplugged, switched off, or its other end ended). "
           "Connect again once it is back.";
}

} // namespace zantic::core
