// What a comm handle needs of the device behind it, whatever its kind: a local serial device
// (local_device.cpp), a port on a serial server (remote_device.cpp) or a raw TCP port
// (tcp_device.cpp). The handle code (win32/) keeps the handles, the overlapped records and
// the waits, and asks the device only through this interface; it never asks which kind it has.
//
// A device is used by one thread at a time: every call is made with its handle's lock held,
// and none of them waits. The handle code waits for a device in poll() on poll_for(), and
// after every such wait, and before every call that reports what the device holds, it calls
// service(): the one place where a kind that services its descriptor itself (the remote
// kind's socket) takes input in and sends what waits. "Gone" means the device hung up or its
// connection ended; a call that finds that fails with ERROR_DEVICE_NOT_CONNECTED.
//
// Adding a kind: write one file with a class derived from Device (or from DescriptorDevice,
// descriptor.h, when it reads a descriptor of its own) and the factory that opens it, and add
// the factory as one row to the table of kinds.cpp, under the scheme of the map entries that
// name it. A kind with no line of its own takes settings as given: set_state keeps the DCB
// and get_state returns it, as a pseudo-terminal does.
#ifndef TTY_POSIX_DEVICES_DEVICE_H
#define TTY_POSIX_DEVICES_DEVICE_H

#include "posix/devmap.h"
#include "win32.h"

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tty::posix::devices {

// A device file, by the identity that no second handle of this process may hold.
struct DeviceId {
    dev_t dev = 0;
    ino_t ino = 0;
};

// What an opener may ask of the handle table while it opens.
class Claims {
public:
    // Takes `id` for the handle being opened; false when another handle has it. The claim
    // ends with that handle, or with the open when it fails.
    virtual bool claim(const DeviceId &id) = 0;

protected:
    ~Claims() = default;
};

class Device {
public:
    virtual ~Device() = default;

    // Bytes on this side of the device's descriptor, as its last call left them: received
    // and not yet read (a read still returns them after the device has gone), and taken by
    // write() but not yet sent (a write waits for them to leave, within its time-out). Kinds
    // that keep no bytes of their own leave both at 0.
    struct Held {
        size_t unread = 0;
        size_t unsent = 0;
    };
    const Held &held() const { return held_; }

    // Reads up to n bytes without waiting. The count (0: none yet), or -1 with `err` set when
    // nothing was read. Bytes read before a failure are returned; the failure shows at the
    // next call.
    virtual ssize_t read(uint8_t *dst, size_t n, DWORD &err) = 0;
    // Hands up to n bytes over without waiting, and sends on what earlier calls left on this
    // side (n may be 0 for that alone): the count taken, or -1 with `err` set.
    virtual ssize_t write(const uint8_t *src, size_t n, DWORD &err) = 0;
    // Bytes that have entered the input side since the device was opened, read and purged
    // ones included (WaitCommEvent's history); false when the device has gone.
    virtual bool arrived(uint64_t &total) = 0;

    // What a call that cannot go on waits for.
    enum class Want {
        Input,  // a read: bytes to read
        Output, // a write: room to write (a write never takes input, so it never polls for it)
        Nothing // none of the caller's own: the device's end, and its own traffic (a remote
                // settings change waits so for its answers)
    };
    virtual struct pollfd poll_for(Want want) = 0;
    // Acts on what a poll of poll_for() found (`revents`; 0 when the caller did not poll):
    // takes in and sends what the descriptor holds, for a kind that does so itself, and
    // tells whether the device is still there: false once it has gone and nothing is left
    // on this side to read.
    virtual bool service(short revents) = 0;

    // ClearCommError: the CE_* errors since the last call and the queue counts.
    virtual bool status(DWORD &errors, COMSTAT &stat, DWORD &err) = 0;
    // GetCommModemStatus: the MS_*_ON bits.
    virtual bool modem(DWORD &bits, DWORD &err) = 0;
    // PurgeComm's clearing part: empties the input and/or output queue.
    virtual bool purge(bool input, bool output, DWORD &err) = 0;
    // GetCommState (DCBlength is the caller's).
    virtual bool get_state(DCB &dcb, DWORD &err) = 0;
    // SetCommState (`dcb` already checked): true when the device took the settings; false
    // with `err` set when it refused them or failed. A device that must wait for another
    // side's answers sets ERROR_IO_PENDING and the time by which they are due (`until`,
    // monotonic ms): the caller waits for Want::Nothing, services the device and asks
    // again with the same DCB and `again` set, until the outcome is known. A call without
    // `again` starts a new change.
    virtual bool set_state(const DCB &dcb, bool again, int64_t &until, DWORD &err) = 0;

    // Gives the device back as it was found (settings, exclusive use) and sends what is
    // still to be sent, for a bounded time. Called once, without the handle's lock, by the
    // process that opened the device, when nothing else touches it any more.
    virtual void release() = 0;

protected:
    Held held_;
};

// Keeps the DCB that SetCommState has just applied, for GetCommState to report; the members
// Windows reserves are read back as 0.
inline void keep_asked(DCB &asked, const DCB &dcb)
{
    asked = dcb;
    asked.fDummy2 = 0;
    asked.wReserved = 0;
    asked.wReserved1 = 0;
}

// What every handle's DCB starts from: DTR and RTS on, and Windows' usual flow-control limits.
DCB base_dcb();
// What a port on the network starts with, 9600 bit/s 8N1 on the base: the server's own
// settings are not known until it answers a change (or never, on a raw port), and
// IOP_Open-style callers set them all at once anyway.
DCB network_dcb();

// Opens the device that the map entry at `path` names, by its kind (kinds.cpp). Null with
// `err` set when it cannot be opened.
std::unique_ptr<Device> open_device(const std::string &path, Claims &claims, DWORD &err);

} // namespace tty::posix::devices

#endif
