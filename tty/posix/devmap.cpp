// The device map: COM port names to device files.
#include "devmap.h"

#include <sys/stat.h>

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

std::string com_device_path(uint32_t n, const char *comDir, bool (*exists)(const char *path))
{
    const std::string com = "COM" + std::to_string(n);
    if (comDir != nullptr && *comDir != '\0')
        return std::string(comDir) + "/" + com;
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

static bool path_exists(const char *path)
{
    struct stat st {};
    return stat(path, &st) == 0;
}

std::string com_device_path(uint32_t n)
{
    return com_device_path(n, std::getenv("TTY_COM_DIR"), path_exists);
}

} // namespace tty::posix
