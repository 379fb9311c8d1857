// Opening, closing and line control through libtty.so, against pseudo-terminals.
#include "com_ports.h"

#include "tty.h"

#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

using namespace testing_tty;

namespace {

constexpr int32_t k9600_8N1_Hs = 0x0036;    // hardware handshake
constexpr int32_t k9600_8N1_Xon = 0x10B6;   // XON/XOFF
constexpr int32_t kRefused = 0x1046;        // 5 data bits with two stop bits
constexpr int32_t kAbortOnClose = 0x0800;
constexpr int32_t kNotOpen = 0x0800;        // IOP_Status of a port that is not open

const unsigned kRates[16] = {110,   300,   600,   1200,   2400,   4800,   9600,   14400,
                             19200, 38400, 56000, 57600, 115200, 128000, 256000, 28800};

bool refused_by_device(int32_t cflag) { return (cflag & 0x30) == 0 && (cflag & 0x40); }

class Open : public ComPortTest {};

} // namespace

TEST_F(Open, PortNumbersNameTheirDevices) {
    // Ports below 10 and from 10 on are opened under different name forms; each must reach
    // its own device, including the two ends of the table.
    const int ports[] = {0, 3, 9, 10, 42, 257};
    std::vector<Pty *> devices;
    for (int port : ports) devices.push_back(&attach(port));
    for (int port : ports) ASSERT_EQ(IOP_Open(port, k9600_8N1), 0) << port;
    for (size_t i = 0; i < devices.size(); ++i) {
        const std::string tag = "port" + std::to_string(ports[i]);
        ASSERT_EQ(IOP_Write(ports[i], tag.data(), static_cast<int32_t>(tag.size())), tag.size());
        EXPECT_EQ(read_some(devices[i]->master, tag.size()), tag);
    }
}

TEST_F(Open, MissingDeviceChangesNothing) {
    attach(3);
    ASSERT_EQ(IOP_Open(3, k9600_8N1 | kAbortOnClose), 0);
    EXPECT_EQ(IOP_Open(5, k9600_8N1), -1); // nothing mapped as COM5
    EXPECT_EQ(IOP_Status(5), kNotOpen);
    EXPECT_EQ(IOP_GetIoctrl(3), k9600_8N1 | kAbortOnClose); // the last word is still 3's
    EXPECT_EQ(IOP_Close(5), -1);
    // A later open of the port, once a device is there, works.
    attach(5);
    EXPECT_EQ(IOP_Open(5, k9600_8N1), 0);
}

TEST_F(Open, RefusedWordLeavesDeviceHeldButNotOpen) {
    Pty &a = attach(3);
    attach(4);
    ASSERT_EQ(IOP_Open(4, k9600_8N1), 0);
    const Line before = line_of(a.master);

    EXPECT_EQ(IOP_Open(3, kRefused | kAbortOnClose), -1);
    EXPECT_EQ(IOP_Status(3) & (kNotOpen | 0x0040), kNotOpen);
    EXPECT_EQ(IOP_GetIoctrl(4), k9600_8N1 | kAbortOnClose); // the refused word is the last
    EXPECT_EQ(line_of(a.master).speed, before.speed);
    EXPECT_EQ(line_of(a.master).cstopb(), before.cstopb());

    // The device is held until closed, then free again.
    alias(6, a);
    EXPECT_EQ(IOP_Open(6, k9600_8N1), -1);
    EXPECT_EQ(IOP_Close(3), 0);
    EXPECT_EQ(IOP_Close(3), -1);
    EXPECT_EQ(IOP_Open(6, k9600_8N1), 0);
}

TEST_F(Open, RetryAfterARefusedWordOpensTheDevice) {
    // The library must not stand in its own way: the handle the refused word left behind
    // would otherwise keep the device busy for every later open of the port.
    Pty &a = attach(3);
    ASSERT_EQ(IOP_Open(3, kRefused), -1);
    ASSERT_EQ(IOP_Open(3, k9600_8N1 | 0x40), 0); // two stop bits with 8 data bits
    EXPECT_EQ(IOP_Status(3) & (kNotOpen | 0x0040), 0x0040);
    EXPECT_TRUE(line_of(a.master).cstopb());
    ASSERT_EQ(IOP_Write(3, "y", 1), 1u);
    EXPECT_EQ(read_some(a.master, 1), "y");
    EXPECT_EQ(IOP_Close(3), 0);
    EXPECT_EQ(IOP_Close(3), -1);
}

