// Settings changes of a remote port while other threads' calls service its connection: the
// change learns at once of answers another thread took in, one nobody answers still ends at
// its time-out, and a reader beside it goes on reading. The durations asserted tell a woken
// change from one that sat out its 1 s answer time-out; how fast changes go is tty_bench's.
#include "com_ports.h"
#include "hold.h"
#include "serial_servers.h"

#include "tty.h"

#include <thread>

using namespace testing_tty;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kPort = 7;

class RemoteChanges : public ComPortTest {
protected:
    void TearDown() override {
        stop_watching();
        ComPortTest::TearDown();
    }
};

} // namespace

// The change is held just before it waits for its answers; another thread's call takes them
// in meanwhile, so the socket shows nothing more. Released, the change must learn of them at
// once instead of waiting in poll() for input that will not come until its time-out.
TEST_F(RemoteChanges, AnAnswerAnotherThreadTookInWakesTheChange) {
    ScriptedServer echo(ScriptedServer::Mode::Echo);
    map_entry(kPort, echo.url());
    ASSERT_EQ(IOP_Open(kPort, k9600_8N1), 0);
    int result = 1;
    std::thread changer([&] {
        watch_polls(Polls::Waits, true);
        result = IOP_Ioctrl(kPort, k19200_8N1);
    });
    ASSERT_TRUE(wait_for_polls(1));
    // This thread's calls service the connection: once the read-back shows the new speed,
    // the answers are in.
    const auto end = Clock::now() + 3s;
    while (IOP_GetIoctrl(kPort) != k19200_8N1 && Clock::now() < end) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(IOP_GetIoctrl(kPort), k19200_8N1);
    const auto released = Clock::now();
    release_polls();
    changer.join();
    EXPECT_EQ(result, 0);
    EXPECT_LT(ms_since(released), 900) << "the change sat out its answer time-out (1000 ms)";
}

// A server that never answers: the change fails at its time-out although a thread looping on
// IOP_Read keeps servicing the connection, and the reader carries on.
TEST_F(RemoteChanges, AChangeNobodyAnswersEndsAtItsTimeOutBesideAReader) {
    ScriptedServer mute(ScriptedServer::Mode::NoAnswers);
    map_entry(kPort, mute.url());
    ASSERT_EQ(IOP_Open(kPort, k9600_8N1), -1); // the port is held, but its settings unanswered
    std::string got;
    std::thread reader([&] { got = read_port(kPort, 4); });
    const auto start = Clock::now();
    EXPECT_EQ(IOP_Ioctrl(kPort, k19200_8N1), -1);
    const long long took = ms_since(start);
    EXPECT_GE(took, 900) << "failed before its time-out";
    EXPECT_LT(took, 5000) << "did not end at its time-out";
    EXPECT_EQ(IOP_Write(kPort, "echo", 4), 4u);
    reader.join();
    EXPECT_EQ(got, "echo");
}
