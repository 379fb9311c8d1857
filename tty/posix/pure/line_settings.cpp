// The bit rate of line settings, from the kernel's own speed codes. Deliberately free of
// <termios.h>, whose struct termios clashes with the kernel's headers.
#include "posix/pure/line_settings.h"

#include <asm/termbits.h>

namespace tty::posix::pure {

static_assert(sizeof(LineSettings) == sizeof(struct termios2), "LineSettings must mirror termios2");
static_assert(NCCS == kLineCcCount, "LineSettings must mirror termios2");

uint32_t line_speed(const LineSettings &s)
{
    // The kernel fills c_ospeed on TCGETS2, but a record made by hand (or by an old
    // TCSETS caller) may carry only the code, so decode the code when it is a fixed one.
    struct Code {
        uint32_t code;
        uint32_t rate;
    };
    static constexpr Code codes[] = {
        {B0, 0},           {B50, 50},           {B75, 75},           {B110, 110},
        {B134, 134},       {B150, 150},         {B200, 200},         {B300, 300},
        {B600, 600},       {B1200, 1200},       {B1800, 1800},       {B2400, 2400},
        {B4800, 4800},     {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
        {B57600, 57600},   {B115200, 115200},   {B230400, 230400},   {B460800, 460800},
        {B500000, 500000}, {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000},
        {B1152000, 1152000}, {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000},
        {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
    };
    const uint32_t code = s.cflag & CBAUD;
    if (code == BOTHER)
        return s.ospeed;
    for (const Code &c : codes)
        if (c.code == code)
            return c.rate;
    return s.ospeed;
}

void line_set_speed(LineSettings &s, uint32_t rate)
{
    // CIBAUD cleared: the input runs at the output rate.
    s.cflag = (s.cflag & ~(uint32_t)(CBAUD | CIBAUD)) | BOTHER;
    s.ispeed = rate;
    s.ospeed = rate;
}

} // namespace tty::posix::pure
