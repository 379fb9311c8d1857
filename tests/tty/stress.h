// Helpers of the tests that use a port from several threads at once: a byte stream in which a
// lost, doubled or reordered byte shows, and a way to know that a thread is blocked in a wait.
#ifndef TESTS_TTY_STRESS_H
#define TESTS_TTY_STRESS_H

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <fstream>
#include <string>
#include <thread>

namespace stress {

// Bytes `from` to `from + n` of an endless stream that repeats only every 65280 bytes.
inline std::string bytes(size_t from, size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((from + i) % 255 + (from + i) / 255 % 256);
    return s;
}

// A small pseudo-random number below `limit` (each thread keeps its own seed).
inline size_t below(unsigned &seed, size_t limit)
{
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % limit;
}

inline pid_t thread_id() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// Waits until thread `tid` of this process is blocked in poll(), where every wait of the
// layer ends up; false if it has not got there within a generous limit.
inline bool waiting_in_poll(pid_t tid)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    while (std::chrono::steady_clock::now() < end) {
        std::ifstream in(path);
        long call = -1;
        if (in >> call) {
#ifdef SYS_poll
            if (call == SYS_poll)
                return true;
#endif
            if (call == SYS_ppoll)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

} // namespace stress

#endif
