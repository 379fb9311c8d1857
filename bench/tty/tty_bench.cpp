// Throughput, per-call cost and latency of the library against plain system calls on the
// same pseudo-terminal pair. Prints its figures; asserts nothing.
//   tty_bench [MiB per throughput run, default 32]
#include "remote_bench.h"
#include "tty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPort = 1;
constexpr size_t kChunk = 4096;

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

[[noreturn]] void die(const char *what) {
    std::fprintf(stderr, "tty_bench: %s\n", what);
    std::exit(1);
}

// Reads everything that arrives on fd until `total` bytes have come.
void drain(int fd, size_t total) {
    std::vector<char> buf(65536);
    size_t got = 0;
    while (got < total) {
        ssize_t n = read(fd, buf.data(), buf.size());
        if (n <= 0) die("drain: read failed");
        got += static_cast<size_t>(n);
    }
}

// Reads what arrives on fd until `total` has come, where total may be lowered later: the
// one-byte runs know only at their end how many bytes the device took.
void drain_until(int fd, const std::atomic<size_t> &total) {
    std::vector<char> buf(65536);
    size_t got = 0;
    while (got < total.load()) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        ssize_t n = read(fd, buf.data(), buf.size());
        if (n <= 0) die("drain: read failed");
        got += static_cast<size_t>(n);
    }
}

void feed(int fd, size_t total) {
    std::vector<char> buf(kChunk, 'f');
    size_t sent = 0;
    while (sent < total) {
        ssize_t n = write(fd, buf.data(), std::min(kChunk, total - sent));
        if (n <= 0) die("feed: write failed");
        sent += static_cast<size_t>(n);
    }
}

template <typename Write> double write_mib_s(int master, size_t total, Write write_chunk) {
    std::thread reader(drain, master, total);
    std::vector<char> buf(kChunk, 'w');
    const auto start = Clock::now();
    for (size_t sent = 0; sent < total;) sent += write_chunk(buf.data(), kChunk);
    reader.join();
    return total / 1048576.0 / seconds_since(start);
}

template <typename Read> double read_mib_s(int master, size_t total, Read read_chunk) {
    std::vector<char> buf(kChunk);
    const auto start = Clock::now();
    std::thread writer(feed, master, total);
    for (size_t got = 0; got < total;) got += read_chunk(buf.data(), std::min(kChunk, total - got));
    writer.join();
    return total / 1048576.0 / seconds_since(start);
}

template <typename Call> double us_per_call(int calls, Call call) {
    const auto start = Clock::now();
    for (int i = 0; i < calls; ++i) call();
    return seconds_since(start) * 1e6 / calls;
}

// Median and 99th percentile, in µs, of the time from a byte written at the master to the
// blocked reader returning it.
template <typename ReadOne> std::pair<double, double> latency_us(int master, ReadOne read_one) {
    constexpr int kRounds = 2000;
    std::atomic<int> round{-1};
    std::atomic<long long> returned_ns{0};
    std::thread reader([&] {
        for (int r = 0; r < kRounds; ++r) {
            while (!read_one()) {}
            returned_ns.store(Clock::now().time_since_epoch().count());
            round.store(r);
        }
    });
    std::vector<double> samples;
    for (int r = 0; r < kRounds; ++r) {
        std::this_thread::sleep_for(std::chrono::microseconds(300)); // let the reader block
        const long long sent = Clock::now().time_since_epoch().count();
        if (write(master, "L", 1) != 1) die("latency: write failed");
        while (round.load() != r) {}
        samples.push_back((returned_ns.load() - sent) / 1000.0);
    }
    reader.join();
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

struct Figures {
    double lib, plain, ratio;
};

// Runs the library's and the plain variant in alternation and keeps the medians; the ratio is
// the median of the ratios of neighbouring runs, so that a burst of other load on the machine
// weighs on both sides of a comparison or on neither.
template <typename Lib, typename Plain> Figures median_of(Lib lib, Plain plain) {
    constexpr int kRounds = 9;
    std::vector<double> a, b, r;
    for (int i = 0; i < kRounds; ++i) {
        a.push_back(lib());
        b.push_back(plain());
        r.push_back(a.back() / b.back());
    }
    for (auto *v : {&a, &b, &r}) std::sort(v->begin(), v->end());
    return {a[kRounds / 2], b[kRounds / 2], r[kRounds / 2]};
}

void row(const char *what, Figures f, const char *unit, const char *target) {
    std::printf("  %-34s %10.2f %10.2f %s   ratio %5.2f   %s\n", what, f.lib, f.plain, unit,
                f.ratio, target);
}

} // namespace

