// Pure translations of the Win32-named layer (see dcb.h).
#include "posix/pure/dcb.h"

#include <algorithm>

#include <sys/ioctl.h>
#include <termios.h>

namespace tty::posix {

static_assert(VMIN < kLineCcCount && VTIME < kLineCcCount && VSTART < kLineCcCount &&
                  VSTOP < kLineCcCount,
              "control character indexes must fit the kernel's record");

static constexpr uint32_t kFraming = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

bool dcb_valid(const DCB &d)
{
    if (d.BaudRate == 0)
        return false;
    if (d.ByteSize < 5 || d.ByteSize > 8)
        return false;
    if (d.Parity > SPACEPARITY || d.StopBits > TWOSTOPBITS)
        return false;
    if (d.ByteSize == 5 && d.StopBits == TWOSTOPBITS)
        return false;
    if (d.ByteSize >= 6 && d.StopBits == ONE5STOPBITS)
        return false;
    if (d.fDtrControl == 3)
        return false;
    if (d.XonChar == d.XoffChar)
        return false;
    return true;
}

void line_make_raw(LineSettings &s)
{
    // IXANY too: with XON/XOFF on, any received byte would otherwise resume stopped output.
    s.iflag &= ~uint32_t(BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                         IXANY);
    s.iflag |= IGNBRK;
    s.oflag &= ~uint32_t(OPOST);
    s.lflag &= ~uint32_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    s.cflag &= ~uint32_t(CSIZE | PARENB);
    s.cflag |= CS8 | CLOCAL | CREAD;
    s.cc[VMIN] = 1;
    s.cc[VTIME] = 0;
}

static uint32_t framing_bits(const DCB &d)
{
    static constexpr uint32_t sizes[] = {CS5, CS6, CS7, CS8};
    uint32_t bits = sizes[d.ByteSize - 5];
    switch (d.Parity) {
    case ODDPARITY: bits |= PARENB | PARODD; break;
    case EVENPARITY: bits |= PARENB; break;
    case MARKPARITY: bits |= PARENB | PARODD | CMSPAR; break;
    case SPACEPARITY: bits |= PARENB | CMSPAR; break;
    default: break;
    }
    if (d.StopBits != ONESTOPBIT)
        bits |= CSTOPB;
    return bits;
}

static void set_flag(uint32_t &flags, uint32_t bit, bool on)
{
    flags = on ? (flags | bit) : (flags & ~bit);
}

LineSettings line_from_dcb(const LineSettings &current, const DCB &d)
{
    LineSettings s = current;
    line_set_speed(s, d.BaudRate);
    s.cflag = (s.cflag & ~kFraming) | framing_bits(d);
    const bool rtsMayBeOn =
        d.fRtsControl == RTS_CONTROL_ENABLE || d.fRtsControl == RTS_CONTROL_HANDSHAKE;
    set_flag(s.cflag, CRTSCTS,
             rtsMayBeOn && (d.fOutxCtsFlow || d.fRtsControl == RTS_CONTROL_HANDSHAKE));
    set_flag(s.iflag, IXON, d.fOutX);
    set_flag(s.iflag, IXOFF, d.fInX);
    s.iflag = (s.iflag & ~uint32_t(INPCK | IGNPAR | PARMRK | BRKINT)) | IGNBRK;
    s.cc[VSTART] = uint8_t(d.XonChar);
    s.cc[VSTOP] = uint8_t(d.XoffChar);
    return s;
}

static void framing_to_dcb(uint32_t cflag, DCB &d)
{
    switch (cflag & CSIZE) {
    case CS5: d.ByteSize = 5; break;
    case CS6: d.ByteSize = 6; break;
    case CS7: d.ByteSize = 7; break;
    default: d.ByteSize = 8; break;
    }
    if (!(cflag & PARENB))
        d.Parity = NOPARITY;
    else if (cflag & CMSPAR)
        d.Parity = (cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        d.Parity = (cflag & PARODD) ? ODDPARITY : EVENPARITY;
    if (!(cflag & CSTOPB))
        d.StopBits = ONESTOPBIT;
    else
        d.StopBits = d.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
}

static void cts_to_dcb(uint32_t cflag, DCB &d)
{
    const bool on = cflag & CRTSCTS;
    d.fOutxCtsFlow = on;
    if (on)
        d.fRtsControl = RTS_CONTROL_HANDSHAKE;
    else if (d.fRtsControl == RTS_CONTROL_HANDSHAKE)
        d.fRtsControl = RTS_CONTROL_ENABLE;
}

DCB dcb_from_line(const LineSettings &s, const DCB &base)
{
    DCB d = base;
    d.BaudRate = line_speed(s);
    framing_to_dcb(s.cflag, d);
    cts_to_dcb(s.cflag, d);
    d.fOutX = (s.iflag & IXON) != 0;
    d.fInX = (s.iflag & IXOFF) != 0;
    d.XonChar = char(s.cc[VSTART]);
    d.XoffChar = char(s.cc[VSTOP]);
    return d;
}

DCB dcb_current(const LineSettings &now, const DCB &asked, const LineSettings &applied)
{
    DCB d = asked;
    if (line_speed(now) != line_speed(applied))
        d.BaudRate = line_speed(now);
    if ((now.cflag ^ applied.cflag) & kFraming)
        framing_to_dcb(now.cflag, d);
    if ((now.cflag ^ applied.cflag) & CRTSCTS)
        cts_to_dcb(now.cflag, d);
    if ((now.iflag ^ applied.iflag) & IXON)
        d.fOutX = (now.iflag & IXON) != 0;
    if ((now.iflag ^ applied.iflag) & IXOFF)
        d.fInX = (now.iflag & IXOFF) != 0;
    if (now.cc[VSTART] != applied.cc[VSTART])
        d.XonChar = char(now.cc[VSTART]);
    if (now.cc[VSTOP] != applied.cc[VSTOP])
        d.XoffChar = char(now.cc[VSTOP]);
    return d;
}

bool rate_close(uint64_t asked, uint64_t runs)
{
    const uint64_t diff = asked > runs ? asked - runs : runs - asked;
    return diff * 50 <= asked;
}

bool line_took(const LineSettings &asked, const LineSettings &got, bool framesCharacters)
{
    if (!rate_close(line_speed(asked), line_speed(got)))
        return false;
    if (framesCharacters && ((asked.cflag ^ got.cflag) & kFraming))
        return false;
    return true;
}

ModemDrive modem_drive(const DCB &prev, const DCB &next, bool inputFull)
{
    ModemDrive m {};
    m.dtr = next.fDtrControl != DTR_CONTROL_DISABLE ? Drive::Raise : Drive::Lower;
    if (next.fRtsControl == RTS_CONTROL_ENABLE)
        m.rts = Drive::Raise;
    else if (next.fRtsControl != RTS_CONTROL_HANDSHAKE)
        m.rts = Drive::Lower;
    else if (prev.fRtsControl == RTS_CONTROL_HANDSHAKE || inputFull)
        m.rts = Drive::Leave;
    else
        m.rts = Drive::Raise;
    return m;
}

uint32_t clock_rate(const Clock &c, uint32_t rate)
{
    if (rate == 0)
        return 0;
    switch (c.kind) {
    case Clock::Kind::Driver:
        return rate;
    case Clock::Kind::Divisor: {
        // The 8250 driver's divisor: base / rate rounded to the nearest whole number.
        const uint64_t divisor = (uint64_t(c.base) + rate / 2) / rate;
        if (divisor == 0 || divisor > 0xFFFF)
            return 0;
        return uint32_t((c.base + divisor / 2) / divisor);
    }
    case Clock::Kind::Ftdi: {
        // ftdi_sio: 3 MHz over a divisor in eighths, rounded to the nearest eighth. Below 2
        // only 1 (3 Mbit/s) and 1.5 (2 Mbit/s) exist; the whole part has 14 bits. Chips
        // with a faster clock use it only from 1200 bit/s up, where this one is within the
        // tolerance as well, so the decision is the same for them.
        constexpr uint64_t eighths = 24000000;
        const uint64_t d3 = (eighths + rate / 2) / rate;
        if (d3 < 16 && d3 != 8 && d3 != 12)
            return 0;
        if (d3 > 16383 * 8 + 7)
            return 0;
        return uint32_t((eighths + d3 / 2) / d3);
    }
    }
    return 0;
}

bool clock_makes(const Clock &c, uint32_t rate)
{
    const uint32_t made = clock_rate(c, rate);
    return made != 0 && rate_close(rate, made);
}

DWORD modem_status_from_tiocm(int bits)
{
    DWORD ms = 0;
    if (bits & TIOCM_CTS)
        ms |= MS_CTS_ON;
    if (bits & TIOCM_DSR)
        ms |= MS_DSR_ON;
    if (bits & TIOCM_RNG)
        ms |= MS_RING_ON;
    if (bits & TIOCM_CAR)
        ms |= MS_RLSD_ON;
    return ms;
}

DWORD comm_errors_from_counts(const ErrorCounts &before, const ErrorCounts &now)
{
    // Counters only grow; a smaller value (a driver that reset them) is no error.
    DWORD ce = 0;
    if (now.overrun > before.overrun)
        ce |= CE_OVERRUN;
    if (now.bufOverrun > before.bufOverrun)
        ce |= CE_RXOVER;
    if (now.parity > before.parity)
        ce |= CE_RXPARITY;
    if (now.frame > before.frame)
        ce |= CE_FRAME;
    if (now.brk > before.brk)
        ce |= CE_BREAK;
    return ce;
}

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

} // namespace tty::posix
