// Port discovery: a fake sysfs tree (made in a temporary folder) describes pseudo-terminals
// as a UART, an empty UART slot and a USB adapter; the real /proc says who holds them.
#include "ports.h"
#include "posix/devmap.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct Pty {
    int master = -1, slave = -1;
    std::string path;
    dev_t rdev = 0;
    Pty()
    {
        char name[256];
        EXPECT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
        ::close(slave); // held only where a test says so
        path = name;
        struct stat st;
        ::stat(name, &st);
        rdev = st.st_rdev;
    }
    ~Pty() { ::close(master); }
};

class PortsTest : public ::testing::Test {
protected:
    fs::path root;
    ports::Roots roots;
    Pty uart, emptySlot, adapter;

    void SetUp() override
    {
        char tmpl[] = "/tmp/ports-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        root = tmpl;
        roots.sys = root / "sys";
        roots.dev = root / "dev";
        fs::create_directories(roots.dev);
        // /dev: the device files are links to the pseudo-terminals; COM5 is a udev link.
        fs::create_symlink(uart.path, root / "dev/ttyS1");
        fs::create_symlink(emptySlot.path, root / "dev/ttyS0");
        fs::create_symlink(adapter.path, root / "dev/ttyUSB2");
        fs::create_symlink("ttyUSB2", root / "dev/COM5");

        // sysfs: a UART on the platform bus, a slot without a UART, an FTDI adapter.
        const fs::path platform = root / "sys/devices/platform/serial8250";
        classEntry(emptySlot, platform / "tty/ttyS0", platform, "0");
        classEntry(uart, platform / "tty/ttyS1", platform, "4");
        fs::create_symlink(root / "sys/bus/platform/drivers/serial8250", platform / "driver");
        const fs::path usb = root / "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
        write(usb / "idVendor", "0403\n");
        write(usb / "idProduct", "6001\n");
        write(usb / "manufacturer", "FTDI\n");
        write(usb / "product", "FT232R USB UART\n");
        write(usb / "serial", "A50285BI\n");
        write(usb / "1-2:1.0/bInterfaceNumber", "00\n");
        const fs::path port = usb / "1-2:1.0/ttyUSB2";
        classEntry(adapter, port / "tty/ttyUSB2", port, "");
        fs::create_symlink(root / "sys/bus/usb-serial/drivers/ftdi_sio", port / "driver");
    }
    void TearDown() override { fs::remove_all(root); }

