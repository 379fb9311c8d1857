// The pty fixture of the tests of the Win32-named layer: the pairs and the map of the
// tests' shared fixture (com_ports.h), used through the layer's handles.
#ifndef TTY_TESTS_PLATFORM_PTYS_H
#define TTY_TESTS_PLATFORM_PTYS_H

#include "posix/devices/termios2.h"
#include "win32.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class PtyTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Opens a pair and maps it as COMn; returns the master descriptor.
    int addPort(unsigned n);
    // Maps COMn to an arbitrary path.
    void mapPort(unsigned n, const std::string &target);
    void closeMaster(int master);

    // The slave's line settings as the master sees them.
    tty::posix::pure::LineSettings slaveLine(int master);
    // Writes all of `data` at the master and waits until the slave of `h` holds `expected`
    // bytes in its input queue.
    void send(int master, const std::string &data, HANDLE h, DWORD expected);
    // What the master has received, waiting up to `ms` for `count` bytes.
    std::string receive(int master, size_t count, int ms = 2000);

    std::string dir; // the map's folder (TTY_COM_DIR)
    std::vector<int> masters;
    std::vector<std::string> slaves;
};

// The time-outs the library sets at open.
COMMTIMEOUTS libraryTimeouts();

// Opens COMn and gives it the library's time-outs and event mask.
HANDLE openPort(unsigned n);

// A process's open descriptors.
int openDescriptors();

// Monotonic ms.
long long nowMs();

#endif
