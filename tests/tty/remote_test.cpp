// Remote ports through libtty.so: COM numbers mapped to rfc2217://127.0.0.1:PORT, served by
// the real ser2net (which serves a pseudo-terminal) and, for what ser2net cannot be made to
// do, by the scripted server of serial_servers.h.
#include "com_ports.h"
#include "serial_servers.h"

#include "tty.h"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

using namespace testing_tty;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int32_t k9600_8N1 = 0x1036;
constexpr int32_t k19200_8N1 = 0x1038;
constexpr int32_t k115200_8N1 = 0x103C;
constexpr uint32_t kFailed = 0xFFFFFFFFu;
constexpr int kPort = 5;

long long ms_since(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

std::string all_bytes() {
    std::string s(256, '\0');
    for (int i = 0; i < 256; ++i) s[i] = static_cast<char>(i);
    return s;
}

// Reads through the library until n bytes have come or a read fails.
std::string read_port(int port, size_t n) {
    std::string got;
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (got.size() < n && Clock::now() < end) {
        char buf[1024];
        const uint32_t r = IOP_Read(port, buf, static_cast<int32_t>(std::min<size_t>(sizeof buf, n - got.size())));
        if (r == kFailed) break;
        got.append(buf, r);
    }
    return got;
}

class RemotePort : public ComPortTest {
protected:
    void map_remote(int com, const std::string &target) {
        const std::string link = com_dir() + "/COM" + std::to_string(com);
        unlink(link.c_str());
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        mapped.push_back(com);
    }
    std::unique_ptr<Ser2net> start_ser2net() {
        if (!Ser2net::installed()) return nullptr;
        return std::make_unique<Ser2net>();
    }
};

} // namespace

TEST_F(RemotePort, Ser2netCarriesEveryByteBothWaysAtTheSpeedAsked) {
    auto server = start_ser2net();
    if (!server) GTEST_SKIP() << "ser2net is not installed (tools/scripts/deps.sh installs it)";
    map_remote(kPort, server->url());
    ASSERT_EQ(IOP_Open(kPort, k19200_8N1), 0);
    EXPECT_EQ(line_of(server->master()).speed, 19200u);
    EXPECT_EQ(IOP_GetIoctrl(kPort), k19200_8N1);
    EXPECT_EQ(IOP_DIQ_Count(kPort), 0u);

    // Every byte value, 0xFF (Telnet's IAC) included, both ways and in order.
    const std::string bytes = all_bytes() + all_bytes();
    EXPECT_EQ(IOP_Write(kPort, bytes.data(), static_cast<int32_t>(bytes.size())), bytes.size());
    EXPECT_EQ(read_some(server->master(), bytes.size()), bytes);
    write_all(server->master(), bytes);
    ASSERT_TRUE(wait_for_input(kPort, static_cast<uint32_t>(bytes.size())));
    EXPECT_EQ(IOP_DIQ_Count(kPort), bytes.size());
    EXPECT_EQ(read_port(kPort, bytes.size()), bytes);
    EXPECT_EQ(IOP_DIQ_Count(kPort), 0u);

    // A one-byte call pair, a change of speed, and the read time-out of a local port.
    char c = 'k';
    EXPECT_EQ(IOP_Putc(kPort, &c), 0);
    EXPECT_EQ(read_some(server->master(), 1), "k");
    write_all(server->master(), "z");
    ASSERT_TRUE(wait_for_input(kPort, 1));
    c = 0;
    EXPECT_EQ(IOP_Getc(kPort, &c), 0);
    EXPECT_EQ(c, 'z');
    // DTR and RTS go out unanswered (ser2net does not answer them for a pty); RTS/CTS flow
    // control is answered and reaches the device.
    EXPECT_EQ(IOP_SetDTR(kPort, 0), 0);
    EXPECT_EQ(IOP_SetRTS(kPort, 0), 0);
    EXPECT_EQ(IOP_Flowctrl(kPort, 2), 0);
    EXPECT_EQ(IOP_GetFlowctrl(kPort) & 2, 2);
    EXPECT_TRUE(line_of(server->master()).crtscts());
    ASSERT_EQ(IOP_Ioctrl(kPort, k115200_8N1), 0);
    EXPECT_EQ(line_of(server->master()).speed, 115200u);
    EXPECT_EQ(IOP_GetIoctrl(kPort), k115200_8N1);
    EXPECT_NE(IOP_Status(kPort) & 0x40, 0); // open
    char buf[256];
    const auto start = Clock::now();
    EXPECT_EQ(IOP_Read(kPort, buf, 10), 0u);
    EXPECT_GE(ms_since(start), 900);

    // What arrived and was not read is dropped by a reset.
    write_all(server->master(), "stale");
    ASSERT_TRUE(wait_for_input(kPort, 5));
    EXPECT_EQ(IOP_ResetDIQ(kPort), 1);
    EXPECT_EQ(IOP_DIQ_Count(kPort), 0u);
    EXPECT_EQ(IOP_Close(kPort), 0);
}

