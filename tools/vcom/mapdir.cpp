// The device-map folder and vcom's entries in it.
#include "mapdir.h"

#include "posix/devmap.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vcom {

namespace {

std::runtime_error sys_error(const std::string &what)
{
    return std::runtime_error(what + ": " + std::strerror(errno));
}

// Empty when the path is not a symbolic link.
std::string read_link(const std::string &path)
{
    char buf[4096];
    ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    return n < 0 ? std::string() : std::string(buf, size_t(n));
}

std::string read_all(int fd)
{
    std::string s;
    char buf[512];
    ssize_t n;
    off_t off = 0;
    while ((n = ::pread(fd, buf, sizeof buf, off)) > 0) {
        s.append(buf, size_t(n));
        off += n;
    }
    return s;
}

} // namespace

MapDir choose_map_dir(const char *tty_com_dir, const char *xdg_runtime_dir, uid_t uid)
{
    if (tty_com_dir && *tty_com_dir)
        return {tty_com_dir, true};
    // The library looks in the same folder when TTY_COM_DIR is not set.
    return {tty::posix::default_map_dir(xdg_runtime_dir, uid), false};
}

void prepare_map_dir(const MapDir &dir)
{
    if (::mkdir(dir.path.c_str(), 0700) != 0 && errno != EEXIST)
        throw sys_error("cannot create the map folder " + dir.path);
    struct stat st;
    if (::lstat(dir.path.c_str(), &st) != 0)
        throw sys_error("cannot use the map folder " + dir.path);
    if (dir.from_env) {
        if (::stat(dir.path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            throw std::runtime_error("TTY_COM_DIR=" + dir.path + " is not a folder");
        return;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 022) != 0)
        throw std::runtime_error("the map folder " + dir.path +
                                 " is not a private folder of this user; remove it or set TTY_COM_DIR");
}

std::string shell_quote(const std::string &s)
{
    bool plain = !s.empty();
    for (char c : s)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || std::strchr("/._-+,:=@%", c)))
            plain = false;
    if (plain)
        return s;
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

MapEntry::MapEntry(const std::string &dir, int port, const std::string &target)
    : link_(dir + "/COM" + std::to_string(port)), lock_(dir + "/.COM" + std::to_string(port) + ".lock"),
      target_(target)
{
    const std::string name = "COM" + std::to_string(port);
    bool fresh = false;
    lock(name, fresh);

    struct stat st;
    if (::lstat(link_.c_str(), &st) == 0) {
        // A lock file we did not create, that nobody holds, belongs to a vcom that ended
        // without cleaning up; its record says which link it made. Anything else is not ours.
        std::string record = read_all(lock_fd_);
        size_t space = record.find(' ');
        std::string old_target = space == std::string::npos ? std::string() : record.substr(space + 1);
        if (!old_target.empty() && old_target.back() == '\n')
            old_target.pop_back();
        std::string now = read_link(link_);
        if (fresh || !S_ISLNK(st.st_mode) || old_target.empty() || now != old_target) {
            std::string what = S_ISLNK(st.st_mode) ? name + " -> " + now : link_;
            release();
            throw std::runtime_error(name + " is already mapped (" + what +
                                     "); vcom replaces only entries that an ended vcom left behind");
        }
        if (::unlink(link_.c_str()) != 0 && errno != ENOENT) {
            int e = errno;
            release();
            errno = e;
            throw sys_error("cannot remove the leftover " + link_);
        }
        replaced_ = name + " -> " + now + " (left behind by an ended vcom)";
    }

    std::string record = std::to_string(::getpid()) + " " + target_ + "\n";
    if (::ftruncate(lock_fd_, 0) != 0 || ::pwrite(lock_fd_, record.data(), record.size(), 0) != ssize_t(record.size())) {
        int e = errno;
        release();
        errno = e;
        throw sys_error("cannot write " + lock_);
    }
    if (::symlink(target_.c_str(), link_.c_str()) != 0) {
        int e = errno;
        release();
        errno = e;
        if (e == EEXIST)
            throw std::runtime_error(name + " is already mapped (" + link_ + " appeared meanwhile)");
        throw sys_error("cannot create " + link_);
    }
    linked_ = true;
}

// Takes the lock of this COM number; fresh tells whether the lock file is new.
void MapEntry::lock(const std::string &name, bool &fresh)
{
    // A vcom that ends unlinks its lock file while holding it, so a lock taken on a file
    // that has meanwhile left the folder proves nothing: check and start again.
    for (int attempt = 0; attempt < 100; ++attempt) {
        fresh = true;
        int fd = ::open(lock_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST) {
            fresh = false;
            fd = ::open(lock_.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0 && errno == ENOENT)
                continue;
        }
        if (fd < 0)
            throw sys_error("cannot create " + lock_);
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int e = errno;
            std::string record = read_all(fd);
            ::close(fd);
            if (e != EWOULDBLOCK) {
                errno = e;
                throw sys_error("cannot lock " + lock_);
            }
            size_t space = record.find(' ');
            std::string pid = record.substr(0, space);
            throw std::runtime_error(name + " is already mapped by a running vcom" +
                                     (pid.empty() ? std::string() : " (process " + pid + ")"));
        }
        struct stat held, named;
        if (::fstat(fd, &held) == 0 && ::stat(lock_.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino) {
            lock_fd_ = fd;
            return;
        }
        ::close(fd);
    }
    throw std::runtime_error("cannot lock " + lock_ + ": it keeps changing");
}

void MapEntry::release()
{
    if (lock_fd_ < 0)
        return;
    ::unlink(lock_.c_str());
    ::close(lock_fd_);
    lock_fd_ = -1;
}

MapEntry::~MapEntry()
{
    if (linked_ && read_link(link_) == target_)
        ::unlink(link_.c_str());
    release();
}

} // namespace vcom
