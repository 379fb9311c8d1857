// vcom's entries in the map folder: claiming, refusing, taking over leftovers, cleaning up.
#include "mapdir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class MapEntryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/vcom-map-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string link(int n) const { return dir + "/COM" + std::to_string(n); }
    std::string lockfile(int n) const { return dir + "/.COM" + std::to_string(n) + ".lock"; }
    std::vector<std::string> names() const
    {
        std::vector<std::string> v;
        for (const auto &e : fs::directory_iterator(dir))
            v.push_back(e.path().filename());
        std::sort(v.begin(), v.end());
        return v;
    }

    std::string dir;
};

std::string message_of(const std::function<void()> &f)
{
    try {
        f();
    } catch (const std::runtime_error &e) {
        return e.what();
    }
    return {};
}

} // namespace

TEST_F(MapEntryTest, LinkLivesAsLongAsTheEntry)
{
    {
        vcom::MapEntry e(dir, 7, "/dev/pts/77");
        EXPECT_EQ(fs::read_symlink(link(7)), "/dev/pts/77");
        EXPECT_TRUE(e.replaced().empty());
        EXPECT_EQ(names(), (std::vector<std::string>{".COM7.lock", "COM7"}));
    }
    EXPECT_TRUE(names().empty());
}

TEST_F(MapEntryTest, NumberInUseIsRefusedAndLeftAlone)
{
    vcom::MapEntry first(dir, 3, "/dev/pts/30");
    // A second claim, even from this process, meets the held lock.
    std::string msg = message_of([&] { vcom::MapEntry second(dir, 3, "/dev/pts/31"); });
    EXPECT_NE(msg.find("COM3 is already mapped"), std::string::npos) << msg;
    EXPECT_NE(msg.find(std::to_string(::getpid())), std::string::npos) << msg;
    EXPECT_EQ(fs::read_symlink(link(3)), "/dev/pts/30");
    EXPECT_EQ(names(), (std::vector<std::string>{".COM3.lock", "COM3"}));
}

TEST_F(MapEntryTest, EntriesNotMadeByVcomAreNeverReplaced)
{
    fs::create_symlink("/dev/pts/99", link(1));  // dangling, made by hand
    std::string msg = message_of([&] { vcom::MapEntry e(dir, 1, "/dev/pts/5"); });
    EXPECT_NE(msg.find("COM1 -> /dev/pts/99"), std::string::npos) << msg;
    EXPECT_EQ(fs::read_symlink(link(1)), "/dev/pts/99");

    std::ofstream(link(2)) << "a plain file";
    EXPECT_FALSE(message_of([&] { vcom::MapEntry e(dir, 2, "/dev/pts/5"); }).empty());
    EXPECT_TRUE(fs::is_regular_file(link(2)));
    EXPECT_EQ(names(), (std::vector<std::string>{"COM1", "COM2"}));
}

TEST_F(MapEntryTest, LeftoverOfAKilledVcomIsTakenOver)
{
    // What a vcom killed by SIGKILL leaves: its link and its lock file, no longer held.
    fs::create_symlink("/dev/pts/40", link(4));
    std::ofstream(lockfile(4)) << "12345 /dev/pts/40\n";
    {
        vcom::MapEntry e(dir, 4, "/dev/pts/41");
        EXPECT_EQ(fs::read_symlink(link(4)), "/dev/pts/41");
        EXPECT_NE(e.replaced().find("COM4 -> /dev/pts/40"), std::string::npos);
        std::ifstream in(lockfile(4));
        std::string pid, target;
        in >> pid >> target;
        EXPECT_EQ(pid, std::to_string(::getpid()));
        EXPECT_EQ(target, "/dev/pts/41");
    }
    EXPECT_TRUE(names().empty());
}

TEST_F(MapEntryTest, LeftoverLockDoesNotCoverALinkMadeSince)
{
    // The user replaced the leftover link by one of their own: the record no longer matches.
    fs::create_symlink("/dev/ttyUSB0", link(6));
    std::ofstream(lockfile(6)) << "12345 /dev/pts/40\n";
    EXPECT_FALSE(message_of([&] { vcom::MapEntry e(dir, 6, "/dev/pts/41"); }).empty());
    EXPECT_EQ(fs::read_symlink(link(6)), "/dev/ttyUSB0");
}

TEST_F(MapEntryTest, LinkChangedByOthersIsNotRemoved)
{
    {
        vcom::MapEntry e(dir, 8, "/dev/pts/80");
        fs::remove(link(8));
        fs::create_symlink("/dev/pts/81", link(8));
    }
    EXPECT_EQ(fs::read_symlink(link(8)), "/dev/pts/81");
    EXPECT_EQ(names(), std::vector<std::string>{"COM8"});
}

TEST_F(MapEntryTest, FolderChosenByVcomMustBePrivate)
{
    uid_t me = ::getuid();
    auto prepare = [&](const std::string &path) { vcom::prepare_map_dir({path, false}); };

    std::string fresh = dir + "/new";
    EXPECT_NO_THROW(prepare(fresh));
    struct stat st;
    ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, me);
    EXPECT_NO_THROW(prepare(fresh));  // again: already there

    std::string open_to_all = dir + "/shared";
    ASSERT_EQ(::mkdir(open_to_all.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(open_to_all.c_str(), 0777), 0);
    EXPECT_THROW(prepare(open_to_all), std::runtime_error);

    std::string redirected = dir + "/link";
    fs::create_directory_symlink(fresh, redirected);
    EXPECT_THROW(prepare(redirected), std::runtime_error);

    std::string file = dir + "/file";
    std::ofstream(file) << "x";
    EXPECT_THROW(prepare(file), std::runtime_error);

    // One named by TTY_COM_DIR is the user's own choice: only a folder is needed.
    EXPECT_NO_THROW(vcom::prepare_map_dir({open_to_all, true}));
    EXPECT_NO_THROW(vcom::prepare_map_dir({redirected, true}));
    EXPECT_THROW(vcom::prepare_map_dir({file, true}), std::runtime_error);
}
