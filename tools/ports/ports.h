// Which COM numbers stand for a device that is there, what that device is and whether a
// program holds it, whether this user may open it, and why an entry that is there cannot be
// used: read from the device map, sysfs and /proc. No device is ever opened (opening a
// serial port raises DTR, which resets many boards), so "busy" means a process has the
// device open or locked; processes of other users are seen only through their locks.
#ifndef PORTS_PORTS_H
#define PORTS_PORTS_H

#include <string>
#include <vector>

namespace ports {

// Where the system's pieces live; tests point them at a small fake tree.
struct Roots {
    std::string sys = "/sys";
    std::string dev = "/dev";
    std::string proc = "/proc";
    std::string comDir; // TTY_COM_DIR: when not empty, COMn is $comDir/COMn and nothing else
    std::string userDir; // otherwise vcom's default folder, looked in first ("": none)
    int ignoredPid = 0; // a process that is no holder: a lister with descriptors it inherited
};

// The real roots, with TTY_COM_DIR from the environment and, when it is not set, the
// library's per-user map folder.
Roots systemRoots();

// The file the library opens for COMn, with the same map: $comDir/COMn when comDir is set;
// otherwise $userDir/COMn when that entry is there, else <dev>/COMn when it is there, else
// COM1-32 ttyS0-31, COM33-48 ttyUSB0-15, COM49-64 ttyACM0-15 under <dev>. Empty when no
// file stands for the number.
std::string devicePath(const Roots &roots, int number);

struct Holder {
    int pid = 0;
    std::string name; // the process's command name
};

struct Port {
    int number = 0;
    std::string path;       // the file the library opens
    bool present = false;   // a character device is there, and not an empty UART slot
    std::string device;     // path with its links resolved, e.g. /dev/ttyUSB0
    std::string kernelName; // e.g. ttyUSB0; empty when sysfs does not know the device
    std::string driver;     // e.g. ftdi_sio, cdc_acm, serial8250
    // USB adapters only: ids as "vvvv:pppp", the strings the adapter reports, its place on
    // the bus ("1-1.2") and the number of its interface (several ports on one adapter).
    std::string usbId, manufacturer, product, serial, usbPath;
    int usbInterface = -1;
    // A map entry that names a port on a serial server: its "rfc2217://HOST:PORT" or
    // "tcp://HOST:PORT" (driver "rfc2217" or "tcp"). Such a port is present as far as the
    // map goes; the server decides who may use it.
    std::string server;
    // An entry that is there but leads to nothing the library can open, and why: a link to
    // a missing file, something that is not a serial device, a server address with an unknown
    // scheme or no port number. Such a port is not present.
    std::string broken;
    // Why this user may not open a present device ("no permission: join group dialout");
    // empty when the user may.
    std::string denied;
    std::vector<Holder> holders;

    bool usb() const { return !usbId.empty(); }
    bool remote() const { return !server.empty(); }
    bool busy() const { return !holders.empty(); }
};

// Ports first..last, in order, present or not. Holders are filled for present ports only.
std::vector<Port> scan(const Roots &roots, int first, int last);

// "free", or "busy: python3 (process 4242)" and further holders after commas; for a port on a
// serial server, "remote" (whether it is free only the server knows); otherwise what keeps it
// from being used: the entry's fault, or this user's missing permission.
std::string state(const Port &port);

// For a tool tip: the device file, for USB adapters the product and serial number, and
// the state; several lines.
std::string describe(const Port &port);

// `vcom list`: a header and one aligned line per present port and per broken entry.
std::string listing(const std::vector<Port> &ports);

// `vcom list --udev`: for each USB adapter among the ports, a comment and a udev rule that
// gives it the symbolic link /dev/COMn by its serial number (by its USB socket when it has
// none). An adapter reached by several numbers gets one rule, preferring an existing
// /dev/COMn link's number.
std::string udevRules(const std::vector<Port> &ports);

} // namespace ports

#endif
