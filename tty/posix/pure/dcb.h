// DCB <-> line settings: Windows' checks of a DCB, raw mode, what a DCB asks of the line and
// of DTR and RTS, and what GetCommState reports back. No descriptor is touched.
#ifndef TTY_POSIX_PURE_DCB_H
#define TTY_POSIX_PURE_DCB_H

#include "posix/pure/line_settings.h"
#include "win32.h"

#include <cstdint>

namespace tty::posix::pure {

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

// Whether the device took `asked`, judged from what it reports back (`got`): the speed
// within 2% (a UART runs at the nearest rate its clock divides to, see rates.h), and, on a
// device that frames characters, data bits, parity and stop bits exactly.
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

} // namespace tty::posix::pure

#endif
