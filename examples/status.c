/* Watches a port's status word and error word, and says when they change: modem lines
 * (CTS, DSR, carrier), received characters, overruns and parity errors.
 *   status PORT [SECONDS]   watches COM<PORT> for SECONDS (default 10), ten times a second */
#include <stdio.h>
#include <stdlib.h>
#include <tty.h>
#include <unistd.h>

static const char *on(int32_t word, int32_t bit)
{
    return (word & bit) ? "on " : "off";
}

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: status PORT [SECONDS]\n");
        return 2;
    }
    const int32_t port = atoi(argv[1]);
    const int ticks = (argc == 3 ? atoi(argv[2]) : 10) * 10;
    if (IOP_Open(port, 0x1036) != 0) {
        fprintf(stderr, "status: cannot open COM%d\n", (int)port);
        return 1;
    }
    int32_t last = -1;
    long received = 0;
    for (int t = 0; t < ticks; ++t) {
        const int32_t s = IOP_Status(port); /* bit 9: a character came since the last call */
        const int32_t e = IOP_DataStatus(port); /* errors since the last call, then cleared */
        if (s & 0x0800) {
            fprintf(stderr, "status: the port is no longer open\n");
            return 1;
        }
        if ((s & ~0x0200) != last) {
            printf("baud code %d  CTS %s  DSR %s  carrier %s  handshake %s\n", (int)(s & 0xF),
                   on(s, 0x0100), on(s, 0x1000), on(s, 0x0400), on(s, 0x0080));
            last = s & ~0x0200;
        }
        if (s & 0x0200) {
            /* Take what came, so that the next character is news again. */
            char buf[256];
            const uint32_t n = IOP_DIQ_Count(port) > 0 ? IOP_Read(port, buf, 255) : 0;
            if (n != 0xFFFFFFFFu)
                received += (long)n;
        }
        if (e & 0x1) printf("overrun: characters were lost in the device\n");
        if (e & 0x2) printf("the input queue overflowed\n");
        if (e & 0x4) printf("parity error\n");
        if (e & 0x8) printf("the output queue is full\n");
        usleep(100000);
    }
    IOP_Close(port);
    printf("%ld bytes received\n", received);
    return 0;
}