int main(int argc, char **argv) {
    const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 32;
    const size_t total = std::max<size_t>(mib, 1) * 1048576;

    int master = -1, slave = -1;
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) die("openpty failed");
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(slave, TCSANOW, &raw);

    // A second, non-blocking descriptor of the slave, opened before the library takes the
    // device: what any write bounded by a time-out has to work with.
    const int slave_nb = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_nb < 0) die("open of the slave failed");

    char dir[] = "/tmp/tty-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) die("mkdtemp failed");
    const std::string link = std::string(dir) + "/COM" + std::to_string(kPort);
    if (symlink(name, link.c_str()) != 0) die("symlink failed");
    setenv("TTY_COM_DIR", dir, 1);
    // The plain descriptor stays open beside the library's; the two are never used at once.
    if (IOP_Open(kPort, 0x1030 | 12) != 0) die("IOP_Open failed"); // 115200 8N1, no handshake
    unlink(link.c_str());
    rmdir(dir);

    auto lib_write = [](const char *b, size_t n) -> size_t {
        uint32_t r = IOP_Write(kPort, b, static_cast<int32_t>(n));
        if (r == 0xFFFFFFFFu) die("IOP_Write failed");
        return r;
    };
    auto plain_write = [&](const char *b, size_t n) -> size_t {
        ssize_t r = write(slave, b, n);
        if (r < 0) die("write failed");
        return static_cast<size_t>(r);
    };
    auto nonblocking_write = [&](const char *b, size_t n) -> size_t {
        size_t done = 0;
        while (done < n) {
            ssize_t r = write(slave_nb, b + done, n - done);
            if (r > 0) {
                done += static_cast<size_t>(r);
                continue;
            }
            if (r < 0 && errno != EAGAIN) die("non-blocking write failed");
            pollfd p{slave_nb, POLLOUT, 0};
            poll(&p, 1, -1);
        }
        return done;
    };
    auto lib_read = [](char *b, size_t n) -> size_t {
        uint32_t r = IOP_Read(kPort, b, static_cast<int32_t>(n));
        if (r == 0xFFFFFFFFu) die("IOP_Read failed");
        return r;
    };
    auto plain_read = [&](char *b, size_t n) -> size_t {
        ssize_t r = read(slave, b, n);
        if (r < 0) die("read failed");
        return static_cast<size_t>(r);
    };

    // Warm up both paths.
    write_mib_s(master, 1048576, lib_write);
    write_mib_s(master, 1048576, plain_write);

    std::printf("tty_bench: one pseudo-terminal pair; %zu MiB per throughput run, %zu-byte calls;\n"
                "           medians of 9 alternating rounds, ratio = median of neighbouring pairs\n",
                mib, kChunk);
    std::printf("  %-34s %10s %10s\n", "", "IOP_", "plain");
    row("write throughput",
        median_of([&] { return write_mib_s(master, total, lib_write); },
                  [&] { return write_mib_s(master, total, plain_write); }),
        "MiB/s", "(target ratio >= 0.9)");
    row("  the same, plain non-blocking+poll",
        median_of([&] { return write_mib_s(master, total, lib_write); },
                  [&] { return write_mib_s(master, total, nonblocking_write); }),
        "MiB/s", "");
    row("read throughput",
        median_of([&] { return read_mib_s(master, total, lib_read); },
                  [&] { return read_mib_s(master, total, plain_read); }),
        "MiB/s", "(target ratio >= 0.9)");

    constexpr int kCalls = 50000;
    // A write that times out takes nothing, so the drainer is told the total at the end.
    std::atomic<size_t> written{SIZE_MAX};
    size_t sent = 0;
    std::thread reader(drain_until, master, std::cref(written));
    row("one-byte IOP_Write vs write",
        median_of([&] { return us_per_call(kCalls, [&] { sent += IOP_Write(kPort, "x", 1) == 1; }); },
                  [&] { return us_per_call(kCalls, [&] { sent += write(slave, "x", 1) == 1; }); }),
        "us   ", "(target ratio <= 2)");
    written.store(sent);
    reader.join();
    if (sent != 2 * 9 * static_cast<size_t>(kCalls))
        std::printf("  (%zu one-byte writes timed out with the device's queue full)\n",
                    2 * 9 * static_cast<size_t>(kCalls) - sent);

    int queued = 0, lines = 0;
    // What ClearCommError stands on for a pseudo-terminal: a hang-up check and two queue ioctls.
    row("IOP_DIQ_Count vs poll+INQ+OUTQ",
        median_of([] { return us_per_call(kCalls, [] { IOP_DIQ_Count(kPort); }); },
                  [&] {
                      return us_per_call(kCalls, [&] {
                          pollfd p{slave, 0, 0};
                          poll(&p, 1, 0);
                          ioctl(slave, TIOCINQ, &queued);
                          ioctl(slave, TIOCOUTQ, &queued);
                      });
                  }),
        "us   ", "");
    // Line settings, the event check's queue count, and the modem lines.
    termios t{};
    row("IOP_Status vs TCGETS+INQ+MGET",
        median_of([] { return us_per_call(kCalls, [] { IOP_Status(kPort); }); },
                  [&] {
                      return us_per_call(kCalls, [&] {
                          tcgetattr(slave, &t);
                          ioctl(slave, TIOCINQ, &queued);
                          ioctl(slave, TIOCMGET, &lines);
                      });
                  }),
        "us   ", "");

    char buf[256];
    const auto lib_lat = latency_us(master, [&] { return IOP_Read(kPort, buf, 1) == 1; });
    const auto plain_lat = latency_us(master, [&] { return read(slave, buf, 1) == 1; });
    std::printf("  %-34s %10.1f %10.1f us   (median)\n", "master write -> read returns",
                lib_lat.first, plain_lat.first);
    std::printf("  %-34s %10.1f %10.1f us   (99th percentile)\n", "", lib_lat.second,
                plain_lat.second);

    IOP_Close(kPort);
    close(slave);
    close(slave_nb);
    close(master);

    remote_rows(std::min<size_t>(total, 8 * 1048576));
    return 0;
}
