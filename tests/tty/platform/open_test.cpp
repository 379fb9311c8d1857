// Handles, opening, exclusivity and line settings of the layer against pseudo-terminals.
#include "ptys.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <thread>

using tty::posix::pure::line_speed;
using tty::posix::pure::LineSettings;

namespace {

class LayerOpen : public PtyTest {};

HANDLE openName(const char *name)
{
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

int runHelper(const char *name)
{
    const pid_t pid = fork();
    if (pid == 0) {
        execl(OPEN_HELPER, OPEN_HELPER, name, static_cast<char *>(nullptr));
        _exit(101);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool sameLine(const LineSettings &a, const LineSettings &b)
{
    return a.iflag == b.iflag && a.oflag == b.oflag && a.cflag == b.cflag && a.lflag == b.lflag &&
           std::memcmp(a.cc, b.cc, sizeof a.cc) == 0 && line_speed(a) == line_speed(b);
}

} // namespace

TEST_F(LayerOpen, NamesAndMissingOrWrongFiles)
{
    addPort(3);
    for (const char *name : {"COM3", "//./COM3", "\\\\.\\COM3"}) {
        HANDLE h = openName(name);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << name;
        EXPECT_TRUE(CloseHandle(h));
    }
    std::ofstream(dir + "/plain") << "not a terminal";
    mapPort(4, dir + "/plain");
    mapPort(5, "/dev/null"); // a character device, but no terminal
    mapPort(6, dir);
    for (const char *name : {"COM2", "COM4", "COM5", "COM6", "COM03", "COMX", "LPT1", ""}) {
        SetLastError(0);
        EXPECT_EQ(openName(name), INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << name;
    }
}

TEST_F(LayerOpen, ExclusiveInThisProcessAndOthers)
{
    addPort(1);
    mapPort(2, slaves[0]); // the same device under a second number
    HANDLE h = openName("COM1");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    for (const char *name : {"COM1", "COM2"}) {
        EXPECT_EQ(openName(name), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION); // held: not a permission
    }
    EXPECT_EQ(runHelper("COM2"), int(ERROR_SHARING_VIOLATION));

    // Another descriptor sees the exclusive mode and the lock (root gets past TIOCEXCL).
    const int other = open(slaves[0].c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (other >= 0) {
        int excl = 0;
        EXPECT_EQ(ioctl(other, TIOCGEXCL, &excl), 0);
        EXPECT_EQ(excl, 1);
        EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    }
    EXPECT_TRUE(CloseHandle(h));
    if (other >= 0) {
        int excl = 1;
        EXPECT_EQ(ioctl(other, TIOCGEXCL, &excl), 0);
        EXPECT_EQ(excl, 0);
        EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
        close(other);
    }
    EXPECT_EQ(runHelper("COM2"), 0);
}

TEST_F(LayerOpen, RawWhileOpenAndRestoredAtClose)
{
    const int master = addPort(1);
    const LineSettings before = slaveLine(master);
    ASSERT_TRUE(before.lflag & ICANON) << "a fresh pty is canonical";
    HANDLE h = openPort(1);
    const LineSettings raw = slaveLine(master);
    EXPECT_EQ(raw.lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(raw.oflag & OPOST, 0u);
    EXPECT_EQ(raw.iflag & (ICRNL | IXON | ISTRIP), 0u);
    EXPECT_EQ(raw.cflag & (CLOCAL | CREAD), uint32_t(CLOCAL | CREAD));
    EXPECT_EQ(raw.cc[VTIME], 0);

    DCB dcb {};
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = 115200;
    dcb.fOutX = 1;
    ASSERT_TRUE(SetCommState(h, &dcb));
    EXPECT_FALSE(sameLine(slaveLine(master), before));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(sameLine(slaveLine(master), before));
}

TEST_F(LayerOpen, HandlesAreNeverReusedAndStaleOnesFail)
{
    addPort(1);
    HANDLE first = openPort(1);
    ASSERT_TRUE(CloseHandle(first));
    for (int i = 0; i < 50; ++i) {
        HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE h = openName("COM1");
        EXPECT_NE(e, first);
        EXPECT_NE(h, first);
        EXPECT_TRUE(CloseHandle(e));
        EXPECT_TRUE(CloseHandle(h));
    }
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    for (HANDLE bad : {first, HANDLE(nullptr), INVALID_HANDLE_VALUE, HANDLE(uintptr_t(0x7fffffff)),
                       event /* not a comm device */}) {
        DCB dcb {};
        COMMTIMEOUTS t {};
        COMSTAT st {};
        OVERLAPPED ov {};
        DWORD n = 0;
        char buf[4];
        const BOOL results[] = {
            GetCommState(bad, &dcb), SetCommState(bad, &dcb), SetCommMask(bad, EV_RXCHAR),
            SetupComm(bad, 1024, 1024), PurgeComm(bad, PURGE_RXCLEAR), SetCommTimeouts(bad, &t),
            ReadFile(bad, buf, 1, &n, &ov), WriteFile(bad, buf, 1, &n, &ov),
            GetOverlappedResult(bad, &ov, &n, TRUE), CancelIoEx(bad, nullptr),
            ClearCommError(bad, &n, &st), GetCommModemStatus(bad, &n), WaitCommEvent(bad, &n, &ov)};
        for (BOOL r : results)
            EXPECT_FALSE(r);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    EXPECT_FALSE(CloseHandle(first));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "named"), nullptr);
}

TEST_F(LayerOpen, ManyCyclesLeaveNoDescriptorBehind)
{
    addPort(1);
    const int before = openDescriptors();
    for (int i = 0; i < 10000; ++i) {
        HANDLE h = openName("COM1");
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(CloseHandle(h));
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST(LayerLastError, IsPerThread)
{
    SetLastError(ERROR_ACCESS_DENIED);
    std::thread([] {
        EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
        SetLastError(ERROR_INVALID_HANDLE);
    }).join();
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(DisableThreadLibraryCalls(nullptr));
}

class LayerState : public PtyTest {};

TEST_F(LayerState, LineSeenFromTheOtherSide)
{
    const int master = addPort(1);
    HANDLE h = openPort(1);
    const struct {
        DWORD rate;
        BYTE stop;
        bool outX, inX, cts;
    } cases[] = {{110, ONESTOPBIT, false, false, false},   {9600, TWOSTOPBITS, true, false, false},
                 {28800, ONESTOPBIT, false, true, true},   {115200, TWOSTOPBITS, true, true, false},
                 {250000, ONESTOPBIT, false, false, true}, {3000000, ONESTOPBIT, true, true, true}};
    for (const auto &c : cases) {
        DCB dcb {};
        ASSERT_TRUE(GetCommState(h, &dcb));
        dcb.BaudRate = c.rate;
        dcb.StopBits = c.stop;
        dcb.fOutX = c.outX;
        dcb.fInX = c.inX;
        dcb.fOutxCtsFlow = c.cts;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        ASSERT_TRUE(SetCommState(h, &dcb)) << c.rate;
        const LineSettings s = slaveLine(master);
        EXPECT_EQ(line_speed(s), c.rate);
        EXPECT_EQ((s.cflag & CSTOPB) != 0, c.stop == TWOSTOPBITS);
        EXPECT_EQ((s.iflag & IXON) != 0, c.outX);
        EXPECT_EQ((s.iflag & IXOFF) != 0, c.inX);
        EXPECT_EQ((s.cflag & CRTSCTS) != 0, c.cts);
    }
    CloseHandle(h);
}

TEST_F(LayerState, GetReturnsWhatSetTookAndRefusalsChangeNothing)
{
    const int master = addPort(1);
    HANDLE h = openPort(1);
    DCB fresh {};
    fresh.DCBlength = 777;
    ASSERT_TRUE(GetCommState(h, &fresh));
    EXPECT_EQ(fresh.DCBlength, 777u) << "echoed as given";
    EXPECT_EQ(fresh.ByteSize, 8);
    EXPECT_EQ(fresh.fBinary, 1u);

    DCB set = fresh;
    set.DCBlength = sizeof(DCB);
    set.BaudRate = 28800;
    set.ByteSize = 7; // the pty reports 8 bits without parity, yet Get returns these
    set.Parity = MARKPARITY;
    set.StopBits = TWOSTOPBITS;
    set.fDtrControl = DTR_CONTROL_HANDSHAKE;
    set.fRtsControl = RTS_CONTROL_TOGGLE;
    set.fOutxDsrFlow = set.fDsrSensitivity = set.fTXContinueOnXoff = 1;
    set.fErrorChar = set.fNull = set.fAbortOnError = set.fParity = 1;
    set.XonLim = 100;
    set.XoffLim = 200;
    set.ErrorChar = '?';
    set.EofChar = 0x1A;
    set.EvtChar = '\n';
    ASSERT_TRUE(SetCommState(h, &set));
    DCB got {};
    got.DCBlength = sizeof(DCB);
    ASSERT_TRUE(GetCommState(h, &got));
    EXPECT_EQ(std::memcmp(&got, &set, sizeof got), 0);

    const LineSettings line = slaveLine(master);
    // One case of each kind; the checks themselves are covered in LayerDcbCheck.
    const struct {
        void (*change)(DCB &);
    } refused[] = {{[](DCB &d) { d.BaudRate = 0; }},
                   {[](DCB &d) { d.ByteSize = 5; }}, // with the two stop bits set above
                   {[](DCB &d) { d.XonChar = d.XoffChar; }}};
    for (const auto &r : refused) {
        DCB bad = set;
        bad.BaudRate = 9600;
        r.change(bad);
        SetLastError(0);
        EXPECT_FALSE(SetCommState(h, &bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        ASSERT_TRUE(GetCommState(h, &got));
        EXPECT_EQ(std::memcmp(&got, &set, sizeof got), 0);
        EXPECT_TRUE(sameLine(slaveLine(master), line));
    }
    EXPECT_FALSE(GetCommState(h, nullptr));
    EXPECT_FALSE(SetCommTimeouts(h, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    // A change made behind the handle's back shows.
    LineSettings changed = slaveLine(master);
    tty::posix::pure::line_set_speed(changed, 57600);
    ASSERT_EQ(tty::posix::devices::line_set(master, changed), 0);
    ASSERT_TRUE(GetCommState(h, &got));
    EXPECT_EQ(got.BaudRate, 57600u);
    EXPECT_EQ(got.XonLim, 100);
    CloseHandle(h);
}

TEST_F(LayerState, QueuesSetupAndPurge)
{
    const int master = addPort(1);
    HANDLE h = openPort(1);
    EXPECT_TRUE(SetupComm(h, 1024, 1024));
    EXPECT_TRUE(SetupComm(h, 0, 1u << 30));
    send(master, "abc", h, 3);
    EXPECT_TRUE(PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
    COMSTAT st {};
    DWORD errors = 1;
    ASSERT_TRUE(ClearCommError(h, &errors, &st));
    EXPECT_EQ(st.cbInQue, 0u);
    EXPECT_EQ(errors, 0u);
    EXPECT_FALSE(PurgeComm(h, 0x10));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CloseHandle(h);
}
