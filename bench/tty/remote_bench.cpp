// A remote port on a loopback ser2net against the same pseudo-terminal opened directly:
// the time IOP_Open and IOP_Ioctrl take (alone, and beside another thread looping on
// IOP_Read), throughput both ways and the time a one-byte IOP_Write takes to reach the device.
#include "remote_bench.h"
#include "serial_servers.h"

#include "tty.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPort = 2;
constexpr size_t kChunk = 4096;
constexpr int32_t k115200_8N1 = 0x103C;

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

bool map_and_open(const std::string &dir, const std::string &target) {
    const std::string link = dir + "/COM" + std::to_string(kPort);
    unlink(link.c_str());
    if (symlink(target.c_str(), link.c_str()) != 0) return false;
    return IOP_Open(kPort, k115200_8N1) == 0;
}

// IOP_Write of `total` bytes, counted until the device end has them all.
double write_mib_s(int master, size_t total) {
    std::thread reader([&] {
        std::vector<char> buf(65536);
        for (size_t got = 0; got < total;) {
            ssize_t n = read(master, buf.data(), buf.size());
            if (n <= 0) return;
            got += size_t(n);
        }
    });
    std::vector<char> buf(kChunk, 'w');
    const auto start = Clock::now();
    for (size_t sent = 0; sent < total;) {
        const uint32_t n = IOP_Write(kPort, buf.data(), int32_t(std::min(kChunk, total - sent)));
        if (n == 0xFFFFFFFFu) break;
        sent += n;
    }
    reader.join();
    return double(total) / 1048576.0 / seconds_since(start);
}

// The device end sends `total` bytes; IOP_Read takes them.
double read_mib_s(int master, size_t total) {
    std::thread writer([&] {
        std::vector<char> buf(kChunk, 'r');
        for (size_t sent = 0; sent < total;) {
            ssize_t n = write(master, buf.data(), std::min(kChunk, total - sent));
            if (n <= 0) return;
            sent += size_t(n);
        }
    });
    std::vector<char> buf(kChunk);
    const auto start = Clock::now();
    for (size_t got = 0; got < total;) {
        const uint32_t n = IOP_Read(kPort, buf.data(), int32_t(std::min(kChunk, total - got)));
        if (n == 0xFFFFFFFFu || n == 0) break;
        got += n;
    }
    writer.join();
    return double(total) / 1048576.0 / seconds_since(start);
}

// Median and 99th percentile, in µs, from a one-byte IOP_Write's call to the byte's arrival.
std::pair<double, double> write_latency_us(int master) {
    constexpr int kRounds = 2000;
    std::vector<double> samples;
    char c;
    for (int r = 0; r < kRounds; ++r) {
        const auto start = Clock::now();
        if (IOP_Write(kPort, "L", 1) != 1) break;
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 1000) != 1 || read(master, &c, 1) != 1) break;
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    if (samples.empty()) return {0, 0};
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

