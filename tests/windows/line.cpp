// The line settings of a pseudo-terminal's slave as its master reads them with TCGETS2 (which
// gives any bit rate, not only those with a B-constant). Apart from <termios.h>, with which
// <asm/termbits.h> clashes.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdio>
#include <string>

// "9600 8 1 n 0 0 0": bit/s, data bits, stop bits, parity n/e/o/m/s, RTS/CTS, IXON, IXOFF.
std::string describe_line(int master) {
    struct termios2 t {};
    if (ioctl(master, TCGETS2, &t) != 0) return "error";
    const unsigned c = t.c_cflag;
    char parity = 'n';
    if (c & PARENB) parity = (c & CMSPAR) ? ((c & PARODD) ? 'm' : 's') : ((c & PARODD) ? 'o' : 'e');
    const unsigned size = c & CSIZE;
    const unsigned bits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    char out[64];
    std::snprintf(out, sizeof out, "%u %u %u %c %d %d %d", t.c_ospeed, bits, (c & CSTOPB) ? 2 : 1,
                  parity, (c & CRTSCTS) != 0, (t.c_iflag & IXON) != 0, (t.c_iflag & IXOFF) != 0);
    return out;
}
