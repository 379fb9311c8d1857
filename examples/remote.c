/* Opens a port on a serial server (ser2net, a terminal server) like any other port. The COM
 * number is mapped to the server first, once:
 *     vcom remote COM7 rfc2217://lab-box:2000
 * The program tells how long the open took and what the server took, then sends a line and
 * prints what comes back within a second.
 *   remote PORT */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <tty.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: remote PORT\n");
        return 2;
    }
    const int32_t port = atoi(argv[1]);
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    /* Connecting, negotiating and the server's answers take at most about 4 s. */
    if (IOP_Open(port, 0x103C) != 0) { /* 115200 bit/s, 8N1, no handshake */
        fprintf(stderr, "remote: cannot open COM%d: no server, or it refused the settings\n", (int)port);
        return 1;
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    /* What the server answered: a server that set another speed would have failed the open. */
    printf("opened in %.1f ms; the line reads back as 0x%04X\n",
           (double)(t1.tv_sec - t0.tv_sec) * 1e3 + (double)(t1.tv_nsec - t0.tv_nsec) / 1e6,
           (unsigned)IOP_GetIoctrl(port));
    if (IOP_Write(port, "hello\r", 6) != 6) {
        fprintf(stderr, "remote: the server has closed the connection\n");
        IOP_Close(port);
        return 1;
    }
    /* Over the network the echo takes a little while; IOP_Read would wait a second for a
     * full 255 bytes, so wait (up to a second) until the six are there. */
    for (int i = 0; i < 200 && IOP_DIQ_Count(port) < 6; ++i)
        usleep(5000);
    char buf[256]; /* IOP_Read clears 256 bytes: never smaller */
    const uint32_t n = IOP_Read(port, buf, 6);
    IOP_Close(port);
    if (n == 0xFFFFFFFFu) {
        fprintf(stderr, "remote: the server has closed the connection\n");
        return 1;
    }
    printf("%u bytes came back: %.*s\n", (unsigned)n, (int)n, buf);
    return 0;
}
