// Pseudo-terminal pairs mapped as COM numbers (see com_ports.h).
#include "com_ports.h"

#include "tty.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

extern char **environ;

namespace testing_tty {

// In termios2.cpp: <asm/termbits.h> cannot share a file with <termios.h>.
bool read_termios2(int fd, unsigned &speed, unsigned &cflag, unsigned &iflag, unsigned &lflag,
                   unsigned &oflag);

namespace {

// Removed by the process that made it, not by a child made by fork() that exits.
struct ComDir {
    std::string path;
    pid_t owner = getpid();
    ComDir() {
        char templ[] = "/tmp/tty-com-XXXXXX";
        if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
        path = templ;
        setenv("TTY_COM_DIR", path.c_str(), 1);
    }
    ~ComDir() {
        if (getpid() != owner) return;
        if (DIR *d = opendir(path.c_str())) {
            while (dirent *e = readdir(d))
                if (e->d_name[0] != '.') unlink((path + "/" + e->d_name).c_str());
            closedir(d);
        }
        rmdir(path.c_str());
    }
};

std::string link_path(int com) { return com_dir() + "/COM" + std::to_string(com); }

} // namespace

const std::string &com_dir() {
    static ComDir dir;
    return dir.path;
}

Pty new_pty(bool nonblocking) {
    int master = -1, slave = -1;
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    close(slave); // the pair lives as long as the master does
    fcntl(master, F_SETFD, FD_CLOEXEC);
    if (nonblocking) fcntl(master, F_SETFL, O_NONBLOCK);
    return Pty{master, name};
}

void map_com(int com, const std::string &target) {
    unlink(link_path(com).c_str());
    if (symlink(target.c_str(), link_path(com).c_str()) != 0)
        throw std::runtime_error("symlink failed");
}

void unmap_com(int com) { unlink(link_path(com).c_str()); }

void clear_com_dir() {
    if (DIR *d = opendir(com_dir().c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') unlink((com_dir() + "/" + e->d_name).c_str());
        closedir(d);
    }
}

bool Line::cstopb() const { return cflag & CSTOPB; }
bool Line::crtscts() const { return cflag & CRTSCTS; }
bool Line::ixon() const { return iflag & IXON; }
bool Line::ixoff() const { return iflag & IXOFF; }
bool Line::raw() const {
    return !(lflag & (ICANON | ECHO | ISIG | IEXTEN)) && !(oflag & OPOST) &&
           !(iflag & (ICRNL | INLCR | IGNCR | ISTRIP)) && (cflag & CLOCAL) && (cflag & CREAD);
}

Line line_of(int master) {
    Line l{};
    if (!read_termios2(master, l.speed, l.cflag, l.iflag, l.lflag, l.oflag))
        ADD_FAILURE() << "TCGETS2 on the master failed";
    return l;
}

void write_all(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ASSERT_GT(n, 0) << "write failed, errno " << errno;
        done += static_cast<size_t>(n);
    }
}

std::string read_some(int fd, size_t n, std::chrono::milliseconds limit) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + limit;
    char buf[4096];
    while (got.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        ssize_t r = read(fd, buf, std::min(sizeof buf, n - got.size()));
        if (r <= 0) break;
        got.append(buf, static_cast<size_t>(r));
    }
    return got;
}

std::string read_port(int port, size_t n) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got.size() < n && std::chrono::steady_clock::now() < end) {
        char buf[1024]; // IOP_Read clears 256 bytes whatever it reads
        const uint32_t r = IOP_Read(port, buf, static_cast<int32_t>(std::min<size_t>(sizeof buf, n - got.size())));
        if (r == kFailed) break;
        got.append(buf, r);
    }
    return got;
}

int open_fd_count() {
    int count = 0;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++count;
    closedir(d);
    return count - 1; // the directory stream's own descriptor
}

bool wait_for_input(int port, uint32_t n) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < end) {
        const uint32_t have = IOP_DIQ_Count(port);
        if (have == 0xFFFFFFFFu) return false;
        if (have >= n) return true;
        usleep(1000);
    }
    return false;
}

int open_in_other_process(int port, int32_t cflag, bool leave_open) {
    const std::string p = std::to_string(port), c = std::to_string(cflag);
    char leave[] = "leave";
    char *argv[] = {const_cast<char *>(TTY_OPEN_PROBE), const_cast<char *>(p.c_str()),
                    const_cast<char *>(c.c_str()), leave_open ? leave : nullptr, nullptr};
    pid_t pid;
    if (posix_spawn(&pid, TTY_OPEN_PROBE, nullptr, nullptr, argv, environ) != 0) return 99;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

void ComPortTest::SetUp() { com_dir(); }

void ComPortTest::TearDown() {
    for (int com : mapped) {
        IOP_Close(com);
        unmap_com(com);
    }
    for (Pty &pty : ptys)
        if (pty.master >= 0) close(pty.master);
}

Pty &ComPortTest::attach(int com) {
    Pty &pty = ptys.emplace_back(new_pty());
    alias(com, pty);
    return pty;
}

void ComPortTest::alias(int com, const Pty &pty) { map_entry(com, pty.slave); }

void ComPortTest::map_entry(int com, const std::string &target) {
    map_com(com, target);
    mapped.push_back(com);
}

void ComPortTest::unmap(int com) { unmap_com(com); }

void ComPortTest::hang_up(Pty &pty) {
    close(pty.master);
    pty.master = -1;
}

} // namespace testing_tty
