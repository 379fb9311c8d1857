// A local serial device behind a comm handle: its termios and ioctl calls, the driver's
// error counters, how it makes bit rates, and the settings it is given back at close.
#include "posix/devices/rate_probe.h"
#include "posix/devices/termios2.h"
#include "posix/pure/dcb.h"
#include "posix/pure/rates.h"
#include "posix/pure/status_bits.h"
#include "posix/pure/timeouts.h"
#include "posix/devices/descriptor.h"
#include "posix/monotonic.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

namespace tty::posix::devices {
namespace {

using namespace pure;

DWORD open_error(int err)
{
    switch (err) {
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case EBUSY:
    case EWOULDBLOCK:
        return ERROR_SHARING_VIOLATION;
    case ENOMEM:
    case EMFILE:
    case ENFILE:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_FILE_NOT_FOUND;
    }
}

// Unix98 pseudo-terminal slaves (majors 136-143) and the old BSD ones (major 3).
bool is_pty(dev_t rdev)
{
    const unsigned m = major(rdev);
    return (m >= 136 && m <= 143) || m == 3;
}

// Errors that mean the device has gone; anything else is a plain failure.
bool is_gone_error(int err)
{
    return err == EIO || err == ENXIO || err == ENODEV;
}

// TIOCGICOUNT; on failure stores errno in `err` and returns false.
bool read_counts(int fd, ErrorCounts &out, int &err)
{
    struct serial_icounter_struct ic {};
    if (ioctl(fd, TIOCGICOUNT, &ic) != 0) {
        err = errno;
        return false;
    }
    out.frame = uint32_t(ic.frame);
    out.overrun = uint32_t(ic.overrun);
    out.parity = uint32_t(ic.parity);
    out.brk = uint32_t(ic.brk);
    out.bufOverrun = uint32_t(ic.buf_overrun);
    return true;
}

class LocalDevice final : public DescriptorDevice {
public:
    explicit LocalDevice(int fd) : DescriptorDevice(fd, Type::Terminal) {}

    bool open(const DeviceId &id, DWORD &err);

    bool status(DWORD &errors, COMSTAT &stat, DWORD &err) override;
    bool modem(DWORD &bits, DWORD &err) override;
    bool purge(bool input, bool output, DWORD &err) override;
    bool get_state(DCB &dcb, DWORD &err) override;
    bool set_state(const DCB &dcb, bool again, int64_t &until, DWORD &err) override;
    void release() override;

private:
    void drain_output();

