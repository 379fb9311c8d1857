/* A tiny C caller of the installed library: sends every byte value to the port named on
 * the command line (a vcom echo port) and checks that the same bytes come back. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tty.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: echo_check PORT\n");
        return 2;
    }
    int32_t port = atoi(argv[1]);
    if (IOP_Open(port, 0x1036) != 0) { /* 9600 bit/s, 8N1, no handshake */
        fprintf(stderr, "echo_check: IOP_Open(%d) failed\n", (int)port);
        return 1;
    }
    char sent[256];
    for (int i = 0; i < 256; ++i)
        sent[i] = (char)i;
    if (IOP_Write(port, sent, 256) != 256) {
        fprintf(stderr, "echo_check: IOP_Write failed\n");
        return 1;
    }
    /* IOP_Read gives up after a second with what it has; allow a few rounds. */
    char got[256], buf[256];
    uint32_t have = 0;
    for (int round = 0; round < 5 && have < 256; ++round) {
        uint32_t n = IOP_Read(port, buf, (int32_t)(256 - have));
        if (n == 0xFFFFFFFFu) {
            fprintf(stderr, "echo_check: IOP_Read failed\n");
            return 1;
        }
        memcpy(got + have, buf, n);
        have += n;
    }
    IOP_Close(port);
    if (have != 256 || memcmp(sent, got, 256) != 0) {
        fprintf(stderr, "echo_check: %u bytes came back, not the 256 sent\n", (unsigned)have);
        return 1;
    }
    printf("echo_check: 256 bytes sent and received on COM%d\n", (int)port);
    return 0;
}
