// Pure translations of the Win32-named layer: DCB <-> line settings, Windows' checks of a
// DCB, modem and error bits, and the time-out rules of transfers. No descriptor is touched.
#ifndef TTY_POSIX_DCB_H
#define TTY_POSIX_DCB_H

#include "posix/pure/line_settings.h"
#include "win32.h"

#include <cstdint>

namespace tty::posix {

// The checks SetCommState makes before it changes anything.
bool dcb_valid(const DCB &dcb);

// Raw mode: no echo, no line editing, no translations, 8 bits, receiver on, modem control
// lines ignored, received bytes as they arrived (see line_from_dcb). Reads never block for a
// count (VMIN 1 with a non-blocking descriptor makes "nothing waiting" EAGAIN, so a read of
// 0 bytes can only mean the device hung up).
void line_make_raw(LineSettings &s);

// `current` changed as `dcb` asks: speed, framing, flow control and the XON/XOFF characters.
// As on Windows without an error character, a byte received with a parity or framing error
// is handed over as it arrived (no INPCK, which would turn it into NUL), and a break hands
// over no byte at all (IGNBRK); the driver counts both for ClearCommError either way. fParity
// therefore has no termios counterpart: it is kept in the DCB only.
// Linux has one flag, CRTSCTS, for CTS output flow and RTS input flow. It is set only while
// RTS may be on (RTS_CONTROL_ENABLE with fOutxCtsFlow, or RTS_CONTROL_HANDSHAKE): with it the
// driver raises RTS whenever its input queue drains, so a caller holding RTS off gives up
// CTS output flow control until RTS is released.
LineSettings line_from_dcb(const LineSettings &current, const DCB &dcb);

// What a line with settings `s` looks like as a DCB. The members termios cannot hold are
// taken from `base` (DCBlength included).
DCB dcb_from_line(const LineSettings &s, const DCB &base);

// GetCommState's answer: `asked` is the DCB SetCommState took last (or the one made at open)
// and `applied` the settings the device reported right after. Where the device still shows
// those settings, the asked members are returned (a pseudo-terminal, say, always reports
// 8 bits without parity, and a UART may round the rate); where something else has changed
// them since, the device's settings are.
DCB dcb_current(const LineSettings &now, const DCB &asked, const LineSettings &applied);

// Whether a line asked for `asked` bit/s and running at `runs` is close enough: within 2 %,
// the error at which a receiver still frames characters.
bool rate_close(uint64_t asked, uint64_t runs);

// Whether the device took `asked`, judged from what it reports back (`got`): the speed
// within 2% (a UART runs at the nearest rate its clock divides to, see rate_close), and, on
// a device that frames characters, data bits, parity and stop bits exactly.
bool line_took(const LineSettings &asked, const LineSettings &got, bool framesCharacters);

// What SetCommState does to DTR and RTS when `next` replaces `prev` (the state GetCommState
// reported before). Linux has no DTR/DSR handshake, so DTR_CONTROL_HANDSHAKE keeps DTR on;
// RTS_CONTROL_TOGGLE leaves RTS off, the level it has between transmissions. In RTS handshake
// mode the driver owns RTS (it lowers it while its input queue is full): RTS is left alone
// when the mode stays handshake, and raised when the mode becomes handshake only if the input
// queue is not full (`inputFull`); otherwise the driver raises it once the queue is read.
enum class Drive { Leave, Raise, Lower };
struct ModemDrive {
    Drive dtr;
    Drive rts;
};
ModemDrive modem_drive(const DCB &prev, const DCB &next, bool inputFull);

// The input queue count at which the kernel's line discipline has stopped the sender (its
// 4096-byte buffer with less than 128 bytes free).
inline constexpr int kInputFullMark = 4096 - 128;

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

// TIOCM_* bits to MS_*_ON bits.
DWORD modem_status_from_tiocm(int bits);

// The receive-error counters of TIOCGICOUNT, and the CE_* bits for their growth.
struct ErrorCounts {
    uint32_t frame = 0;
    uint32_t overrun = 0;
    uint32_t parity = 0;
    uint32_t brk = 0;
    uint32_t bufOverrun = 0;
};
DWORD comm_errors_from_counts(const ErrorCounts &before, const ErrorCounts &now);

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

} // namespace tty::posix

#endif
