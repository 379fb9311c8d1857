// vcom's command line: what to run, parsed without side effects.
#ifndef VCOM_ARGS_H
#define VCOM_ARGS_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vcom {

// COM numbers that the library's port tables can reach.
inline constexpr int kMaxPort = 257;

enum class Mode { Echo, Pair, Cat, List };

struct Command {
    Mode mode = Mode::Echo;
    std::vector<int> ports;  // one for echo and cat, two for pair, none for list
    bool udev = false;       // list --udev
};

struct Parsed {
    enum Kind { Run, Help, Error } kind = Error;
    Command command;
    std::string error;  // for Error: one line saying what is wrong
};

// "COM7", "com7" or "7" -> 7. Nothing else, and nothing above kMaxPort.
std::optional<int> parse_port(std::string_view text);

// args excludes the program name.
Parsed parse_args(const std::vector<std::string> &args);

std::string_view usage_line();
std::string_view help_text();

} // namespace vcom

#endif
