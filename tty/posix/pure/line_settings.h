// Line settings as the kernel keeps them (struct termios2), in neutral types, and the only
// calls that move them between a descriptor and this record. termios2 is what lets a line
// run at any bit rate; its header cannot share a translation unit with <termios.h>, so
// speed.cpp is the one file that sees it and everything else works on LineSettings.
#ifndef TTY_POSIX_SPEED_H
#define TTY_POSIX_SPEED_H

#include <cstdint>

namespace tty::posix {

// The control-character count of the kernel's record. The indexes (VMIN, VSTART, ...) are
// the same as <termios.h>'s on Linux; speed.cpp checks the record's size against the kernel's.
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

// TCGETS2 / TCSETS2 (the latter applies at once). Return 0, or -1 with errno set.
int line_get(int fd, LineSettings &out);
int line_set(int fd, const LineSettings &in);

// The output bit rate the record stands for, whether it holds a fixed speed code or an
// arbitrary rate.
uint32_t line_speed(const LineSettings &s);

// Sets both directions to `rate` bit/s as an arbitrary rate.
void line_set_speed(LineSettings &s, uint32_t rate);

} // namespace tty::posix

#endif
