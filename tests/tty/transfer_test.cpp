// Transfer, queue counts and status through libtty.so, against pseudo-terminals.
#include "com_ports.h"

#include "tty.h"

#include <climits>
#include <cstring>
#include <thread>

using namespace testing_tty;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kHang = std::chrono::seconds(3); // "did not hang", never a speed claim

std::string all_bytes() {
    std::string s(256, '\0');
    for (int i = 0; i < 256; ++i) s[i] = static_cast<char>(i);
    return s;
}

class Transfer : public ComPortTest {
protected:
    Pty *pty = nullptr;
    void open3() {
        pty = &attach(3);
        ASSERT_EQ(IOP_Open(3, k9600_8N1), 0);
    }
};

} // namespace

TEST_F(Transfer, ReadClearsTheFirst256BytesAndReturnsWhatWaits) {
    open3();
    char buf[300];
    std::memset(buf, 0xEE, sizeof buf);
    write_all(pty->master, "A");
    ASSERT_TRUE(wait_for_input(3, 1));
    EXPECT_EQ(IOP_Read(3, buf, 1), 1u);
    EXPECT_EQ(buf[0], 'A');
    for (int i = 1; i < 256; ++i) ASSERT_EQ(buf[i], 0) << i;
    for (int i = 256; i < 300; ++i) ASSERT_EQ(static_cast<unsigned char>(buf[i]), 0xEE) << i;

    // Nothing arriving: 0 once the read time-out has passed, buffer still cleared.
    std::memset(buf, 0xEE, sizeof buf);
    const auto start = Clock::now();
    EXPECT_EQ(IOP_Read(3, buf, 10), 0u);
    EXPECT_LT(Clock::now() - start, kHang);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(buf[i], 0) << i;

    // count 0 reads nothing but clears all the same.
    write_all(pty->master, "B");
    ASSERT_TRUE(wait_for_input(3, 1));
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(IOP_Read(3, buf, 0), 0u);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(IOP_DIQ_Count(3), 1u);
}

TEST_F(Transfer, ReadsLongerThan256Bytes) {
    open3();
    std::string sent(1000, '\0');
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>('a' + i % 26);
    write_all(pty->master, sent);
    std::string got;
    char buf[1000];
    const auto end = Clock::now() + kHang;
    while (got.size() < sent.size() && Clock::now() < end) {
        const uint32_t n = IOP_Read(3, buf, static_cast<int32_t>(sent.size() - got.size()));
        ASSERT_NE(n, kFailed);
        got.append(buf, n);
    }
    EXPECT_EQ(got, sent);
}

TEST_F(Transfer, BadBuffersAndCountsTransferNothing) {
    open3();
    write_all(pty->master, "Z");
    ASSERT_TRUE(wait_for_input(3, 1));
    char buf[256];
    std::memset(buf, 0x55, sizeof buf);
    EXPECT_EQ(IOP_Read(3, nullptr, 1), kFailed);
    EXPECT_EQ(IOP_Read(3, buf, -1), kFailed);
    EXPECT_EQ(buf[0], 0x55);
    EXPECT_EQ(IOP_Getc(3, nullptr), -1);
    EXPECT_EQ(IOP_DIQ_Count(3), 1u); // the byte is still there

    EXPECT_EQ(IOP_Write(3, nullptr, 1), kFailed);
    EXPECT_EQ(IOP_Write(3, "abc", -3), kFailed);
    EXPECT_EQ(IOP_Write(3, "abc", INT_MIN), kFailed);
    EXPECT_EQ(IOP_Putc(3, nullptr), -1);
    EXPECT_EQ(read_some(pty->master, 1, std::chrono::milliseconds(100)), "");
}

TEST_F(Transfer, WritesReachTheDevice) {
    open3();
    EXPECT_EQ(IOP_Write(3, "hello", 5), 5u);
    EXPECT_EQ(IOP_Write(3, "", 0), 0u);
    EXPECT_EQ(IOP_Putc(3, "!"), 0);
    EXPECT_EQ(read_some(pty->master, 6), "hello!");
    EXPECT_EQ(IOP_DOQ_Count(3), 0u);
}

