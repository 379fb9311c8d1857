// The layer's pure parts: COM names, the device map, DCB <-> line settings, Windows' DCB
// checks, modem and error bits, and the time-out rules.
#include "posix/pure/dcb.h"
#include "posix/pure/status_bits.h"
#include "posix/pure/timeouts.h"
#include "posix/devmap.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cstring>
#include <string>

using namespace tty::posix;
using namespace tty::posix::pure;

TEST(LayerComName, AcceptsTheThreeFormsAndNothingElse)
{
    const struct {
        const char *name;
        long long n; // -1: refused
    } cases[] = {
        {"COM0", 0}, {"COM1", 1}, {"COM10", 10}, {"com3", 3}, {"//./COM10", 10},
        {"\\\\.\\COM257", 257}, {"COM2147483647", 2147483647},
        {"", -1}, {"COM", -1}, {"COM-1", -1}, {"COM+1", -1}, {"COM 1", -1}, {" COM1", -1},
        {"COM1 ", -1}, {"COM01", -1}, {"COM1x", -1}, {"LPT1", -1}, {"//./", -1}, {"/./COM1", -1},
        {"//.\\COM1", -1}, {"COM2147483648", -1}, {"COM99999999999999999999", -1},
    };
    for (const auto &c : cases) {
        uint32_t n = 12345;
        EXPECT_EQ(parse_com_name(c.name, n), c.n >= 0) << c.name;
        if (c.n >= 0) {
            EXPECT_EQ(n, uint32_t(c.n)) << c.name;
        }
    }
    uint32_t n = 0;
    EXPECT_FALSE(parse_com_name(nullptr, n));
}

static bool nothingExists(const char *) { return false; }
static bool everythingExists(const char *path) { return std::strncmp(path, "/dev/COM", 8) == 0; }

TEST(LayerDeviceMap, FollowsTheTable)
{
    const struct {
        uint32_t n;
        const char *path;
    } table[] = {
        {0, ""}, {1, "/dev/ttyS0"}, {32, "/dev/ttyS31"}, {33, "/dev/ttyUSB0"}, {48, "/dev/ttyUSB15"},
        {49, "/dev/ttyACM0"}, {64, "/dev/ttyACM15"}, {65, ""}, {4000000000u, ""},
    };
    for (const auto &t : table) {
        EXPECT_EQ(com_device_path(t.n, nullptr, nothingExists), t.path) << t.n;
        EXPECT_EQ(com_device_path(t.n, "", nothingExists), t.path) << t.n; // empty = not set
        EXPECT_EQ(com_device_path(t.n, nullptr, everythingExists), "/dev/COM" + std::to_string(t.n));
    }
    // The folder of TTY_COM_DIR is all there is, whatever exists in /dev.
    EXPECT_EQ(com_device_path(7, "/tmp/ports", everythingExists), "/tmp/ports/COM7");
    EXPECT_EQ(com_device_path(100, "/tmp/ports", nothingExists), "/tmp/ports/COM100");
}

static DCB validDcb()
{
    DCB d {};
    d.DCBlength = sizeof d;
    d.BaudRate = 9600;
    d.fBinary = 1;
    d.ByteSize = 8;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    return d;
}

