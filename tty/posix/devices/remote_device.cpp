// A port on a serial server behind a comm handle: the connection (remote.h) seen as a
// Device. The connection holds the bytes received and not yet read, so that its end is a
// hang-up only once they have been read; the settings read back are the server's answers.
#include "posix/devices/device.h"
#include "posix/devices/remote.h"

#include <new>

namespace tty::posix {
namespace {

class RemoteDevice final : public Device {
public:
    explicit RemoteDevice(std::unique_ptr<Remote> remote) : remote_(std::move(remote)) {}

    ssize_t read(uint8_t *dst, size_t n, DWORD &err) override;
    ssize_t write(const uint8_t *src, size_t n, DWORD &err) override
    {
        return remote_->write(src, n, err);
    }
    size_t unsent() const override { return remote_->out_queue(); }
    bool arrived(uint64_t &total) override;
    ssize_t take_in(DWORD &err, bool &full) override;
    size_t held() const override { return remote_->in_queue(); }
    bool hung_up() override { return !serve(); }
    struct pollfd poll_for(Want want) override;
    // The end of the connection shows as input, to be read after the bytes before it.
    bool gone_in(short) const override { return false; }
    bool status(DWORD &errors, COMSTAT &stat, DWORD &err) override;
    bool modem(DWORD &bits, DWORD &err) override;
    bool purge(bool input, bool output, DWORD &err) override;
    // What the server last confirmed, late answers included: a change that timed out and
    // was taken after all reads back as taken.
    bool get_state(DCB &dcb, DWORD &) override
    {
        serve();
        dcb = rfc2217::dcb_from_line(remote_->confirmed(), asked_, askedDcb_);
        return true;
    }
    bool set_state(const DCB &dcb, Pause &pause, DWORD &err) override;
    // Bytes taken for sending go to the server, which paces them on its line; a server that
    // does not take them is not waited for long.
    void release() override { remote_->drain(500); }

private:
    // Takes in what the connection holds and sends what it will take, without waiting;
    // false once the connection has closed and its bytes have been read.
    bool serve()
    {
        DWORD err = 0;
        remote_->service(err);
        return !remote_->closed() || remote_->in_queue() > 0;
    }

    std::unique_ptr<Remote> remote_;
    DCB askedDcb_ = network_dcb(); // the DCB taken last
    rfc2217::Line asked_;          // the line taken last
};

ssize_t RemoteDevice::read(uint8_t *dst, size_t n, DWORD &err)
{
    if (n == 0)
        return 0;
    const bool live = serve();
    const size_t got = remote_->read(dst, n);
    if (got == 0 && !live) {
        err = ERROR_DEVICE_NOT_CONNECTED;
        return -1;
    }
    return ssize_t(got);
}

bool RemoteDevice::arrived(uint64_t &total)
{
    const bool live = serve();
    total = remote_->received(); // purged bytes are among them
    return live;
}

ssize_t RemoteDevice::take_in(DWORD &err, bool &full)
{
    // The connection keeps its own buffer: taking in what the socket holds is enough.
    full = false;
    const uint64_t before = remote_->received();
    if (!serve()) {
        err = ERROR_DEVICE_NOT_CONNECTED;
        return -1;
    }
    return ssize_t(remote_->received() - before);
}

struct pollfd RemoteDevice::poll_for(Want want)
{
    // A write waits for room only: it takes no input, so input would wake it for nothing.
    // Everything else takes input in (while the buffer has room) and sends what waits.
    const short events = want == Want::Output ? short(POLLOUT) : remote_->poll_events();
    return {remote_->fd(), events, 0};
}

bool RemoteDevice::status(DWORD &errors, COMSTAT &stat, DWORD &err)
{
    if (!serve()) {
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
    if (!serve()) {
        err = ERROR_DEVICE_NOT_CONNECTED;
        return false;
    }
    bits = remote_->modem_status();
    return true;
}

bool RemoteDevice::purge(bool input, bool output, DWORD &)
{
    // Purged bytes still count as received (Remote::received) for WaitCommEvent.
    serve();
    remote_->purge(input, output);
    return true;
}

// The server's answers are the read-back; the wait for them is bounded.
bool RemoteDevice::set_state(const DCB &dcb, Pause &pause, DWORD &err)
{
    const rfc2217::Line wanted = rfc2217::line_from_dcb(dcb);
    // The server owns RTS in handshake mode, as a driver does; its queue is never taken as full.
    remote_->request_line(wanted, modem_drive(askedDcb_, dcb, false));
    const int64_t deadline = now_ms() + kRemoteAnswerMs;
    rfc2217::Line got;
    for (;;) {
        DWORD e = 0;
        if (!remote_->service(e, true) && remote_->closed()) {
            err = ERROR_DEVICE_NOT_CONNECTED;
            return false;
        }
        if (remote_->line_answered(got))
            break;
        if (now_ms() >= deadline) {
            err = kErrorTimeout;
            return false;
        }
        if (!pause.wait({remote_->fd(), remote_->poll_events(true), 0}, deadline)) {
            err = ERROR_INVALID_HANDLE; // CloseHandle came meanwhile
            return false;
        }
    }
    if (!rfc2217::line_took(wanted, got)) {
        // Put back what the server had before, as a local device keeps its settings when it
        // refuses new ones. Not waited for: the answers only fill the next read-back.
        if (asked_.baud != 0)
            remote_->request_line(asked_, modem_drive(dcb, askedDcb_, false));
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

} // namespace tty::posix
