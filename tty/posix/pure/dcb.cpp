// DCB <-> line settings (see dcb.h).
#include "posix/pure/dcb.h"
#include "posix/pure/rates.h"

#include <sys/ioctl.h>
#include <termios.h>

namespace tty::posix::pure {

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


} // namespace tty::posix::pure
