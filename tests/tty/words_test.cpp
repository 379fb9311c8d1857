// The word translations against made-up DCBs and masks: no device involved.
#include "words.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace tty;

namespace {

// A DCB whose every byte is a recognisable non-zero pattern, so that a translation which
// writes a member it should leave alone shows up.
DCB patterned() {
    DCB dcb;
    std::memset(&dcb, 0xA5, sizeof dcb);
    return dcb;
}

DCB zeroed() {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    return dcb;
}

bool same_bytes(const DCB &a, const DCB &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct Applied {
    int32_t cflag;
    DWORD baud;
    int size, parity, stop;
    unsigned dtr, rts, dsrFlow, ctsFlow, outX, inX;
};

} // namespace

TEST(Words, ApplyConfigurationWordExamples) {
    const Applied rows[] = {
        // 110 bit/s, 5 data bits, one stop, no parity, both handshakes, no XON/XOFF
        {0x0000, 110, 5, NOPARITY, ONESTOPBIT, 2, 2, 1, 1, 0, 0},
        {0x0136, 9600, 8, EVENPARITY, ONESTOPBIT, 2, 2, 1, 1, 0, 0},
        {0x0236, 9600, 8, ODDPARITY, ONESTOPBIT, 2, 2, 1, 1, 0, 0},
        {0x1036, 9600, 8, NOPARITY, ONESTOPBIT, 1, 1, 0, 0, 0, 0},
        {0x10B6, 9600, 8, NOPARITY, ONESTOPBIT, 1, 1, 0, 0, 1, 1},
        {0x0036, 9600, 8, NOPARITY, ONESTOPBIT, 2, 2, 1, 1, 0, 0},
        {0x036F, 28800, 7, MARKPARITY, TWOSTOPBITS, 2, 2, 1, 1, 0, 0},
        {0x141E, 256000, 6, SPACEPARITY, ONESTOPBIT, 1, 1, 0, 0, 0, 0},
        {0x1C8D, 128000, 5, SPACEPARITY, ONESTOPBIT, 1, 1, 0, 0, 1, 1},
    };
    for (const Applied &r : rows) {
        SCOPED_TRACE(testing::Message() << "cflag 0x" << std::hex << r.cflag);
        DCB dcb = patterned();
        apply_cflag(dcb, r.cflag);
        EXPECT_EQ(dcb.BaudRate, r.baud);
        EXPECT_EQ(dcb.ByteSize, r.size);
        EXPECT_EQ(dcb.Parity, r.parity);
        EXPECT_EQ(dcb.StopBits, r.stop);
        EXPECT_EQ(dcb.fDtrControl, r.dtr);
        EXPECT_EQ(dcb.fRtsControl, r.rts);
        EXPECT_EQ(dcb.fOutxDsrFlow, r.dsrFlow);
        EXPECT_EQ(dcb.fOutxCtsFlow, r.ctsFlow);
        EXPECT_EQ(dcb.fOutX, r.outX);
        EXPECT_EQ(dcb.fInX, r.inX);
    }
}

TEST(Words, EveryBaudCodeNamesItsRate) {
    const DWORD rates[16] = {110,   300,   600,   1200,   2400,   4800,   9600,   14400,
                             19200, 38400, 56000, 57600, 115200, 128000, 256000, 28800};
    for (int code = 0; code < 16; ++code) {
        DCB dcb = zeroed();
        apply_cflag(dcb, 0x1030 | code);
        EXPECT_EQ(dcb.BaudRate, rates[code]) << "code " << code;
    }
}

TEST(Words, ApplyLeavesOtherMembersAlone) {
    for (int32_t cflag : {0x0000, 0x1FFF & ~0x0400, 0x10B6, 0x0836}) {
        const DCB before = patterned();
        DCB after = before;
        apply_cflag(after, cflag);
        // Put the members the word owns back as they were: nothing else may differ.
        DCB restored = after;
        restored.BaudRate = before.BaudRate;
        restored.ByteSize = before.ByteSize;
        restored.Parity = before.Parity;
        restored.StopBits = before.StopBits;
        restored.fDtrControl = before.fDtrControl;
        restored.fRtsControl = before.fRtsControl;
        restored.fOutxDsrFlow = before.fOutxDsrFlow;
        restored.fOutxCtsFlow = before.fOutxCtsFlow;
        restored.fOutX = before.fOutX;
        restored.fInX = before.fInX;
        EXPECT_TRUE(same_bytes(restored, before)) << "cflag 0x" << std::hex << cflag;
    }
}

TEST(Words, HighBitsOfTheWordChangeNothing) {
    for (int32_t cflag : {0x0000, 0x0136, 0x10B6, 0x0FFF & ~0x0400}) {
        DCB plain = patterned(), noisy = patterned();
        apply_cflag(plain, cflag);
        apply_cflag(noisy, cflag | static_cast<int32_t>(0xFFFFE000u));
        EXPECT_TRUE(same_bytes(plain, noisy)) << "cflag 0x" << std::hex << cflag;
    }
}

TEST(Words, ParityCodesWithoutEntryAreRefusedAndNeverLookedUp) {
    for (int p = 0; p < 8; ++p) EXPECT_EQ(cflag_has_entries(0x1006 | p << 8), p <= 4) << p;
    EXPECT_TRUE(cflag_has_entries(0x100F)); // baud code 15 has its entry
    EXPECT_TRUE(cflag_has_entries(static_cast<int32_t>(0xFFFFE000u)));

    // Even if a caller forgets the check, the parity member keeps its value.
    DCB dcb = patterned();
    const BYTE parity = dcb.Parity;
    apply_cflag(dcb, 0x1736);
    EXPECT_EQ(dcb.Parity, parity);
}

TEST(Words, EveryValidWordReadsBackAsApplied) {
    for (int32_t cflag = 0; cflag < 0x2000; ++cflag) {
        if (!cflag_has_entries(cflag)) continue;
        for (int32_t t_cflag : {0x0000, 0x0800}) {
            DCB dcb = patterned();
            apply_cflag(dcb, cflag);
            const int32_t expected = (cflag & ~bHupcl) | t_cflag;
            ASSERT_EQ(cflag_from_dcb(dcb, t_cflag), expected)
                << "cflag 0x" << std::hex << cflag << " t_cflag 0x" << t_cflag;
        }
    }
}

TEST(Words, ReadBackFromMadeUpDcb) {
    DCB dcb = zeroed();
    dcb.BaudRate = CBR_19200;
    dcb.ByteSize = 7;
    dcb.StopBits = TWOSTOPBITS;
    dcb.Parity = ODDPARITY;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fInX = 1;
    EXPECT_EQ(cflag_from_dcb(dcb, 0x0000), 0x12E8);
    EXPECT_EQ(cflag_from_dcb(dcb, 0x0800), 0x1AE8);
    // Only bit 11 of t_cflag is taken.
    EXPECT_EQ(cflag_from_dcb(dcb, static_cast<int32_t>(0xFFFFF7FFu)), 0x12E8);

    // XON/XOFF is reported from fInX alone.
    dcb.fInX = 0;
    dcb.fOutX = 1;
    EXPECT_EQ(cflag_from_dcb(dcb, 0) & bXONXOFF, 0);
    EXPECT_EQ(iflag_from_dcb(dcb) & bFlowXONXOFF, 0);
}

TEST(Words, ReadBackNeedsBothLinesEnabledForBit12) {
    struct {
        unsigned dtr, rts;
        bool bit12;
    } const rows[] = {{1, 1, true},  {1, 2, false}, {2, 1, false}, {0, 1, false},
                      {1, 0, false}, {3, 1, false}, {1, 3, false}, {2, 2, false}};
    for (const auto &r : rows) {
        DCB dcb = zeroed();
        dcb.BaudRate = CBR_9600;
        dcb.ByteSize = 8;
        dcb.fDtrControl = r.dtr;
        dcb.fRtsControl = r.rts;
        EXPECT_EQ((cflag_from_dcb(dcb, 0) & bDTRRTS) != 0, r.bit12) << r.dtr << "/" << r.rts;
    }
}

TEST(Words, ValuesWithoutEntryReadBackAsZeroInTheirFieldOnly) {
    DCB dcb = zeroed();
    dcb.BaudRate = 12345; // no entry
    dcb.ByteSize = 8;
    dcb.StopBits = TWOSTOPBITS;
    dcb.Parity = SPACEPARITY;
    EXPECT_EQ(cflag_from_dcb(dcb, 0), 0x0470);

    dcb.BaudRate = CBR_57600;
    dcb.ByteSize = 4;               // no entry
    dcb.StopBits = ONE5STOPBITS;    // no entry
    dcb.Parity = 9;                 // no entry
    EXPECT_EQ(cflag_from_dcb(dcb, 0), 0x000B);

    dcb.ByteSize = 0xFF;
    dcb.StopBits = 0xFF;
    dcb.Parity = 0xFF;
    dcb.BaudRate = 0xFFFFFFFF;
    EXPECT_EQ(cflag_from_dcb(dcb, 0), 0);
}

TEST(Words, ApplyFlowControlWord) {
    DCB dcb = patterned();
    apply_iflag(dcb, 4);
    EXPECT_EQ(dcb.fOutX, 1u);
    EXPECT_EQ(dcb.fInX, 1u);
    EXPECT_EQ(dcb.fDtrControl, unsigned(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, unsigned(RTS_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);

    apply_iflag(dcb, 3);
    EXPECT_EQ(dcb.fDtrControl, unsigned(DTR_CONTROL_HANDSHAKE));
    EXPECT_EQ(dcb.fRtsControl, unsigned(RTS_CONTROL_HANDSHAKE));
    EXPECT_EQ(dcb.fOutxDsrFlow, 1u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);

    // Bits 3 and up are ignored, and nothing outside the six members moves.
    const DCB before = patterned();
    DCB a = before, b = before;
    apply_iflag(a, 0x5);
    apply_iflag(b, static_cast<int32_t>(0xFFFFFFF8u | 0x5));
    EXPECT_TRUE(same_bytes(a, b));
    a.fDtrControl = before.fDtrControl;
    a.fRtsControl = before.fRtsControl;
    a.fOutxDsrFlow = before.fOutxDsrFlow;
    a.fOutxCtsFlow = before.fOutxCtsFlow;
    a.fOutX = before.fOutX;
    a.fInX = before.fInX;
    EXPECT_TRUE(same_bytes(a, before));
}

TEST(Words, FlowControlWordFromDcb) {
    // As an open with bit 12 clear and bit 7 set leaves it.
    DCB dcb = zeroed();
    apply_cflag(dcb, 0x00B6);
    EXPECT_EQ(iflag_from_dcb(dcb), 7);
    // Bit 12 set, bit 7 clear; then DTR switched off.
    apply_cflag(dcb, 0x1036);
    EXPECT_EQ(iflag_from_dcb(dcb), 0);
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    EXPECT_EQ(iflag_from_dcb(dcb), 8);

    // Every pair of modes; the flow flags and fOutX are not consulted.
    const int dtrBits[4] = {0x08, 0x00, 0x01, 0x00};
    const int rtsBits[4] = {0x10, 0x00, 0x02, 0x00};
    for (unsigned dtr = 0; dtr < 4; ++dtr)
        for (unsigned rts = 0; rts < 4; ++rts)
            for (unsigned inX = 0; inX < 2; ++inX) {
                DCB d = patterned();
                d.fDtrControl = dtr;
                d.fRtsControl = rts;
                d.fInX = inX;
                d.fOutX = !inX;
                d.fOutxDsrFlow = !(dtr == 2);
                d.fOutxCtsFlow = !(rts == 2);
                EXPECT_EQ(iflag_from_dcb(d), dtrBits[dtr] | rtsBits[rts] | (inX ? 4 : 0))
                    << dtr << "/" << rts << "/" << inX;
            }
}

TEST(Words, StatusWordOfClosedPortIgnoresTheDcb) {
    DCB dcb = zeroed();
    apply_cflag(dcb, 0x0036); // 9600, both handshakes
    const int32_t s = sflag_from(dcb, 0, 0, 0);
    EXPECT_NE(s & bTX, 0);
    EXPECT_EQ(s & (bBaud | bOpen), 0);
}

TEST(Words, StatusWordExamples) {
    DCB hs = zeroed();
    apply_cflag(hs, 0x0036);
    DCB plain = zeroed();
    apply_cflag(plain, 0x1036);
    DCB unread = zeroed(); // what the library passes when the state cannot be read

    struct {
        const DCB *dcb;
        int32_t port;
        DWORD modem, events;
        int32_t sflag;
    } const rows[] = {
        {&hs, 1, MS_CTS_ON | MS_DSR_ON, 0, 0x11C6},
        {&plain, 1, 0, EV_RXCHAR, 0x0246},
        {&plain, 1, MS_RLSD_ON, 0, 0x0446},
        {&plain, 1, MS_RING_ON, 0, 0x0046},          // ring is not reported
        {&plain, 1, 0, 0xFFFFFFFE, 0x0046},          // only EV_RXCHAR counts
        {&plain, 1, 0xFFFFFFFF, EV_RXCHAR, 0x1746},  // stray modem bits stay out
        {&hs, 0, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON, EV_RXCHAR, 0x1F80},
        {&unread, 1, 0, 0, 0x0040},
        {&unread, 0, 0, 0, 0x0800},
    };
    for (const auto &r : rows)
        EXPECT_EQ(sflag_from(*r.dcb, r.port, r.modem, r.events), r.sflag)
            << "expected 0x" << std::hex << r.sflag;
}

TEST(Words, StatusWordBaudCodeAndModemBit) {
    for (int code = 0; code < 16; ++code) {
        DCB dcb = zeroed();
        apply_cflag(dcb, 0x1030 | code);
        EXPECT_EQ(sflag_from(dcb, 1, 0, 0) & bBaud, code);
    }
    DCB dcb = zeroed();
    dcb.BaudRate = 31250; // no entry
    EXPECT_EQ(sflag_from(dcb, 1, 0, 0), bOpen);
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    EXPECT_EQ(sflag_from(dcb, 1, 0, 0) & bModem, 0);
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    EXPECT_NE(sflag_from(dcb, 1, 0, 0) & bModem, 0);
}

TEST(Words, ErrorWordCarriesOverrunAndOverflowCrosswise) {
    struct {
        DWORD mask;
        int32_t eflag;
    } const rows[] = {
        {0, 0},
        {CE_RXOVER, 2},
        {CE_OVERRUN, 1},
        {CE_RXPARITY | CE_TXFULL, 12},
        {CE_FRAME, 0},
        {CE_BREAK, 0},
        {CE_OVERRUN | CE_RXOVER | CE_FRAME | CE_BREAK, 3},
        {0xFFFFFFFF, 0xF},
    };
    for (const auto &r : rows)
        EXPECT_EQ(eflag_from(r.mask), r.eflag) << "mask 0x" << std::hex << r.mask;
}
