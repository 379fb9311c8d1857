// TCGETS2 on a pseudo-terminal master, apart from <termios.h> with which its header clashes.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace testing_tty {

bool read_termios2(int fd, unsigned &speed, unsigned &cflag, unsigned &iflag, unsigned &lflag,
                   unsigned &oflag) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    speed = t.c_ospeed;
    cflag = t.c_cflag;
    iflag = t.c_iflag;
    lflag = t.c_lflag;
    oflag = t.c_oflag;
    return true;
}

} // namespace testing_tty
