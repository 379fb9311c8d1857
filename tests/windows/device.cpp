// The host side of the Windows check: plays the serial devices for the test program that runs
// under Wine. Makes a pseudo-terminal for each COM number, links its slave as
// $WINEPREFIX/dosdevices/comN (how Wine finds COMN), starts the program with pipes for its
// standard input and output, and answers the requests it writes, one line each:
//   @send N HEX      the device of COMN sends these bytes             -> "ok"
//   @recv N COUNT    what it received: up to COUNT bytes within 3 s   -> HEX, possibly empty
//   @line N          the line as the device sees it                   -> "9600 8 1 n 0 0 0":
//                    bit/s, data bits, stop bits, parity n/e/o/m/s, RTS/CTS, IXON, IXOFF
//   @hangup N        the device goes away (the pty's master is closed) -> "ok"
// Every other line is copied to our standard output. Exits with the program's status.
//   windows_device PREFIX COMN[=COMM]... -- COMMAND [ARGS...]
// COMN=COMM makes COMN another name for COMM's device.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace testing_tty { // tests/tty/termios2.cpp: TCGETS2, apart from <termios.h>
bool read_termios2(int fd, unsigned &speed, unsigned &cflag, unsigned &iflag, unsigned &lflag,
                   unsigned &oflag);
}

namespace {

struct Device {
    int master = -1;
    int slave = -1; // held open so that the line does not hang up between the program's opens
    std::string path;
};

[[noreturn]] void die(const std::string &what) {
    std::fprintf(stderr, "windows_device: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

int com_number(const std::string &name) {
    if (name.size() < 4 || (name.compare(0, 3, "COM") != 0 && name.compare(0, 3, "com") != 0))
        return -1;
    return std::atoi(name.c_str() + 3);
}

std::string to_hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string from_hex(const std::string &hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

void write_all(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) die("write");
        done += static_cast<size_t>(n);
    }
}

std::string read_some(int fd, size_t count) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::seconds(3);
    std::string out;
    while (out.size() < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buf[4096];
        const ssize_t n = read(fd, buf, std::min(sizeof buf, count - out.size()));
        if (n > 0) out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// The answer to @line (see above). TCGETS2 gives any bit rate, not only those with a
// B-constant.
std::string describe_line(int master) {
    unsigned speed, c, iflag, lflag, oflag;
    if (!testing_tty::read_termios2(master, speed, c, iflag, lflag, oflag)) return "error";
    char parity = 'n';
    if (c & PARENB) parity = (c & CMSPAR) ? ((c & PARODD) ? 'm' : 's') : ((c & PARODD) ? 'o' : 'e');
    const unsigned size = c & CSIZE;
    const unsigned bits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    char out[64];
    std::snprintf(out, sizeof out, "%u %u %u %c %d %d %d", speed, bits, (c & CSTOPB) ? 2 : 1,
                  parity, (c & CRTSCTS) != 0, (iflag & IXON) != 0, (iflag & IXOFF) != 0);
    return out;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: windows_device PREFIX COMN[=COMM]... -- COMMAND [ARGS...]\n");
        return 2;
    }
    const std::string dosdevices = std::string(argv[1]) + "/dosdevices";
    if (mkdir(dosdevices.c_str(), 0755) != 0 && errno != EEXIST) die("mkdir " + dosdevices);

    std::map<int, Device> devices; // by COM number; an alias shares its device's descriptors
    std::vector<std::string> links;
    int i = 2;
    for (; i < argc && std::string(argv[i]) != "--"; ++i) {
        const std::string entry = argv[i];
        const size_t eq = entry.find('=');
        const int com = com_number(entry.substr(0, eq));
        if (com < 0) {
            std::fprintf(stderr, "windows_device: not a COM name: %s\n", entry.c_str());
            return 2;
        }
        if (eq != std::string::npos) {
            devices[com] = devices.at(com_number(entry.substr(eq + 1)));
        } else {
            Device d;
            char name[128];
            if (openpty(&d.master, &d.slave, name, nullptr, nullptr) != 0) die("openpty");
            d.path = name;
            devices[com] = d;
        }
        const std::string link = dosdevices + "/com" + std::to_string(com);
        unlink(link.c_str());
        if (symlink(devices[com].path.c_str(), link.c_str()) != 0) die("symlink " + link);
        links.push_back(link);
    }
    if (i + 1 >= argc) {
        std::fprintf(stderr, "windows_device: no command after --\n");
        return 2;
    }

    int to_child[2], from_child[2];
    if (pipe(to_child) != 0 || pipe(from_child) != 0) die("pipe");
    const pid_t child = fork();
    if (child < 0) die("fork");
    if (child == 0) {
        dup2(to_child[0], 0);
        dup2(from_child[1], 1);
        for (auto &[com, d] : devices) {
            close(d.master);
            close(d.slave);
        }
        close(to_child[0]);
        close(to_child[1]);
        close(from_child[0]);
        close(from_child[1]);
        execvp(argv[i + 1], argv + i + 1);
        die(std::string("exec ") + argv[i + 1]);
    }
    close(to_child[0]);
    close(from_child[1]);
    FILE *in = fdopen(from_child[0], "r");

    char *text = nullptr;
    size_t cap = 0;
    ssize_t len;
    while ((len = getline(&text, &cap, in)) >= 0) {
        std::string line(text, static_cast<size_t>(len));
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.empty() || line[0] != '@') {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
            continue;
        }
        char verb[16] = {};
        int com = -1;
        char arg[8192] = {};
        std::sscanf(line.c_str(), "@%15s %d %8191s", verb, &com, arg);
        std::string reply;
        const auto d = devices.find(com);
        if (d == devices.end() || d->second.master < 0) {
            reply = "error: no device for COM" + std::to_string(com);
        } else if (std::strcmp(verb, "send") == 0) {
            write_all(d->second.master, from_hex(arg));
            reply = "ok";
        } else if (std::strcmp(verb, "recv") == 0) {
            reply = to_hex(read_some(d->second.master, static_cast<size_t>(std::atoi(arg))));
        } else if (std::strcmp(verb, "line") == 0) {
            reply = describe_line(d->second.master);
        } else if (std::strcmp(verb, "hangup") == 0) {
            close(d->second.master);
            close(d->second.slave);
            for (auto &[n, other] : devices)
                if (other.path == d->second.path) other.master = other.slave = -1;
            reply = "ok";
        } else {
            reply = std::string("error: unknown request ") + verb;
        }
        reply += '\n';
        write_all(to_child[1], reply);
    }
    close(to_child[1]);
    int status = 0;
    waitpid(child, &status, 0);
    for (const auto &link : links) unlink(link.c_str());
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    std::fprintf(stderr, "windows_device: the program ended by signal %d\n", WTERMSIG(status));
    return 1;
}
