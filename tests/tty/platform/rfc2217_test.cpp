// The pure parts of remote ports: the Telnet/RFC 2217 codec, the line translations and the
// map entries that name a serial server.
#include "posix/devmap.h"
#include "posix/pure/rfc2217.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tty::posix;
using namespace tty::posix::pure;
using Bytes = std::vector<uint8_t>;

namespace {

struct Decoded {
    Bytes data;
    std::vector<Command> commands;
};

// Feeds `in` cut after byte `cut` (and in one piece when cut is 0).
Decoded decode(const Bytes &in, size_t cut)
{
    Decoder d;
    Decoded out;
    d.feed(in.data(), cut, out.data, out.commands);
    d.feed(in.data() + cut, in.size() - cut, out.data, out.commands);
    return out;
}

std::string show(const std::vector<Command> &cs)
{
    std::string s;
    for (const Command &c : cs) {
        s += std::to_string(c.verb) + "/" + std::to_string(c.option) + ":";
        for (uint8_t b : c.payload)
            s += std::to_string(b) + ",";
        s += " ";
    }
    return s;
}

} // namespace

TEST(RemoteCodec, DecoderSplitsDataFromCommandsWhereverTheBufferEnds)
{
    struct Case {
        const char *what;
        Bytes in;
        Bytes data;
        std::string commands;
    };
    const Case cases[] = {
        {"plain data", {'a', 0, 'b', 13, 10}, {'a', 0, 'b', 13, 10}, ""},
        {"doubled IAC is one 0xFF", {1, kIac, kIac, 2, kIac, kIac}, {1, 0xFF, 2, 0xFF}, ""},
        {"negotiation between data", {'x', kIac, kWill, kOptBinary, 'y'}, {'x', 'y'}, "251/0: "},
        {"baud answer with a doubled IAC in it",
         {kIac, kSb, kOptComPort, 101, 0, 0, kIac, kIac, kIac, kIac, kIac, kSe, 'z'},
         {'z'},
         "250/44:101,0,0,255,255, "},
        {"NOP and GA carry nothing", {'a', kIac, 241, kIac, 249, 'b'}, {'a', 'b'}, ""},
        {"a subnegotiation cut short by another command",
         {kIac, kSb, kOptComPort, 107, 0x30, kIac, kDo, kOptComPort, 'q'},
         {'q'},
         "250/44:107,48, 253/44: "},
    };
    for (const Case &c : cases) {
        for (size_t cut = 0; cut <= c.in.size(); ++cut) {
            const Decoded d = decode(c.in, cut);
            EXPECT_EQ(d.data, c.data) << c.what << ", cut after " << cut;
            EXPECT_EQ(show(d.commands), c.commands) << c.what << ", cut after " << cut;
        }
    }
}

TEST(RemoteCodec, EveryByteValueSurvivesEscapingAndAnOverlongSubnegotiationIsCut)
{
    Bytes all;
    for (int i = 0; i < 256; ++i)
        all.push_back(uint8_t(i));
    Bytes wire;
    escape(all.data(), all.size(), wire);
    EXPECT_EQ(wire.size(), 257u);
    Decoder d;
    Decoded out;
    for (uint8_t b : wire) // one byte at a time: every IAC pair is cut
        d.feed(&b, 1, out.data, out.commands);
    EXPECT_EQ(out.data, all);
    EXPECT_TRUE(out.commands.empty());

    Bytes longSub = {kIac, kSb, kOptComPort, 100};
    longSub.insert(longSub.end(), 500, 'S');
    longSub.insert(longSub.end(), {kIac, kSe, 'd'});
    const Decoded cut = decode(longSub, 0);
    ASSERT_EQ(cut.commands.size(), 1u);
    EXPECT_EQ(cut.commands[0].payload.size(), kMaxSubnegotiation);
    EXPECT_EQ(cut.data, Bytes {'d'});
}

TEST(RemoteCodec, NegotiationWithSer2netsOpeningAndWithARefusingServer)
{
    Options o;
    Bytes out;
    o.start(out);
    EXPECT_EQ(out, (Bytes {kIac, kWill, 0, kIac, kDo, 0, kIac, kDo, 3, kIac, kWill, 44}));
    EXPECT_FALSE(o.ready());
    // What ser2net 4.3 sends on connection: only the offers we did not ask for get a reply.
    const uint8_t opening[][2] = {{kWill, 3}, {kDo, 3}, {kWill, 1}, {kDont, 1}, {kDo, 0}, {kWill, 0}, {kDo, 44}};
    out.clear();
    for (const auto &n : opening)
        o.receive(n[0], n[1], out);
    EXPECT_EQ(out, (Bytes {kIac, kWill, 3, kIac, kDont, 1}));
    EXPECT_TRUE(o.ready());
    EXPECT_FALSE(o.refused());
    // Repeated offers are not answered again (no loop); a withdrawn option is acknowledged.
    out.clear();
    o.receive(kDo, 3, out);
    o.receive(kWill, 0, out);
    EXPECT_TRUE(out.empty());
    o.receive(kWont, 0, out);
    EXPECT_EQ(out, (Bytes {kIac, kDont, 0}));
    EXPECT_TRUE(o.refused());

    Options plain;
    out.clear();
    plain.start(out);
    plain.receive(kDont, kOptComPort, out);
    EXPECT_TRUE(plain.refused());
}

