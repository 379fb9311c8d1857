// Why a call fails, as errno tells a caller: one row per cause a user can meet; and where an
// open looks for its device when TTY_COM_DIR is not set (the user's own map folder first).
#include "com_ports.h"
#include "serial_servers.h"

#include "tty.h"

#include <grp.h>
#include <sys/file.h>
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

namespace {

constexpr int kPort = 20;

// errno of IOP_Open(kPort) in a child running as the ordinary user nobody (the tests run as
// root, whom no mode stops): 0 when it opened, 255 when the child could not become nobody.
int open_errno_as_nobody() {
    chmod(com_dir().c_str(), 0755); // the map itself open to all
    const pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
            setresuid(65534, 65534, 65534) != 0)
            _exit(255);
        _exit(IOP_Open(kPort, k9600_8N1) == -1 ? errno : 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    chmod(com_dir().c_str(), 0700);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 254;
}

class Reasons : public ComPortTest {};

} // namespace

// Each cause a caller can meet: the call's result and errno after it.
TEST_F(Reasons, EveryFailureLeavesErrnoSetToItsCause) {
    constexpr int32_t kParity5 = 0x1536; // parity code 5: no such parity
    constexpr int32_t kRefused = 0x1046; // 5 data bits with two stop bits: no device takes it
    char buf[256];
    char byte = 0;
    int lock = -1;
    std::unique_ptr<ScriptedServer> scripted;
    std::unique_ptr<Ser2net> ser2net;

    // Steps the rows share: what is there before the call, and the call.
    const auto nothing = [] {};
    const auto pty = [&] { attach(kPort); };
    const auto opened = [&] {
        attach(kPort);
        ASSERT_EQ(IOP_Open(kPort, k9600_8N1), 0);
    };
    const auto gone = [&] {
        Pty &p = attach(kPort);
        ASSERT_EQ(IOP_Open(kPort, k9600_8N1), 0);
        hang_up(p);
    };
    const auto entry = [&](const std::string &text) { return [&, text] { map_entry(kPort, text); }; };
    const auto server = [&](ScriptedServer::Mode mode) {
        return [&, mode] {
            scripted = std::make_unique<ScriptedServer>(mode);
            map_entry(kPort, scripted->url());
        };
    };
    const auto open = [] { return int64_t(IOP_Open(kPort, k9600_8N1)); };
    using Mode = ScriptedServer::Mode;

    const struct Row {
        const char *cause;
        std::function<void()> setup;
        std::function<int64_t()> call;
        int64_t result;
        int error;
        bool applies = true; // false: this machine cannot show it (tools/scripts/deps.sh, root)
    } rows[] = {
        {"port out of range", nothing, [] { return IOP_Open(300, k9600_8N1); }, -1, EINVAL},
        {"negative port", nothing, [&] { return int64_t(IOP_Read(-1, buf, 1)); }, kFailed, EINVAL},
        {"bad word", pty, [] { return IOP_Open(kPort, kParity5); }, -1, EINVAL},
        {"settings the device refuses", pty, [] { return IOP_Open(kPort, kRefused); }, -1, EINVAL},
        {"no map entry", nothing, open, -1, ENOENT},
        {"link to a missing device", entry("/dev/pts/999999"), open, -1, ENOENT},
        {"unknown scheme", entry("bogus://127.0.0.1:2000"), open, -1, EINVAL},
        // A lock through another descriptor holds against the library as another process's does.
        {"another holder has the device locked",
         [&] {
             lock = ::open(attach(kPort).slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
             ASSERT_EQ(flock(lock, LOCK_EX | LOCK_NB), 0);
         },
         open, -1, EBUSY},
        {"opened twice", opened, open, -1, EBUSY},
        {"this user may not open the device (not busy)",
         [&] {
             const Pty &p = attach(kPort);
             ASSERT_EQ(chown(p.slave.c_str(), 0, 0), 0);
             ASSERT_EQ(chmod(p.slave.c_str(), 0600), 0);
         },
         [] { return (errno = open_errno_as_nobody()) != 0 ? int64_t(-1) : 0; }, -1, EACCES, geteuid() == 0},
        {"connection refused", entry("tcp://127.0.0.1:" + std::to_string(closed_port())), open, -1, ECONNREFUSED},
        // A label longer than DNS allows: the resolver fails it without a query leaving the machine.
        {"server name not found", entry("rfc2217://" + std::string(64, 'a') + ".invalid:2000"), open, -1,
         EHOSTUNREACH},
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
    for (const Row &r : rows) {
        SCOPED_TRACE(r.cause);
        if (!r.applies) continue;
        r.setup();
        errno = 0;
        EXPECT_EQ(r.call(), r.result);
        EXPECT_EQ(errno, r.error) << std::strerror(errno);
        // Each row starts from nothing mapped, open or serving.
        TearDown();
        ptys.clear();
        mapped.clear();
        if (lock >= 0) close(lock), lock = -1;
        scripted.reset();
        ser2net.reset();
    }
}

// Without TTY_COM_DIR an open looks first in the user's own map folder, XDG_RUNTIME_DIR's
// tty-com, unless others may write there; with TTY_COM_DIR set, in that folder alone.
TEST_F(Reasons, WithoutTtyComDirAnOpenLooksInTheUsersMapFolder) {
    constexpr int kMapped = 200; // beyond the /dev table: passed over, the folder leaves nothing
    char templ[] = "/tmp/tty-runtime-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    const std::string runtime = templ, folder = runtime + "/tty-com";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(symlink(ptys.emplace_back(new_pty()).slave.c_str(), (folder + "/COM200").c_str()), 0);
    mapped.push_back(kMapped); // closed when the test ends
    const char *xdg = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedXdg = xdg ? xdg : "";
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    unsetenv("TTY_COM_DIR");
    EXPECT_EQ(IOP_Open(kMapped, k9600_8N1), 0);
    EXPECT_EQ(IOP_Close(kMapped), 0);
    chmod(folder.c_str(), 0777); // a folder others may write is nobody's word for anything
    EXPECT_EQ(IOP_Open(kMapped, k9600_8N1), -1);
    chmod(folder.c_str(), 0700);
    setenv("TTY_COM_DIR", com_dir().c_str(), 1); // that folder alone, where COM200 is not
    EXPECT_EQ(IOP_Open(kMapped, k9600_8N1), -1);
    savedXdg.empty() ? unsetenv("XDG_RUNTIME_DIR") : setenv("XDG_RUNTIME_DIR", savedXdg.c_str(), 1);
    std::filesystem::remove_all(runtime);
}
