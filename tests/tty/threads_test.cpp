// The library used from several threads, from a forked child, and by a program that ends with
// ports open. Assertions are on bytes and results, never on how long anything took.
#include "com_ports.h"
#include "stress.h"

#include "tty.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

using namespace testing_tty;
using namespace std::chrono_literals;

namespace {

class Threads : public ComPortTest {
protected:
    void failed(const std::string &what) {
        std::lock_guard lock(mutex);
        failures.push_back(what);
    }
    std::mutex mutex;
    std::vector<std::string> failures;
};

// The far end of one port: sends a stream for a while and takes everything that comes back.
struct FarEnd {
    std::atomic<size_t> fed{0};
    std::atomic<bool> fedAll{false};
    std::string arrived;
    std::thread feeder, drainer;

    // `pace`: a pause between chunks, so that the reader also finds nothing waiting at times.
    void start(int master, size_t limit, std::chrono::microseconds pace,
               const std::chrono::steady_clock::time_point &stopAt, const std::atomic<size_t> &sent,
               const std::atomic<bool> &sentAll) {
        feeder = std::thread([this, master, limit, pace, stopAt] {
            unsigned seed = unsigned(master);
            while (fed < limit && std::chrono::steady_clock::now() < stopAt) {
                const size_t n = 1 + stress::below(seed, 300);
                write_all(master, stress::bytes(fed, n));
                fed += n;
                std::this_thread::sleep_for(pace);
            }
            fedAll = true;
        });
        drainer = std::thread([this, master, sent = &sent, sentAll = &sentAll] {
            while (!*sentAll || arrived.size() < *sent) arrived += read_some(master, 4096, 50ms);
        });
    }
    void join() {
        feeder.join();
        drainer.join();
    }
};

} // namespace

// The commonest threaded program: one thread reads, another writes. Here port 3 is read and
// written that way while port 4 is served byte by byte by a third thread and a fourth reads
// the status of both and applies settings: no call disturbs another port's or thread's bytes.
TEST_F(Threads, PortsReadAndWrittenFromSeveralThreadsAtOnce) {
    Pty &p3 = attach(3);
    Pty &p4 = attach(4);
    ASSERT_EQ(IOP_Open(3, k9600_8N1), 0);
    ASSERT_EQ(IOP_Open(4, k9600_8N1), 0);
    const auto stopAt = std::chrono::steady_clock::now() + 1500ms;
    std::atomic<size_t> written3{0}, put4{0};
    std::atomic<bool> wrote3{false}, putAll4{false};
    FarEnd far3, far4;
    far3.start(p3.master, 2 << 20, 0us, stopAt, written3, wrote3);
    far4.start(p4.master, 32 << 10, 200us, stopAt, put4, putAll4);

    std::string got3, got4;
    std::thread reader3([&] {
        unsigned seed = 1;
        char buf[256];
        while (!far3.fedAll || got3.size() < far3.fed) {
            const uint32_t n = IOP_Read(3, buf, int32_t(1 + stress::below(seed, sizeof buf)));
            if (n == kFailed) return failed("IOP_Read(3)");
            got3.append(buf, n);
        }
    });
    std::thread writer3([&] {
        unsigned seed = 2;
        while (written3 < (2u << 20) && std::chrono::steady_clock::now() < stopAt) {
            const std::string chunk = stress::bytes(written3, 1 + stress::below(seed, 700));
            const uint32_t n = IOP_Write(3, chunk.data(), int32_t(chunk.size()));
            if (n == kFailed) return failed("IOP_Write(3)");
            written3 += n; // a write ended by its time-out goes on from there
        }
        wrote3 = true;
    });
    // IOP_Getc returns -1 whenever nothing waits and IOP_Putc whenever the byte is not taken
    // at once: both are simply tried again.
    std::thread bytes4([&] {
        while (!far4.fedAll || got4.size() < far4.fed || !putAll4) {
            char c = 0;
            if (IOP_Getc(4, &c) == 0) got4 += c;
            if (putAll4) continue;
            const char out = stress::bytes(put4, 1)[0];
            if (IOP_Putc(4, &out) == 0) ++put4;
            if (put4 >= (32u << 10) || std::chrono::steady_clock::now() >= stopAt) putAll4 = true;
        }
    });
    std::thread status([&] {
        while (!wrote3 || !putAll4 || !far3.fedAll || !far4.fedAll) {
            for (int32_t port : {3, 4}) {
                if (!(IOP_Status(port) & 0x40)) failed("IOP_Status says not open");
                if (IOP_DIQ_Count(port) == kFailed) failed("IOP_DIQ_Count");
                if (IOP_DataStatus(port) != 0) failed("IOP_DataStatus");
                if (IOP_GetIoctrl(port) != k9600_8N1) failed("IOP_GetIoctrl");
            }
            if (IOP_Ioctrl(4, k9600_8N1) != 0) failed("IOP_Ioctrl(4)");
            if (IOP_SetRTS(3, 2) != 0) failed("IOP_SetRTS(3)");
        }
    });

    for (std::thread *t : {&writer3, &bytes4, &status, &reader3}) t->join();
    far3.join();
    far4.join();
    EXPECT_EQ(failures, std::vector<std::string>{});
    EXPECT_TRUE(got3 == stress::bytes(0, far3.fed)) << got3.size() << " of " << far3.fed;
    EXPECT_TRUE(far3.arrived == stress::bytes(0, written3)) << far3.arrived.size() << " of " << written3;
    EXPECT_TRUE(got4 == stress::bytes(0, far4.fed)) << got4.size() << " of " << far4.fed;
    EXPECT_TRUE(far4.arrived == stress::bytes(0, put4)) << far4.arrived.size() << " of " << put4;
}

