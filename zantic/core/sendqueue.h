// Pasted and dropped text on its way to the port, the same for every face of Demo: it goes
// out in steps, a byte at a time and only while the port takes each byte at once, so that a
// slow line never holds the window; keys typed meanwhile queue behind it. The face runs a
// step from its event loop, at once again or after a pause as the step says. Standard C++.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace zantic::core {

// Steps this far apart while the port refuses bytes; each step sends for at most kSendStep.
inline constexpr std::chrono::milliseconds kSendInterval{10};
inline constexpr std::chrono::microseconds kSendStep{4000};

class SendQueue {
public:
    // The library's IOP_Putc: 0 when the port took the byte at once.
    using Putc = int32_t (*)(int32_t port, const char *byte);

    enum class Step {
        Done,    // nothing is left
        More,    // the step's time ran out: run the next step as soon as other events are done
        Refused, // the port took no more: run the next step after kSendInterval
    };

    bool empty() const { return m_sent == m_bytes.size(); }
    void append(std::string_view bytes) { m_bytes += bytes; }
    void clear();
    // Sends what the port takes at once, for at most `budget`.
    Step send(int32_t port, Putc putc, std::chrono::microseconds budget = kSendStep);

private:
    std::string m_bytes;
    size_t m_sent = 0; // m_bytes before it have gone out
};

} // namespace zantic::core
