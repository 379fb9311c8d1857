// The time rules of transfers: how a read ends under COMMTIMEOUTS, how long a write may
// take, and how long closing waits for output to drain.
#ifndef TTY_POSIX_PURE_TIMEOUTS_H
#define TTY_POSIX_PURE_TIMEOUTS_H

#include "win32.h"

#include <cstdint>

namespace tty::posix::pure {

// How a read of `count` bytes ends under `t`.
struct ReadRule {
    bool atOnce;        // never waits: completes with what is waiting, possibly nothing
    bool takesWaiting;  // bytes waiting when the read starts complete it at once
    bool endsOnArrival; // a waiting read ends as soon as bytes arrive
    int64_t totalMs;    // the read ends after this long; -1: no limit
    int64_t intervalMs; // ... or when this long passes between bytes; -1: no limit
};
ReadRule read_rule(const COMMTIMEOUTS &t, DWORD count);

// How long a write of `count` bytes may take in ms; -1: no limit.
int64_t write_total_ms(const COMMTIMEOUTS &t, DWORD count);

// How long closing waits for `queued` bytes still in the output queue to go out at `rate`
// bit/s before the device's previous settings come back: their time on the line (ten bits a
// byte) and half a second for the UART's own buffer, at most five seconds, since a line held
// by flow control never drains.
int64_t close_drain_ms(uint32_t queued, uint32_t rate);

} // namespace tty::posix::pure

#endif
