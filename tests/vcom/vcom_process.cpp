// A vcom program run by a test: started with its own map folder, stopped by a signal.
#include "vcom_process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace testing_vcom {

namespace {

std::vector<std::string> environment_with(const std::string &map_dir)
{
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e)
        if (std::strncmp(*e, "TTY_COM_DIR=", 12) != 0)
            env.emplace_back(*e);
    env.push_back("TTY_COM_DIR=" + map_dir);
    return env;
}

std::vector<char *> pointers(std::vector<std::string> &v)
{
    std::vector<char *> p;
    for (std::string &s : v)
        p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

void drain(int fd, std::string &into)
{
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        into.append(buf, size_t(n));
}

} // namespace

VcomProcess::VcomProcess(const std::string &map_dir, const std::vector<std::string> &args, bool pipe_stdio)
    : dir_(map_dir)
{
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2];
    if (pipe_stdio && (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0))
        throw std::runtime_error("pipe");
    if (::pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (pipe_stdio) {
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);

    // The test runner may have signals blocked or ignored; vcom must start as from a shell.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> argv{VCOM_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = environment_with(map_dir);
    int rc = ::posix_spawn(&pid_, VCOM_PATH, &fa, &attr, pointers(argv).data(), pointers(env).data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    ::close(err[1]);
    err_ = err[0];
    ::fcntl(err_, F_SETFL, O_NONBLOCK);
    if (pipe_stdio) {
        ::close(in[0]);
        ::close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    if (rc != 0)
        throw std::runtime_error(std::string("cannot start vcom: ") + std::strerror(rc));
}

VcomProcess::~VcomProcess()
{
    if (status_ < 0 && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {in_, out_, err_})
        if (fd >= 0)
            ::close(fd);
}

bool VcomProcess::wait_for_entries(const std::vector<int> &ports, std::chrono::milliseconds timeout) const
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        bool all = true;
        for (int n : ports)
            all = all && std::filesystem::is_symlink(dir_ + "/COM" + std::to_string(n));
        if (all)
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
}

bool VcomProcess::wait_until_ready(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (err().find("Ctrl+C ends.") == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

int VcomProcess::wait_exit(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (status_ < 0) {
        int st;
        pid_t r = ::waitpid(pid_, &st, WNOHANG);
        if (r == pid_)
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        else if (std::chrono::steady_clock::now() > deadline)
            return -1;
        else
            std::this_thread::sleep_for(5ms);
    }
    return status_;
}

int VcomProcess::stop(int sig, std::chrono::milliseconds timeout)
{
    if (status_ < 0)
        ::kill(pid_, sig);
    return wait_exit(timeout);
}

void VcomProcess::close_stdin()
{
    if (in_ >= 0)
        ::close(in_);
    in_ = -1;
}

std::string VcomProcess::err()
{
    drain(err_, err_text_);
    return err_text_;
}

int run_vcom(const std::string &map_dir, const std::vector<std::string> &args, std::string *out, std::string *err)
{
    VcomProcess p(map_dir, args, true);
    p.close_stdin();
    int status = p.wait_exit(10s);
    if (out)
        drain(p.stdout_fd(), *out);
    if (err)
        *err = p.err();
    return status;
}

std::vector<std::string> folder_names(const std::string &dir)
{
    std::vector<std::string> v;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        v.push_back(e.path().filename());
    std::sort(v.begin(), v.end());
    return v;
}

std::string read_until(int fd, size_t count, std::chrono::milliseconds quiet)
{
    std::string got;
    char buf[65536];
    while (got.size() < count) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(quiet.count())) <= 0)
            break;
        ssize_t n = ::read(fd, buf, std::min(sizeof buf, count - got.size()));
        if (n <= 0)
            break;
        got.append(buf, size_t(n));
    }
    return got;
}

bool write_all(int fd, const std::string &s)
{
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = ::write(fd, s.data() + done, s.size() - done);
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

} // namespace testing_vcom
