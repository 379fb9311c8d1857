// vcom's ports as the library sees them: opened by COM number through the map folder, bytes
// crossing in both directions, and the map entries coming and going with vcom.
#include "serial_servers.h"
#include "tty.h"
#include "vcom_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace testing_vcom;

namespace {

constexpr int32_t k9600_8N1 = 0x1036;  // 9600 bit/s, 8 data bits, no parity, 1 stop bit, no handshake

std::string all_byte_values()
{
    std::string s(256, '\0');
    for (int i = 0; i < 256; ++i)
        s[size_t(i)] = char(i);
    return s;
}

// IOP_Read may return early with part of the bytes; collect until `count` or the deadline.
std::string read_port(int port, size_t count, std::chrono::milliseconds timeout = 5s)
{
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[256];
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
        uint32_t n = IOP_Read(port, buf, int32_t(std::min<size_t>(sizeof buf, count - got.size())));
        if (n == 0xFFFFFFFFu)
            break;
        got.append(buf, n);
    }
    return got;
}

bool write_port(int port, const std::string &bytes)
{
    size_t done = 0;
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (done < bytes.size() && std::chrono::steady_clock::now() < deadline) {
        uint32_t n = IOP_Write(port, bytes.data() + done, int32_t(bytes.size() - done));
        if (n == 0xFFFFFFFFu)
            return false;
        done += n;
    }
    return done == bytes.size();
}

class VcomPortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/vcom-ports-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        ::setenv("TTY_COM_DIR", dir.c_str(), 1);
    }
    void TearDown() override
    {
        for (int port = 0; port < 10; ++port)
            IOP_Close(port);
        std::filesystem::remove_all(dir);
    }
    std::string dir;
};

} // namespace

TEST_F(VcomPortTest, EchoSendsBackEveryByteValue)
{
    VcomProcess vcom(dir, {"echo", "COM2"});
    ASSERT_TRUE(vcom.wait_for_entries({2})) << vcom.err();
    const std::string bytes = all_byte_values();

    // Twice: the port must still answer after a program has closed it and another opens it.
    for (int session = 0; session < 2; ++session) {
        ASSERT_EQ(IOP_Open(2, k9600_8N1), 0) << "session " << session;
        ASSERT_TRUE(write_port(2, bytes));
        EXPECT_EQ(read_port(2, 256), bytes) << "session " << session;
        EXPECT_EQ(IOP_Close(2), 0);
    }
    EXPECT_EQ(vcom.stop(SIGTERM), 0);
}

TEST_F(VcomPortTest, PairCrossesBothWays)
{
    VcomProcess vcom(dir, {"pair", "COM3", "COM4"});
    ASSERT_TRUE(vcom.wait_for_entries({3, 4})) << vcom.err();
    ASSERT_EQ(IOP_Open(3, k9600_8N1), 0);
    ASSERT_EQ(IOP_Open(4, k9600_8N1), 0);
    const std::string bytes = all_byte_values();
    std::string reversed(bytes.rbegin(), bytes.rend());

    ASSERT_TRUE(write_port(3, bytes));
    EXPECT_EQ(read_port(4, 256), bytes);
    ASSERT_TRUE(write_port(4, reversed));
    EXPECT_EQ(read_port(3, 256), reversed);
    // Nothing came back on the sending side: a pair is not an echo.
    EXPECT_EQ(IOP_DIQ_Count(3), 0u);
    EXPECT_EQ(IOP_DIQ_Count(4), 0u);
}

TEST_F(VcomPortTest, CatJoinsThePortToStandardInputAndOutput)
{
    VcomProcess vcom(dir, {"cat", "COM5"}, true);
    ASSERT_TRUE(vcom.wait_for_entries({5})) << vcom.err();
    ASSERT_EQ(IOP_Open(5, k9600_8N1), 0);
    const std::string bytes = all_byte_values();

    ASSERT_EQ(::write(vcom.stdin_fd(), bytes.data(), bytes.size()), 256);
    EXPECT_EQ(read_port(5, 256), bytes);
    ASSERT_TRUE(write_port(5, bytes));
    EXPECT_EQ(read_until(vcom.stdout_fd(), 256), bytes);

    // The end of standard input ends only the sending: replies still come out.
    vcom.close_stdin();
    ASSERT_TRUE(write_port(5, "after"));
    EXPECT_EQ(read_until(vcom.stdout_fd(), 5), "after");
    EXPECT_EQ(vcom.wait_exit(100ms), -1) << "vcom ended with its standard input";
    EXPECT_EQ(vcom.stop(SIGINT), 0);
}

