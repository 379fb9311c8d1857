// Telnet with the COM-PORT-OPTION (RFC 2217), as a client speaks it to a serial server: the
// byte stream split into data and commands, option negotiation, the com-port commands and
// the server's answers, and the translation between a DCB and the line the server is asked
// for. Pure: nothing here touches a descriptor.
#ifndef TTY_POSIX_PURE_RFC2217_H
#define TTY_POSIX_PURE_RFC2217_H

#include "posix/pure/dcb.h"
#include "win32.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tty::posix::pure {

inline constexpr uint8_t kIac = 255;
inline constexpr uint8_t kDont = 254;
inline constexpr uint8_t kDo = 253;
inline constexpr uint8_t kWont = 252;
inline constexpr uint8_t kWill = 251;
inline constexpr uint8_t kSb = 250;
inline constexpr uint8_t kSe = 240;

inline constexpr uint8_t kOptBinary = 0;
inline constexpr uint8_t kOptSuppressGoAhead = 3;
inline constexpr uint8_t kOptComPort = 44;

// Com-port commands from the client; the server answers with the same code plus kAnswer.
inline constexpr uint8_t kSignature = 0;
inline constexpr uint8_t kSetBaudrate = 1;
inline constexpr uint8_t kSetDatasize = 2;
inline constexpr uint8_t kSetParity = 3;
inline constexpr uint8_t kSetStopsize = 4;
inline constexpr uint8_t kSetControl = 5;
inline constexpr uint8_t kNotifyLinestate = 6;
inline constexpr uint8_t kNotifyModemstate = 7;
inline constexpr uint8_t kSetLinestateMask = 10;
inline constexpr uint8_t kSetModemstateMask = 11;
inline constexpr uint8_t kPurgeData = 12;
inline constexpr uint8_t kAnswer = 100;

// Values of SET-CONTROL.
inline constexpr uint8_t kFlowNone = 1;
inline constexpr uint8_t kFlowXonXoff = 2;
inline constexpr uint8_t kFlowHardware = 3;
inline constexpr uint8_t kDtrOn = 8;
inline constexpr uint8_t kDtrOff = 9;
inline constexpr uint8_t kRtsOn = 11;
inline constexpr uint8_t kRtsOff = 12;

// Values of PURGE-DATA: the server's receive buffer, its transmit buffer, both.
inline constexpr uint8_t kPurgeReceive = 1;
inline constexpr uint8_t kPurgeTransmit = 2;
inline constexpr uint8_t kPurgeBoth = 3;

// A subnegotiation longer than this is cut (a signature text, say); no answer we act on
// comes near it, and a server cannot make us hold more.
inline constexpr size_t kMaxSubnegotiation = 64;

// Something other than data in the stream: a negotiation (verb WILL, WONT, DO or DONT) or a
// subnegotiation (verb SB) with its payload, IAC doubling undone.
struct Command {
    uint8_t verb = 0;
    uint8_t option = 0;
    std::vector<uint8_t> payload;
};

// Splits received bytes into data and commands. A command or a doubled IAC may be cut
// anywhere by the buffers it arrives in; the decoder carries its state over.
class Decoder {
public:
    void feed(const uint8_t *in, size_t n, std::vector<uint8_t> &data, std::vector<Command> &commands);

private:
    enum class State { Data, Iac, Verb, SbOption, Sb, SbIac };
    void afterIac(uint8_t b, std::vector<uint8_t> &data);
    State state_ = State::Data;
    Command current_;
};

// Appends `n` data bytes to `out` with every 0xFF doubled.
void escape(const uint8_t *in, size_t n, std::vector<uint8_t> &out);

// IAC verb option.
void negotiation(uint8_t verb, uint8_t option, std::vector<uint8_t> &out);

// IAC SB COM-PORT-OPTION command value... IAC SE, the values escaped.
void com_port(uint8_t command, const uint8_t *value, size_t n, std::vector<uint8_t> &out);
void com_port(uint8_t command, uint8_t value, std::vector<uint8_t> &out);
void set_baudrate(uint32_t rate, std::vector<uint8_t> &out);

// The client's side of option negotiation: it asks for BINARY both ways, SUPPRESS-GO-AHEAD
// from the server and offers COM-PORT-OPTION; it accepts those if the server offers them
// first and refuses everything else. Answers follow RFC 1143, so no request loops.
class Options {
public:
    // What the client sends first.
    void start(std::vector<uint8_t> &out);
    // Takes one negotiation from the server and appends the reply, if one is due.
    void receive(uint8_t verb, uint8_t option, std::vector<uint8_t> &out);
    // BINARY both ways and COM-PORT-OPTION are agreed.
    bool ready() const;
    // The server has refused (or later withdrawn) one of them.
    bool refused() const;

private:
    enum class Q : uint8_t { No, Yes, WantYes };
    Q us_[256] = {};   // options this side performs (WILL / DO from the server)
    Q him_[256] = {};  // options the server performs
};

// A com-port answer from the server: the command it answers (without kAnswer) and its value
// (the rate for SET-BAUDRATE, else the one byte). False for anything else.
struct Answer {
    uint8_t command = 0;
    uint32_t value = 0;
};
bool parse_answer(const Command &c, Answer &out);

// The line as RFC 2217 names it; 0 in a field: not known (not asked, or not answered).
struct RemoteLine {
    uint32_t baud = 0;
    uint8_t dataSize = 0; // 5 to 8
    uint8_t parity = 0;   // 1 none, 2 odd, 3 even, 4 mark, 5 space
    uint8_t stopSize = 0; // 1 one, 2 two, 3 one and a half
    uint8_t flow = 0;     // kFlowNone, kFlowXonXoff, kFlowHardware
};

// What `dcb` asks of the server. XON/XOFF and hardware flow control at once cannot be said
// in RFC 2217: hardware wins.
RemoteLine line_from_dcb(const DCB &dcb);

// GetCommState's answer: `asked` where the server's answers (`got`) agree with what it was
// asked for (`wanted`), the server's value where it differs (a rate it rounded, say).
DCB dcb_from_line(const RemoteLine &got, const RemoteLine &wanted, const DCB &asked);

// Whether the server took `wanted`, judged from its answers: the rate within 2%, as for a
// local UART, and data size, parity and stop size exactly. A field left unanswered fails,
// except flow control, which some servers never answer (ser2net on a pseudo-terminal).
bool line_took(const RemoteLine &wanted, const RemoteLine &got);

// NOTIFY-LINESTATE error bits (overrun, parity, framing, break) to CE_* bits.
inline constexpr uint8_t kLineErrors = 0x1E;
DWORD comm_errors_from_linestate(uint8_t state);

// NOTIFY-MODEMSTATE bits to MS_*_ON bits (RFC 2217 puts CTS, DSR, RI and CD in the same
// places as Windows).
DWORD modem_status_from_notify(uint8_t state);

} // namespace tty::posix::pure

#endif
