// The event loop that moves bytes between descriptors until a signal or a failure ends it.
#ifndef VCOM_PUMP_H
#define VCOM_PUMP_H

#include <string>
#include <vector>

namespace vcom {

// Bytes read from `from` are written to `to`, in order, none lost. `from` may equal `to`
// (an echo). A route buffers at most kRouteBuffer bytes and stops reading while full, so a
// receiver that does not keep up slows the sender down instead of growing memory.
struct Route {
    int from = -1;
    int to = -1;
    // The end of `from` (read returns 0) only stops this route. Without it, an end is a
    // failure: a pseudo-terminal master never reaches one while vcom holds its slave.
    bool from_may_end = false;
};

inline constexpr size_t kRouteBuffer = 64 * 1024;

struct Outcome {
    enum Kind { Signal, OutputClosed, Failure } kind = Failure;
    int signal = 0;       // for Signal
    std::string message;  // for Failure
};

// Runs until signal_fd (a signalfd) is readable, a `to` is closed by its reader (EPIPE), or
// a descriptor fails. Never spins: it sleeps in poll() whenever nothing can move.
Outcome pump(const std::vector<Route> &routes, int signal_fd);

} // namespace vcom

#endif
