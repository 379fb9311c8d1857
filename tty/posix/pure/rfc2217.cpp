// Telnet and RFC 2217 for the client side (see rfc2217.h).
#include "posix/pure/rfc2217.h"
#include "posix/pure/rates.h"

namespace tty::posix::pure {

void Decoder::feed(const uint8_t *in, size_t n, std::vector<uint8_t> &data, std::vector<Command> &commands)
{
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = in[i];
        switch (state_) {
        case State::Data:
            if (b == kIac)
                state_ = State::Iac;
            else
                data.push_back(b);
            break;
        case State::Iac:
            afterIac(b, data);
            break;
        case State::Verb:
            current_.option = b;
            commands.push_back(current_);
            state_ = State::Data;
            break;
        case State::SbOption:
            current_.option = b;
            state_ = State::Sb;
            break;
        case State::Sb:
            if (b == kIac)
                state_ = State::SbIac;
            else if (current_.payload.size() < kMaxSubnegotiation)
                current_.payload.push_back(b);
            break;
        case State::SbIac:
            if (b == kIac) {
                if (current_.payload.size() < kMaxSubnegotiation)
                    current_.payload.push_back(kIac);
                state_ = State::Sb;
                break;
            }
            // IAC SE ends it; any other command after IAC ends it too (RFC 855 leaves the
            // server no other way out of a subnegotiation) and is then taken as a command.
            commands.push_back(current_);
            if (b == kSe)
                state_ = State::Data;
            else
                afterIac(b, data);
            break;
        }
    }
}

void Decoder::afterIac(uint8_t b, std::vector<uint8_t> &data)
{
    current_ = Command {};
    switch (b) {
    case kIac:
        data.push_back(kIac);
        state_ = State::Data;
        break;
    case kWill:
    case kWont:
    case kDo:
    case kDont:
        current_.verb = b;
        state_ = State::Verb;
        break;
    case kSb:
        current_.verb = kSb;
        state_ = State::SbOption;
        break;
    default:
        // NOP, GA, AYT and the like carry nothing for a serial line.
        state_ = State::Data;
        break;
    }
}

void escape(const uint8_t *in, size_t n, std::vector<uint8_t> &out)
{
    for (size_t i = 0; i < n; ++i) {
        out.push_back(in[i]);
        if (in[i] == kIac)
            out.push_back(kIac);
    }
}

void negotiation(uint8_t verb, uint8_t option, std::vector<uint8_t> &out)
{
    out.insert(out.end(), {kIac, verb, option});
}

void com_port(uint8_t command, const uint8_t *value, size_t n, std::vector<uint8_t> &out)
{
    out.insert(out.end(), {kIac, kSb, kOptComPort, command});
    escape(value, n, out);
    out.insert(out.end(), {kIac, kSe});
}

void com_port(uint8_t command, uint8_t value, std::vector<uint8_t> &out)
{
    com_port(command, &value, 1, out);
}

void set_baudrate(uint32_t rate, std::vector<uint8_t> &out)
{
    const uint8_t be[4] = {uint8_t(rate >> 24), uint8_t(rate >> 16), uint8_t(rate >> 8), uint8_t(rate)};
    com_port(kSetBaudrate, be, sizeof be, out);
}

namespace {

bool we_perform(uint8_t option)
{
    return option == kOptBinary || option == kOptSuppressGoAhead || option == kOptComPort;
}

bool he_performs(uint8_t option)
{
    return option == kOptBinary || option == kOptSuppressGoAhead;
}

} // namespace

void Options::start(std::vector<uint8_t> &out)
{
    us_[kOptBinary] = Q::WantYes;
    negotiation(kWill, kOptBinary, out);
    him_[kOptBinary] = Q::WantYes;
    negotiation(kDo, kOptBinary, out);
    him_[kOptSuppressGoAhead] = Q::WantYes;
    negotiation(kDo, kOptSuppressGoAhead, out);
    us_[kOptComPort] = Q::WantYes;
    negotiation(kWill, kOptComPort, out);
}

void Options::receive(uint8_t verb, uint8_t option, std::vector<uint8_t> &out)
{
    const bool theirs = verb == kWill || verb == kWont;
    Q &q = theirs ? him_[option] : us_[option];
    const bool on = verb == kWill || verb == kDo;
    const uint8_t yes = theirs ? kDo : kWill;
    const uint8_t no = theirs ? kDont : kWont;
    if (on) {
        if (q == Q::WantYes) {
            q = Q::Yes;
        } else if (q == Q::No) {
            const bool accept = theirs ? he_performs(option) : we_perform(option);
            if (accept)
                q = Q::Yes;
            negotiation(accept ? yes : no, option, out);
        }
    } else {
        if (q == Q::Yes)
            negotiation(no, option, out);
        q = Q::No;
    }
}