TEST_F(Transfer, WriteToAFullDeviceEndsAtItsTimeOutWithTheCountWritten) {
    open3();
    // Nobody reads the master, so the pseudo-terminal's buffer fills; a write of 256 bytes may
    // then take 512 ms before its time-out ends it with what went through.
    std::string sent;
    char chunk[256];
    uint32_t n = 256;
    for (int call = 0; call < 4000 && n == 256; ++call) {
        for (size_t i = 0; i < sizeof chunk; ++i)
            chunk[i] = static_cast<char>((sent.size() + i) * 7);
        const auto start = Clock::now();
        n = IOP_Write(3, chunk, 256);
        ASSERT_LT(Clock::now() - start, kHang);
        ASSERT_NE(n, kFailed);
        sent.append(chunk, n);
    }
    ASSERT_LT(n, 256u) << "the device never filled up";
    EXPECT_EQ(read_some(pty->master, sent.size(), std::chrono::seconds(5)), sent);
    EXPECT_EQ(read_some(pty->master, 1, std::chrono::milliseconds(100)), ""); // nothing more
}

TEST_F(Transfer, QueuesAreEmptiedAtOpenAndByTheResets) {
    pty = &attach(3);
    write_all(pty->master, "stale"); // arrives before the port is opened
    ASSERT_EQ(IOP_Open(3, k9600_8N1), 0);
    EXPECT_EQ(IOP_DIQ_Count(3), 0u);
    EXPECT_EQ(IOP_DOQ_Count(3), 0u);

    write_all(pty->master, "1234");
    ASSERT_TRUE(wait_for_input(3, 4));
    EXPECT_EQ(IOP_ResetDIQ(3), 1);
    EXPECT_EQ(IOP_DIQ_Count(3), 0u);
    EXPECT_EQ(IOP_ResetDOQ(3), 0);
}

TEST_F(Transfer, GetcTakesOneWaitingByteAndDoesNotWait) {
    open3();
    char c = 'x';
    const auto start = Clock::now();
    EXPECT_EQ(IOP_Getc(3, &c), -1);
    EXPECT_LT(Clock::now() - start, kHang);
    EXPECT_EQ(c, 0);

    // A byte arriving after the failed call is not lost to it.
    write_all(pty->master, "QR");
    ASSERT_TRUE(wait_for_input(3, 2));
    EXPECT_EQ(IOP_Getc(3, &c), 0);
    EXPECT_EQ(c, 'Q');
    char buf[256];
    EXPECT_EQ(IOP_Read(3, buf, 5), 1u);
    EXPECT_EQ(buf[0], 'R');

    // The shared record is free again: a read right after a failed Getc still works.
    EXPECT_EQ(IOP_Getc(3, &c), -1);
    write_all(pty->master, "S");
    ASSERT_TRUE(wait_for_input(3, 1));
    EXPECT_EQ(IOP_Read(3, buf, 1), 1u);
    EXPECT_EQ(buf[0], 'S');
}

TEST_F(Transfer, StatusReportsAReceivedCharacterOnce) {
    open3();
    EXPECT_EQ(IOP_Status(3), 0x0046); // open, 9600, nothing received
    write_all(pty->master, "x");
    ASSERT_TRUE(wait_for_input(3, 1));
    EXPECT_EQ(IOP_Status(3), 0x0246);
    EXPECT_EQ(IOP_Status(3), 0x0046);
    // The wait it started for the next character is not left running: transfers go on.
    EXPECT_EQ(IOP_Write(3, "ok", 2), 2u);
    EXPECT_EQ(read_some(pty->master, 2), "ok");
    write_all(pty->master, "y");
    ASSERT_TRUE(wait_for_input(3, 2));
    EXPECT_EQ(IOP_Status(3) & 0x0200, 0x0200);
    EXPECT_EQ(IOP_DataStatus(3), 0); // a pseudo-terminal reports no receive errors
}

TEST_F(Transfer, EveryByteValueCrossesBothWays) {
    open3();
    const std::string bytes = all_bytes();
    ASSERT_EQ(IOP_Write(3, bytes.data(), 256), 256u);
    EXPECT_EQ(read_some(pty->master, 256), bytes);

    write_all(pty->master, bytes);
    std::string got;
    char buf[256];
    const auto end = Clock::now() + kHang;
    while (got.size() < 256 && Clock::now() < end) {
        const uint32_t n = IOP_Read(3, buf, static_cast<int32_t>(256 - got.size()));
        ASSERT_NE(n, kFailed);
        got.append(buf, n);
    }
    EXPECT_EQ(got, bytes);

    // One byte at a time too.
    for (int i = 0; i < 256; ++i) {
        const char c = static_cast<char>(i);
        ASSERT_EQ(IOP_Putc(3, &c), 0) << i;
    }
    EXPECT_EQ(read_some(pty->master, 256), bytes);
}