TEST_F(Open, InvalidParityCodesAreRefusedBeforeAnything) {
    Pty &a = attach(3);
    attach(4);
    ASSERT_EQ(IOP_Open(4, k9600_8N1), 0);
    for (int32_t parity : {5, 6, 7}) {
        const int32_t word = k9600_8N1 | kAbortOnClose | parity << 8;
        EXPECT_EQ(IOP_Open(3, word), -1);
        EXPECT_EQ(IOP_Ioctrl(4, word), -1);
    }
    EXPECT_EQ(IOP_GetIoctrl(4), k9600_8N1); // t_cflag untouched, line untouched
    // The device was never opened by those calls.
    alias(6, a);
    EXPECT_EQ(IOP_Open(6, k9600_8N1), 0);
}

TEST_F(Open, CloseOfPortsNeverOpenedOrClosedFails) {
    attach(3);
    EXPECT_EQ(IOP_Close(3), -1);
    ASSERT_EQ(IOP_Open(3, k9600_8N1), 0);
    EXPECT_EQ(IOP_Close(3), 0);
    EXPECT_EQ(IOP_Close(3), -1);
    EXPECT_EQ(IOP_Status(3), kNotOpen);
    EXPECT_EQ(IOP_GetIoctrl(3), 0);
    EXPECT_EQ(IOP_SetDTR(3, 1), -1);
    EXPECT_EQ(IOP_Ioctrl(3, k9600_8N1), -1);
}

TEST_F(Open, SecondOpenOfAnOpenPortKeepsItsDevice) {
    Pty &a = attach(3);
    ASSERT_EQ(IOP_Open(3, k9600_8N1), 0);
    EXPECT_EQ(IOP_Open(3, k9600_8N1_Xon), -1);
    // Even when COM3 now names another, free device.
    attach(3);
    EXPECT_EQ(IOP_Open(3, k9600_8N1_Xon), -1);
    EXPECT_EQ(IOP_GetIoctrl(3), k9600_8N1);
    ASSERT_EQ(IOP_Write(3, "x", 1), 1u);
    EXPECT_EQ(read_some(a.master, 1), "x");
}

TEST_F(Open, SameDeviceUnderTwoNumbersOrInTwoProcesses) {
    Pty &a = attach(3);
    alias(4, a);
    ASSERT_EQ(IOP_Open(3, k9600_8N1), 0);
    EXPECT_EQ(IOP_Open(4, k9600_8N1), -1);
    EXPECT_EQ(open_in_other_process(4, k9600_8N1), 255) << "-1 from IOP_Open in the probe";
    EXPECT_EQ(IOP_Close(3), 0);
    EXPECT_EQ(open_in_other_process(4, k9600_8N1), 0);
    EXPECT_EQ(IOP_Open(4, k9600_8N1), 0);
}

TEST_F(Open, LineIsReallyConfigured) {
    Pty &a = attach(3);
    ASSERT_EQ(IOP_Open(3, 0x1000 | 0x0F | 0x30 | 0x40), 0); // 28800, 8 bits, two stop bits
    Line l = line_of(a.master);
    EXPECT_EQ(l.speed, 28800u);
    EXPECT_TRUE(l.cstopb());
    EXPECT_TRUE(l.raw());
    EXPECT_FALSE(l.crtscts());
    EXPECT_FALSE(l.ixon() || l.ixoff());

    ASSERT_EQ(IOP_Ioctrl(3, k9600_8N1_Xon), 0);
    l = line_of(a.master);
    EXPECT_EQ(l.speed, 9600u);
    EXPECT_FALSE(l.cstopb());
    EXPECT_TRUE(l.ixon() && l.ixoff());
    EXPECT_TRUE(l.raw());

    ASSERT_EQ(IOP_Ioctrl(3, k9600_8N1_Hs), 0);
    EXPECT_TRUE(line_of(a.master).crtscts());
    EXPECT_EQ(IOP_Flowctrl(3, 4), 0);
    l = line_of(a.master);
    EXPECT_FALSE(l.crtscts());
    EXPECT_TRUE(l.ixon() && l.ixoff());
}