TEST_F(RemotePort, OneThreadReadsWhileAnotherWritesThroughSer2net) {
    auto server = start_ser2net();
    if (!server) GTEST_SKIP() << "ser2net is not installed (tools/scripts/deps.sh installs it)";
    map_remote(kPort, server->url());
    ASSERT_EQ(IOP_Open(kPort, k115200_8N1), 0);
    std::string sent;
    for (int i = 0; i < 256; ++i) sent += all_bytes();
    // The device sends back what it receives; the port is written and read at once.
    std::thread echo([&] {
        const std::string back = read_some(server->master(), sent.size(), std::chrono::seconds(10));
        write_all(server->master(), back);
    });
    std::string got;
    std::thread reader([&] { got = read_port(kPort, sent.size()); });
    for (size_t done = 0; done < sent.size();) {
        const uint32_t n = IOP_Write(kPort, sent.data() + done, static_cast<int32_t>(std::min<size_t>(1000, sent.size() - done)));
        EXPECT_NE(n, kFailed);
        if (n == kFailed) break;
        done += n;
    }
    echo.join();
    reader.join();
    EXPECT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent);
    EXPECT_EQ(IOP_Close(kPort), 0);
}

// Settings changed from two threads at once: each change is answered by the server and
// taken, and neither is mistaken for a refusal because of the other's answers.
TEST_F(RemotePort, TwoThreadsChangingSettingsBothSucceed) {
    auto server = start_ser2net();
    if (!server) GTEST_SKIP() << "ser2net is not installed (tools/scripts/deps.sh installs it)";
    map_remote(kPort, server->url());
    ASSERT_EQ(IOP_Open(kPort, k9600_8N1), 0);
    std::atomic<int> failed{0};
    auto change = [&](int32_t word) {
        for (int i = 0; i < 15; ++i)
            if (IOP_Ioctrl(kPort, word) != 0) ++failed;
    };
    std::thread other(change, k19200_8N1);
    change(k115200_8N1);
    other.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(IOP_Close(kPort), 0);
}

