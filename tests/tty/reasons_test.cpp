// Where an open looks for its device when TTY_COM_DIR is not set: vcom's folder first.
#include "com_ports.h"

#include "tty.h"

#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

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

} // namespace
