// The device kinds, by the scheme of the map entries that name them: the one table a new
// kind is added to (see device.h).
#include "posix/devices/device.h"

#include <strings.h>

#include <string_view>

namespace tty::posix::devices {

// The factories, one in each kind's file: null with `err` set when the port cannot be opened.
std::unique_ptr<Device> open_local_device(const std::string &path, Claims &claims, DWORD &err);
std::unique_ptr<Device> open_remote_device(const RemoteTarget &target, DWORD &err);
std::unique_ptr<Device> open_tcp_device(const RemoteTarget &target, DWORD &err);

namespace {

struct NetworkKind {
    std::string_view scheme; // matched in any case
    std::unique_ptr<Device> (*open)(const RemoteTarget &target, DWORD &err);
};

// A map entry "SCHEME://HOST:PORT" names a port of the kind in its scheme's row; any other
// entry names a local device.
constexpr NetworkKind kKinds[] = {
    {"rfc2217", open_remote_device}, // a serial server speaking Telnet with RFC 2217
    {"tcp", open_tcp_device},        // plain bytes over TCP
};

const NetworkKind *find(std::string_view scheme)
{
    for (const NetworkKind &k : kKinds)
        if (scheme.size() == k.scheme.size() && strncasecmp(scheme.data(), k.scheme.data(), scheme.size()) == 0)
            return &k;
    return nullptr;
}

} // namespace

bool network_scheme(std::string_view scheme)
{
    return find(scheme) != nullptr;
}

std::unique_ptr<Device> open_device(const std::string &path, Claims &claims, DWORD &err)
{
    RemoteTarget target;
    switch (parse_map_target(read_map_link(path), target)) {
    case MapTarget::Device: return open_local_device(path, claims, err);
    case MapTarget::Remote:
    case MapTarget::Tcp:
        if (const NetworkKind *k = find(target.scheme))
            return k->open(target, err);
        break;
    case MapTarget::Bad: break;
    }
    err = ERROR_INVALID_NAME; // an entry of no kind this library knows
    return nullptr;
}

DCB base_dcb()
{
    DCB base {};
    base.fBinary = 1;
    base.fDtrControl = DTR_CONTROL_ENABLE;
    base.fRtsControl = RTS_CONTROL_ENABLE;
    base.XonLim = 2048;
    base.XoffLim = 512;
    return base;
}

DCB network_dcb()
{
    DCB d = base_dcb();
    d.BaudRate = CBR_9600;
    d.ByteSize = 8;
    d.Parity = NOPARITY;
    d.StopBits = ONESTOPBIT;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    return d;
}

} // namespace tty::posix::devices
