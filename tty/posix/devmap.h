// Which device file a Windows-style COM port name stands for.
#ifndef TTY_POSIX_DEVMAP_H
#define TTY_POSIX_DEVMAP_H

#include <cstdint>
#include <string>

namespace tty::posix {

// Accepts "COMn", "//./COMn" and "\\.\COMn" (the prefix letters in any case, as Windows
// does), n a plain decimal number without sign, spaces or leading zeros, at most
// 2147483647. Stores n and returns true; anything else returns false.
bool parse_com_name(const char *name, uint32_t &n);

// The file for port n. `comDir` is the value of TTY_COM_DIR (null or empty: not set);
// `exists` answers whether a path exists. Returns "" when no file stands for the port.
//   TTY_COM_DIR set: $TTY_COM_DIR/COMn, and nothing else.
//   otherwise:       /dev/COMn when it exists, else
//                    COM1-COM32  -> /dev/ttyS0-31
//                    COM33-COM48 -> /dev/ttyUSB0-15
//                    COM49-COM64 -> /dev/ttyACM0-15
std::string com_device_path(uint32_t n, const char *comDir, bool (*exists)(const char *path));

// The same with the process's environment and file system.
std::string com_device_path(uint32_t n);

} // namespace tty::posix

#endif