TEST(LayerDcbCheck, RefusesWhatWindowsRefuses)
{
    const struct {
        const char *what;
        void (*change)(DCB &);
        bool valid;
    } cases[] = {
        {"as is", [](DCB &) {}, true},
        {"rate 0", [](DCB &d) { d.BaudRate = 0; }, false},
        {"rate 1", [](DCB &d) { d.BaudRate = 1; }, true},
        {"4 bits", [](DCB &d) { d.ByteSize = 4; }, false},
        {"9 bits", [](DCB &d) { d.ByteSize = 9; }, false},
        {"space parity", [](DCB &d) { d.Parity = SPACEPARITY; }, true},
        {"parity 5", [](DCB &d) { d.Parity = 5; }, false},
        {"stop bits 3", [](DCB &d) { d.StopBits = 3; }, false},
        {"5 bits 1.5 stop", [](DCB &d) { d.ByteSize = 5, d.StopBits = ONE5STOPBITS; }, true},
        {"5 bits 2 stop", [](DCB &d) { d.ByteSize = 5, d.StopBits = TWOSTOPBITS; }, false},
        {"6 bits 1.5 stop", [](DCB &d) { d.ByteSize = 6, d.StopBits = ONE5STOPBITS; }, false},
        {"8 bits 1.5 stop", [](DCB &d) { d.StopBits = ONE5STOPBITS; }, false},
        {"6 bits 2 stop", [](DCB &d) { d.ByteSize = 6, d.StopBits = TWOSTOPBITS; }, true},
        {"DTR handshake", [](DCB &d) { d.fDtrControl = DTR_CONTROL_HANDSHAKE; }, true},
        {"DTR mode 3", [](DCB &d) { d.fDtrControl = 3; }, false},
        {"RTS toggle", [](DCB &d) { d.fRtsControl = RTS_CONTROL_TOGGLE; }, true},
        {"XON = XOFF", [](DCB &d) { d.XoffChar = d.XonChar; }, false},
    };
    for (const auto &c : cases) {
        DCB d = validDcb();
        c.change(d);
        EXPECT_EQ(dcb_valid(d), c.valid) << c.what;
    }
}

TEST(LayerDcbLine, RawModeUndoesEveryCookedSetting)
{
    // A device as a login shell or another program may have left it.
    LineSettings s;
    s.iflag = IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXANY;
    s.oflag = OPOST | ONLCR;
    s.lflag = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
    s.cflag = CS7 | PARENB;
    line_make_raw(s);
    EXPECT_EQ(s.iflag, uint32_t(IGNBRK)) << "a break hands over no byte";
    EXPECT_EQ(s.oflag & OPOST, 0u);
    EXPECT_EQ(s.lflag, 0u);
    EXPECT_EQ(s.cflag, uint32_t(CS8 | CLOCAL | CREAD));
    EXPECT_EQ(s.cc[VMIN], 1);
    EXPECT_EQ(s.cc[VTIME], 0);
}

TEST(LayerDcbLine, FramingAndSpeedGoBothWays)
{
    const struct {
        BYTE size, parity, stop;
        uint32_t bits;
    } table[] = {
        {8, NOPARITY, ONESTOPBIT, CS8},
        {7, EVENPARITY, ONESTOPBIT, CS7 | PARENB},
        {7, ODDPARITY, TWOSTOPBITS, CS7 | PARENB | PARODD | CSTOPB},
        {6, MARKPARITY, ONESTOPBIT, CS6 | PARENB | PARODD | CMSPAR},
        {8, SPACEPARITY, TWOSTOPBITS, CS8 | PARENB | CMSPAR | CSTOPB},
        {5, NOPARITY, ONE5STOPBITS, CS5 | CSTOPB},
    };
    LineSettings raw;
    line_make_raw(raw);
    for (uint32_t rate : {110u, 9600u, 28800u, 115200u, 250000u, 12345u}) {
        for (const auto &t : table) {
            DCB d = validDcb();
            d.BaudRate = rate;
            d.ByteSize = t.size;
            d.Parity = t.parity;
            d.StopBits = t.stop;
            const LineSettings s = line_from_dcb(raw, d);
            EXPECT_EQ(s.cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB), t.bits);
            EXPECT_EQ(line_speed(s), rate);
            EXPECT_EQ(s.cflag & (CLOCAL | CREAD), uint32_t(CLOCAL | CREAD)) << "kept from raw";
            EXPECT_EQ(s.lflag & ICANON, 0u) << "kept from raw";
            const DCB back = dcb_from_line(s, validDcb());
            EXPECT_EQ(back.BaudRate, rate);
            EXPECT_EQ(back.ByteSize, t.size);
            EXPECT_EQ(back.Parity, t.parity);
            EXPECT_EQ(back.StopBits, t.stop);
        }
    }
}

