// Settings changes of a remote port while another thread loops on IOP_Read, as a terminal's
// reader thread does: the change is answered whichever thread's call takes the server's
// answers in, a change nobody answers still ends at its time-out, and the reader goes on
// reading. How fast changes go beside a reader is a row of tty_bench; the one duration
// asserted here tells a woken change from one that sat out its 1 s answer time-out.
#include "com_ports.h"
#include "hold.h"
#include "serial_servers.h"

#include "tty.h"

#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

using namespace testing_tty;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int32_t k9600_8N1 = 0x1036;
constexpr int32_t k19200_8N1 = 0x1038;
constexpr int32_t k115200_8N1 = 0x103C;
constexpr uint32_t kFailed = 0xFFFFFFFFu;
constexpr int kPort = 7;

long long ms_since(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// A thread looping on IOP_Read until stopped, keeping what it read.
class Reader {
public:
    explicit Reader(int port)
        : thread_([this, port] {
              char buf[256]; // IOP_Read clears 256 bytes whatever it reads
              while (!stop_) {
                  const uint32_t n = IOP_Read(port, buf, sizeof buf);
                  if (n == kFailed) {
                      failed_ = true;
                      return;
                  }
                  std::lock_guard lock(mutex_);
                  got_.append(buf, n);
              }
          }) {}
    ~Reader() { stop(); }
    // Ends the loop (within the read time-out).
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    std::string got() {
        std::lock_guard lock(mutex_);
        return got_;
    }
    bool failed() const { return failed_; }

private:
    std::atomic<bool> stop_{false}, failed_{false};
    std::mutex mutex_;
    std::string got_;
    std::thread thread_;
};

class RemoteChanges : public ComPortTest {
protected:
    void TearDown() override {
        stop_watching();
        ComPortTest::TearDown();
    }
    void map_remote(const std::string &target) {
        const std::string link = com_dir() + "/COM" + std::to_string(kPort);
        unlink(link.c_str());
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        mapped.push_back(kPort);
    }
};

} // namespace

// ser2net (bytes from its device reach the reader) and the scripted server (bytes written
// come back): every change is taken, and the reader receives what came meanwhile.
TEST_F(RemoteChanges, ChangesBesideALoopingReaderAreTakenAndTheReaderGoesOn) {
    for (bool scripted : {false, true}) {
        SCOPED_TRACE(scripted ? "scripted server" : "ser2net");
        std::unique_ptr<Ser2net> ser2net;
        std::unique_ptr<ScriptedServer> echo;
        if (scripted) {
            echo = std::make_unique<ScriptedServer>(ScriptedServer::Mode::Echo);
            map_remote(echo->url());
        } else {
            if (!Ser2net::installed()) continue; // tools/scripts/deps.sh installs it
            ser2net = std::make_unique<Ser2net>();
            map_remote(ser2net->url());
        }
        ASSERT_EQ(IOP_Open(kPort, k9600_8N1), 0);
        Reader reader(kPort);
        int refused = 0;
        for (int i = 0; i < 40; ++i) {
            if (IOP_Ioctrl(kPort, i % 2 ? k115200_8N1 : k19200_8N1) != 0) ++refused;
            if (i != 20) continue;
            if (scripted)
                EXPECT_EQ(IOP_Write(kPort, "ping", 4), 4u);
            else
                write_all(ser2net->master(), "ping");
        }
        EXPECT_EQ(refused, 0);
        EXPECT_EQ(IOP_GetIoctrl(kPort), k115200_8N1);
        const auto end = Clock::now() + 3s;
        while (reader.got().size() < 4 && Clock::now() < end) std::this_thread::sleep_for(5ms);
        reader.stop();
        EXPECT_EQ(reader.got(), "ping");
        EXPECT_FALSE(reader.failed());
        EXPECT_EQ(IOP_Close(kPort), 0);
    }
}

// A server that never answers: the change fails at its time-out although a reader keeps
// servicing the connection, and the reader carries on.
TEST_F(RemoteChanges, AChangeNobodyAnswersEndsAtItsTimeOutBesideAReader) {
    ScriptedServer mute(ScriptedServer::Mode::NoAnswers);
    map_remote(mute.url());
    ASSERT_EQ(IOP_Open(kPort, k9600_8N1), -1); // the port is held, but its settings unanswered
    Reader reader(kPort);
    const auto start = Clock::now();
    EXPECT_EQ(IOP_Ioctrl(kPort, k19200_8N1), -1);
    const long long took = ms_since(start);
    EXPECT_GE(took, 900) << "failed before its time-out";
    EXPECT_LT(took, 5000) << "did not end at its time-out";
    EXPECT_EQ(IOP_Write(kPort, "echo", 4), 4u);
    const auto end = Clock::now() + 3s;
    while (reader.got().size() < 4 && Clock::now() < end) std::this_thread::sleep_for(5ms);
    reader.stop();
    EXPECT_EQ(reader.got(), "echo");
    EXPECT_EQ(IOP_Close(kPort), 0);
}

// The change is held just before it waits for its answers; another thread's call takes them
// in meanwhile, so the socket shows nothing more. Released, the change must learn of them at
// once instead of waiting in poll() for input that will not come until its time-out.
TEST_F(RemoteChanges, AnAnswerAnotherThreadTookInWakesTheChange) {
    ScriptedServer echo(ScriptedServer::Mode::Echo);
    map_remote(echo.url());
    ASSERT_EQ(IOP_Open(kPort, k9600_8N1), 0);
    std::atomic<int> result{1};
    std::atomic<bool> done{false};
    Clock::time_point returned;
    std::thread changer([&] {
        watch_polls(Polls::Waits, true);
        result = IOP_Ioctrl(kPort, k19200_8N1);
        returned = Clock::now();
        done = true;
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
    EXPECT_EQ(result.load(), 0);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(returned - released).count(), 500)
        << "the change sat out its answer time-out";
    EXPECT_EQ(IOP_Close(kPort), 0);
}
