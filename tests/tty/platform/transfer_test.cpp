// Transfers, waits, cancellation and hang-ups of the layer against pseudo-terminals.
#include "ptys.h"

#include <sys/resource.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace {

class LayerTransfer : public PtyTest {
protected:
    void SetUp() override
    {
        PtyTest::SetUp();
        master = addPort(1);
        h = openPort(1);
    }
    void TearDown() override
    {
        if (h != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(h));
        }
        PtyTest::TearDown();
    }
    void timeouts(COMMTIMEOUTS t) { ASSERT_TRUE(SetCommTimeouts(h, &t)); }
    // Starts a read that must be pending.
    void startRead(char *buf, DWORD count, OVERLAPPED &ov)
    {
        DWORD n = 0;
        ASSERT_FALSE(ReadFile(h, buf, count, &n, &ov));
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        EXPECT_EQ(ov.Internal, 0x103u);
    }
    int master = -1;
    HANDLE h = INVALID_HANDLE_VALUE;
};

// CPU time of the process in ms: a wait that spins shows here.
long long cpuMs()
{
    struct rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000LL +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000;
}

} // namespace

TEST_F(LayerTransfer, ReadsUnderTheLibrarysTimeouts)
{
    char buf[16] = {};
    DWORD n = 0;
    OVERLAPPED ov {};
    send(master, "abc", h, 3);
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, &ov)) << "bytes waiting complete at once";
    EXPECT_EQ(std::string(buf, n), "abc");
    EXPECT_EQ(ov.Internal, 0u);
    EXPECT_EQ(ov.InternalHigh, 3u);

    // Nothing arrives: successful, empty, after the constant.
    startRead(buf, 1, ov);
    long long start = nowMs();
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(n, 0u);
    EXPECT_GE(nowMs() - start, 900);
    EXPECT_LT(nowMs() - start, 3000);

    // A pending read takes nothing until asked, and waits for its whole count.
    startRead(buf, 4, ov);
    send(master, "wx", h, 2);
    ASSERT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    EXPECT_EQ(n, 2u);
    ASSERT_EQ(write(master, "yz", 2), 2);
    start = nowMs();
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(std::string(buf, n), "wxyz");
    EXPECT_LT(nowMs() - start, 900) << "ended by the count, not the time-out";

    timeouts({MAXDWORD, 0, 0, 0, 0});
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, &ov));
    EXPECT_EQ(n, 0u);
}