TEST(LayerDcbLine, FlowControlAndCharacters)
{
    const struct {
        void (*change)(DCB &);
        uint32_t iflag, cflag;
    } cases[] = {
        {[](DCB &) {}, 0, 0},
        {[](DCB &d) { d.fRtsControl = RTS_CONTROL_ENABLE, d.fOutxCtsFlow = 1; }, 0, CRTSCTS},
        {[](DCB &d) { d.fRtsControl = RTS_CONTROL_HANDSHAKE; }, 0, CRTSCTS},
        // RTS held off: the driver must not own it, CTS output flow is given up with it.
        {[](DCB &d) { d.fRtsControl = RTS_CONTROL_DISABLE, d.fOutxCtsFlow = 1; }, 0, 0},
        {[](DCB &d) { d.fRtsControl = RTS_CONTROL_TOGGLE, d.fOutxCtsFlow = 1; }, 0, 0},
        {[](DCB &d) { d.fOutX = 1; }, IXON, 0},
        {[](DCB &d) { d.fInX = 1; }, IXOFF, 0},
        // Bytes with parity or framing errors are handed over as received.
        {[](DCB &d) { d.fParity = 1; }, 0, 0},
        {[](DCB &d) { d.fOutxDsrFlow = 1, d.fDtrControl = DTR_CONTROL_HANDSHAKE; }, 0, 0},
    };
    LineSettings all; // every flag set before: the DCB must also clear them
    all.iflag = IXON | IXOFF | INPCK | IGNPAR | PARMRK | BRKINT;
    all.cflag = CRTSCTS;
    for (const auto &c : cases) {
        DCB d = validDcb();
        c.change(d);
        const LineSettings s = line_from_dcb(all, d);
        EXPECT_EQ(s.iflag & (IXON | IXOFF | INPCK | IGNPAR | PARMRK | BRKINT | IGNBRK),
                  c.iflag | IGNBRK);
        EXPECT_EQ(s.cflag & CRTSCTS, c.cflag);
        EXPECT_EQ(s.cc[VSTART], 0x11);
        EXPECT_EQ(s.cc[VSTOP], 0x13);
    }
}

TEST(LayerDcbLine, CurrentStateKeepsWhatTheDeviceCannotHold)
{
    DCB asked = validDcb();
    asked.ByteSize = 7;
    asked.Parity = MARKPARITY;
    asked.fOutxDsrFlow = 1;
    asked.fDtrControl = DTR_CONTROL_HANDSHAKE;
    asked.XonLim = 100;
    asked.EvtChar = 'e';
    LineSettings raw;
    line_make_raw(raw);
    LineSettings applied = line_from_dcb(raw, asked);
    applied.cflag = (applied.cflag & ~uint32_t(CSIZE | PARENB | PARODD | CMSPAR)) | CS8; // a pty

    DCB got = dcb_current(applied, asked, applied);
    EXPECT_EQ(std::memcmp(&got, &asked, sizeof got), 0);

    // Changed behind the handle's back: the device's values win, the rest stays.
    LineSettings now = applied;
    line_set_speed(now, 57600);
    now.iflag |= IXON;
    got = dcb_current(now, asked, applied);
    EXPECT_EQ(got.BaudRate, 57600u);
    EXPECT_EQ(got.fOutX, 1u);
    EXPECT_EQ(got.ByteSize, 7);
    EXPECT_EQ(got.Parity, MARKPARITY);
    EXPECT_EQ(got.XonLim, 100);
}

TEST(LayerDcbLine, TookJudgesSpeedAlwaysAndFramingOnRealDevices)
{
    LineSettings asked;
    line_set_speed(asked, 100000);
    asked.cflag |= CS7 | PARENB;
    LineSettings got = asked;
    line_set_speed(got, 98500); // within 2%
    EXPECT_TRUE(line_took(asked, got, true));
    line_set_speed(got, 97000);
    EXPECT_FALSE(line_took(asked, got, false));
    line_set_speed(got, 100000);
    got.cflag = (got.cflag & ~uint32_t(CSIZE | PARENB)) | CS8;
    EXPECT_FALSE(line_took(asked, got, true));
    EXPECT_TRUE(line_took(asked, got, false));
}