TEST_F(Open, EveryValidWordOpensAndReadsBackAsApplied) {
    Pty &a = attach(3);
    attach(4);
    ASSERT_EQ(IOP_Open(4, k9600_8N1), 0);
    int tried = 0;
    for (int32_t word = 0; word < 0x2000; ++word) {
        if (((word >> 8) & 7) > 4 || refused_by_device(word)) continue;
        ++tried;
        SCOPED_TRACE(testing::Message() << "word 0x" << std::hex << word);
        ASSERT_EQ(IOP_Open(3, word), 0);
        EXPECT_EQ(IOP_GetIoctrl(3), word);
        EXPECT_EQ(IOP_GetIoctrl(4) & kAbortOnClose, word & kAbortOnClose);
        const Line l = line_of(a.master);
        EXPECT_EQ(l.speed, kRates[word & 0xF]);
        EXPECT_EQ(l.cstopb(), (word & 0x40) != 0);
        EXPECT_EQ(l.ixon() && l.ixoff(), (word & 0x80) != 0);
        EXPECT_EQ(l.crtscts(), (word & 0x1000) == 0);
        ASSERT_EQ(IOP_Close(3), 0);

        // The same word applied to an open port.
        ASSERT_EQ(IOP_Ioctrl(4, word), 0);
        EXPECT_EQ(IOP_GetIoctrl(4), word);
        if (HasFailure()) return;
    }
    // 16 rates x 4 sizes x 2 stops x 5 parities x 2^3 flags, less 5 bits with 2 stops
    EXPECT_EQ(tried, 4480);
}

TEST_F(Open, IoctrlSetsTheLastWordEvenWhenItFails) {
    Pty &a = attach(3);
    ASSERT_EQ(IOP_Open(3, k9600_8N1), 0);
    EXPECT_EQ(IOP_Ioctrl(3, kRefused | kAbortOnClose), -1);
    EXPECT_EQ(IOP_GetIoctrl(3), k9600_8N1 | kAbortOnClose); // line as before, bit 11 new
    EXPECT_EQ(line_of(a.master).speed, 9600u);
    EXPECT_EQ(IOP_Ioctrl(7, k9600_8N1), -1); // a port never opened
    EXPECT_EQ(IOP_GetIoctrl(3), k9600_8N1);
    EXPECT_EQ(IOP_Ioctrl(258, k9600_8N1 | kAbortOnClose), -1); // out of range: no effect
    EXPECT_EQ(IOP_GetIoctrl(3), k9600_8N1);
}

TEST_F(Open, FlowControlWordAndReadBack) {
    attach(3);
    ASSERT_EQ(IOP_Open(3, k9600_8N1), 0);
    EXPECT_EQ(IOP_GetIoctrl(3), k9600_8N1);
    EXPECT_EQ(IOP_GetFlowctrl(3), 0);
    EXPECT_EQ(IOP_Flowctrl(3, 3), 0);
    EXPECT_EQ(IOP_GetIoctrl(3), k9600_8N1_Hs);
    EXPECT_EQ(IOP_GetFlowctrl(3), 3);
    ASSERT_EQ(IOP_Close(3), 0);

    ASSERT_EQ(IOP_Open(3, 0x00B6), 0);
    EXPECT_EQ(IOP_GetIoctrl(3), 0x00B6);
    EXPECT_EQ(IOP_GetFlowctrl(3), 7);
}