TEST(RemoteCodec, OnlyWellFormedAnswersCount)
{
    struct Case {
        Bytes payload;
        bool ok;
        uint32_t value;
    };
    const Case cases[] = {
        {{101, 0, 1, 0xC2, 0}, true, 115200},
        {{101, 0, 0x25, 0x80}, false, 0}, // a rate needs four bytes
        {{102}, false, 0},                // a size needs one
        {{2, 8}, false, 0},               // a client's command, not an answer
    };
    for (const Case &c : cases) {
        Command cmd;
        cmd.verb = kSb;
        cmd.option = kOptComPort;
        cmd.payload = c.payload;
        Answer a;
        ASSERT_EQ(parse_answer(cmd, a), c.ok) << int(c.payload[0]);
        if (c.ok) {
            EXPECT_EQ(a.value, c.value);
        }
    }
}

TEST(RemoteCodec, LineTranslationsAndTheReadBackRule)
{
    // The codes that differ from the DCB's: parity one up, 1.5 stop bits 3, and hardware flow
    // control winning over XON/XOFF, which RFC 2217 cannot ask for together.
    DCB d {};
    d.BaudRate = 9600;
    d.ByteSize = 5;
    d.Parity = SPACEPARITY;
    d.StopBits = ONE5STOPBITS;
    d.fOutX = 1;
    RemoteLine l = line_from_dcb(d);
    EXPECT_EQ(l.parity, 5);
    EXPECT_EQ(l.stopSize, 3);
    EXPECT_EQ(l.flow, kFlowXonXoff);
    d.fRtsControl = RTS_CONTROL_HANDSHAKE;
    EXPECT_EQ(line_from_dcb(d).flow, kFlowHardware);

    const RemoteLine want {115200, 8, 1, 1, kFlowNone};
    struct Case {
        RemoteLine got;
        bool took;
    };
    const Case cases[] = {
        {{115200, 8, 1, 1, kFlowNone}, true},
        {{115200, 8, 1, 1, 0}, true},      // flow control not answered: tolerated
        {{113000, 8, 1, 1, kFlowNone}, true}, // rounded within 2%
        {{9600, 8, 1, 1, kFlowNone}, false},  // another speed
        {{115200, 7, 1, 1, kFlowNone}, false},
        {{115200, 8, 1, 2, kFlowNone}, false},
        {{115200, 8, 1, 1, kFlowHardware}, false},
        {{0, 8, 1, 1, kFlowNone}, false}, // the rate never answered
    };
    for (const Case &c : cases)
        EXPECT_EQ(line_took(want, c.got), c.took) << c.got.baud << " " << int(c.got.dataSize);

    DCB asked {};
    asked.BaudRate = 115200;
    asked.ByteSize = 8;
    asked.XonChar = 0x11;
    const DCB back = dcb_from_line({113000, 8, 1, 1, 0}, want, asked);
    EXPECT_EQ(back.BaudRate, 113000u);
    EXPECT_EQ(back.ByteSize, 8);
    EXPECT_EQ(back.XonChar, 0x11);
}

TEST(RemoteMap, LinkTextNamesADeviceOrASerialServer)
{
    struct Case {
        const char *text;
        MapTarget kind;
        const char *host;
        uint16_t port;
    };
    const Case cases[] = {
        {"/dev/pts/7", MapTarget::Device, "", 0},
        {"rfc2217://127.0.0.1:2000", MapTarget::Remote, "127.0.0.1", 2000},
        {"RFC2217://serial-box.lab:65535", MapTarget::Remote, "serial-box.lab", 65535},
        {"rfc2217://[::1]:7000", MapTarget::Remote, "::1", 7000},
        {"tcp://10.0.0.5:4001", MapTarget::Tcp, "10.0.0.5", 4001},
        {"TCP://[::1]:23", MapTarget::Tcp, "::1", 23},
        {"telnet://127.0.0.1:2000", MapTarget::Bad, "", 0},
        {"tcps://127.0.0.1:2000", MapTarget::Bad, "", 0},
        {"tcp://127.0.0.1", MapTarget::Bad, "", 0},
        {"rfc2217://127.0.0.1", MapTarget::Bad, "", 0},
        {"rfc2217://127.0.0.1:", MapTarget::Bad, "", 0},
        {"rfc2217://:2000", MapTarget::Bad, "", 0},
        {"rfc2217://host:0", MapTarget::Bad, "", 0},
        {"rfc2217://host:65536", MapTarget::Bad, "", 0},
        {"rfc2217://host:20x0", MapTarget::Bad, "", 0},
        {"rfc2217://host:2000/", MapTarget::Bad, "", 0},
        {"rfc2217://user@host:2000", MapTarget::Bad, "", 0},
        {"rfc2217://[::1:7000", MapTarget::Bad, "", 0},
    };
    for (const Case &c : cases) {
        RemoteTarget t;
        EXPECT_EQ(parse_map_target(c.text, t), c.kind) << c.text;
        if (c.kind == MapTarget::Remote || c.kind == MapTarget::Tcp) {
            EXPECT_EQ(t.host, c.host) << c.text;
            EXPECT_EQ(t.port, c.port) << c.text;
        }
    }
}