TEST_F(LayerTransfer, OtherReadTimeouts)
{
    char buf[16] = {};
    DWORD n = 0;
    OVERLAPPED ov {};
    timeouts({MAXDWORD, MAXDWORD, 10000, 0, 0}); // the first bytes end the read
    startRead(buf, sizeof buf, ov);
    ASSERT_EQ(write(master, "hi", 2), 2);
    long long start = nowMs();
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(std::string(buf, n), "hi");
    EXPECT_LT(nowMs() - start, 3000);

    timeouts({50, 0, 0, 0, 0}); // the gap after the last byte ends it
    startRead(buf, sizeof buf, ov);
    ASSERT_EQ(write(master, "abc", 3), 3);
    start = nowMs();
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(std::string(buf, n), "abc");
    EXPECT_LT(nowMs() - start, 3000);

    send(master, "s", h, 1); // transfers are overlapped only
    EXPECT_FALSE(ReadFile(h, buf, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(WriteFile(h, buf, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(ReadFile(h, buf, 1, &n, &ov));
    EXPECT_EQ(std::string(buf, n), "s");
}

TEST_F(LayerTransfer, EveryByteValueBothWays)
{
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += char(i);
    DWORD n = 0;
    OVERLAPPED ov {};
    ASSERT_TRUE(WriteFile(h, all.data(), 256, &n, &ov));
    EXPECT_EQ(n, 256u);
    EXPECT_EQ(receive(master, 256), all);

    send(master, all, h, 256);
    char buf[256];
    ASSERT_TRUE(ReadFile(h, buf, 256, &n, &ov));
    EXPECT_EQ(std::string(buf, n), all);
}

TEST_F(LayerTransfer, WritesBeyondWhatThePtyTakes)
{
    std::string data(64 * 1024, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = char(i * 7);
    DWORD n = 0;
    OVERLAPPED ov {};
    timeouts({MAXDWORD, 0, 1000, 0, 0}); // no write time-out
    ASSERT_FALSE(WriteFile(h, data.data(), DWORD(data.size()), &n, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    std::string got;
    BOOL done = FALSE;
    for (long long end = nowMs() + 5000; !done && nowMs() < end;) {
        got += receive(master, 1, 20);
        done = GetOverlappedResult(h, &ov, &n, FALSE);
    }
    ASSERT_TRUE(done);
    EXPECT_EQ(n, data.size());
    got += receive(master, data.size() - got.size());
    EXPECT_TRUE(got == data) << "bytes lost or out of order";

    // Nobody reads: the write time-out ends the wait, with what was handed over, in poll.
    timeouts({MAXDWORD, 0, 1000, 0, 300});
    ASSERT_FALSE(WriteFile(h, data.data(), DWORD(data.size()), &n, &ov));
    const long long start = nowMs(), cpu = cpuMs();
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_GT(n, 0u);
    EXPECT_LT(n, data.size());
    EXPECT_LT(nowMs() - start, 3000);
    EXPECT_LT(cpuMs() - cpu, 150) << "spinning";
}

// The event wait reports what came since the last one, as IOP_Status asks for it, and never
// waits.
TEST_F(LayerTransfer, WaitCommEventKeepsHistory)
{
    DWORD ev = 0;
    DWORD n = 0;
    OVERLAPPED ov {};
    auto event = [&] {
        ev = 7;
        EXPECT_TRUE(WaitCommEvent(h, &ev, &ov));
        return ev;
    };
    EXPECT_EQ(event(), 0u) << "nothing came";
    send(master, "a", h, 1);
    EXPECT_EQ(event(), DWORD(EV_RXCHAR));
    EXPECT_EQ(event(), 0u) << "the byte still waits, but was reported";
    char buf[4] = {};
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, &ov));
    EXPECT_EQ(event(), 0u) << "taken by a read: nothing new";

    send(master, "c", h, 1);
    ASSERT_TRUE(PurgeComm(h, PURGE_RXCLEAR));
    EXPECT_EQ(event(), DWORD(EV_RXCHAR)) << "purged bytes were received all the same";
    send(master, "d", h, 1);
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    EXPECT_EQ(event(), 0u) << "a new mask starts the history anew";

    EXPECT_FALSE(WaitCommEvent(h, &ev, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(SetCommMask(h, 0));
    EXPECT_FALSE(WaitCommEvent(h, &ev, &ov));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(LayerTransfer, CancelAbortAndClose)
{
    char buf[4];
    DWORD n = 0;
    OVERLAPPED rd {}, wr {};
    startRead(buf, 1, rd);
    EXPECT_FALSE(ReadFile(h, buf, 1, &n, &rd)) << "the record is busy";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    send(master, "x", h, 1);
    ASSERT_TRUE(CancelIoEx(h, &rd));
    for (BOOL wait : {FALSE, TRUE}) {
        EXPECT_FALSE(GetOverlappedResult(h, &rd, &n, wait));
        EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    }
    EXPECT_FALSE(CancelIoEx(h, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
    ASSERT_TRUE(ReadFile(h, buf, 1, &n, &rd)) << "the cancelled read swallowed nothing";
    EXPECT_EQ(buf[0], 'x');

    // The abort flags end their own kind only.
    std::string big(64 * 1024, 'w');
    timeouts({MAXDWORD, 0, 1000, 0, 0});
    startRead(buf, 1, rd);
    ASSERT_FALSE(WriteFile(h, big.data(), DWORD(big.size()), &n, &wr));
    ASSERT_TRUE(PurgeComm(h, PURGE_RXABORT));
    EXPECT_FALSE(GetOverlappedResult(h, &rd, &n, TRUE));
    EXPECT_FALSE(GetOverlappedResult(h, &wr, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    ASSERT_TRUE(PurgeComm(h, PURGE_TXABORT));
    EXPECT_FALSE(GetOverlappedResult(h, &wr, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);

    startRead(buf, 1, rd); // closing ends what is pending, and the record keeps that result
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(rd.Internal, 0xC0000120u);
    EXPECT_FALSE(GetOverlappedResult(h, &rd, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    h = INVALID_HANDLE_VALUE;
}

TEST_F(LayerTransfer, StatusOfAPty)
{
    COMSTAT st {};
    DWORD errors = 1, ms = 7;
    send(master, "12345", h, 5);
    ASSERT_TRUE(ClearCommError(h, &errors, &st));
    EXPECT_EQ(errors, 0u) << "no error counters";
    EXPECT_EQ(st.cbInQue, 5u);
    EXPECT_EQ(st.cbOutQue, 0u);
    EXPECT_FALSE(GetCommModemStatus(h, &ms)) << "no modem lines";
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

TEST_F(LayerTransfer, HangUpFailsEverythingPromptly)
{
    char buf[8];
    DWORD n = 0, ev = 0;
    OVERLAPPED rd {}, wr {}, wt {};
    timeouts({MAXDWORD, 0, 10000, 0, 10000});
    startRead(buf, 1, rd);
    std::string big(64 * 1024, 'w');
    ASSERT_FALSE(WriteFile(h, big.data(), DWORD(big.size()), &n, &wr));
    std::thread hangUp([&] {
        usleep(100 * 1000);
        closeMaster(master);
    });
    const long long start = nowMs();
    EXPECT_FALSE(GetOverlappedResult(h, &rd, &n, TRUE)); // blocked when the hang-up comes
    hangUp.join();
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(GetOverlappedResult(h, &wr, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    COMSTAT st {};
    DCB dcb {};
    const BOOL results[] = {ReadFile(h, buf, 1, &n, &rd), WriteFile(h, "x", 1, &n, &wr),
                            WaitCommEvent(h, &ev, &wt), ClearCommError(h, &n, &st),
                            GetCommModemStatus(h, &n), GetCommState(h, &dcb)};
    for (BOOL r : results)
        EXPECT_FALSE(r);
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_LT(nowMs() - start, 3000);
}

// Each call notices a hang-up by itself: they reach it through different system calls.
class LayerHangUp : public PtyTest {};

TEST_F(LayerHangUp, EachCallNoticesItOnItsOwn)
{
    char buf[4];
    DWORD n = 0;
    COMSTAT st {};
    OVERLAPPED ov {};
    BOOL (*const calls[])(HANDLE, char *, DWORD *, COMSTAT *, OVERLAPPED *) = {
        [](HANDLE h, char *b, DWORD *n, COMSTAT *, OVERLAPPED *ov) { return ReadFile(h, b, 1, n, ov); },
        [](HANDLE h, char *b, DWORD *n, COMSTAT *, OVERLAPPED *ov) { return WriteFile(h, b, 1, n, ov); },
        [](HANDLE h, char *, DWORD *n, COMSTAT *, OVERLAPPED *ov) { return WaitCommEvent(h, n, ov); },
        [](HANDLE h, char *, DWORD *n, COMSTAT *st, OVERLAPPED *) { return ClearCommError(h, n, st); },
        [](HANDLE h, char *, DWORD *n, COMSTAT *, OVERLAPPED *) { return GetCommModemStatus(h, n); },
        [](HANDLE h, char *, DWORD *n, COMSTAT *, OVERLAPPED *ov) {
            return GetOverlappedResult(h, ov, n, FALSE); // a read started before the hang-up
        },
    };
    unsigned port = 1;
    for (auto call : calls) {
        const int master = addPort(port);
        HANDLE h = openPort(port++);
        ov = OVERLAPPED {};
        EXPECT_FALSE(ReadFile(h, buf, 1, &n, &ov));
        if (call != calls[5]) {
            ASSERT_TRUE(CancelIoEx(h, &ov));
        }
        closeMaster(master);
        EXPECT_FALSE(call(h, buf, &n, &st, &ov)) << port - 1;
        EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED) << port - 1;
        EXPECT_TRUE(CloseHandle(h));
    }
}
