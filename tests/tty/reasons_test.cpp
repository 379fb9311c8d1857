// Why a call fails, as errno tells a caller: one case per cause a user can meet; and where
// an open looks for its device when TTY_COM_DIR is not set (vcom's folder first).
#include "com_ports.h"
#include "serial_servers.h"

#include "tty.h"

#include <grp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>

using namespace testing_tty;
namespace fs = std::filesystem;

namespace {

constexpr int32_t k9600_8N1 = 0x1036;

// An environment variable set for one test and put back after it.
class EnvVar {
public:
    EnvVar(const char *name, const char *value) : name_(name) {
        if (const char *old = std::getenv(name)) old_ = old, had_ = true;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~EnvVar() { had_ ? setenv(name_, old_.c_str(), 1) : unsetenv(name_); }
    EnvVar(const EnvVar &) = delete;
    EnvVar &operator=(const EnvVar &) = delete;

private:
    const char *name_;
    std::string old_;
    bool had_ = false;
};

// Numbers beyond the /dev table: when the folder is passed over, nothing real is opened.
constexpr int kMapped = 200, kDangling = 201;

TEST(UserMapFolder, IsWhereAnOpenLooksWithoutTtyComDir) {
    com_dir(); // made (and TTY_COM_DIR set) before this test takes it away
    char templ[] = "/tmp/tty-runtime-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    const fs::path runtime = templ;
    const fs::path folder = runtime / "tty-com";
    fs::create_directory(folder);
    fs::permissions(folder, fs::perms(0700));
    int master = -1, slave = -1;
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    close(slave);
    fs::create_symlink(name, folder / ("COM" + std::to_string(kMapped)));
    fs::create_symlink("/dev/pts/999999", folder / ("COM" + std::to_string(kDangling)));
    {
        const EnvVar noComDir("TTY_COM_DIR", nullptr);
        const EnvVar xdg("XDG_RUNTIME_DIR", runtime.c_str());
        ASSERT_EQ(IOP_Open(kMapped, k9600_8N1), 0);
        ASSERT_EQ(IOP_Write(kMapped, "hi", 2), 2u);
        EXPECT_EQ(read_some(master, 2), "hi");
        EXPECT_EQ(IOP_Close(kMapped), 0);
        // An entry there that leads nowhere fails the open; nothing else is tried.
        errno = 0;
        EXPECT_EQ(IOP_Open(kDangling, k9600_8N1), -1);
        EXPECT_EQ(errno, ENOENT);
        // A folder others may write is nobody's word for anything.
        fs::permissions(folder, fs::perms(0777));
        EXPECT_EQ(IOP_Open(kMapped, k9600_8N1), -1);
        fs::permissions(folder, fs::perms(0700));
        {
            // TTY_COM_DIR set: that folder alone.
            const EnvVar elsewhere("TTY_COM_DIR", com_dir().c_str());
            EXPECT_EQ(IOP_Open(kMapped, k9600_8N1), -1);
        }
        EXPECT_EQ(IOP_Open(kMapped, k9600_8N1), 0);
        EXPECT_EQ(IOP_Close(kMapped), 0);
    }
    close(master);
    fs::remove_all(runtime);
}

constexpr int32_t k19200_8N1 = 0x1038;
constexpr int32_t kParity5 = 0x1536;  // parity code 5: no such parity
constexpr int32_t kRefused = 0x1046;  // 5 data bits with two stop bits: no device takes it
constexpr int64_t kFailed = 0xFFFFFFFFu;

// A TCP port of 127.0.0.1 that nothing listens on (it was free a moment ago).
uint16_t refusing_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

// Another process holding a device as programs do: open and locked, until it is ended.
class OtherProcess {
public:
    explicit OtherProcess(const std::string &path) {
        int ready[2];
        if (pipe(ready) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
            const char ok = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? '1' : '0';
            if (write(ready[1], &ok, 1) != 1) _exit(1);
            pause();
            _exit(0);
        }
        close(ready[1]);
        char ok = 0;
        holding_ = read(ready[0], &ok, 1) == 1 && ok == '1';
        close(ready[0]);
    }
    ~OtherProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool holding() const { return holding_; }

private:
    pid_t pid_ = -1;
    bool holding_ = false;
};

// IOP_Open in a child running as the ordinary user nobody (the tests run as root, whom no
// mode stops); returns its result and errno.
std::pair<int32_t, int> open_as_nobody(int port, int32_t cflag) {
    int out[2];
    if (pipe(out) != 0) return {0, 0};
    const pid_t child = fork();
    if (child == 0) {
        int answer[2] = {0, -1};
        if (setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 &&
            setresuid(65534, 65534, 65534) == 0) {
            errno = 0;
            answer[0] = IOP_Open(port, cflag);
            answer[1] = errno;
        }
        if (write(out[1], answer, sizeof answer) != sizeof answer) _exit(1);
        _exit(0);
    }
    close(out[1]);
    int answer[2] = {0, 0};
    if (read(out[0], answer, sizeof answer) != sizeof answer) answer[1] = -2;
    close(out[0]);
    waitpid(child, nullptr, 0);
    return {answer[0], answer[1]};
}

class Reasons : public ComPortTest {
protected:
    void map_entry(int com, const std::string &text) {
        const std::string link = com_dir() + "/COM" + std::to_string(com);
        unlink(link.c_str());
        ASSERT_EQ(symlink(text.c_str(), link.c_str()), 0);
        mapped.push_back(com);
    }
};

// Each cause a caller can meet: the call's result and errno after it.
TEST_F(Reasons, EveryFailureLeavesErrnoSetToItsCause) {
    constexpr int kPort = 20;
    char buf[256];
    char byte = 0;
    std::unique_ptr<OtherProcess> holder;
    std::unique_ptr<ScriptedServer> silent;
    std::unique_ptr<Ser2net> ser2net;
    // A resolver with no answer at all lets the look-up run out of time instead.
    struct addrinfo *res = nullptr;
    const int lookup = getaddrinfo("nonexistent.invalid", "2000", nullptr, &res);
    if (lookup == 0) freeaddrinfo(res);
    const int unresolved = lookup == EAI_NONAME ? EHOSTUNREACH : ETIMEDOUT;

    // Steps the cases share: what is there before the call, and the call.
    const auto nothing = [] {};
    const auto opened = [&] {
        attach(kPort);
        ASSERT_EQ(IOP_Open(kPort, k9600_8N1), 0);
    };
    const auto gone = [&] {
        Pty &pty = attach(kPort);
        ASSERT_EQ(IOP_Open(kPort, k9600_8N1), 0);
        hang_up(pty);
    };
    const auto entry = [&](const std::string &text) { return [&, text] { map_entry(kPort, text); }; };
    const auto server = [&](ScriptedServer::Mode mode) {
        return [&, mode] {
            silent = std::make_unique<ScriptedServer>(mode);
            map_entry(kPort, silent->url());
        };
    };
    const auto open = [] { return int64_t(IOP_Open(kPort, k9600_8N1)); };
    using Mode = ScriptedServer::Mode;

    const struct Case {
        const char *cause;
        std::function<void()> setup;
        std::function<int64_t()> call;
        int64_t result;
        int error;
        bool applies = true; // false: a server this machine lacks (tools/scripts/deps.sh installs it)
    } cases[] = {
        {"port out of range", nothing, [] { return IOP_Open(300, k9600_8N1); }, -1, EINVAL},
        {"negative port", nothing, [&] { return int64_t(IOP_Read(-1, buf, 1)); }, kFailed, EINVAL},
        {"bad word", [&] { attach(kPort); }, [] { return IOP_Open(kPort, kParity5); }, -1, EINVAL},
        {"settings the device refuses", [&] { attach(kPort); }, [] { return IOP_Open(kPort, kRefused); }, -1,
         EINVAL},
        {"no map entry", nothing, open, -1, ENOENT},
        {"link to a missing device", entry("/dev/pts/999999"), open, -1, ENOENT},
        {"unknown scheme", entry("bogus://127.0.0.1:2000"), open, -1, EINVAL},
        {"another process has the device",
         [&] {
             holder = std::make_unique<OtherProcess>(attach(kPort).slave);
             ASSERT_TRUE(holder->holding());
         },
         open, -1, EBUSY},
        {"opened twice", opened, open, -1, EBUSY},
        {"connection refused", entry("tcp://127.0.0.1:" + std::to_string(refusing_port())), open, -1, ECONNREFUSED},
        {"server name not found", entry("rfc2217://nonexistent.invalid:2000"), open, -1, unresolved},
        {"silent server", server(Mode::Silent), open, -1, ETIMEDOUT},
        {"server answers another speed", server(Mode::AnotherSpeed), [] { return IOP_Open(kPort, k19200_8N1); },
         -1, EINVAL},
        {"server never answers the settings", server(Mode::NoAnswers), open, -1, ETIMEDOUT},
        {"server closes during the open",
         [&] {
             ser2net = std::make_unique<Ser2net>();
             map_entry(kPort + 1, ser2net->url());
             ASSERT_EQ(IOP_Open(kPort + 1, k9600_8N1), 0); // ser2net serves one client at a time
             map_entry(kPort, ser2net->url());
         },
         // ENODEV when the close comes once the settings are being applied: the device has gone.
         [&] {
             const int64_t result = open();
             if (errno == ENODEV) errno = ECONNRESET;
             return result;
         },
         -1, ECONNRESET, Ser2net::installed()},
        {"port not open", nothing, [] { return IOP_Close(kPort); }, -1, EBADF},
        {"read of a port not open", nothing, [&] { return int64_t(IOP_Read(kPort, buf, 1)); }, kFailed, EBADF},
        {"no buffer", opened, [] { return int64_t(IOP_Write(kPort, nullptr, 1)); }, kFailed, EINVAL},
        {"no byte waiting", opened, [&] { return IOP_Getc(kPort, &byte); }, -1, EAGAIN},
        {"device gone: read", gone, [&] { return int64_t(IOP_Read(kPort, buf, 10)); }, kFailed, ENODEV},
        {"device gone: settings", gone, [] { return IOP_Ioctrl(kPort, k9600_8N1); }, -1, ENODEV},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.cause);
        if (!c.applies) continue;
        c.setup();
        errno = 0;
        EXPECT_EQ(c.call(), c.result);
        EXPECT_EQ(errno, c.error) << std::strerror(errno);
        // Each case starts from nothing mapped and nothing open.
        holder.reset();
        TearDown();
        silent.reset();
        ser2net.reset();
        mapped.clear();
    }
}

TEST_F(Reasons, PermissionIsNotBusy) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to hand the device to root alone and open it as nobody";
    constexpr int kPort = 21;
    Pty &pty = attach(kPort);
    ASSERT_EQ(chown(pty.slave.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(pty.slave.c_str(), 0600), 0);
    ASSERT_EQ(chmod(com_dir().c_str(), 0755), 0); // the map itself open to all
    const auto [result, error] = open_as_nobody(kPort, k9600_8N1);
    chmod(com_dir().c_str(), 0700);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(error, EACCES) << std::strerror(error);
}

} // namespace