TEST_F(RemotePort, Ser2netRefusesASecondUserAndTheFirstCarriesOn) {
    auto server = start_ser2net();
    if (!server) GTEST_SKIP() << "ser2net is not installed (tools/scripts/deps.sh installs it)";
    map_remote(kPort, server->url());
    map_remote(kPort + 1, server->url());
    ASSERT_EQ(IOP_Open(kPort, k9600_8N1), 0);
    EXPECT_EQ(IOP_Open(kPort + 1, k9600_8N1), -1);
    IOP_Close(kPort + 1); // lets go of a connection ser2net let in and then dropped, if any
    EXPECT_EQ(IOP_Write(kPort, "still", 5), 5u);
    EXPECT_EQ(read_some(server->master(), 5), "still");
    EXPECT_EQ(IOP_Close(kPort), 0);
    // Once the first has gone, the port is free again: at once, or as soon as ser2net has
    // seen the first connection end.
    bool reopened = false;
    for (int i = 0; i < 20 && !reopened; ++i) {
        reopened = IOP_Open(kPort + 1, k9600_8N1) == 0;
        if (!reopened) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(reopened);
    EXPECT_EQ(IOP_Close(kPort + 1), 0);
}

TEST_F(RemotePort, ASpeedTheServerAnswersDifferentlyIsRefused) {
    ScriptedServer server(ScriptedServer::Mode::AnotherSpeed);
    map_remote(kPort, server.url());
    EXPECT_EQ(IOP_Open(kPort, k19200_8N1), -1);
    // The server sets every line to 9600: asked for that, it is taken.
    ASSERT_EQ(IOP_Open(kPort, k9600_8N1), 0);
    // The modem lines it reported: CTS (bit 8), DCD (bit 10), DSR (bit 12).
    EXPECT_EQ(IOP_Status(kPort) & 0x1500, 0x1500);
    EXPECT_EQ(IOP_Ioctrl(kPort, k115200_8N1), -1);
    EXPECT_EQ(IOP_GetIoctrl(kPort), k9600_8N1);
    EXPECT_EQ(IOP_Close(kPort), 0);
}

TEST_F(RemotePort, AServerThatDoesNotAnswerFailsTheOpenWithinItsBound) {
    {
        // Never negotiates: the connection is given up at the open's bound.
        ScriptedServer silent(ScriptedServer::Mode::Silent);
        map_remote(kPort, silent.url());
        const auto start = Clock::now();
        EXPECT_EQ(IOP_Open(kPort, k9600_8N1), -1);
        EXPECT_LT(ms_since(start), 4500);
        EXPECT_EQ(IOP_Close(kPort), -1); // nothing was opened
        const auto end = Clock::now() + std::chrono::seconds(2);
        while (silent.open() > 0 && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(silent.open(), 0);
    }
    // Negotiates, never answers a setting: the open fails as for a device that refuses
    // the word, and the close lets the connection go.
    ScriptedServer mute(ScriptedServer::Mode::NoAnswers);
    map_remote(kPort, mute.url());
    const auto start = Clock::now();
    EXPECT_EQ(IOP_Open(kPort, k9600_8N1), -1);
    EXPECT_LT(ms_since(start), 4500);
    EXPECT_EQ(IOP_Close(kPort), 0);
    const auto end = Clock::now() + std::chrono::seconds(2);
    while (mute.open() > 0 && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(mute.open(), 0);
}

TEST_F(RemotePort, AConnectionClosedMidTransferIsAHangUpAfterTheBytesThatCame) {
    ScriptedServer server(ScriptedServer::Mode::CloseAfter, 300);
    map_remote(kPort, server.url());
    ASSERT_EQ(IOP_Open(kPort, k9600_8N1), 0);
    // The server sends back the first 300 bytes and closes: none of them is lost.
    std::string sent;
    for (int i = 0; i < 4; ++i) sent += all_bytes();
    EXPECT_EQ(IOP_Write(kPort, sent.data(), 300), 300u);
    EXPECT_EQ(read_port(kPort, 300), sent.substr(0, 300));
    const auto start = Clock::now();
    char buf[256];
    EXPECT_EQ(IOP_Read(kPort, buf, 10), kFailed);
    EXPECT_EQ(IOP_Write(kPort, "x", 1), kFailed);
    EXPECT_EQ(IOP_DIQ_Count(kPort), kFailed);
    char c = 'x';
    EXPECT_EQ(IOP_Putc(kPort, &c), -1);
    EXPECT_LT(ms_since(start), 500); // failures come at once, not after a time-out
    EXPECT_EQ(IOP_Close(kPort), 0);
}

TEST_F(RemotePort, BadEntriesAndUnreachableServersFailAtOnceAndLeaveNothingBehind) {
    // A name with a label longer than DNS allows fails in the resolver without a query
    // leaving the machine.
    const std::string unresolvable = "rfc2217://" + std::string(64, 'a') + ".invalid:2217";
    const std::string entries[] = {
        "telnet://127.0.0.1:2217",
        "rfc2217://127.0.0.1",
        "rfc2217://127.0.0.1:0",
        unresolvable,
        "rfc2217://127.0.0.1:" + std::to_string(closed_port()),
    };
    const int fds = open_fd_count();
    for (const std::string &e : entries) {
        map_remote(kPort, e);
        const auto start = Clock::now();
        EXPECT_EQ(IOP_Open(kPort, k9600_8N1), -1) << e;
        EXPECT_LT(ms_since(start), 3500) << e;
        EXPECT_EQ(IOP_Close(kPort), -1) << e;
        EXPECT_EQ(open_fd_count(), fds) << e;
    }
}