bool Options::ready() const
{
    return us_[kOptBinary] == Q::Yes && him_[kOptBinary] == Q::Yes && us_[kOptComPort] == Q::Yes;
}

bool Options::refused() const
{
    return us_[kOptBinary] == Q::No || him_[kOptBinary] == Q::No || us_[kOptComPort] == Q::No;
}

bool parse_answer(const Command &c, Answer &out)
{
    if (c.verb != kSb || c.option != kOptComPort || c.payload.empty() || c.payload[0] < kAnswer)
        return false;
    out.command = uint8_t(c.payload[0] - kAnswer);
    const size_t n = c.payload.size() - 1;
    const uint8_t *v = c.payload.data() + 1;
    if (out.command == kSetBaudrate) {
        if (n != 4)
            return false;
        out.value = uint32_t(v[0]) << 24 | uint32_t(v[1]) << 16 | uint32_t(v[2]) << 8 | v[3];
        return true;
    }
    if (out.command == kSignature) {
        out.value = 0;
        return true;
    }
    if (n != 1)
        return false;
    out.value = v[0];
    return true;
}

RemoteLine line_from_dcb(const DCB &d)
{
    RemoteLine l;
    l.baud = d.BaudRate;
    l.dataSize = uint8_t(d.ByteSize);
    l.parity = uint8_t(d.Parity + 1);
    l.stopSize = d.StopBits == ONESTOPBIT ? 1 : d.StopBits == TWOSTOPBITS ? 2 : 3;
    if (d.fOutxCtsFlow || d.fRtsControl == RTS_CONTROL_HANDSHAKE)
        l.flow = kFlowHardware;
    else if (d.fOutX || d.fInX)
        l.flow = kFlowXonXoff;
    else
        l.flow = kFlowNone;
    return l;
}

DCB dcb_from_line(const RemoteLine &got, const RemoteLine &wanted, const DCB &asked)
{
    DCB d = asked;
    if (got.baud != 0 && got.baud != wanted.baud)
        d.BaudRate = got.baud;
    if (got.dataSize >= 5 && got.dataSize <= 8 && got.dataSize != wanted.dataSize)
        d.ByteSize = got.dataSize;
    if (got.parity >= 1 && got.parity <= 5 && got.parity != wanted.parity)
        d.Parity = BYTE(got.parity - 1);
    if (got.stopSize >= 1 && got.stopSize <= 3 && got.stopSize != wanted.stopSize)
        d.StopBits = got.stopSize == 1 ? ONESTOPBIT : got.stopSize == 2 ? TWOSTOPBITS : ONE5STOPBITS;
    if (got.flow >= kFlowNone && got.flow <= kFlowHardware && got.flow != wanted.flow) {
        const bool hw = got.flow == kFlowHardware;
        const bool xon = got.flow == kFlowXonXoff;
        d.fOutxCtsFlow = hw;
        if (hw)
            d.fRtsControl = RTS_CONTROL_HANDSHAKE;
        else if (d.fRtsControl == RTS_CONTROL_HANDSHAKE)
            d.fRtsControl = RTS_CONTROL_ENABLE;
        d.fOutX = xon;
        d.fInX = xon;
    }
    return d;
}

bool line_took(const RemoteLine &wanted, const RemoteLine &got)
{
    if (got.baud == 0 || !rate_close(wanted.baud, got.baud))
        return false;
    if (got.dataSize != wanted.dataSize || got.parity != wanted.parity || got.stopSize != wanted.stopSize)
        return false;
    return got.flow == 0 || got.flow == wanted.flow;
}

DWORD comm_errors_from_linestate(uint8_t state)
{
    DWORD ce = 0;
    if (state & 0x02)
        ce |= CE_OVERRUN;
    if (state & 0x04)
        ce |= CE_RXPARITY;
    if (state & 0x08)
        ce |= CE_FRAME;
    if (state & 0x10)
        ce |= CE_BREAK;
    return ce;
}

DWORD modem_status_from_notify(uint8_t state)
{
    return DWORD(state) & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
}

} // namespace tty::posix::pure