TEST_F(Open, DtrAndRtsAreDroppedAndRestored) {
    const Pty &three = attach(3);
    attach(4);
    ASSERT_EQ(IOP_Open(3, k9600_8N1_Hs), 0);
    EXPECT_EQ(IOP_SetDTR(3, 0), 0);
    EXPECT_EQ(IOP_GetFlowctrl(3), 10);
    EXPECT_EQ(IOP_SetDTR(3, 1), 0);
    EXPECT_EQ(IOP_GetFlowctrl(3), 3);
    EXPECT_EQ(IOP_SetRTS(3, 0), 0);
    EXPECT_EQ(IOP_GetFlowctrl(3), 0x11);
    // RTS held off: the driver must not own it, or it raises RTS when its input drains.
    EXPECT_FALSE(line_of(three.master).crtscts());
    EXPECT_EQ(IOP_SetRTS(3, 2), 0); // any other flag: written back unchanged
    EXPECT_EQ(IOP_GetFlowctrl(3), 0x11);
    EXPECT_EQ(IOP_SetRTS(3, 1), 0);
    EXPECT_EQ(IOP_GetFlowctrl(3), 3);
    EXPECT_TRUE(line_of(three.master).crtscts());

    // The remembered mode is one for the library: port 4's mode is restored on port 3.
    ASSERT_EQ(IOP_Open(4, k9600_8N1), 0);
    EXPECT_EQ(IOP_SetRTS(4, 2), 0); // remembers RTS_CONTROL_ENABLE
    EXPECT_EQ(IOP_GetFlowctrl(4), 0);
    EXPECT_EQ(IOP_SetRTS(3, 0), 0); // remembers handshake, then drops
    EXPECT_EQ(IOP_SetRTS(4, 2), 0); // remembers enable again
    EXPECT_EQ(IOP_SetRTS(3, 1), 0);
    EXPECT_EQ(IOP_GetFlowctrl(3), 1); // RTS simply enabled now
}

TEST_F(Open, OpenCloseCyclesLeakNothing) {
    attach(3);
    ASSERT_EQ(IOP_Open(3, k9600_8N1), 0); // the first open creates the library's events
    ASSERT_EQ(IOP_Close(3), 0);
    const int fds = open_fd_count();
    const size_t heap = mallinfo2().uordblks;
    for (int i = 0; i < 10000; ++i) {
        ASSERT_EQ(IOP_Open(3, i % 2 ? k9600_8N1 : k9600_8N1_Xon), 0) << i;
        ASSERT_EQ(IOP_Close(3), 0) << i;
    }
    EXPECT_EQ(open_fd_count(), fds);
    // Events are not descriptors here, so look at the heap too: two objects kept per cycle
    // would hold well over a megabyte by now. (Sanitizer builds report no heap figures.)
    const long long grown =
        static_cast<long long>(mallinfo2().uordblks) - static_cast<long long>(heap);
    if (heap != 0) {
        EXPECT_LT(grown, 256 * 1024) << "bytes still allocated after the cycles";
    }
}

TEST(Exports, OnlyTheLibraryFunctionsLeaveTheLibrary) {
    const std::string cmd = std::string("nm -D --defined-only '") + TTY_LIBRARY_FILE + "'";
    FILE *nm = popen(cmd.c_str(), "r");
    ASSERT_NE(nm, nullptr);
    std::set<std::string> found;
    char line[512];
    while (fgets(line, sizeof line, nm)) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
        const auto space = s.rfind(' ');
        found.insert(space == std::string::npos ? s : s.substr(space + 1));
    }
    ASSERT_EQ(pclose(nm), 0);
    const std::set<std::string> expected = {
        "IOP_Open",      "IOP_Close",     "IOP_Ioctrl",    "IOP_Flowctrl",   "IOP_GetIoctrl",
        "IOP_GetFlowctrl", "IOP_SetDTR",  "IOP_SetRTS",    "IOP_Putc",       "IOP_Getc",
        "IOP_Write",     "IOP_Read",      "IOP_DOQ_Count", "IOP_DIQ_Count",  "IOP_ResetDOQ",
        "IOP_ResetDIQ",  "IOP_Status",    "IOP_DataStatus"};
    EXPECT_EQ(found, expected);
}
