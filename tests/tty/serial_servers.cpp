// Serial servers on 127.0.0.1 for remote ports (see serial_servers.h).
#include "serial_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace testing_tty {
namespace {

constexpr const char *kSer2net = "/usr/sbin/ser2net";

int loopback_socket(uint16_t port, bool listening)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || (listening && listen(fd, 4) != 0)) {
        close(fd);
        throw std::runtime_error("bind on 127.0.0.1 failed");
    }
    return fd;
}

uint16_t port_of(int fd)
{
    sockaddr_in a {};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

bool accepts(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

std::string url_for(uint16_t port)
{
    return "rfc2217://127.0.0.1:" + std::to_string(port);
}

void send_all(int fd, const std::vector<uint8_t> &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += size_t(n);
    }
}

} // namespace

uint16_t closed_port()
{
    // Bound but not listening: the port stays ours, and a connection to it is refused.
    static const int fd = loopback_socket(0, false);
    return port_of(fd);
}

bool Ser2net::installed()
{
    return access(kSer2net, X_OK) == 0;
}

Ser2net::Ser2net(bool raw) : raw_(raw)
{
    char templ[] = "/tmp/tty-ser2net-XXXXXX";
    if (!mkdtemp(templ))
        throw std::runtime_error("mkdtemp failed");
    dir_ = templ;
    int slave = -1;
    char name[64];
    if (openpty(&master_, &slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    close(slave); // ser2net opens it by name; the master keeps the pair alive
    fcntl(master_, F_SETFD, FD_CLOEXEC);

    // A port nobody uses now; another program could take it before ser2net does, so a
    // start that does not come up listening is tried again on another one.
    for (int attempt = 0; attempt < 3 && pid_ < 0; ++attempt) {
        const int probe = loopback_socket(0, false);
        port_ = port_of(probe);
        close(probe);
        const std::string config = dir_ + "/ser2net.yaml";
        std::ofstream(config) << "%YAML 1.1\n---\nconnection: &com\n"
                              << "  accepter: " << (raw_ ? "" : "telnet(rfc2217),") << "tcp,127.0.0.1," << port_ << "\n"
                              << "  connector: serialdev," << name << ",9600n81,local\n";
        const pid_t pid = fork();
        if (pid < 0)
            throw std::runtime_error("fork failed");
        if (pid == 0) {
            const int null = open("/dev/null", O_RDWR);
            dup2(null, 1);
            dup2(null, 2);
            const std::string pidfile = dir_ + "/ser2net.pid";
            execl(kSer2net, "ser2net", "-n", "-u", "-c", config.c_str(), "-P", pidfile.c_str(), nullptr);
            _exit(127);
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < until) {
            if (accepts(port_)) {
                pid_ = pid;
                break;
            }
            if (waitpid(pid, nullptr, WNOHANG) == pid)
                break;
            usleep(20000);
        }
        if (pid_ < 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    if (pid_ < 0) {
        close(master_);
        throw std::runtime_error("ser2net did not start listening on 127.0.0.1");
    }
    // The probe above was a client: wait until ser2net has let the pty go again.
    usleep(50000);
}

Ser2net::~Ser2net()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0)
        close(master_);
    unlink((dir_ + "/ser2net.yaml").c_str());
    unlink((dir_ + "/ser2net.pid").c_str());
    rmdir(dir_.c_str());
}

std::string Ser2net::url() const
{
    return raw_ ? "tcp://127.0.0.1:" + std::to_string(port_) : url_for(port_);
}

ScriptedServer::ScriptedServer(Mode mode, size_t limit) : mode_(mode), limit_(limit)
{
    listen_ = loopback_socket(0, true);
    port_ = port_of(listen_);
    stop_ = eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread(&ScriptedServer::run, this);
}

ScriptedServer::~ScriptedServer()
{
    const uint64_t one = 1;
    if (write(stop_, &one, sizeof one) != sizeof one)
        std::abort();
    thread_.join();
    close(listen_);
    close(stop_);
}

std::string ScriptedServer::url() const
{
    if (mode_ == Mode::RawEcho || mode_ == Mode::RawCloseAfter)
        return "tcp://127.0.0.1:" + std::to_string(port_);
    return url_for(port_);
}

void ScriptedServer::run()
{
    for (;;) {
        pollfd p[2] = {{stop_, POLLIN, 0}, {listen_, POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno == EINTR)
            continue;
        if (p[0].revents)
            return;
        const int conn = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0)
            continue;
        ++accepted_;
        ++open_;
        serve(conn);
        close(conn);
        --open_;
    }
}

bool ScriptedServer::pause(int ms)
{
    pollfd p {stop_, POLLIN, 0};
    return poll(&p, 1, ms) == 0;
}

void ScriptedServer::flood(int conn)
{
    // NOP; DO and WILL of options nobody knows, each of which a client refuses; a
    // subnegotiation of an unknown option. No data byte among them.
    std::vector<uint8_t> noise;
    for (int i = 0; i < 512; ++i)
        noise.insert(noise.end(), {255, 241, 255, 253, 99, 255, 251, 98, 255, 250, 97, 1, 2, 3, 255, 240});
    for (;;) {
        pollfd p[2] = {{stop_, POLLIN, 0}, {conn, POLLOUT, 0}};
        if (poll(p, 2, -1) < 0 && errno == EINTR)
            continue;
        if (p[0].revents || (p[1].revents & (POLLERR | POLLHUP)))
            return;
        if (send(conn, noise.data(), noise.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0 && errno != EAGAIN && errno != EINTR)
            return;
    }
}

ssize_t ScriptedServer::receive(int conn, uint8_t *buf, size_t size)
{
    for (;;) {
        pollfd p[2] = {{stop_, POLLIN, 0}, {conn, POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno == EINTR)
            continue;
        if (p[0].revents)
            return 0;
        const ssize_t n = recv(conn, buf, size, 0);
        return n > 0 ? n : 0;
    }
}

void ScriptedServer::serve_raw(int conn)
{
    size_t received = 0;
    for (;;) {
        uint8_t buf[4096];
        ssize_t n = receive(conn, buf, sizeof buf);
        if (n <= 0)
            return;
        if (mode_ == Mode::RawCloseAfter)
            n = ssize_t(std::min(size_t(n), limit_ - received));
        received += size_t(n);
        send_all(conn, std::vector<uint8_t>(buf, buf + n));
        if (mode_ == Mode::RawCloseAfter && received >= limit_)
            return;
    }
}

void ScriptedServer::serve(int conn)
{
    enum { IAC = 255, SB = 250, SE = 240 };
    if (mode_ == Mode::Flood)
        return flood(conn);
    if (mode_ == Mode::RawEcho || mode_ == Mode::RawCloseAfter)
        return serve_raw(conn);
    if (mode_ != Mode::Silent)
        send_all(conn, {IAC, 251, 0, IAC, 253, 0, IAC, 251, 3, IAC, 253, 44});
    // A parser of its own, so that the client's codec is not checked against itself.
    enum class S { Data, Iac, Option, Sb, SbIac } s = S::Data;
    std::vector<uint8_t> sub;
    size_t received = 0;
    std::vector<uint8_t> reply;
    bool closing = false;
    bool opened = false; // a stop size has been answered
    auto data = [&](uint8_t b) {
        if (mode_ == Mode::Silent)
            return;
        reply.push_back(b);
        if (b == IAC)
            reply.push_back(IAC);
        if (mode_ == Mode::CloseAfter && ++received >= limit_)
            closing = true;
    };
    for (;;) {
        uint8_t buf[4096];
        const ssize_t n = receive(conn, buf, sizeof buf);
        if (n <= 0)
            return;
        reply.clear();
        bool delayed = false;
        for (ssize_t i = 0; i < n; ++i) {
            const uint8_t b = buf[i];
            switch (s) {
            case S::Data:
                if (b == IAC)
                    s = S::Iac;
                else
                    data(b);
                break;
            case S::Iac:
                s = S::Data;
                if (b == IAC)
                    data(b);
                else if (b >= 251 && b <= 254)
                    s = S::Option; // agreed already: the client asks for what we offered
                else if (b == SB) {
                    s = S::Sb;
                    sub.clear();
                }
                break;
            case S::Option:
                s = S::Data;
                break;
            case S::Sb:
                if (b == IAC)
                    s = S::SbIac;
                else
                    sub.push_back(b);
                break;
            case S::SbIac: {
                if (b == IAC) {
                    sub.push_back(IAC);
                    s = S::Sb;
                    break;
                }
                s = S::Data;
                if (sub.size() < 2 || sub[0] != 44 || mode_ == Mode::NoAnswers || mode_ == Mode::Silent)
                    break;
                std::vector<uint8_t> value(sub.begin() + 2, sub.end());
                const bool is19200 = sub[1] == 1 && value == std::vector<uint8_t> {0, 0, 0x4B, 0x00};
                if (sub[1] == 1 && (mode_ == Mode::AnotherSpeed || (mode_ == Mode::SlowRefuses19200 && is19200)))
                    value = {0, 0, 0x25, 0x80};
                // A slow server: what came in this piece is answered late, in order.
                const int delay = mode_ == Mode::SlowRefuses19200 ? 100 : mode_ == Mode::LateAt19200 && is19200 ? 1200 : 0;
                if (delay > 0 && !delayed) {
                    delayed = true;
                    send_all(conn, reply);
                    reply.clear();
                    if (!pause(delay))
                        return;
                }
                reply.insert(reply.end(), {IAC, SB, 44, uint8_t(sub[1] + 100)});
                for (uint8_t v : value) {
                    reply.push_back(v);
                    if (v == IAC)
                        reply.push_back(IAC);
                }
                reply.insert(reply.end(), {IAC, SE});
                // Modem lines as a device with a cable plugged in shows them: CD, DSR, CTS.
                if (sub[1] == 11)
                    reply.insert(reply.end(), {IAC, SB, 44, 107, 0xB0, IAC, SE});
                if (sub[1] == 4)
                    opened = true;
                break;
            }
            }
            if (closing)
                break;
        }
        send_all(conn, reply);
        if (closing || (opened && mode_ == Mode::AnswerAndClose))
            return;
        if (opened && mode_ == Mode::FloodAfterOpen)
            return flood(conn);
        if (opened && mode_ == Mode::Deaf) {
            pollfd p {stop_, POLLIN, 0};
            poll(&p, 1, -1);
            return;
        }
    }
}

} // namespace testing_tty
