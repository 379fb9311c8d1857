// vcom's command line: what to run, parsed without side effects.
#include "args.h"

#include "posix/devmap.h"

#include <cctype>

namespace vcom {

std::optional<int> parse_port(std::string_view text)
{
    if (text.size() >= 3 && std::toupper(static_cast<unsigned char>(text[0])) == 'C' &&
        std::toupper(static_cast<unsigned char>(text[1])) == 'O' &&
        std::toupper(static_cast<unsigned char>(text[2])) == 'M')
        text.remove_prefix(3);
    if (text.empty() || text.size() > 3)
        return std::nullopt;
    int n = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        n = n * 10 + (c - '0');
    }
    if (n > kMaxPort)
        return std::nullopt;
    return n;
}

static std::string not_a_port(const std::string &arg)
{
    return "'" + arg + "' is not a COM number (COM0 to COM" + std::to_string(kMaxPort) + ")";
}

// remote COMn rfc2217://HOST:PORT | tcp://HOST:PORT
static Parsed parse_remote(const std::vector<std::string> &args)
{
    Parsed p;
    if (args.size() != 3) {
        p.error = "remote takes one COM number and rfc2217://HOST:PORT or tcp://HOST:PORT";
        return p;
    }
    std::optional<int> n = parse_port(args[1]);
    if (!n) {
        p.error = not_a_port(args[1]);
        return p;
    }
    tty::posix::RemoteTarget target;
    const tty::posix::MapTarget kind = tty::posix::parse_map_target(args[2], target);
    if (kind != tty::posix::MapTarget::Remote && kind != tty::posix::MapTarget::Tcp) {
        p.error = "'" + args[2] + "' is not a serial server: rfc2217://HOST:PORT or tcp://HOST:PORT, PORT 1 to 65535";
        return p;
    }
    p.command.mode = Mode::Remote;
    p.command.ports = {*n};
    p.command.target = args[2];
    p.kind = Parsed::Run;
    return p;
}

Parsed parse_args(const std::vector<std::string> &args)
{
    Parsed p;
    for (const std::string &a : args)
        if (a == "-h" || a == "--help") {
            p.kind = Parsed::Help;
            return p;
        }
    if (args.empty()) {
        p.error = "missing command";
        return p;
    }
    const std::string &verb = args[0];
    if (verb == "list") {
        p.command.mode = Mode::List;
        if (args.size() > 2 || (args.size() == 2 && args[1] != "--udev")) {
            p.error = "list takes nothing but --udev";
            return p;
        }
        p.command.udev = args.size() == 2;
        p.kind = Parsed::Run;
        return p;
    }
    size_t wanted;
    if (verb == "echo") {
        p.command.mode = Mode::Echo;
        wanted = 1;
    } else if (verb == "pair") {
        p.command.mode = Mode::Pair;
        wanted = 2;
    } else if (verb == "cat") {
        p.command.mode = Mode::Cat;
        wanted = 1;
    } else if (verb == "remote") {
        return parse_remote(args);
    } else {
        p.error = "unknown command '" + verb + "'";
        return p;
    }
    if (args.size() - 1 != wanted) {
        p.error = verb + " takes " + (wanted == 1 ? "one COM number" : "two COM numbers");
        return p;
    }
    for (size_t i = 1; i < args.size(); ++i) {
        std::optional<int> n = parse_port(args[i]);
        if (!n) {
            p.error = not_a_port(args[i]);
            return p;
        }
        p.command.ports.push_back(*n);
    }
    if (wanted == 2 && p.command.ports[0] == p.command.ports[1]) {
        p.error = "pair needs two different COM numbers";
        return p;
    }
    p.kind = Parsed::Run;
    return p;
}

std::string_view usage_line()
{
    return "usage: vcom echo COMn | pair COMa COMb | cat COMn | list [--udev] | remote COMn rfc2217|tcp://HOST:PORT\n"
           "       (vcom --help explains)";
}

std::string_view help_text()
{
    return R"(vcom: virtual serial ports. Makes pseudo-terminals appear as COM numbers in a
device-map folder, so that the tty library and Demo can open them like real ports.

  vcom echo COMn        a device that sends back every byte it receives
  vcom pair COMa COMb   two ports joined like a null-modem cable: what one
                        sends, the other receives
  vcom cat COMn         a port whose other end is this program: bytes from
                        standard input are sent to the port, bytes the port
                        sends are written to standard output, unchanged
  vcom list             the COM numbers whose device is there: device file,
                        driver, USB vendor:product, product name, serial
                        number, and free or busy (with the program holding it)
  vcom list --udev      a udev rule for each USB adapter that gives it a
                        stable /dev/COMn by its serial number
  vcom remote COMn rfc2217://HOST:PORT
                        COMn is a port on a serial server (ser2net, a
                        terminal server) reached over the network with
                        Telnet and RFC 2217; vcom only makes the entry
  vcom remote COMn tcp://HOST:PORT
                        COMn is a raw TCP port (a serial server's raw
                        mode, a serial-to-network module): bytes pass
                        unchanged, the line settings are the server's

A COM number is written COMn, comn or n, from 0 to 257. vcom runs until it is
ended by Ctrl+C, SIGTERM or SIGHUP, and then removes its map entries.

vcom cat: the end of standard input (Ctrl+D at a terminal) ends only the
sending; the port stays until vcom is ended, so replies keep arriving. A
closed standard output ends vcom. At a terminal, input goes out a line at a
time, with a line feed at its end.

Device map. COMn is the symbolic link $TTY_COM_DIR/COMn to a pseudo-terminal
(/dev/pts/N), or for remote a link whose text is the server's address. When
TTY_COM_DIR is not set, vcom uses $XDG_RUNTIME_DIR/tty-com, or
/tmp/tty-com-UID when XDG_RUNTIME_DIR is not set either, and creates it (mode
0700). The library, and so Demo, looks in that folder by itself when
TTY_COM_DIR is not set (as long as it is the user's own and nobody else may
write it): vcom echo COM2 in one shell and Demo in another just work, nothing
to export. It looks there first, before /dev, and an entry there that leads
nowhere makes the open fail rather than another device be taken. TTY_COM_DIR
set means that folder and nothing else, for vcom and the library.

vcom refuses a COM number that is already mapped, except an entry left behind
by a vcom that was killed without a chance to clean up (SIGKILL, a crash):
each running vcom holds a lock on the file .COMn.lock next to its entry, and
an entry whose lock nobody holds any more is replaced. Links that vcom did
not make are never replaced.

vcom list looks where the library looks: only in TTY_COM_DIR when it is set,
otherwise in vcom's folder, at /dev/COMn and the ttyS, ttyUSB and ttyACM
devices of the table in README. It reads sysfs and /proc and opens no device:
busy means a process has the device open or locked (other users' processes
only when they lock it); a device this user may not open says so ("no
permission: join group dialout"); an entry that cannot be used is listed with
the reason (a link to nothing, not a serial device, an unknown scheme, no port
number).
Empty UART slots (a /dev/ttyS file with no UART behind it) are not listed.

Messages go to standard error. Exit status: 0 when ended by a signal or by a
closed standard output, 1 when it cannot start (COM number taken, folder not
usable), 2 for bad arguments.
)";
}

} // namespace vcom