    static void write(const fs::path &file, const std::string &text)
    {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    // <class>/device -> the hardware, and /sys/dev/char/M:m -> <class>, as the kernel links them.
    void classEntry(const Pty &pty, const fs::path &classDir, const fs::path &device, const std::string &type)
    {
        fs::create_directories(classDir);
        if (!type.empty())
            write(classDir / "type", type + "\n");
        fs::create_directory_symlink(device, classDir / "device");
        fs::create_directories(root / "sys/dev/char");
        fs::create_directory_symlink(classDir, root / "sys/dev/char" /
                                                   (std::to_string(major(pty.rdev)) + ":" + std::to_string(minor(pty.rdev))));
    }
    // A listing with the alignment's runs of spaces as one.
    static std::string squeezed(const std::string &listing)
    {
        std::string s;
        for (char c : listing)
            if (c != ' ' || s.empty() || s.back() != ' ')
                s += c;
        return s;
    }
    const ports::Port &find(const std::vector<ports::Port> &all, int n)
    {
        for (const ports::Port &p : all)
            if (p.number == n)
                return p;
        throw std::runtime_error("no such port");
    }
};

TEST_F(PortsTest, TellsWhichNumbersHaveADeviceAndWhatItIs)
{
    const std::vector<ports::Port> all = ports::scan(roots, 1, 60);
    ASSERT_EQ(all.size(), 60u);
    std::vector<int> present;
    for (const ports::Port &p : all)
        if (p.present)
            present.push_back(p.number);
    // COM1 is an empty UART slot; COM5 and COM35 are the same adapter.
    EXPECT_EQ(present, (std::vector<int>{2, 5, 35}));
    EXPECT_EQ(find(all, 1).path, roots.dev + "/ttyS0");

    const ports::Port &com2 = find(all, 2);
    EXPECT_EQ(com2.kernelName, "ttyS1");
    EXPECT_EQ(com2.driver, "serial8250");
    EXPECT_FALSE(com2.usb());

    const ports::Port &com35 = find(all, 35);
    EXPECT_EQ(com35.path, roots.dev + "/ttyUSB2");
    EXPECT_EQ(com35.device, adapter.path);
    EXPECT_EQ(com35.driver, "ftdi_sio");
    EXPECT_EQ(com35.usbId, "0403:6001");
    EXPECT_EQ(com35.product, "FT232R USB UART");
    EXPECT_EQ(com35.serial, "A50285BI");
    EXPECT_EQ(com35.usbPath, "1-2");
    EXPECT_EQ(com35.usbInterface, 0);
    EXPECT_EQ(find(all, 5).path, roots.dev + "/COM5");
    EXPECT_EQ(find(all, 5).serial, "A50285BI");
    EXPECT_EQ(ports::describe(com35), roots.dev + "/ttyUSB2 (" + adapter.path +
                                          ")\nFT232R USB UART, serial number A50285BI\nfree");

    // One rule for the adapter, under the number its existing /dev/COM5 link gives it.
    EXPECT_EQ(ports::udevRules(all),
              "# Save as /etc/udev/rules.d/99-com.rules, then run: udevadm control --reload && udevadm trigger\n"
              "# COM5: FT232R USB UART, now " + adapter.path + "\n"
              "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\", "
              "ATTRS{serial}==\"A50285BI\", SYMLINK+=\"COM5\"\n");
    const std::string list = squeezed(ports::listing(all));
    EXPECT_NE(list.find("\nCOM35 " + adapter.path + " ftdi_sio 0403:6001 FT232R USB UART A50285BI free\n"),
              std::string::npos) << list;
    EXPECT_NE(list.find("\nCOM2 " + uart.path + " serial8250 - - - free\n"), std::string::npos) << list;
    EXPECT_EQ(list.find("COM1 "), std::string::npos) << list;
}

TEST_F(PortsTest, ABusyDeviceNamesWhoHoldsIt)
{
    const std::string me = "busy: " + std::string(program_invocation_short_name).substr(0, 15) +
                           " (process " + std::to_string(::getpid()) + ")";
    // Open without a lock, as many terminal programs do.
    int fd = ::open(uart.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    std::vector<ports::Port> all = ports::scan(roots, 2, 2);
    EXPECT_EQ(ports::state(all[0]), me);
    ::close(fd);
    EXPECT_EQ(ports::state(ports::scan(roots, 2, 2)[0]), "free");

    // In a device map the vcom that serves an entry keeps its slave open: that is no holder.
    // A lock is, whoever takes it.
    roots.comDir = root / "map";
    fs::create_directories(roots.comDir);
    fs::create_symlink(adapter.path, roots.comDir + "/COM7");
    std::ofstream(roots.comDir + "/.COM7.lock") << ::getpid() << " " << adapter.path << "\n";
    fd = ::open(adapter.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    all = ports::scan(roots, 1, 60);
    EXPECT_TRUE(find(all, 7).present);
    EXPECT_FALSE(find(all, 7).busy());
    EXPECT_FALSE(find(all, 35).present); // only the map counts while it is set
    // So in the user's own folder, looked in first when TTY_COM_DIR is not set.
    ports::Roots own = roots;
    own.userDir = std::exchange(own.comDir, "");
    const ports::Port ownCom7 = ports::scan(own, 7, 7)[0];
    EXPECT_TRUE(ownCom7.present && !ownCom7.busy());
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(ports::state(ports::scan(roots, 7, 7)[0]), me);
    ::close(fd);

    // An entry that names a serial server is a port too, though no device file stands for it.
    fs::create_symlink("rfc2217://127.0.0.1:2000", roots.comDir + "/COM8");
    const ports::Port remote = ports::scan(roots, 8, 8)[0];
    EXPECT_TRUE(remote.present);
    EXPECT_EQ(ports::state(remote), "remote");
    EXPECT_NE(ports::describe(remote).find("rfc2217://127.0.0.1:2000"), std::string::npos);
    EXPECT_NE(ports::listing({remote}).find("COM8  rfc2217://127.0.0.1:2000  rfc2217"), std::string::npos);
    // So is a raw TCP port.
    fs::create_symlink("tcp://127.0.0.1:4001", roots.comDir + "/COM9");
    const ports::Port raw = ports::scan(roots, 9, 9)[0];
    EXPECT_TRUE(raw.present);
    EXPECT_EQ(ports::state(raw), "remote");
    EXPECT_NE(ports::listing({raw}).find("COM9  tcp://127.0.0.1:4001  tcp"), std::string::npos);
}

// Entries a user can make by mistake: each is listed with what is wrong, never as a port.
TEST_F(PortsTest, ABrokenEntryIsListedWithWhatIsWrong)
{
    roots.comDir = root / "map";
    fs::create_directories(roots.comDir);
    const int null = ::open("/dev/null", O_RDONLY); // held here: still nobody "holds" a port
    const struct { std::string target, state; } cases[] = { // COM1 to COM6: the link's text, what is wrong
        {"/dev/pts/999999", "broken: links to /dev/pts/999999, which does not exist"},
        {"/dev/null", "broken: /dev/null is not a serial device"},
        {"bogus://127.0.0.1:2000", "broken: unknown scheme bogus:// (rfc2217:// or tcp://)"},
        {"rfc2217://lab-box", "broken: no port number (rfc2217://HOST:PORT)"},
        {"tcp://[::1]:", "broken: no port number (tcp://HOST:PORT)"},
        {"tcp://127.0.0.1:70000", "broken: not tcp://HOST:PORT with PORT 1 to 65535"},
    };
    for (int n = 1; n <= 6; ++n)
        fs::create_symlink(cases[n - 1].target, roots.comDir + "/COM" + std::to_string(n));
    const std::vector<ports::Port> all = ports::scan(roots, 1, 6);
    const std::string list = squeezed(ports::listing(all));
    for (const ports::Port &p : all) {
        const auto &c = cases[p.number - 1];
        EXPECT_FALSE(p.present || p.busy()) << c.target;
        EXPECT_EQ(ports::describe(p), p.path + "\n" + c.state);
        EXPECT_NE(list.find("\nCOM" + std::to_string(p.number) + " " + c.target + " - - - - " + c.state + "\n"),
                  std::string::npos) << list;
    }
    ::close(null);
}

// Runs `check` in a child as the ordinary user nobody (the tests run as root, whom no mode
// stops); false when a check failed there (its failure is printed) or it could not become nobody.
template <class Check> static bool asNobody(Check check)
{
    const pid_t child = ::fork();
    if (child == 0) {
        const bool nobody = ::setgroups(0, nullptr) == 0 && ::setresgid(65534, 65534, 65534) == 0 &&
                            ::setresuid(65534, 65534, 65534) == 0;
        if (nobody)
            check();
        std::fflush(nullptr);
        ::_exit(nobody && !::testing::Test::HasFailure() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(PortsTest, ADeviceThisUserMayNotOpenSaysWhy)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to hand the pseudo-terminals to another user and scan as that user";
    const struct group *dialout = ::getgrnam("dialout");
    fs::permissions(root, fs::perms(0755));
    // COM2: a UART of group dialout, not ours; COM35: the adapter, root's alone.
    ASSERT_EQ(::chown(uart.path.c_str(), 0, dialout ? dialout->gr_gid : 20), 0);
    ASSERT_EQ(::chmod(uart.path.c_str(), 0660), 0);
    ASSERT_EQ(::chown(adapter.path.c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(adapter.path.c_str(), 0600), 0);
    const auto states = [&](const std::string &com2) {
        return asNobody([&] {
            EXPECT_EQ(ports::state(ports::scan(roots, 2, 2)[0]), com2);
            EXPECT_EQ(ports::state(ports::scan(roots, 35, 35)[0]), "no permission: the device is root's");
        });
    };
    EXPECT_TRUE(states("no permission: join group " + std::string(dialout ? "dialout" : "20")));
    // Root may open both; so may anybody once the mode allows it.
    EXPECT_EQ(ports::state(ports::scan(roots, 2, 2)[0]), "free");
    ASSERT_EQ(::chmod(uart.path.c_str(), 0666), 0);
    EXPECT_TRUE(states("free"));
}

// The real roots find each COMn where the library's open looks for it: in TTY_COM_DIR alone
// when that is set, else in the user's own folder (XDG_RUNTIME_DIR's tty-com) first.
TEST(PortsMap, AgreesWithTheLibrarysMap)
{
    char tmpl[] = "/tmp/ports-map-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string runtime = tmpl, userDir = runtime + "/tty-com";
    ASSERT_EQ(::mkdir(userDir.c_str(), 0700), 0); // the user's own: others may not write it
    fs::create_symlink("/dev/pts/999999", userDir + "/COM3");
    const char *comDir = std::getenv("TTY_COM_DIR"), *xdg = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedComDir = comDir ? comDir : "", savedXdg = xdg ? xdg : "";
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    for (const char *dir : {"/tmp/some-map", ""}) { // "": not set, as it stays below
        ::setenv("TTY_COM_DIR", dir, 1);
        for (int n = 0; n <= 70; ++n)
            EXPECT_EQ(ports::devicePath(ports::systemRoots(), n), tty::posix::com_device_path(uint32_t(n))) << n;
    }
    EXPECT_EQ(ports::devicePath(ports::systemRoots(), 3), userDir + "/COM3"); // leads nowhere, and still wins
    savedComDir.empty() ? ::unsetenv("TTY_COM_DIR") : ::setenv("TTY_COM_DIR", savedComDir.c_str(), 1);
    savedXdg.empty() ? ::unsetenv("XDG_RUNTIME_DIR") : ::setenv("XDG_RUNTIME_DIR", savedXdg.c_str(), 1);
    fs::remove_all(runtime);
}

} // namespace