TEST_F(Transfer, HangUpFailsPromptly) {
    open3();
    hang_up(*pty);
    char buf[256];
    auto start = Clock::now();
    // Transfers of nothing, first: they find the hang-up without a byte to move.
    EXPECT_EQ(IOP_Write(3, buf, 0), kFailed);
    EXPECT_EQ(IOP_Read(3, buf, 0), kFailed);
    EXPECT_EQ(IOP_Read(3, buf, 10), kFailed); // a time-out would give 0
    EXPECT_EQ(IOP_Write(3, "abc", 3), kFailed);
    EXPECT_EQ(IOP_DIQ_Count(3), kFailed);
    char c;
    EXPECT_EQ(IOP_Getc(3, &c), -1);
    IOP_Status(3);
    EXPECT_LT(Clock::now() - start, kHang);
    EXPECT_EQ(IOP_Close(3), 0);
}

TEST_F(Transfer, ClosedPortIsIsolatedFromTheNextOpen) {
    Pty &a = attach(3);
    Pty &b = attach(4);
    ASSERT_EQ(IOP_Open(3, k9600_8N1), 0);
    ASSERT_EQ(IOP_Close(3), 0);
    ASSERT_EQ(IOP_Open(4, 0x10B6), 0);

    EXPECT_EQ(IOP_Write(3, "3", 1), kFailed);
    EXPECT_EQ(IOP_Putc(3, "3"), -1);
    EXPECT_EQ(IOP_ResetDIQ(3), -1);
    EXPECT_EQ(IOP_Flowctrl(3, 3), -1);
    EXPECT_EQ(IOP_SetRTS(3, 0), -1);
    EXPECT_EQ(IOP_Status(3), 0x0800);
    EXPECT_EQ(IOP_Close(3), -1);

    EXPECT_EQ(IOP_GetIoctrl(4), 0x10B6);
    EXPECT_EQ(IOP_Write(4, "4", 1), 1u);
    EXPECT_EQ(read_some(b.master, 2, std::chrono::milliseconds(200)), "4");
    EXPECT_EQ(read_some(a.master, 1, std::chrono::milliseconds(100)), "");
}

TEST(NeverOpened, EveryFunctionGivesItsFailureResult) {
    char buf[256];
    char c;
    for (int32_t port : {0, 1, 200, 257, -1, 258, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(port);
        std::memset(buf, 0x55, sizeof buf);
        c = 'x';
        EXPECT_EQ(IOP_Close(port), -1);
        EXPECT_EQ(IOP_Ioctrl(port, k9600_8N1), -1);
        EXPECT_EQ(IOP_Flowctrl(port, 0), -1);
        EXPECT_EQ(IOP_GetIoctrl(port), 0);
        EXPECT_EQ(IOP_GetFlowctrl(port), 0);
        EXPECT_EQ(IOP_SetDTR(port, 1), -1);
        EXPECT_EQ(IOP_SetRTS(port, 1), -1);
        EXPECT_EQ(IOP_Putc(port, "a"), -1);
        EXPECT_EQ(IOP_Getc(port, &c), -1);
        EXPECT_EQ(IOP_Write(port, "a", 1), kFailed);
        EXPECT_EQ(IOP_Read(port, buf, 1), kFailed);
        EXPECT_EQ(buf[0] | buf[255], 0); // cleared all the same: callers treat it as text
        EXPECT_EQ(c, 0);
        EXPECT_EQ(IOP_DOQ_Count(port), kFailed);
        EXPECT_EQ(IOP_DIQ_Count(port), kFailed);
        EXPECT_EQ(IOP_ResetDOQ(port), -1);
        EXPECT_EQ(IOP_ResetDIQ(port), -1);
        EXPECT_EQ(IOP_Status(port), 0x0800);
        EXPECT_EQ(IOP_DataStatus(port), 0);
    }
}
