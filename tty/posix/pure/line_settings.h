// Line settings as the kernel keeps them (struct termios2), in neutral types, and their bit
// rate. termios2 is what lets a line run at any bit rate; its header cannot share a
// translation unit with <termios.h>, so only line_settings.cpp and devices/termios2.cpp see
// it and everything else works on LineSettings.
#ifndef TTY_POSIX_PURE_LINE_SETTINGS_H
#define TTY_POSIX_PURE_LINE_SETTINGS_H

#include <cstdint>

namespace tty::posix::pure {

// The control-character count of the kernel's record. The indexes (VMIN, VSTART, ...) are
// the same as <termios.h>'s on Linux; line_settings.cpp checks the record's size against the
// kernel's.
inline constexpr int kLineCcCount = 19;

struct LineSettings {
    uint32_t iflag = 0;
    uint32_t oflag = 0;
    uint32_t cflag = 0;
    uint32_t lflag = 0;
    uint8_t line = 0;
    uint8_t cc[kLineCcCount] = {};
    uint32_t ispeed = 0;
    uint32_t ospeed = 0;
};

// The output bit rate the record stands for, whether it holds a fixed speed code or an
// arbitrary rate.
uint32_t line_speed(const LineSettings &s);

// Sets both directions to `rate` bit/s as an arbitrary rate.
void line_set_speed(LineSettings &s, uint32_t rate);

} // namespace tty::posix::pure

#endif
