// A serial port on a serial server, reached over TCP with Telnet and RFC 2217: the
// connection behind a remote handle. Nothing here blocks except connect() and drain(), up to
// the time they are given; the rest takes what the socket has and returns, and the caller
// waits in poll() on fd() for poll_events(). Every call does a bounded amount of work
// whatever the server sends, and the buffers have fixed limits: about 1.1 MiB in all, 150 KiB
// unless a change of settings waits behind unread data. Not locked: its owner serialises
// the calls.
#ifndef TTY_POSIX_DEVICES_REMOTE_H
#define TTY_POSIX_DEVICES_REMOTE_H

#include "posix/pure/dcb.h"
#include "posix/devmap.h"
#include "posix/devices/net.h"
#include "posix/pure/rfc2217.h"
#include "win32.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tty::posix::devices {

// How long opening a remote port may take in all (name, connection, negotiation), and how
// long a change of settings waits for the server's answers.
inline constexpr int64_t kRemoteOpenMs = 3000;
inline constexpr int64_t kRemoteAnswerMs = 1000;

// Received data is held up to kInCap; beyond it the socket is left unread, so that a server
// sending faster than the program reads is slowed down by TCP. While a change of settings
// waits for its answers (`beyondCap`), data is taken in up to kInHardCap so that the answers
// behind it can be seen. Data taken for sending is held up to kOutCap (twice that once
// escaped for the wire), commands waiting to go out up to kCtlCap.
inline constexpr size_t kInCap = 64 * 1024;
inline constexpr size_t kInHardCap = 1024 * 1024;
inline constexpr size_t kOutCap = 4096;
inline constexpr size_t kCtlCap = 4096;
// The most one service() call reads from the socket: data, commands and noise alike.
inline constexpr size_t kServiceBytes = 64 * 1024;

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
    // After poll: takes in what the socket holds, at most kServiceBytes, and sends what it
    // will take. False when the connection has closed (`err` ERROR_DEVICE_NOT_CONNECTED);
    // bytes already received stay readable. `beyondCap` is for a change of settings waiting
    // for its answers: data is taken in up to kInHardCap, and a close that comes after all
    // the answers to the last request_line is reported by the next call without it, so that
    // the answers count as they came, whenever the close is seen.
    bool service(DWORD &err, bool beyondCap = false);
    // What to poll fd() for before service() with the same `beyondCap`: input while there is
    // room for it, output while some waits.
    short poll_events(bool beyondCap = false) const;
    bool closed() const { return closed_; }

    // Sends the line and drives DTR/RTS as `drive` says. The flow control goes first, so that
    // its answer, when the server gives one, is in by the time the others are; DTR and RTS
    // are not answered by every server (ser2net on a pseudo-terminal) and are not waited for.
    // False when it could not be queued (the server has not taken the commands before).
    bool request_line(const pure::RemoteLine &line, pure::ModemDrive drive);
    // The answers to the last request_line so far (0: none yet); answers to earlier requests,
    // however late, are not among them. True once the rate, data size, parity and stop size
    // have all been answered.
    bool line_answered(pure::RemoteLine &got) const;
    // The line as the server last confirmed it, field by field, from every answer it has
    // given (0: never answered): what the device is set to, late answers included.
    const pure::RemoteLine &confirmed() const { return confirmed_; }

    // Received data: up to n bytes out of the buffer.
    size_t read(uint8_t *dst, size_t n);
    size_t in_queue() const { return in_.size() - inHead_; }
    // Data bytes received since the connection opened, purged ones included.
    uint64_t received() const { return received_; }

    // Takes up to n bytes for sending, as many as the output buffer has room for, and sends
    // what the socket takes. -1 with `err` set when the connection has closed.
    ssize_t write(const uint8_t *src, size_t n, DWORD &err);
    // Data bytes taken and not yet handed to the socket (each byte once, 0xFF included).
    size_t out_queue() const;

    // Empties this side's buffers and asks the server to empty its own; not waited for.
    void purge(bool receive, bool transmit);

    // The modem lines from the last NOTIFY-MODEMSTATE (MS_*_ON bits).
    DWORD modem_status() const { return pure::modem_status_from_notify(modem_); }
    // CE_* bits for the line errors NOTIFY-LINESTATE reported since the last call.
    DWORD take_line_errors();

    // Sends what is still buffered, for at most `ms`.
    void drain(int64_t ms);

private:
    // The settings a request_line asks for, each answered on its own.
    enum Field { kFlow, kBaud, kData, kParity, kStop, kFields };

    Remote() = default;
    bool pump(bool beyondCap, DWORD &err);
    void take_in(const uint8_t *buf, size_t n, size_t cap);
    bool flush(DWORD &err);
    void sent(size_t n);
    void handle(const pure::Command &c);
    void answered(Field f, uint32_t value);
    bool queue_command(const std::vector<uint8_t> &bytes);
    bool wait(int64_t deadline, DWORD &err);
    bool hang_up(DWORD &err);
    bool awaiting_answers() const;

    int fd_ = -1;
    bool closed_ = false;
    pure::Decoder decoder_;
    pure::Options options_;
    std::vector<pure::Command> commands_;
    std::vector<uint8_t> scratch_; // one command being built
    std::vector<uint8_t> in_;      // received data from inHead_ on
    size_t inHead_ = 0;
    uint64_t received_ = 0;
    std::vector<uint8_t> ctl_;  // commands not yet on the wire; they overtake queued data
    std::vector<uint8_t> data_; // data not yet on the wire, unescaped
    // Bytes committed to the socket, from wireHead_ on: ctlEnd_ bytes of commands, then
    // wireData_ data bytes escaped; of the latter, wireFfSent_ 0xFF bytes have been sent.
    std::vector<uint8_t> wire_;
    size_t wireHead_ = 0;
    size_t ctlEnd_ = 0;
    size_t wireData_ = 0;
    size_t wireFfSent_ = 0;
    // Answers are matched to requests by counting: the server answers each setting in the
    // order it was asked.
    uint64_t asked_[kFields] = {};
    uint64_t answers_[kFields] = {};
    uint64_t last_[kFields] = {}; // the number of the last request_line's own request
    pure::RemoteLine got_;
    pure::RemoteLine confirmed_;
    uint8_t modem_ = 0;
    uint8_t lineState_ = 0;
};

} // namespace tty::posix::devices

#endif