// Median and 99th percentile, in ms, of IOP_Open of `target` (each followed by IOP_Close).
std::pair<double, double> open_ms(const std::string &dir, const std::string &target, bool remote) {
    constexpr int kOpens = 25;
    std::vector<double> samples;
    for (int i = 0; i < kOpens; ++i) {
        const auto start = Clock::now();
        if (!map_and_open(dir, target)) break;
        samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        IOP_Close(kPort);
        if (remote) std::this_thread::sleep_for(std::chrono::milliseconds(100)); // ser2net lets the pty go
    }
    if (samples.empty()) return {0, 0};
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

// Median and slowest, in ms, of IOP_Ioctrl on the open port, between two speeds by turns.
std::pair<double, double> ioctrl_ms() {
    constexpr int kChanges = 25;
    constexpr int32_t k19200_8N1 = 0x1038;
    std::vector<double> samples;
    for (int i = 0; i < kChanges; ++i) {
        const auto start = Clock::now();
        if (IOP_Ioctrl(kPort, i % 2 ? k115200_8N1 : k19200_8N1) != 0) break;
        samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    if (samples.empty()) return {0, 0};
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples.back()};
}

// Settings changes in a row for `window`, between two speeds by turns, with or without
// another thread looping on IOP_Read meanwhile: changes per second and the slowest, in ms.
struct Changes {
    double perSecond = 0, slowestMs = 0;
};
Changes changes_for(std::chrono::milliseconds window, bool reader) {
    constexpr int32_t k19200_8N1 = 0x1038;
    std::atomic<bool> stop{false};
    std::thread loop;
    if (reader)
        loop = std::thread([&] {
            char buf[256];
            while (!stop.load() && IOP_Read(kPort, buf, sizeof buf) != 0xFFFFFFFFu) {
            }
        });
    Changes c;
    int done = 0;
    const auto start = Clock::now();
    while (Clock::now() - start < window) {
        const auto t = Clock::now();
        if (IOP_Ioctrl(kPort, done % 2 ? k115200_8N1 : k19200_8N1) != 0) break;
        c.slowestMs = std::max(c.slowestMs, std::chrono::duration<double, std::milli>(Clock::now() - t).count());
        ++done;
    }
    c.perSecond = done / seconds_since(start);
    stop = true;
    if (loop.joinable()) loop.join(); // within the read time-out
    return c;
}

struct Run {
    double write = 0, read = 0;
    std::pair<double, double> latency;
};

Run measure(int master, size_t total) {
    Run r;
    r.write = write_mib_s(master, total);
    r.read = read_mib_s(master, total);
    r.latency = write_latency_us(master);
    return r;
}

// Each figure's median over the rounds.
Run median(std::vector<Run> runs) {
    auto mid = [&](auto field) {
        std::vector<double> v;
        for (const Run &r : runs) v.push_back(field(r));
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    Run m;
    m.write = mid([](const Run &r) { return r.write; });
    m.read = mid([](const Run &r) { return r.read; });
    m.latency.first = mid([](const Run &r) { return r.latency.first; });
    m.latency.second = mid([](const Run &r) { return r.latency.second; });
    return m;
}

} // namespace

void remote_rows(size_t total) {
    if (!testing_tty::Ser2net::installed()) {
        std::printf("remote port: ser2net is not installed, no figures\n");
        return;
    }
    char dir[] = "/tmp/tty-bench-remote-XXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    setenv("TTY_COM_DIR", dir, 1);
    testing_tty::Ser2net server;
    // The pseudo-terminal ser2net serves, under the name ser2net opens it by.
    char slave[256];
    if (ptsname_r(server.master(), slave, sizeof slave) != 0) return;

    // Alternating rounds, so that other load on the machine weighs on both sides alike; each
    // round opens the port anew, since ser2net and a direct open cannot share the device.
    const std::pair<double, double> remoteOpen = open_ms(dir, server.url(), true);
    std::pair<double, double> remoteIoctrl, localIoctrl;
    constexpr auto kWindow = std::chrono::milliseconds(1500);
    Changes remoteAlone, remoteBeside, localAlone, localBeside;
    if (map_and_open(dir, server.url())) {
        remoteIoctrl = ioctrl_ms();
        remoteAlone = changes_for(kWindow, false);
        remoteBeside = changes_for(kWindow, true);
        IOP_Close(kPort);
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // ser2net lets the pty go
    }
    const std::pair<double, double> localOpen = open_ms(dir, slave, false);
    if (map_and_open(dir, slave)) {
        localIoctrl = ioctrl_ms();
        localAlone = changes_for(kWindow, false);
        localBeside = changes_for(kWindow, true);
        IOP_Close(kPort);
    }

    constexpr int kRounds = 5;
    std::vector<Run> remote, local;
    for (int i = 0; i < kRounds; ++i) {
        if (!map_and_open(dir, server.url())) {
            std::printf("remote port: IOP_Open through ser2net failed\n");
            break;
        }
        remote.push_back(measure(server.master(), total));
        IOP_Close(kPort);
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // ser2net lets the pty go
        if (!map_and_open(dir, slave)) break;
        local.push_back(measure(server.master(), total));
        IOP_Close(kPort);
    }
    unlink((std::string(dir) + "/COM" + std::to_string(kPort)).c_str());
    rmdir(dir);

    if (remote.empty() || local.empty()) return;
    const Run r = median(remote), l = median(local);
    std::printf("remote port: ser2net on 127.0.0.1 serving a pseudo-terminal, against the same\n"
                "             pseudo-terminal opened directly; %zu MiB per run, %zu-byte calls;\n"
                "             medians of %d alternating rounds\n",
                total / 1048576, kChunk, kRounds);
    std::printf("  %-34s %10s %10s\n", "", "remote", "local");
    std::printf("  %-34s %10.2f %10.2f ms   (median of 25)\n", "IOP_Open", remoteOpen.first, localOpen.first);
    std::printf("  %-34s %10.2f %10.2f ms   (slowest)\n", "", remoteOpen.second, localOpen.second);
    std::printf("  %-34s %10.2f %10.2f ms   (median of 25)\n", "IOP_Ioctrl", remoteIoctrl.first, localIoctrl.first);
    std::printf("  %-34s %10.2f %10.2f ms   (slowest)\n", "", remoteIoctrl.second, localIoctrl.second);
    std::printf("  %-34s %10.0f %10.0f per s  (%.1f s in a row)\n", "IOP_Ioctrl alone", remoteAlone.perSecond,
                localAlone.perSecond, kWindow.count() / 1000.0);
    std::printf("  %-34s %10.2f %10.2f ms   (slowest)\n", "", remoteAlone.slowestMs, localAlone.slowestMs);
    std::printf("  %-34s %10.0f %10.0f per s\n", "IOP_Ioctrl beside an IOP_Read loop", remoteBeside.perSecond,
                localBeside.perSecond);
    std::printf("  %-34s %10.2f %10.2f ms   (slowest)\n", "", remoteBeside.slowestMs, localBeside.slowestMs);
    std::printf("  %-34s %10.2f %10.2f MiB/s\n", "IOP_Write throughput", r.write, l.write);
    std::printf("  %-34s %10.2f %10.2f MiB/s\n", "IOP_Read throughput", r.read, l.read);
    std::printf("  %-34s %10.1f %10.1f us   (median)\n", "one-byte IOP_Write -> device has it",
                r.latency.first, l.latency.first);
    std::printf("  %-34s %10.1f %10.1f us   (99th percentile)\n", "", r.latency.second,
                l.latency.second);
}