// IOP_Close while another thread waits in IOP_Read: the read ends with -1, and a port opened
// right after (which may get the descriptor number the closed one had) loses nothing to it.
TEST_F(Threads, CloseEndsAReadWaitingInAnotherThread) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        attach(3);
        ASSERT_EQ(IOP_Open(3, k9600_8N1), 0);
        std::atomic<pid_t> tid{0};
        uint32_t result = 0;
        char buf[256];
        std::thread reader([&] {
            tid = stress::thread_id();
            result = IOP_Read(3, buf, 100);
        });
        while (tid == 0) std::this_thread::yield();
        ASSERT_TRUE(stress::waiting_in_poll(tid));
        EXPECT_EQ(IOP_Close(3), 0);
        Pty &next = attach(4);
        ASSERT_EQ(IOP_Open(4, k9600_8N1), 0);
        write_all(next.master, "fresh");
        reader.join();
        EXPECT_EQ(result, kFailed);
        EXPECT_EQ(std::string(buf, 256), std::string(256, '\0'));

        std::string got;
        char in[256];
        for (int i = 0; i < 5 && got.size() < 5; ++i) {
            const uint32_t n = IOP_Read(4, in, 5);
            ASSERT_NE(n, kFailed);
            got.append(in, n);
        }
        EXPECT_EQ(got, "fresh");
        EXPECT_EQ(IOP_Close(4), 0);
    }
}

// A child made by fork() shares the parent's open port. Closing it there, or ending with it
// open, closes only the child's descriptor: the parent's line keeps its settings, its
// exclusive hold and its bytes.
TEST_F(Threads, ForkedChildLeavesTheParentsPortAlone) {
    Pty &pty = attach(3);
    ASSERT_EQ(IOP_Open(3, k9600_8N1), 0);
    for (bool closes : {true, false}) {
        SCOPED_TRACE(closes ? "child closes the port" : "child exits with it open");
        std::fflush(nullptr); // or the child would write what waits in the buffers again
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (closes && IOP_Close(3) != 0) _exit(1);
            exit(0); // the library's exit handling runs
        }
        int status = -1;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

        EXPECT_TRUE(line_of(pty.master).raw());
        EXPECT_EQ(open_in_other_process(3, k9600_8N1), 255) << "still held by the parent";
        EXPECT_EQ(IOP_Write(3, "p", 1), 1u);
        EXPECT_EQ(read_some(pty.master, 1), "p");
        write_all(pty.master, "q");
        char buf[256];
        EXPECT_EQ(IOP_Read(3, buf, 1), 1u);
        EXPECT_EQ(buf[0], 'q');
    }
}

// A program that returns from main with a port open, while another of its threads waits in
// IOP_Read: the device gets its settings back and is no longer held.
TEST_F(Threads, ProgramEndingWithAPortOpenGivesTheDeviceBack) {
    Pty &pty = attach(3);
    const Line before = line_of(pty.master);
    ASSERT_FALSE(before.raw()) << "a fresh pty is cooked";
    ASSERT_EQ(open_in_other_process(3, k9600_8N1, true), 0);

    const Line after = line_of(pty.master);
    EXPECT_EQ(after.speed, before.speed);
    EXPECT_EQ(after.cflag, before.cflag);
    EXPECT_EQ(after.iflag, before.iflag);
    EXPECT_EQ(after.lflag, before.lflag);
    EXPECT_EQ(after.oflag, before.oflag);
    const int fd = open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    int exclusive = 1;
    EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    close(fd);
    EXPECT_EQ(IOP_Open(3, k9600_8N1), 0);
}
