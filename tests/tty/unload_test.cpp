// The library loaded with dlopen and unloaded with dlclose while a thread waits inside
// IOP_Read: the unload closes the port (the device gets its settings back), the call fails,
// and the library really leaves the process, although the thread goes on running.
#include "hold.h"

#include <dlfcn.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

using namespace testing_tty;

TEST(Unload, DlcloseEndsTheCallsInsideClosesThePortsAndUnloads) {
    char dir[] = "/tmp/tty-unload-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    setenv("TTY_COM_DIR", dir, 1);
    int master = -1, slave = -1;
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    close(slave);
    const std::string link = std::string(dir) + "/COM3";
    ASSERT_EQ(symlink(name, link.c_str()), 0);
    termios before{};
    ASSERT_EQ(tcgetattr(master, &before), 0);

    void *lib = dlopen(TTY_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    const auto open = reinterpret_cast<int32_t (*)(int32_t, int32_t)>(dlsym(lib, "IOP_Open"));
    const auto read = reinterpret_cast<uint32_t (*)(int32_t, char *, int32_t)>(dlsym(lib, "IOP_Read"));
    ASSERT_TRUE(open && read);
    ASSERT_EQ(open(3, 0x1036), 0);

    std::atomic<uint32_t> got{0};
    std::atomic<bool> returned{false}, leave{false};
    std::thread reader([&] {
        watch_polls(Polls::Waits, false);
        char buf[256];
        got = read(3, buf, 10);
        returned = true;
        while (!leave) usleep(1000); // still running while the library goes
    });
    ASSERT_TRUE(wait_for_polls(1));
    EXPECT_EQ(dlclose(lib), 0);
    void *again = dlopen(TTY_LIBRARY_FILE, RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(again, nullptr) << "the library is still loaded";
    for (int i = 0; i < 5000 && !returned; ++i) usleep(1000);
    EXPECT_EQ(got, 0xFFFFFFFFu);
    termios after{};
    ASSERT_EQ(tcgetattr(master, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag) << "the line was not given back";
    leave = true;
    reader.join();
    stop_watching();
    if (again) dlclose(again);
    close(master);
    unlink(link.c_str());
    rmdir(dir);
}
