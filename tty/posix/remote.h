// A serial port on a serial server, reached over TCP with Telnet and RFC 2217: the
// connection behind a remote handle. Nothing here blocks except connect() and drain(), up to
// the time they are given; the rest takes what the socket has and returns, and the caller
// waits in poll() on fd() for poll_events(). Not locked: its owner serialises the calls.
#ifndef TTY_POSIX_REMOTE_H
#define TTY_POSIX_REMOTE_H

#include "dcb.h"
#include "devmap.h"
#include "rfc2217.h"
#include "win32.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tty::posix {

// Win32's ERROR_TIMEOUT: the server did not answer in time.
inline constexpr DWORD kErrorTimeout = 1460;

// The layer's monotonic clock in ms (defined in comm.cpp): the deadlines given here are on it.
int64_t now_ms();

// How long opening a remote port may take in all (name, connection, negotiation), and how
// long a change of settings waits for the server's answers.
inline constexpr int64_t kRemoteOpenMs = 3000;
inline constexpr int64_t kRemoteAnswerMs = 1000;

class Remote {
public:
    // Resolves, connects and negotiates by `deadline` (now_ms() clock). Null with `err` set
    // when the name does not resolve or the server refuses (ERROR_FILE_NOT_FOUND), does not
    // negotiate in time (kErrorTimeout) or refuses the options (ERROR_NOT_SUPPORTED).
    static std::unique_ptr<Remote> connect(const RemoteTarget &target, int64_t deadline, DWORD &err);

    ~Remote();
    Remote(const Remote &) = delete;
    Remote &operator=(const Remote &) = delete;

    int fd() const { return fd_; }
    // After poll: takes in what the socket holds and sends what it will take. False when the
    // connection has closed (`err` ERROR_DEVICE_NOT_CONNECTED); bytes already received stay
    // readable. Received data is held up to 64 KiB, beyond which the socket is left for TCP
    // to slow the server down; `beyondCap` takes in up to 1 MiB, so that answers queued
    // behind unread data can be seen.
    bool service(DWORD &err, bool beyondCap = false);
    // What to poll fd() for before service() with the same `beyondCap`: input while there is
    // room for it, output while some waits.
    short poll_events(bool beyondCap = false) const;
    bool closed() const { return closed_; }

    // Sends the line and drives DTR/RTS as `drive` says. The flow control goes first, so that
    // its answer, when the server gives one, is in by the time the others are; DTR and RTS
    // are not answered by every server (ser2net on a pseudo-terminal) and are not waited for.
    void request_line(const rfc2217::Line &line, ModemDrive drive);
    // The answers to the last request_line so far (0: none yet). True once the rate, data
    // size, parity and stop size have all been answered.
    bool line_answered(rfc2217::Line &got) const;

    // Received data: up to n bytes out of the buffer.
    size_t read(uint8_t *dst, size_t n);
    size_t in_queue() const { return in_.size() - inHead_; }
    // Data bytes received since the connection opened, purged ones included.
    uint64_t received() const { return received_; }

    // Takes up to n bytes for sending, as many as the output buffer has room for, and sends
    // what the socket takes. -1 with `err` set when the connection has closed.
    ssize_t write(const uint8_t *src, size_t n, DWORD &err);
    // Data bytes not yet taken by the socket.
    size_t out_queue() const;

    // Empties this side's buffers and asks the server to empty its own; not waited for.
    void purge(bool receive, bool transmit);

    // The modem lines from the last NOTIFY-MODEMSTATE (MS_*_ON bits).
    DWORD modem_status() const { return rfc2217::modem_status_from_notify(modem_); }
    // CE_* bits for the line errors NOTIFY-LINESTATE reported since the last call.
    DWORD take_line_errors();

    // Sends what is still buffered, for at most `ms`.
    void drain(int64_t ms);

private:
    Remote() = default;
    bool pump(bool beyondCap, DWORD &err);
    bool flush(DWORD &err);
    void handle(const rfc2217::Command &c);
    bool wait(int64_t deadline, DWORD &err);
    bool hang_up(DWORD &err);

    int fd_ = -1;
    bool closed_ = false;
    rfc2217::Decoder decoder_;
    rfc2217::Options options_;
    std::vector<rfc2217::Command> commands_;
    std::vector<uint8_t> in_; // received data from inHead_ on
    size_t inHead_ = 0;
    uint64_t received_ = 0;
    std::vector<uint8_t> ctl_;  // commands not yet on the wire; they overtake queued data
    std::vector<uint8_t> data_; // data not yet on the wire, unescaped
    std::vector<uint8_t> wire_; // escaped bytes committed to the socket, from wireHead_ on
    size_t wireHead_ = 0;
    rfc2217::Line got_;
    uint8_t modem_ = 0;
    uint8_t lineState_ = 0;
};

} // namespace tty::posix

#endif