TEST(LayerBits, ModemLinesStatusAndErrors)
{
    using D = Drive;
    const struct {
        unsigned dtrMode, prevRts, rtsMode;
        bool inputFull;
        Drive dtr, rts;
    } lines[] = {
        {DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE, RTS_CONTROL_DISABLE, false, D::Lower, D::Lower},
        {DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE, RTS_CONTROL_ENABLE, true, D::Raise, D::Raise},
        {DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, RTS_CONTROL_TOGGLE, false, D::Raise, D::Lower},
        // The driver owns RTS in handshake mode: another setting must not raise it.
        {DTR_CONTROL_HANDSHAKE, RTS_CONTROL_HANDSHAKE, RTS_CONTROL_HANDSHAKE, false, D::Raise,
         D::Leave},
        // Coming into handshake mode, RTS goes up unless the input is already full.
        {DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE, false, D::Raise, D::Raise},
        {DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE, true, D::Raise, D::Leave},
    };
    for (const auto &l : lines) {
        DCB prev = validDcb();
        prev.fRtsControl = l.prevRts;
        DCB d = validDcb();
        d.fDtrControl = l.dtrMode;
        d.fRtsControl = l.rtsMode;
        const ModemDrive m = modem_drive(prev, d, l.inputFull);
        EXPECT_EQ(m.dtr, l.dtr) << l.dtrMode;
        EXPECT_EQ(m.rts, l.rts) << l.prevRts << " -> " << l.rtsMode;
    }
    EXPECT_EQ(modem_status_from_tiocm(TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CAR | TIOCM_DTR),
              MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
    EXPECT_EQ(modem_status_from_tiocm(TIOCM_DTR | TIOCM_RTS), 0u);

    const ErrorCounts before {1, 1, 1, 1, 1};
    const struct {
        ErrorCounts now;
        DWORD ce;
    } errors[] = {{{1, 1, 1, 1, 1}, 0},           {{2, 1, 1, 1, 1}, CE_FRAME},
                  {{1, 5, 1, 1, 1}, CE_OVERRUN},  {{1, 1, 2, 1, 1}, CE_RXPARITY},
                  {{1, 1, 1, 2, 1}, CE_BREAK},    {{1, 1, 1, 1, 2}, CE_RXOVER},
                  {{0, 0, 0, 0, 0}, 0},           {{9, 9, 1, 1, 1}, CE_FRAME | CE_OVERRUN}};
    for (const auto &e : errors)
        EXPECT_EQ(comm_errors_from_counts(before, e.now), e.ce);
}

TEST(LayerTimeouts, ReadAndWriteRules)
{
    const struct {
        COMMTIMEOUTS t;
        DWORD count;
        bool atOnce, takesWaiting, endsOnArrival;
        int64_t total, interval;
    } reads[] = {
        {{MAXDWORD, 0, 0, 0, 0}, 10, true, false, false, -1, -1},
        {{MAXDWORD, 0, 1000, 0, 0}, 10, false, true, false, 1000, -1},
        {{MAXDWORD, MAXDWORD, 500, 0, 0}, 10, false, true, true, 500, -1},
        {{0, 0, 0, 0, 0}, 10, false, false, false, -1, -1},
        {{0, 10, 100, 0, 0}, 5, false, false, false, 150, -1},
        {{20, 0, 0, 0, 0}, 5, false, false, false, -1, 20},
        {{0, MAXDWORD, MAXDWORD, 0, 0}, MAXDWORD, false, false, false, -1, -1},
    };
    for (const auto &r : reads) {
        const ReadRule rule = read_rule(r.t, r.count);
        EXPECT_EQ(rule.atOnce, r.atOnce);
        EXPECT_EQ(rule.takesWaiting, r.takesWaiting);
        EXPECT_EQ(rule.endsOnArrival, r.endsOnArrival);
        EXPECT_EQ(rule.totalMs, r.total);
        EXPECT_EQ(rule.intervalMs, r.interval);
    }
    EXPECT_EQ(write_total_ms({0, 0, 0, 0, 0}, 5), -1);
    EXPECT_EQ(write_total_ms({0, 0, 0, 2, 0}, 5), 10);
    EXPECT_EQ(write_total_ms({0, 0, 0, 0, 100}, 5), 100);
    EXPECT_EQ(write_total_ms({0, 0, 0, MAXDWORD, MAXDWORD}, MAXDWORD), -1);

    EXPECT_EQ(close_drain_ms(0, 9600), 0);
    EXPECT_EQ(close_drain_ms(960, 9600), 1500);      // a second on the line, plus slack
    EXPECT_EQ(close_drain_ms(4096, 110), 5000);      // a slow line: capped
    EXPECT_EQ(close_drain_ms(MAXDWORD, 0), 5000);    // no rate known: capped, no division by 0
}
