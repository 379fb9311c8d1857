// Which device file a Windows-style COM port name stands for.
#ifndef TTY_POSIX_DEVMAP_H
#define TTY_POSIX_DEVMAP_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace tty::posix {

// Accepts "COMn", "//./COMn" and "\\.\COMn" (the prefix letters in any case, as Windows
// does), n a plain decimal number without sign, spaces or leading zeros, at most
// 2147483647. Stores n and returns true; anything else returns false.
bool parse_com_name(const char *name, uint32_t &n);

// The file for port n. `comDir` is the value of TTY_COM_DIR (null or empty: not set);
// `userDir` the per-user map folder (user_map_dir, "" when there is none); `exists` answers
// whether a directory entry is there (a link is, whether or not its target exists).
// Returns "" when no file stands for the port.
//   TTY_COM_DIR set: $TTY_COM_DIR/COMn, and nothing else.
//   otherwise:       $userDir/COMn when it is there, else
//                    /dev/COMn when it is there, else
//                    COM1-COM32  -> /dev/ttyS0-31
//                    COM33-COM48 -> /dev/ttyUSB0-15
//                    COM49-COM64 -> /dev/ttyACM0-15
// An entry that is there is the answer even when it leads nowhere: opening it then fails,
// rather than another device being taken silently.
std::string com_device_path(uint32_t n, const char *comDir, const std::string &userDir,
                            bool (*exists)(const char *path));
inline std::string com_device_path(uint32_t n, const char *comDir, bool (*exists)(const char *path))
{
    return com_device_path(n, comDir, std::string(), exists);
}

// The same with the process's environment and file system.
std::string com_device_path(uint32_t n);

// The folder vcom makes its entries in when TTY_COM_DIR is not set: $XDG_RUNTIME_DIR/tty-com
// (null or empty: not set), else /tmp/tty-com-<uid>.
std::string default_map_dir(const char *xdgRuntimeDir, uid_t uid);

// That folder of this process's user, when it is a directory of the user's own that no one
// else may write (one in a shared place like /tmp could have been made by anybody); else "".
std::string user_map_dir();

// A map entry may name a port reached over the network instead of a device: its link text
// is then "SCHEME://HOST:PORT" (the scheme in any case), HOST a name, an IPv4 address or an
// IPv6 address in brackets, PORT a decimal number from 1 to 65535, nothing after it. Scheme
// rfc2217: a serial server speaking Telnet with RFC 2217; tcp: plain bytes over TCP (a
// serial server's raw mode, a serial-to-network module), the line settings the server's.
struct RemoteTarget {
    std::string scheme; // as written
    std::string host;   // without brackets
    uint16_t port = 0;
};
// The schemes are those of the device kinds' table (devices/kinds.cpp).
enum class MapTarget {
    Device, // no "://": a device path
    Remote, // a port on the network, in `out`, of a kind other than raw TCP
    Tcp,    // a raw TCP port, in `out` (the tools list it apart)
    Bad,    // "://" with another scheme, no port, an empty host, ...
};
MapTarget parse_map_target(std::string_view text, RemoteTarget &out);

namespace devices {
// Whether a device kind is reached by map entries of `scheme` (any case).
bool network_scheme(std::string_view scheme);
} // namespace devices

// The text of the symbolic link `path`; "" when it is none.
std::string read_map_link(const std::string &path);

} // namespace tty::posix

#endif
