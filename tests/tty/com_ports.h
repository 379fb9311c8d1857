// Pseudo-terminal pairs mapped as COM numbers, the one fixture of the tty tests (the
// tty_test_support library): the pairs and the map for every test, and ComPortTest for the
// tests through libtty.so. Also what the master side can see of the line a port was given,
// and the words and helpers several test files share.
#ifndef TESTS_TTY_COM_PORTS_H
#define TESTS_TTY_COM_PORTS_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

namespace testing_tty {

// The words most tests open with (8N1 without flow control), and the failure result of the
// calls that return a count.
constexpr int32_t k9600_8N1 = 0x1036, k19200_8N1 = 0x1038, k115200_8N1 = 0x103C;
constexpr uint32_t kFailed = 0xFFFFFFFFu;

inline long long ms_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t).count();
}

// The folder named by TTY_COM_DIR, created once per process and removed at exit.
const std::string &com_dir();

// One openpty pair. Only the library opens the slave; the test holds the master.
struct Pty {
    int master = -1;
    std::string slave;
};
// A new pair, its master close-on-exec (and non-blocking when asked); throws on failure.
Pty new_pty(bool nonblocking = false);
// COMn in com_dir() as a symbolic link to `target` (a device path or a network entry), in
// place of whatever was there; throws on failure.
void map_com(int com, const std::string &target);
void unmap_com(int com);
// Removes every entry of com_dir().
void clear_com_dir();

// The slave's termios as its master reports it (TCGETS2).
struct Line {
    unsigned speed;
    unsigned cflag, iflag, lflag, oflag;
    bool cstopb() const;
    bool crtscts() const;
    bool ixon() const;
    bool ixoff() const;
    bool raw() const; // no echo, no line editing, no signals, no output processing
};
Line line_of(int master);

// Writes all of bytes to fd.
void write_all(int fd, const std::string &bytes);
// Reads from fd until n bytes have come or the (generous) limit has passed.
std::string read_some(int fd, size_t n, std::chrono::milliseconds limit = std::chrono::seconds(3));
// Reads COMport through the library until n bytes have come, a read fails or 5 s pass.
std::string read_port(int port, size_t n);
// Number of entries in /proc/self/fd.
int open_fd_count();
// Waits, through the library, until COMport's input queue holds n bytes; false when the
// count fails or 3 s pass ("did not hang", never a speed claim).
bool wait_for_input(int port, uint32_t n);

// Runs the open probe (open_probe.cpp) on COMport in a process of its own and returns its exit
// status: 0 when its IOP_Open succeeded, 255 when it returned -1. With `leave_open` the probe
// ends with the port still open and a thread waiting in IOP_Read.
int open_in_other_process(int port, int32_t cflag, bool leave_open = false);

// Maps COM numbers to fresh pseudo-terminals; closes through the library every port it
// mapped, and the masters, when the test ends.
class ComPortTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A new pty as COMn.
    Pty &attach(int com);
    // COMn as another name for an existing pty's slave.
    void alias(int com, const Pty &pty);
    // COMn as the entry `target`, whatever it names (a server address, a missing device).
    void map_entry(int com, const std::string &target);
    void unmap(int com);
    // Closes the master: the library's side is hung up.
    void hang_up(Pty &pty);

    std::list<Pty> ptys; // stable addresses for the references handed out
    std::vector<int> mapped;
};

} // namespace testing_tty

#endif
