// TCP connections to a host named in a map entry, for the device kinds that reach a port
// over the network: the name looked up and the connection made within one deadline, in the
// calling thread, so that nothing of a failed attempt outlives the call.
#ifndef TTY_POSIX_DEVICES_NET_H
#define TTY_POSIX_DEVICES_NET_H

#include "posix/monotonic.h"
#include "win32.h"

#include <cstdint>
#include <string>

namespace tty::posix::devices {

// Win32's ERROR_TIMEOUT: the other side did not answer in time.
inline constexpr DWORD kErrorTimeout = 1460;

// A connected, non-blocking TCP socket to `host` (a name, an IPv4 or an IPv6 address) at
// `port`, by `deadline`, with TCP_NODELAY and keep-alive probes set; -1 with `err` set:
// WSAHOST_NOT_FOUND when the name does not resolve, the last address's reason when none
// takes the connection (ERROR_CONNECTION_REFUSED, ...), kErrorTimeout when the time ran out. A name is looked up by the system's resolver with
// this thread's resolver state set to wait at most the time left (one second at least per
// name server and name tried), and given back as it was.
int tcp_connect(const std::string &host, uint16_t port, int64_t deadline, DWORD &err);

} // namespace tty::posix::devices

#endif
