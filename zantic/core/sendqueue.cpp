// Pasted text on its way to the port (see sendqueue.h).
#include "sendqueue.h"

namespace zantic::core {

void SendQueue::clear()
{
    m_bytes.clear();
    m_sent = 0;
}

SendQueue::Step SendQueue::send(int32_t port, Putc putc, std::chrono::microseconds budget)
{
    // One byte at a time, each only if the port takes it at once: a write of more could wait
    // for the line, and the window with it. A refused byte is tried again at the next step.
    const auto start = std::chrono::steady_clock::now();
    while (m_sent < m_bytes.size()) {
        if (putc(port, m_bytes.data() + m_sent) != 0)
            return Step::Refused;
        ++m_sent;
        if (m_sent >= 64 * 1024) { // let go of what has been sent now and then
            m_bytes.erase(0, m_sent);
            m_sent = 0;
        }
        if (std::chrono::steady_clock::now() - start >= budget)
            break;
    }
    if (empty()) {
        clear();
        return Step::Done;
    }
    return Step::More;
}

} // namespace zantic::core
