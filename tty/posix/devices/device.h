// What a comm handle needs of the device behind it, whatever kind it is: a local serial
// device (local_device.cpp) or a port on a serial server (remote_device.cpp). The handle code
// (comm.cpp, transfer.cpp) keeps the handles, the overlapped records and the waits, and asks
// the device only through this interface; it never asks which kind it has.
//
// A device is used by one thread at a time: every call is made with its handle's lock held,
// and none of them waits, except set_state, which waits through the Pause it is given (the
// lock is let go meanwhile). "Gone" means the device hung up or its connection ended; a
// call that finds that returns failure with ERROR_DEVICE_NOT_CONNECTED.
//
// Adding a kind (a raw TCP port, say): write one file with a class derived from Device and a
// factory function that opens it (declare the factory below, next to the others), give the
// map entry that names it a value of its own in parse_map_target (devmap.h), and add that
// case to open_device() in comm.cpp. Bytes a kind has taken in but not yet handed to a
// reader count in held(): a hang-up is reported only once they have been read. A kind with
// no line of its own takes settings as given: set_state keeps the DCB and get_state returns
// it, as a pseudo-terminal does. poll_for() names the descriptor and the events each kind of
// wait acts on; a kind whose end shows as input (a socket) returns false from gone_in() and
// reports the end from read(). Nothing else in the handle code changes.
#ifndef TTY_POSIX_DEVICE_H
#define TTY_POSIX_DEVICE_H

#include "posix/devmap.h"
#include "win32.h"

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tty::posix {

// The layer's monotonic clock in ms (comm.cpp); every deadline here is on it.
int64_t now_ms();

// Lets a device wait inside a call the way transfers wait: without the handle's lock, and
// woken by CloseHandle.
class Pause {
public:
    // Waits until `p` is ready, `deadline` has passed or the handle is being closed. False
    // when the handle was closed meanwhile: the device must not be touched any more.
    virtual bool wait(struct pollfd p, int64_t deadline) = 0;

protected:
    ~Pause() = default;
};

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

    // Reads up to n bytes, what this side holds first, without waiting. The count (0: none
    // yet), or -1 with `err` set when nothing was read. Bytes read before a failure are
    // returned; the failure shows at the next call.
    virtual ssize_t read(uint8_t *dst, size_t n, DWORD &err) = 0;
    // Hands up to n bytes over without waiting, and sends on what earlier calls left on this
    // side (n may be 0 for that alone): the count taken, or -1 with `err` set.
    virtual ssize_t write(const uint8_t *src, size_t n, DWORD &err) = 0;
    // Bytes taken by write() that are still on this side; a write waits for them to leave,
    // within its time-out, as nothing sends them once no call is made.
    virtual size_t unsent() const { return 0; }

    // Bytes that have entered the input side since the device was opened, read and purged
    // ones included (WaitCommEvent's history); false when the device has gone.
    virtual bool arrived(uint64_t &total) = 0;
    // Takes the input that waits into this side, so that a poll for input waits for new
    // bytes. The count taken, or -1 with `err` set; `full` tells that bytes are left which a
    // poll would still see.
    virtual ssize_t take_in(DWORD &err, bool &full) = 0;
    // Bytes held on this side that a read still returns after the device has gone.
    virtual size_t held() const = 0;
    // Whether the device has gone and nothing is left to read, without waiting.
    virtual bool hung_up() = 0;

    // What an operation that cannot go on waits for; a device polls only for what that
    // operation acts on (a write never takes input, so it never polls for it).
    enum class Want {
        Input,  // a read: bytes to read
        Output, // a write: room to write
        Event,  // a received-character wait: new bytes
        Nothing // only the device's end
    };
    virtual struct pollfd poll_for(Want want) = 0;
    // Whether that poll's answer says the device has gone.
    virtual bool gone_in(short revents) const { return revents & (POLLHUP | POLLERR | POLLNVAL); }

    // ClearCommError: the CE_* errors since the last call and the queue counts.
    virtual bool status(DWORD &errors, COMSTAT &stat, DWORD &err) = 0;
    // GetCommModemStatus: the MS_*_ON bits.
    virtual bool modem(DWORD &bits, DWORD &err) = 0;
    // PurgeComm's clearing part: empties the input and/or output queue.
    virtual bool purge(bool input, bool output, DWORD &err) = 0;
    // GetCommState (DCBlength is the caller's) and SetCommState (`dcb` already checked).
    virtual bool get_state(DCB &dcb, DWORD &err) = 0;
    virtual bool set_state(const DCB &dcb, Pause &pause, DWORD &err) = 0;

    // Gives the device back as it was found (settings, exclusive use) and sends what is
    // still to be sent, for a bounded time. Called once, without the handle's lock, by the
    // process that opened the device, when nothing else touches it any more.
    virtual void release() = 0;
    // In a child made by fork(), with the handle's lock held: a device keeping state of its
    // own for other threads resets it here (those threads do not exist in the child).
    virtual void forked() {}
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

// The kinds. Null with `err` set when the device cannot be opened.
std::unique_ptr<Device> open_local_device(const std::string &path, Claims &claims, DWORD &err);
std::unique_ptr<Device> open_remote_device(const RemoteTarget &target, DWORD &err);
std::unique_ptr<Device> open_tcp_device(const RemoteTarget &target, DWORD &err);

} // namespace tty::posix

#endif
