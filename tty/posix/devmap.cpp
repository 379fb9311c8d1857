// The device map: COM port names to device files.
#include "devmap.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace tty::posix {

bool parse_com_name(const char *name, uint32_t &n)
{
    if (name == nullptr)
        return false;
    if (std::strncmp(name, "//./", 4) == 0 || std::strncmp(name, "\\\\.\\", 4) == 0)
        name += 4;
    if (strncasecmp(name, "COM", 3) != 0)
        return false;
    const char *digits = name + 3;
    if (*digits == '\0' || (digits[0] == '0' && digits[1] != '\0'))
        return false;
    uint64_t value = 0;
    for (const char *p = digits; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        value = value * 10 + uint64_t(*p - '0');
        if (value > 0x7FFFFFFFu)
            return false;
    }
    n = uint32_t(value);
    return true;
}

std::string com_device_path(uint32_t n, const char *comDir, const std::string &userDir,
                            bool (*exists)(const char *path))
{
    const std::string com = "COM" + std::to_string(n);
    if (comDir != nullptr && *comDir != '\0')
        return std::string(comDir) + "/" + com;
    if (!userDir.empty()) {
        const std::string entry = userDir + "/" + com;
        if (exists(entry.c_str()))
            return entry;
    }
    const std::string udev = "/dev/" + com;
    if (exists(udev.c_str()))
        return udev;
    if (n >= 1 && n <= 32)
        return "/dev/ttyS" + std::to_string(n - 1);
    if (n >= 33 && n <= 48)
        return "/dev/ttyUSB" + std::to_string(n - 33);
    if (n >= 49 && n <= 64)
        return "/dev/ttyACM" + std::to_string(n - 49);
    return "";
}

static bool entry_exists(const char *path)
{
    struct stat st {};
    return lstat(path, &st) == 0;
}

std::string com_device_path(uint32_t n)
{
    const char *comDir = std::getenv("TTY_COM_DIR");
    return com_device_path(n, comDir, comDir != nullptr && *comDir != '\0' ? std::string() : user_map_dir(),
                           entry_exists);
}

std::string default_map_dir(const char *xdgRuntimeDir, uid_t uid)
{
    if (xdgRuntimeDir != nullptr && *xdgRuntimeDir != '\0')
        return std::string(xdgRuntimeDir) + "/tty-com";
    return "/tmp/tty-com-" + std::to_string(uid);
}

std::string user_map_dir()
{
    const uid_t uid = getuid();
    std::string dir = default_map_dir(std::getenv("XDG_RUNTIME_DIR"), uid);
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != uid || (st.st_mode & 022) != 0)
        return "";
    return dir;
}

MapTarget parse_map_target(std::string_view text, RemoteTarget &out)
{
    const size_t sep = text.find("://");
    if (sep == std::string_view::npos)
        return MapTarget::Device;
    const std::string_view scheme = text.substr(0, sep);
    if (!devices::network_scheme(scheme))
        return MapTarget::Bad;
    const MapTarget kind = sep == 3 && strncasecmp(text.data(), "tcp", 3) == 0 ? MapTarget::Tcp : MapTarget::Remote;
    std::string_view rest = text.substr(sep + 3);
    std::string_view host;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string_view::npos)
            return MapTarget::Bad;
        host = rest.substr(1, close - 1);
        rest.remove_prefix(close + 1);
        if (host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos)
            return MapTarget::Bad;
    } else {
        const size_t colon = rest.find(':');
        if (colon == std::string_view::npos)
            return MapTarget::Bad;
        host = rest.substr(0, colon);
        rest.remove_prefix(colon);
        if (host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_") !=
            std::string_view::npos)
            return MapTarget::Bad;
    }
    if (host.empty() || host.size() > 253 || rest.size() < 2 || rest[0] != ':')
        return MapTarget::Bad;
    const std::string_view digits = rest.substr(1);
    if (digits.size() > 5 || digits[0] == '0')
        return MapTarget::Bad;
    uint32_t port = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return MapTarget::Bad;
        port = port * 10 + uint32_t(c - '0');
    }
    if (port > 65535)
        return MapTarget::Bad;
    out.scheme = std::string(scheme);
    out.host = std::string(host);
    out.port = uint16_t(port);
    return kind;
}

std::string read_map_link(const std::string &path)
{
    char buf[512];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    if (n <= 0 || size_t(n) == sizeof buf)
        return "";
    return std::string(buf, size_t(n));
}

} // namespace tty::posix