TEST_F(VcomPortTest, MappedNumberIsRefused)
{
    VcomProcess first(dir, {"echo", "COM2"});
    ASSERT_TRUE(first.wait_for_entries({2})) << first.err();
    const std::filesystem::path target = std::filesystem::read_symlink(dir + "/COM2");

    std::string err;
    EXPECT_EQ(run_vcom(dir, {"echo", "COM2"}, nullptr, &err), 1);
    EXPECT_NE(err.find("COM2 is already mapped"), std::string::npos) << err;
    // A pair whose second number is taken gives back the first one too.
    EXPECT_EQ(run_vcom(dir, {"pair", "COM6", "COM2"}, nullptr, &err), 1);
    EXPECT_EQ(folder_names(dir), (std::vector<std::string>{".COM2.lock", "COM2"}));

    // The first vcom is untouched and still serves.
    EXPECT_EQ(std::filesystem::read_symlink(dir + "/COM2"), target);
    ASSERT_EQ(IOP_Open(2, k9600_8N1), 0);
    ASSERT_TRUE(write_port(2, "ping"));
    EXPECT_EQ(read_port(2, 4), "ping");
}

TEST_F(VcomPortTest, BadArgumentsGiveUsageAndStatus2)
{
    const std::vector<std::vector<std::string>> bad = {
        {}, {"echo"}, {"echo", "COM1", "COM2"}, {"pair", "COM1", "COM1"}, {"cat", "COM258"}, {"loop", "COM1"}};
    for (const auto &args : bad) {
        std::string err;
        EXPECT_EQ(run_vcom(dir, args, nullptr, &err), 2);
        EXPECT_NE(err.find("usage: vcom echo COMn"), std::string::npos) << err;
    }
    EXPECT_TRUE(folder_names(dir).empty());

    std::string out;
    EXPECT_EQ(run_vcom(dir, {"--help"}, &out, nullptr), 0);
    for (const char *word : {"vcom echo COMn", "vcom pair COMa COMb", "vcom cat COMn", "TTY_COM_DIR"})
        EXPECT_NE(out.find(word), std::string::npos) << word;
}

TEST_F(VcomPortTest, EntriesVanishWhenEndedBySignal)
{
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        VcomProcess vcom(dir, {"pair", "COM1", "COM2"});
        ASSERT_TRUE(vcom.wait_for_entries({1, 2})) << vcom.err();
        // Also while a program has the port open.
        ASSERT_EQ(IOP_Open(1, k9600_8N1), 0);
        EXPECT_EQ(vcom.stop(sig), 0) << strsignal(sig);
        EXPECT_TRUE(folder_names(dir).empty()) << strsignal(sig);
        IOP_Close(1);
    }
}

TEST_F(VcomPortTest, LeftoverOfAKilledVcomIsReplaced)
{
    {
        VcomProcess killed(dir, {"echo", "COM7"});
        ASSERT_TRUE(killed.wait_for_entries({7}));
        EXPECT_EQ(killed.stop(SIGKILL), 128 + SIGKILL);
    }
    ASSERT_EQ(folder_names(dir), (std::vector<std::string>{".COM7.lock", "COM7"}));

    VcomProcess vcom(dir, {"echo", "COM7"});
    ASSERT_TRUE(vcom.wait_until_ready()) << vcom.err();
    EXPECT_NE(vcom.err().find("replaced COM7"), std::string::npos) << vcom.err();
    ASSERT_EQ(IOP_Open(7, k9600_8N1), 0);
    ASSERT_TRUE(write_port(7, "alive"));
    EXPECT_EQ(read_port(7, 5), "alive");
}

TEST_F(VcomPortTest, OrdinaryUserCanOpenThePortAgainAfterClosingIt)
{
    // Root passes through a terminal's exclusive flag, so a flag left behind by a closed
    // program would go unnoticed in a test run as root: run the opens as nobody then.
    VcomProcess vcom(dir, {"echo", "COM2"});
    ASSERT_TRUE(vcom.wait_for_entries({2})) << vcom.err();
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
        ASSERT_EQ(::chmod(std::filesystem::read_symlink(dir + "/COM2").c_str(), 0666), 0);
    }
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (root && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            _exit(2);
        for (int round = 0; round < 3; ++round) {
            if (IOP_Open(2, k9600_8N1) != 0)
                _exit(10 + round);
            char c = 'x';
            if (IOP_Write(2, &c, 1) != 1 || read_port(2, 1) != "x")
                _exit(20 + round);
            if (IOP_Close(2) != 0)
                _exit(30 + round);
        }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 11) << "the second open failed: the closed port stayed exclusive";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(VcomPortTest, RemoteMakesASerialServerAPortUntilEnded)
{
    if (!testing_tty::Ser2net::installed())
        GTEST_SKIP() << "ser2net is not installed (tools/scripts/deps.sh installs it)";
    testing_tty::Ser2net server;
    VcomProcess vcom(dir, {"remote", "COM8", server.url()});
    ASSERT_TRUE(vcom.wait_for_entries({8})) << vcom.err();
    ASSERT_EQ(IOP_Open(8, k9600_8N1), 0);
    ASSERT_TRUE(write_port(8, "ping"));
    char buf[4];
    pollfd p {server.master(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    EXPECT_EQ(::read(server.master(), buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "ping");
    EXPECT_EQ(IOP_Close(8), 0);
    EXPECT_EQ(vcom.stop(SIGTERM), 0);
    EXPECT_TRUE(folder_names(dir).empty());
}
