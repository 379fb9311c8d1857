// The pty fixture of the layer's tests (see ptys.h).
#include "ptys.h"

#include "com_ports.h"

#include <dirent.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

void PtyTest::SetUp()
{
    dir = testing_tty::com_dir();
}

void PtyTest::TearDown()
{
    for (int m : masters)
        if (m >= 0)
            close(m);
    testing_tty::clear_com_dir();
}

int PtyTest::addPort(unsigned n)
{
    const testing_tty::Pty pty = testing_tty::new_pty(true);
    masters.push_back(pty.master);
    slaves.push_back(pty.slave);
    mapPort(n, pty.slave);
    return pty.master;
}

void PtyTest::mapPort(unsigned n, const std::string &target)
{
    testing_tty::map_com(int(n), target);
}

void PtyTest::closeMaster(int master)
{
    for (int &m : masters)
        if (m == master)
            m = -1;
    close(master);
}

tty::posix::pure::LineSettings PtyTest::slaveLine(int master)
{
    tty::posix::pure::LineSettings s;
    EXPECT_EQ(tty::posix::devices::line_get(master, s), 0);
    return s;
}

void PtyTest::send(int master, const std::string &data, HANDLE h, DWORD expected)
{
    ASSERT_EQ(write(master, data.data(), data.size()), ssize_t(data.size()));
    // The pty moves bytes to the slave's queue a moment later.
    COMSTAT st {};
    DWORD errors = 0;
    for (long long end = nowMs() + 2000; nowMs() < end; usleep(1000)) {
        ASSERT_TRUE(ClearCommError(h, &errors, &st));
        if (st.cbInQue >= expected)
            return;
    }
    FAIL() << "bytes did not arrive";
}

std::string PtyTest::receive(int master, size_t count, int ms)
{
    std::string got;
    const long long end = nowMs() + ms;
    while (got.size() < count && nowMs() < end) {
        struct pollfd p {master, POLLIN, 0};
        poll(&p, 1, 50);
        char buf[4096];
        const ssize_t r = read(master, buf, sizeof buf);
        if (r > 0)
            got.append(buf, size_t(r));
    }
    return got;
}

COMMTIMEOUTS libraryTimeouts()
{
    return COMMTIMEOUTS {MAXDWORD, 0, 1000, 2, 0};
}

HANDLE openPort(unsigned n)
{
    const std::string name = "COM" + std::to_string(n);
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << name << " error " << GetLastError();
    COMMTIMEOUTS t = libraryTimeouts();
    EXPECT_TRUE(SetCommTimeouts(h, &t));
    EXPECT_TRUE(SetCommMask(h, EV_RXCHAR));
    return h;
}

int openDescriptors()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (readdir(d) != nullptr)
        ++n;
    closedir(d);
    return n;
}

long long nowMs()
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}
