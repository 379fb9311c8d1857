// One handle of the layer used from several threads at once, as Windows allows: transfers,
// event waits, status and cancellations side by side, and a close that ends what others wait
// for. The assertions are on bytes and results only, never on how long anything took.
#include "ptys.h"

#include "../stress.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

class LayerThreads : public PtyTest {
protected:
    // Calls that failed when they should not have, by name and last error.
    void failed(const char *what, DWORD err)
    {
        std::lock_guard lock(mutex);
        failures.push_back(std::string(what) + " error " + std::to_string(err));
    }
    std::mutex mutex;
    std::vector<std::string> failures;
};

// Writes all of `bytes` at a non-blocking master.
void write_master(int master, const std::string &bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        struct pollfd p {master, POLLOUT, 0};
        poll(&p, 1, 50);
    }
}

} // namespace

TEST_F(LayerThreads, EveryKindOfCallAtOnceOnOneHandle)
{
    const int master = addPort(1);
    HANDLE h = openPort(1);
    // Each direction runs for a while or until it has moved this much, whichever comes first.
    const auto stopAt = std::chrono::steady_clock::now() + 1200ms;
    constexpr size_t kEnough = 4 << 20;
    auto going = [&](size_t moved) { return moved < kEnough && std::chrono::steady_clock::now() < stopAt; };
    std::atomic<size_t> fed {0}, written {0};
    std::atomic<bool> fedAll {false}, wroteAll {false}, stopEvents {false};
    OVERLAPPED rd {}, ev {};

    // The far end: sends a stream to the handle and takes everything the handle writes.
    std::thread feeder([&] {
        unsigned seed = 1;
        size_t sent = 0;
        while (going(sent)) {
            const size_t n = 1 + stress::below(seed, 512);
            write_master(master, stress::bytes(sent, n));
            sent += n;
            fed = sent;
        }
        fedAll = true;
    });
    std::string arrived;
    std::thread drainer([&] {
        char buf[4096];
        while (!wroteAll || arrived.size() < written) {
            struct pollfd p {master, POLLIN, 0};
            poll(&p, 1, 50);
            const ssize_t n = read(master, buf, sizeof buf);
            if (n > 0)
                arrived.append(buf, size_t(n));
        }
    });

    // Reads until it has all that was fed. A read that another thread cancels keeps the bytes
    // it took.
    std::string got;
    std::thread reader([&] {
        unsigned seed = 2;
        char buf[300];
        while (!fedAll || got.size() < fed) {
            const DWORD want = DWORD(1 + stress::below(seed, sizeof buf));
            DWORD n = 0;
            BOOL ok = ReadFile(h, buf, want, &n, &rd);
            if (!ok && GetLastError() == ERROR_IO_PENDING)
                ok = GetOverlappedResult(h, &rd, &n, TRUE);
            if (ok || GetLastError() == ERROR_OPERATION_ABORTED)
                got.append(buf, n);
            else
                failed("read", GetLastError());
        }
    });
    // Writes the stream for a while.
    std::thread writer([&] {
        unsigned seed = 3;
        OVERLAPPED wr {};
        while (going(written)) {
            const std::string chunk = stress::bytes(written, 1 + stress::below(seed, 700));
            DWORD n = 0;
            BOOL ok = WriteFile(h, chunk.data(), DWORD(chunk.size()), &n, &wr);
            if (!ok && GetLastError() == ERROR_IO_PENDING)
                ok = GetOverlappedResult(h, &wr, &n, TRUE);
            if (ok)
                written += n; // a write ended by its time-out goes on from there
            else
                failed("write", GetLastError());
        }
        wroteAll = true;
    });
    // Asks for received characters and reads the status, as IOP_Status does, until told to stop.
    std::thread events([&] {
        while (!stopEvents) {
            DWORD mask = 0, errors = 0;
            COMSTAT st {};
            if (!WaitCommEvent(h, &mask, &ev) || (mask & ~DWORD(EV_RXCHAR)))
                failed("event wait", mask ? mask : GetLastError());
            if (!ClearCommError(h, &errors, &st))
                failed("status", GetLastError());
            std::this_thread::sleep_for(1ms);
        }
    });
    // Ends the pending read now and then from outside, as a program's other thread would.
    std::thread canceller([&] {
        for (int i = 0; !fedAll || !wroteAll; ++i) {
            if (i % 2)
                CancelIoEx(h, &rd);
            else
                PurgeComm(h, PURGE_RXABORT);
            std::this_thread::sleep_for(3ms);
        }
    });

    for (std::thread *t : {&feeder, &writer, &canceller, &reader, &drainer})
        t->join();
    stopEvents = true;
    events.join();

    EXPECT_EQ(failures, std::vector<std::string> {});
    EXPECT_GT(fed, 0u);
    EXPECT_GT(written, 0u);
    EXPECT_TRUE(got == stress::bytes(0, fed)) << "received " << got.size() << " of " << fed;
    EXPECT_TRUE(arrived == stress::bytes(0, written)) << "sent " << arrived.size() << " of " << written;
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(LayerThreads, CloseEndsWhatOtherThreadsWaitFor)
{
    addPort(1);
    HANDLE h = openPort(1);
    COMMTIMEOUTS t {0, 0, 60000, 0, 60000}; // a read or write not ended by the close takes a minute
    ASSERT_TRUE(SetCommTimeouts(h, &t));

    char buf[4];
    const std::string big(256 * 1024, 'w'); // more than the pty takes: the write stays pending
    DWORD n = 0;
    OVERLAPPED ovs[2] {};
    EXPECT_FALSE(ReadFile(h, buf, 1, &n, &ovs[0]));
    EXPECT_FALSE(WriteFile(h, big.data(), DWORD(big.size()), &n, &ovs[1]));

    struct Waiting {
        std::atomic<pid_t> tid {0};
        BOOL result = TRUE;
        DWORD error = 0;
    } waiting[2];
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&, i] {
            waiting[i].tid = stress::thread_id();
            DWORD count = 0;
            waiting[i].result = GetOverlappedResult(h, &ovs[i], &count, TRUE);
            waiting[i].error = GetLastError();
        });
    }
    for (Waiting &w : waiting) {
        while (w.tid == 0)
            std::this_thread::yield();
        ASSERT_TRUE(stress::waiting_in_poll(w.tid));
    }
    EXPECT_TRUE(CloseHandle(h));
    for (std::thread &th : threads)
        th.join();
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(waiting[i].result) << i;
        EXPECT_EQ(waiting[i].error, ERROR_OPERATION_ABORTED) << i;
        EXPECT_EQ(ovs[i].Internal, 0xC0000120u) << i;
    }
    // The device was given back: it opens again.
    HANDLE again = openPort(1);
    EXPECT_TRUE(CloseHandle(again));
}
