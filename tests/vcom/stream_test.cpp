// vcom's ports under load, read and written with plain descriptors, as a program that does
// not set the line up itself would: raw from the start, every byte delivered in order.
#include "vcom_process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <random>
#include <thread>
#include <unistd.h>

using namespace testing_vcom;

namespace {

std::string random_bytes(size_t n)
{
    std::mt19937 gen(12345);
    std::string s(n, '\0');
    for (char &c : s)
        c = char(gen() & 0xFF);
    return s;
}

class VcomStreamTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/vcom-stream-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override
    {
        for (int fd : fds)
            ::close(fd);
        std::filesystem::remove_all(dir);
    }
    int open_port(int n)
    {
        int fd = ::open((dir + "/COM" + std::to_string(n)).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0)
            fds.push_back(fd);
        return fd;
    }
    std::string dir;
    std::vector<int> fds;
};

} // namespace

TEST_F(VcomStreamTest, PortIsRawBeforeAnyProgramSetsItUp)
{
    VcomProcess vcom(dir, {"echo", "COM2"});
    ASSERT_TRUE(vcom.wait_for_entries({2}));
    int fd = open_port(2);
    ASSERT_GE(fd, 0);
    // Every value, including CR, LF, Ctrl+C, Ctrl+D, XON/XOFF and DEL: a line discipline left
    // in its default mode would hold them for a newline, echo, translate or swallow them.
    std::string bytes(256, '\0');
    for (int i = 0; i < 256; ++i)
        bytes[size_t(i)] = char(i);
    ASSERT_TRUE(write_all(fd, bytes));
    EXPECT_EQ(read_until(fd, 256), bytes);
    EXPECT_EQ(read_until(fd, 1, 200ms), "") << "more came back than was sent";
}

TEST_F(VcomStreamTest, PairLosesNothingWhenTheReaderLags)
{
    VcomProcess vcom(dir, {"pair", "COM3", "COM4"});
    ASSERT_TRUE(vcom.wait_for_entries({3, 4}));
    int a = open_port(3), b = open_port(4);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    // Far more than the kernel's buffers and vcom's together, so that the writer is held
    // back while the reader sleeps.
    const std::string data = random_bytes(2 << 20);
    bool written = false;
    std::thread writer([&] { written = write_all(a, data); });
    std::this_thread::sleep_for(300ms);
    std::string got = read_until(b, data.size());
    writer.join();
    EXPECT_TRUE(written);
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "bytes changed or out of order";
}

TEST_F(VcomStreamTest, EchoKeepsUpWithAStream)
{
    VcomProcess vcom(dir, {"echo", "COM5"});
    ASSERT_TRUE(vcom.wait_for_entries({5}));
    int fd = open_port(5);
    ASSERT_GE(fd, 0);
    const std::string data = random_bytes(1 << 20);
    bool written = false;
    std::thread writer([&] { written = write_all(fd, data); });
    std::string got = read_until(fd, data.size());
    writer.join();
    EXPECT_TRUE(written);
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
}

TEST_F(VcomStreamTest, CatPassesAStreamBothWays)
{
    VcomProcess vcom(dir, {"cat", "COM6"}, true);
    ASSERT_TRUE(vcom.wait_for_entries({6}));
    int fd = open_port(6);
    ASSERT_GE(fd, 0);
    const std::string data = random_bytes(1 << 20);

    bool written = false;
    std::thread in([&] { written = write_all(vcom.stdin_fd(), data); });
    EXPECT_TRUE(read_until(fd, data.size()) == data);
    in.join();
    EXPECT_TRUE(written);

    std::thread out([&] { written = write_all(fd, data); });
    EXPECT_TRUE(read_until(vcom.stdout_fd(), data.size()) == data);
    out.join();
    EXPECT_TRUE(written);
}

TEST_F(VcomStreamTest, ClosedStandardOutputEndsCatAndCleansUp)
{
    VcomProcess vcom(dir, {"cat", "COM7"}, true);
    ASSERT_TRUE(vcom.wait_for_entries({7}));
    int fd = open_port(7);
    ASSERT_GE(fd, 0);
    ::close(vcom.stdout_fd());
    ASSERT_TRUE(write_all(fd, "nobody reads this"));
    EXPECT_EQ(vcom.wait_exit(), 0) << vcom.err();
    EXPECT_TRUE(folder_names(dir).empty());
}
