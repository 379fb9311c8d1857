// Port discovery from the device map, sysfs and /proc (see ports.h).
#include "ports.h"

#include "posix/devmap.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <exception>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <map>
#include <pwd.h>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace ports {

namespace {

// The first line of a small file, without its line end; empty when unreadable.
std::string firstLine(const fs::path &file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

bool isDigits(const std::string &s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
}

// Fills the sysfs facts of a present device; clears `present` for a UART slot that the
// kernel registered without finding a UART behind it (type 0), as most /dev/ttyS* are.
void readSysfs(const Roots &roots, const struct stat &st, Port &port)
{
    std::error_code ec;
    const fs::path sysRoot = fs::weakly_canonical(roots.sys, ec);
    const fs::path classDir = fs::canonical(fs::path(roots.sys) / "dev/char" /
                                                (std::to_string(major(st.st_rdev)) + ":" +
                                                 std::to_string(minor(st.st_rdev))),
                                            ec);
    if (ec)
        return; // not known to sysfs, e.g. a pseudo-terminal
    port.kernelName = classDir.filename();
    if (fs::exists(classDir / "type") && firstLine(classDir / "type") == "0") {
        port.present = false;
        return;
    }
    fs::path devDir = fs::canonical(classDir / "device", ec);
    if (ec)
        return;
    // Newer kernels put the serial core's own port and controller devices between the
    // tty and the hardware; the driver worth naming is the hardware's.
    while (fs::read_symlink(devDir / "subsystem", ec).filename() == "serial-base")
        devDir = devDir.parent_path();
    port.driver = fs::read_symlink(devDir / "driver", ec).filename();

    // A USB adapter: the port's device sits below a USB interface, below the USB device.
    for (fs::path p = devDir; p.has_relative_path() && p != sysRoot && p != p.parent_path();
         p = p.parent_path()) {
        if (port.usbInterface < 0 && fs::exists(p / "bInterfaceNumber"))
            port.usbInterface = int(std::strtol(firstLine(p / "bInterfaceNumber").c_str(), nullptr, 16));
        if (fs::exists(p / "idVendor") && fs::exists(p / "idProduct")) {
            port.usbId = firstLine(p / "idVendor") + ":" + firstLine(p / "idProduct");
            port.manufacturer = firstLine(p / "manufacturer");
            port.product = firstLine(p / "product");
            port.serial = firstLine(p / "serial");
            port.usbPath = p.filename();
            break;
        }
    }
}

struct Node {
    dev_t rdev;      // the device: any node or descriptor of it counts
    dev_t fsDev;     // the node itself, as /proc/locks names it
    ino_t ino;
    int servedBy;    // the vcom whose map entry this is: its own descriptor is no holder
};

std::string commandName(const Roots &roots, int pid)
{
    return firstLine(fs::path(roots.proc) / std::to_string(pid) / "comm");
}

// The vcom process serving the map entry COMn of `folder`, from the record of its lock
// file: "pid target".
int servingVcom(const std::string &folder, int number)
{
    if (folder.empty())
        return 0;
    const std::string record = firstLine(fs::path(folder) / (".COM" + std::to_string(number) + ".lock"));
    return std::atoi(record.c_str());
}

void addHolder(Port &port, int pid, const Roots &roots)
{
    if (pid == roots.ignoredPid)
        return;
    for (const Holder &h : port.holders)
        if (h.pid == pid)
            return;
    port.holders.push_back({pid, commandName(roots, pid)});
}

// Who holds the ports: a lock on the node in /proc/locks (any user's process), or an open
// descriptor of the device in /proc/PID/fd (the processes we may look into).
void findHolders(const Roots &roots, std::vector<Port> &ports, const std::map<size_t, Node> &nodes)
{
    if (nodes.empty())
        return;
    std::ifstream locks(fs::path(roots.proc) / "locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream in(line);
        std::string id, kind, mode, access, where;
        int pid = 0;
        in >> id >> kind;
        if (kind == "->")
            continue; // waiting for a lock, not holding one
        in >> mode >> access >> pid >> where;
        unsigned maj = 0, min = 0;
        unsigned long long ino = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%llu", &maj, &min, &ino) != 3)
            continue;
        for (const auto &[i, n] : nodes)
            if (major(n.fsDev) == maj && minor(n.fsDev) == min && n.ino == ino)
                addHolder(ports[i], pid, roots);
    }

    DIR *proc = ::opendir(roots.proc.c_str());
    if (!proc)
        return;
    while (const dirent *e = ::readdir(proc)) {
        if (!isDigits(e->d_name))
            continue;
        const int pid = std::atoi(e->d_name);
        const std::string fdDir = roots.proc + "/" + e->d_name + "/fd";
        DIR *fds = ::opendir(fdDir.c_str());
        if (!fds)
            continue; // another user's process
        while (const dirent *f = ::readdir(fds)) {
            if (!isDigits(f->d_name))
                continue;
            struct stat st;
            if (::stat((fdDir + "/" + f->d_name).c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
                continue;
            for (const auto &[i, n] : nodes)
                if (n.rdev == st.st_rdev && n.servedBy != pid)
                    addHolder(ports[i], pid, roots);
        }
        ::closedir(fds);
    }
    ::closedir(proc);
    for (Port &p : ports)
        std::sort(p.holders.begin(), p.holders.end(), [](const Holder &a, const Holder &b) { return a.pid < b.pid; });
}

// A udev match value: udev takes it as a glob, so characters that could break the rule or
// act as pattern characters match as '?'.
std::string udevValue(const std::string &s)
{
    std::string v;
    for (unsigned char c : s)
        v += (std::isalnum(c) || std::strchr(" ._-:/+", c)) && c != 0 ? char(c) : '?';
    return v;
}

std::string orDash(const std::string &s) { return s.empty() ? "-" : s; }

// The kernel's terminal devices, from its table of tty drivers (/proc/tty/drivers: name,
// node, major, minors, type). The system's own entries (/dev/tty, /dev/console, /dev/ptmx)
// and pseudo-terminal masters are no ports.
class Terminals {
public:
    explicit Terminals(const Roots &roots) : roots_(roots)
    {
        std::ifstream in(fs::path(roots.proc) / "tty/drivers");
        for (std::string line; std::getline(in, line);) {
            std::istringstream words(line);
            std::vector<std::string> w;
            for (std::string word; words >> word;)
                w.push_back(word);
            if (w.size() < 5)
                continue;
            known_ = true;
            const std::string &type = w.back();
            if (type.rfind("system", 0) == 0 || type == "pty:master")
                continue;
            Range r;
            r.major = unsigned(std::strtoul(w[w.size() - 3].c_str(), nullptr, 10));
            const std::string &minors = w[w.size() - 2];
            r.first = unsigned(std::strtoul(minors.c_str(), nullptr, 10));
            const size_t dash = minors.find('-');
            r.last = dash == std::string::npos ? r.first : unsigned(std::strtoul(minors.c_str() + dash + 1, nullptr, 10));
            ranges_.push_back(r);
        }
    }

    bool operator()(dev_t rdev) const
    {
        if (known_) {
            for (const Range &r : ranges_)
                if (major(rdev) == r.major && minor(rdev) >= r.first && minor(rdev) <= r.last)
                    return true;
            return false;
        }
        // Without the table: pseudo-terminal slaves, and what sysfs files as a tty.
        const unsigned m = major(rdev);
        if ((m >= 136 && m <= 143) || m == 3)
            return true;
        std::error_code ec;
        const fs::path entry = fs::canonical(fs::path(roots_.sys) / "dev/char" /
                                                 (std::to_string(m) + ":" + std::to_string(minor(rdev))),
                                             ec);
        return !ec && entry.parent_path().filename() == "tty";
    }

private:
    struct Range {
        unsigned major, first, last;
    };
    const Roots &roots_;
    bool known_ = false;
    std::vector<Range> ranges_;
};

// Why an entry whose text has "://" is no server address.
std::string badAddress(const std::string &link)
{
    const size_t sep = link.find("://");
    std::string scheme = link.substr(0, sep);
    for (char &c : scheme)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != "rfc2217" && scheme != "tcp")
        return "broken: unknown scheme " + scheme + ":// (rfc2217:// or tcp://)";
    const std::string rest = link.substr(sep + 3);
    const size_t close = rest.rfind(']');
    const size_t colon = rest.find(':', close == std::string::npos ? 0 : close);
    if (colon == std::string::npos || colon + 1 == rest.size())
        return "broken: no port number (" + scheme + "://HOST:PORT)";
    return "broken: not " + scheme + "://HOST:PORT with PORT 1 to 65535";
}

// Why this user may not open the device; empty when the user may. Asked of the system
// (access with the effective ids and every group), never by opening the device.
std::string deniedReason(const std::string &path, const struct stat &st)
{
    if (::faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) == 0 || (errno != EACCES && errno != EPERM))
        return "";
    std::vector<char> buf(16384);
    if ((st.st_mode & 060) == 060) {
        // A group may use it: joining that group is the cure (dialout, as a rule).
        struct group g, *found = nullptr;
        const bool named = ::getgrgid_r(st.st_gid, &g, buf.data(), buf.size(), &found) == 0 && found;
        return "no permission: join group " + (named ? std::string(g.gr_name) : std::to_string(st.st_gid));
    }
    struct passwd pw, *found = nullptr;
    const bool named = ::getpwuid_r(st.st_uid, &pw, buf.data(), buf.size(), &found) == 0 && found;
    return "no permission: the device is " + (named ? std::string(pw.pw_name) : std::to_string(st.st_uid)) + "'s";
}

// The map folder an entry lives in, where its vcom keeps the lock record; "" for /dev.
std::string mapFolderOf(const Roots &roots, const std::string &path)
{
    for (const std::string &dir : {roots.comDir, roots.userDir})
        if (!dir.empty() && path.rfind(dir + "/", 0) == 0)
            return dir;
    return "";
}

} // namespace

Roots systemRoots()
{
    Roots r;
    if (const char *dir = std::getenv("TTY_COM_DIR"))
        r.comDir = dir;
    if (r.comDir.empty())
        r.userDir = tty::posix::user_map_dir();
    return r;
}

std::string devicePath(const Roots &roots, int n)
{
    const std::string com = "COM" + std::to_string(n);
    if (!roots.comDir.empty())
        return roots.comDir + "/" + com;
    // An entry that is there counts even when it leads nowhere, as in the library.
    struct stat st;
    if (!roots.userDir.empty() && ::lstat((roots.userDir + "/" + com).c_str(), &st) == 0)
        return roots.userDir + "/" + com;
    const std::string byUdev = roots.dev + "/" + com;
    if (::lstat(byUdev.c_str(), &st) == 0)
        return byUdev;
    if (n >= 1 && n <= 32)
        return roots.dev + "/ttyS" + std::to_string(n - 1);
    if (n >= 33 && n <= 48)
        return roots.dev + "/ttyUSB" + std::to_string(n - 33);
    if (n >= 49 && n <= 64)
        return roots.dev + "/ttyACM" + std::to_string(n - 49);
    return "";
}

std::vector<Port> scan(const Roots &roots, int first, int last)
{
    std::vector<Port> ports;
    std::map<size_t, Node> nodes;
    const Terminals terminal(roots);
    for (int n = first; n <= last; ++n) {
        Port port;
        port.number = n;
        port.path = devicePath(roots, n);
        tty::posix::RemoteTarget target;
        const std::string link = port.path.empty() ? "" : tty::posix::read_map_link(port.path);
        const tty::posix::MapTarget kind = tty::posix::parse_map_target(link, target);
        if (kind == tty::posix::MapTarget::Remote || kind == tty::posix::MapTarget::Tcp) {
            port.present = true;
            port.server = link;
            port.driver = kind == tty::posix::MapTarget::Tcp ? "tcp" : "rfc2217";
            ports.push_back(std::move(port));
            continue;
        }
        if (kind == tty::posix::MapTarget::Bad)
            port.broken = badAddress(link);
        struct stat st;
        std::error_code ec;
        if (!port.broken.empty() || port.path.empty() || ::lstat(port.path.c_str(), &st) != 0) {
            // Nothing there, or an address that names nothing.
        } else if (::stat(port.path.c_str(), &st) != 0) {
            port.broken = "broken: links to " + link + ", which does not exist";
        } else if (!S_ISCHR(st.st_mode) || !terminal(st.st_rdev)) {
            // Only a terminal is a port: any process holding /dev/null is no holder of one.
            port.broken = "broken: " + fs::canonical(port.path, ec).string() + " is not a serial device";
        } else {
            port.present = true;
            port.device = fs::canonical(port.path, ec).string();
            try {
                readSysfs(roots, st, port);
            } catch (const std::exception &) {
                // An unreadable corner of sysfs costs only the details.
            }
            if (port.present) {
                port.denied = deniedReason(port.path, st);
                nodes[ports.size()] = {st.st_rdev, st.st_dev, st.st_ino, servingVcom(mapFolderOf(roots, port.path), n)};
            }
        }
        ports.push_back(std::move(port));
    }
    findHolders(roots, ports, nodes);
    return ports;
}

std::string state(const Port &port)
{
    if (port.remote())
        return "remote";
    if (!port.broken.empty())
        return port.broken;
    if (!port.denied.empty())
        return port.denied;
    if (!port.busy())
        return "free";
    std::string s = "busy:";
    for (size_t i = 0; i < port.holders.size(); ++i)
        s += (i ? ", " : " ") + orDash(port.holders[i].name) + " (process " +
             std::to_string(port.holders[i].pid) + ")";
    return s;
}

std::string describe(const Port &port)
{
    if (!port.broken.empty())
        return port.path + "\n" + port.broken;
    if (!port.present)
        return port.path.empty() ? "no device" : "no device at " + port.path;
    if (port.remote())
        return port.path + "\na port on the serial server " + port.server + "\nwho may use it is the server's to say";
    std::string s = port.path;
    if (!port.device.empty() && port.device != port.path)
        s += " (" + port.device + ")";
    if (port.usb()) {
        s += "\n" + (port.product.empty() ? "USB adapter " + port.usbId : port.product);
        if (!port.serial.empty())
            s += ", serial number " + port.serial;
    }
    return s + "\n" + state(port);
}

std::string listing(const std::vector<Port> &ports)
{
    std::vector<std::vector<std::string>> rows{{"PORT", "DEVICE", "DRIVER", "USB ID", "PRODUCT", "SERIAL", "STATE"}};
    for (const Port &p : ports) {
        if (!p.present && p.broken.empty())
            continue;
        const std::string link = p.broken.empty() ? "" : tty::posix::read_map_link(p.path);
        const std::string device = p.remote() ? p.server : !link.empty() ? link : p.device.empty() ? p.path : p.device;
        rows.push_back({"COM" + std::to_string(p.number), device, orDash(p.driver), orDash(p.usbId),
                        orDash(p.product), orDash(p.serial), state(p)});
    }
    std::vector<size_t> width(rows[0].size(), 0);
    for (const auto &r : rows)
        for (size_t c = 0; c < r.size(); ++c)
            width[c] = std::max(width[c], r[c].size());
    std::string out;
    for (const auto &r : rows) {
        std::string line;
        for (size_t c = 0; c < r.size(); ++c)
            line += c + 1 < r.size() ? r[c] + std::string(width[c] - r[c].size() + 2, ' ') : r[c];
        out += line + "\n";
    }
    return out;
}

std::string udevRules(const std::vector<Port> &ports)
{
    // One rule per adapter port: a number given by an existing /dev/COMn link wins.
    std::map<std::string, const Port *> chosen;
    for (const Port &p : ports) {
        if (!p.present || !p.usb())
            continue;
        const std::string key = p.kernelName.empty() ? p.device : p.kernelName;
        const bool byLink = fs::path(p.path).filename() == "COM" + std::to_string(p.number);
        auto it = chosen.find(key);
        if (it == chosen.end() || byLink)
            chosen[key] = &p;
    }
    std::vector<const Port *> list;
    for (const auto &[key, p] : chosen)
        list.push_back(p);
    std::sort(list.begin(), list.end(), [](const Port *a, const Port *b) { return a->number < b->number; });

    if (list.empty())
        return "";
    std::string out = "# Save as /etc/udev/rules.d/99-com.rules, then run: udevadm control --reload && udevadm trigger\n";
    for (const Port *p : list) {
        // Several ports of one adapter share its serial number: the interface tells them apart.
        bool shared = false;
        for (const Port *q : list)
            shared = shared || (q != p && q->usbId == p->usbId && q->serial == p->serial &&
                                (!p->serial.empty() || q->usbPath == p->usbPath));
        const std::string vendor = p->usbId.substr(0, p->usbId.find(':'));
        const std::string product = p->usbId.substr(p->usbId.find(':') + 1);
        const std::string com = "COM" + std::to_string(p->number);
        out += "# " + com + ": " + (p->product.empty() ? "USB adapter" : p->product) + ", now " +
               (p->device.empty() ? p->path : p->device);
        std::string rule = "SUBSYSTEM==\"tty\", ";
        if (p->serial.empty()) {
            out += "; it has no serial number, so the rule goes by the USB socket " + p->usbPath;
            rule += "KERNELS==\"" + udevValue(p->usbPath) + "\", ";
        }
        out += "\n";
        rule += "ATTRS{idVendor}==\"" + udevValue(vendor) + "\", ATTRS{idProduct}==\"" + udevValue(product) + "\", ";
        if (!p->serial.empty())
            rule += "ATTRS{serial}==\"" + udevValue(p->serial) + "\", ";
        if (shared && p->usbInterface >= 0) {
            const char *hex = "0123456789abcdef";
            const std::string num{hex[(p->usbInterface >> 4) & 15], hex[p->usbInterface & 15]};
            rule += "ENV{ID_USB_INTERFACE_NUM}==\"" + num + "\", ";
        }
        out += rule + "SYMLINK+=\"" + com + "\"\n";
    }
    return out;
}

} // namespace ports
