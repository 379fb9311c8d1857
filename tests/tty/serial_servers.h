// Serial servers on 127.0.0.1 for remote ports: the real ser2net serving a pseudo-terminal,
// and a tiny scripted RFC 2217 server for what ser2net cannot be made to do. No gtest here:
// the benchmark uses ser2net too.
#ifndef TESTS_TTY_SERIAL_SERVERS_H
#define TESTS_TTY_SERIAL_SERVERS_H

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace testing_tty {

// ser2net (Debian's package) serving a fresh pseudo-terminal at 9600 8N1 on a free port of
// 127.0.0.1. The caller holds the master; ser2net opens the slave while a client is connected.
class Ser2net {
public:
    static bool installed();
    // Throws std::runtime_error when ser2net does not start listening within 5 s. `raw`: its
    // plain `tcp` accepter, without Telnet (url() is then tcp://...).
    explicit Ser2net(bool raw = false);
    ~Ser2net();
    Ser2net(const Ser2net &) = delete;
    Ser2net &operator=(const Ser2net &) = delete;

    int master() const { return master_; }
    uint16_t port() const { return port_; }
    std::string url() const;

private:
    pid_t pid_ = -1;
    int master_ = -1;
    uint16_t port_ = 0;
    bool raw_ = false;
    std::string dir_;
};

// Accepts one client at a time and speaks just enough Telnet and RFC 2217.
class ScriptedServer {
public:
    enum class Mode {
        Echo,         // negotiates, answers every setting as asked, sends back every data byte,
                      // reports CD, DSR and CTS on once asked for the modem lines
        AnotherSpeed, // as Echo, but answers every SET-BAUDRATE with 9600
        NoAnswers,    // negotiates and echoes, never answers a com-port command
        Silent,       // accepts the connection and never sends a byte
        CloseAfter,   // as Echo until `limit` data bytes have come, then closes the connection
        Flood,        // never negotiates: sends Telnet commands without end (NOPs, requests for
                      // unknown options, subnegotiations) and never reads
        FloodAfterOpen,   // as Echo until it has answered a stop size, then as Flood
        AnswerAndClose,   // as Echo, and closes once it has answered the piece that asked
                          // for the first stop size
        Deaf,             // as Echo until it has answered a stop size, then reads no more
        SlowRefuses19200, // as Echo, but answers a SET-BAUDRATE of 19200 with 9600, and
                          // each piece of commands 100 ms after it came
        LateAt19200,      // as Echo, but answers a SET-BAUDRATE of 19200 (and what came with
                          // it) 1.2 s late
        RawEcho,          // no Telnet at all: sends back every byte as it came (url() tcp://)
        RawCloseAfter,    // as RawEcho until `limit` bytes have come, then closes
    };
    explicit ScriptedServer(Mode mode, size_t limit = 0);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer &) = delete;
    ScriptedServer &operator=(const ScriptedServer &) = delete;

    uint16_t port() const { return port_; }
    std::string url() const;
    // Connections accepted so far and connections still open.
    int accepted() const { return accepted_.load(); }
    int open() const { return open_.load(); }

private:
    void run();
    void serve(int conn);
    void serve_raw(int conn);
    // The next bytes from the client into buf: their count, or 0 once stopped or closed.
    ssize_t receive(int conn, uint8_t *buf, size_t size);
    void flood(int conn);
    bool pause(int ms); // false when the server is being stopped

    Mode mode_;
    size_t limit_;
    int listen_ = -1;
    int stop_ = -1; // eventfd
    uint16_t port_ = 0;
    std::atomic<int> accepted_ {0};
    std::atomic<int> open_ {0};
    std::thread thread_;
};

// A TCP port of 127.0.0.1 that nothing listens on.
uint16_t closed_port();

} // namespace testing_tty

#endif