    bool pty_ = false;        // carries plain bytes: no framing to verify
    bool noCounters_ = false; // the driver has no TIOCGICOUNT
    Clock clock_;             // how the device makes bit rates
    LineSettings saved_;      // restored at close
    LineSettings applied_;    // what the device reported after taking asked_
    DCB asked_ {};            // the DCB taken last (see dcb_current)
    ErrorCounts counts_;      // at the last status()
};

bool LocalDevice::open(const DeviceId &id, DWORD &err)
{
    auto refuse = [&](DWORD e) {
        err = e;
        return false;
    };
    struct stat st {};
    // The file claimed, not another one put in its place meanwhile.
    if (fstat(fd(), &st) != 0 || !isatty(fd()) || st.st_dev != id.dev || st.st_ino != id.ino)
        return refuse(ERROR_FILE_NOT_FOUND);
    pty_ = is_pty(st.st_rdev);
    if (!pty_)
        clock_ = device_clock(fd(), st.st_rdev);
    // flock holds against root and against other descriptors of this process; TIOCEXCL
    // (below) against processes that do not use flock.
    if (flock(fd(), LOCK_EX | LOCK_NB) != 0)
        return refuse(ERROR_SHARING_VIOLATION);
    // Root gets past another program's TIOCEXCL: refuse the device ourselves. Not on a
    // pseudo-terminal, which keeps the flag after its holder has gone (the kernel clears it
    // only at the last close, and the master keeps the slave alive).
    int excl = 0;
    if (!pty_ && ioctl(fd(), TIOCGEXCL, &excl) == 0 && excl)
        return refuse(ERROR_SHARING_VIOLATION);
    if (line_get(fd(), saved_) != 0)
        return refuse(open_error(errno));
    LineSettings raw = saved_;
    line_make_raw(raw);
    if (line_set(fd(), raw) != 0 || line_get(fd(), applied_) != 0) {
        const DWORD e = open_error(errno);
        line_set(fd(), saved_);
        return refuse(e);
    }
    ioctl(fd(), TIOCEXCL);
    asked_ = dcb_from_line(applied_, base_dcb()); // the device's settings, before any change
    int countErr = 0;
    if (!read_counts(fd(), counts_, countErr))
        noCounters_ = true;
    return true;
}

bool LocalDevice::status(DWORD &errors, COMSTAT &stat, DWORD &err)
{
    err = ERROR_DEVICE_NOT_CONNECTED;
    stat = COMSTAT {};
    errors = 0;
    // Checked first: some drivers keep answering queue ioctls for a while after a hang-up.
    if (ended())
        return false;
    int inq = 0;
    int outq = 0;
    if (ioctl(fd(), TIOCINQ, &inq) != 0 || ioctl(fd(), TIOCOUTQ, &outq) != 0)
        return false;
    ErrorCounts now = counts_;
    if (!noCounters_) {
        int e = 0;
        if (!read_counts(fd(), now, e)) {
            if (e == EIO)
                return false;
            noCounters_ = true; // a pseudo-terminal, say: no errors to report
            now = counts_;
        }
    }
    errors = comm_errors_from_counts(counts_, now);
    counts_ = now;
    stat.cbInQue = DWORD(inq > 0 ? inq : 0);
    stat.cbOutQue = DWORD(outq > 0 ? outq : 0);
    return true;
}

bool LocalDevice::modem(DWORD &bits, DWORD &err)
{
    int tiocm = 0;
    if (ioctl(fd(), TIOCMGET, &tiocm) != 0) {
        // ENOTTY / EINVAL: no modem lines (a pseudo-terminal).
        err = is_gone_error(errno) ? ERROR_DEVICE_NOT_CONNECTED : ERROR_NOT_SUPPORTED;
        return false;
    }
    bits = modem_status_from_tiocm(tiocm);
    return true;
}

bool LocalDevice::purge(bool input, bool output, DWORD &err)
{
    err = ERROR_DEVICE_NOT_CONNECTED;
    if (output && tcflush(fd(), TCOFLUSH) != 0)
        return false;
    if (input) {
        int inq = 0;
        if (ioctl(fd(), TIOCINQ, &inq) != 0 || tcflush(fd(), TCIFLUSH) != 0)
            return false;
        dropped(uint64_t(inq > 0 ? inq : 0));
    }
    return true;
}

bool LocalDevice::get_state(DCB &dcb, DWORD &err)
{
    LineSettings now;
    if (line_get(fd(), now) != 0) {
        err = ERROR_DEVICE_NOT_CONNECTED;
        return false;
    }
    dcb = dcb_current(now, asked_, applied_);
    return true;
}

bool LocalDevice::set_state(const DCB &dcb, bool, int64_t &, DWORD &err)
{
    err = ERROR_DEVICE_NOT_CONNECTED;
    // Many drivers echo a rate they can only approximate, so the read-back below cannot see
    // it; the device's clock can.
    if (!clock_makes(clock_, dcb.BaudRate)) {
        err = ERROR_INVALID_PARAMETER;
        return false;
    }
    LineSettings before;
    if (line_get(fd(), before) != 0)
        return false;
    const DCB prev = dcb_current(before, asked_, applied_);
    const LineSettings wanted = line_from_dcb(before, dcb);
    LineSettings got;
    if (line_set(fd(), wanted) != 0) {
        if (errno == EIO)
            return false;
        line_set(fd(), before);
        err = ERROR_INVALID_PARAMETER;
        return false;
    }
    if (line_get(fd(), got) != 0)
        return false;
    // A pseudo-terminal reports 8 bits without parity whatever it was given: there only the
    // speed tells whether the settings were taken.
    if (!line_took(wanted, got, !pty_)) {
        line_set(fd(), before);
        err = ERROR_INVALID_PARAMETER;
        return false;
    }
    int inq = 0;
    const bool inputFull = ioctl(fd(), TIOCINQ, &inq) == 0 && inq >= kInputFullMark;
    const ModemDrive drive = modem_drive(prev, dcb, inputFull);
    for (const auto &[bit, how] :
         {std::pair{TIOCM_DTR, drive.dtr}, std::pair{TIOCM_RTS, drive.rts}}) {
        if (how == Drive::Leave)
            continue;
        if (ioctl(fd(), how == Drive::Raise ? TIOCMBIS : TIOCMBIC, &bit) != 0 && errno == EIO)
            return false;
        // ENOTTY / EINVAL: a device without modem lines; nothing to drive.
    }
    keep_asked(asked_, dcb);
    applied_ = got;
    return true;
}

// Bytes already handed to the device must go out at the settings they were written with,
// not at the ones restored after them. What a stopped line still holds when the wait ends is
// dropped, which also spares close() the kernel's own drain of up to 30 s.
void LocalDevice::drain_output()
{
    int queued = 0;
    if (ioctl(fd(), TIOCOUTQ, &queued) != 0 || queued <= 0)
        return; // nothing queued, or the device has gone (pseudo-terminals never queue)
    const int64_t deadline = now_ms() + close_drain_ms(uint32_t(queued), line_speed(applied_));
    while (ioctl(fd(), TIOCOUTQ, &queued) == 0 && queued > 0 && now_ms() < deadline)
        usleep(10000);
    if (queued > 0)
        tcflush(fd(), TCOFLUSH);
}

void LocalDevice::release()
{
    drain_output();
    line_set(fd(), saved_); // fails harmlessly on a device that has gone
    ioctl(fd(), TIOCNXCL);
    flock(fd(), LOCK_UN);
}

} // namespace

std::unique_ptr<Device> open_local_device(const std::string &path, Claims &claims, DWORD &err)
{
    // Refuse anything but a character device before opening it: opening some devices has
    // effects of their own.
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        err = open_error(errno);
        return nullptr;
    }
    if (!S_ISCHR(st.st_mode)) {
        err = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    // Claimed before the open, so that two threads cannot both find the device free; this
    // holds within the process where flock does not work.
    const DeviceId id {st.st_dev, st.st_ino};
    if (!claims.claim(id)) {
        err = ERROR_SHARING_VIOLATION;
        return nullptr;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        err = open_error(errno);
        return nullptr;
    }
    std::unique_ptr<LocalDevice> d;
    try {
        d = std::make_unique<LocalDevice>(fd);
    } catch (const std::bad_alloc &) {
        close(fd);
        err = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    if (!d->open(id, err))
        return nullptr;
    return d;
}

} // namespace tty::posix::devices
