// A port on a serial server behind a comm handle: the connection (remote.h) seen as a
// Device. The connection holds the bytes received and not yet read, so that its end is a
// hang-up only once they have been read; the settings read back are the server's answers.
// The socket is serviced in service() alone, which the handle code calls after every wait
// and before every call that reports what the port holds.
#include "posix/devices/device.h"
#include "posix/devices/remote.h"

#include <new>

namespace tty::posix::devices {
namespace {

using pure::modem_drive;

class RemoteDevice final : public Device {
public:
    explicit RemoteDevice(std::unique_ptr<Remote> remote) : remote_(std::move(remote)) {}

    ssize_t read(uint8_t *dst, size_t n, DWORD &err) override;
    ssize_t write(const uint8_t *src, size_t n, DWORD &err) override;
    bool arrived(uint64_t &total) override
    {
        total = remote_->received(); // purged bytes are among them
        return !gone();
    }
    struct pollfd poll_for(Want want) override;
    bool service(short revents) override;
    bool status(DWORD &errors, COMSTAT &stat, DWORD &err) override;
    bool modem(DWORD &bits, DWORD &err) override;
    bool purge(bool input, bool output, DWORD &err) override;
    // What the server last confirmed, late answers included: a change that timed out and
    // was taken after all reads back as taken.
    bool get_state(DCB &dcb, DWORD &) override
    {
        dcb = pure::dcb_from_line(remote_->confirmed(), asked_, askedDcb_);
        return true;
    }
    bool set_state(const DCB &dcb, bool again, int64_t &until, DWORD &err) override;
    // Bytes taken for sending go to the server, which paces them on its line; a server that
    // does not take them is not waited for long.
    void release() override { remote_->drain(500); }

private:
    // The connection has closed and its bytes have been read.
    bool gone() const { return remote_->closed() && remote_->in_queue() == 0; }
    // Keeps held() as the connection's buffers now are.
    void note() { held_ = {remote_->in_queue(), remote_->out_queue()}; }

    std::unique_ptr<Remote> remote_;
    DCB askedDcb_ = network_dcb(); // the DCB taken last
    pure::RemoteLine asked_;          // the line taken last
    bool answering_ = false;       // a change waits for the server's answers ...
    int64_t answersDue_ = 0;       // ... until then
};

ssize_t RemoteDevice::read(uint8_t *dst, size_t n, DWORD &err)
{
    if (n == 0)
        return 0;
    const size_t got = remote_->read(dst, n);
    note();
    if (got == 0 && remote_->closed()) {
        err = ERROR_DEVICE_NOT_CONNECTED;
        return -1;
    }
    return ssize_t(got);
}

ssize_t RemoteDevice::write(const uint8_t *src, size_t n, DWORD &err)
{
    const ssize_t r = remote_->write(src, n, err);
    note();
    return r;
}

struct pollfd RemoteDevice::poll_for(Want want)
{
    // A write waits for room only: it takes no input, so input would wake it for nothing.
    // Everything else takes input in (while the buffer has room) and sends what waits.
    const short events = want == Want::Output ? short(POLLOUT) : remote_->poll_events(answering_);
    return {remote_->fd(), events, 0};
}

bool RemoteDevice::service(short)
{
    // Whatever the poll found: a call that did not poll finds out here.
    DWORD err = 0;
    remote_->service(err, answering_);
    note();
    return !gone();
}

bool RemoteDevice::status(DWORD &errors, COMSTAT &stat, DWORD &err)
{
    if (gone()) {
        err = ERROR_DEVICE_NOT_CONNECTED;
        return false;
    }
    // The counts of this side's own buffers; errors as the server reported them.
    errors = remote_->take_line_errors();
    stat = COMSTAT {};
    stat.cbInQue = DWORD(remote_->in_queue());
    stat.cbOutQue = DWORD(remote_->out_queue());
    return true;
}

bool RemoteDevice::modem(DWORD &bits, DWORD &err)
{
    if (gone()) {
        err = ERROR_DEVICE_NOT_CONNECTED;
        return false;
    }
    bits = remote_->modem_status();
    return true;
}

bool RemoteDevice::purge(bool input, bool output, DWORD &)
{
    // Purged bytes still count as received (Remote::received) for WaitCommEvent.
    remote_->purge(input, output);
    note();
    return true;
}

// The server's answers are the read-back; the wait for them is bounded.
bool RemoteDevice::set_state(const DCB &dcb, bool again, int64_t &until, DWORD &err)
{
    const pure::RemoteLine wanted = pure::line_from_dcb(dcb);
    if (!again || !answering_) {
        // The server owns RTS in handshake mode, as a driver does; its queue is never taken
        // as full.
        remote_->request_line(wanted, modem_drive(askedDcb_, dcb, false));
        note();
        answering_ = true;
        answersDue_ = now_ms() + kRemoteAnswerMs;
    }
    // Answers that came before a close count: the close may be seen only after them.
    pure::RemoteLine got;
    if (!remote_->line_answered(got)) {
        if (remote_->closed() || now_ms() >= answersDue_) {
            answering_ = false;
            err = remote_->closed() ? ERROR_DEVICE_NOT_CONNECTED : kErrorTimeout;
            return false;
        }
        until = answersDue_;
        err = ERROR_IO_PENDING;
        return false;
    }
    answering_ = false;
    if (!pure::line_took(wanted, got)) {
        // Put back what the server had before, as a local device keeps its settings when it
        // refuses new ones. Not waited for: the answers only fill the next read-back.
        if (asked_.baud != 0)
            remote_->request_line(asked_, modem_drive(dcb, askedDcb_, false));
        note();
        err = ERROR_INVALID_PARAMETER;
        return false;
    }
    keep_asked(askedDcb_, dcb);
    asked_ = wanted;
    return true;
}

} // namespace

std::unique_ptr<Device> open_remote_device(const RemoteTarget &target, DWORD &err)
{
    err = ERROR_NOT_ENOUGH_MEMORY;
    try {
        std::unique_ptr<Remote> remote = Remote::connect(target, now_ms() + kRemoteOpenMs, err);
        if (!remote)
            return nullptr;
        return std::make_unique<RemoteDevice>(std::move(remote));
    } catch (const std::bad_alloc &) {
        err = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
}

} // namespace tty::posix::devices
