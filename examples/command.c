/* Sends a command to a device and reads its answer, line by line, with time-outs: the way
 * to talk to a modem, a GPS receiver or a bench instrument.
 *   command PORT "TEXT"   sends TEXT and a carriage return to COM<PORT>, prints the answer */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <tty.h>
#include <unistd.h>

/* Milliseconds on a clock that never jumps. */
static long long now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: command PORT TEXT\n");
        return 2;
    }
    const int32_t port = atoi(argv[1]);
    if (IOP_Open(port, 0x1036) != 0) { /* 9600 bit/s, 8N1, no handshake */
        fprintf(stderr, "command: cannot open COM%d\n", (int)port);
        return 1;
    }
    char command[256];
    const int n = snprintf(command, sizeof command, "%s\r", argv[2]);
    if (n < 0 || n >= (int)sizeof command || IOP_Write(port, command, n) != (uint32_t)n) {
        fprintf(stderr, "command: the command was not sent whole\n");
        IOP_Close(port);
        return 1;
    }

    /* IOP_Read returns at once with the bytes already waiting, but when none are waiting
     * it waits for the full count or a second: so ask how many wait, and read those. The
     * answer ends at its first carriage return; the whole exchange is given two seconds. */
    char answer[1024];
    size_t have = 0;
    const long long deadline = now_ms() + 2000;
    while (have < sizeof answer - 1 && memchr(answer, '\r', have) == NULL && now_ms() < deadline) {
        const uint32_t waiting = IOP_DIQ_Count(port);
        if (waiting == 0xFFFFFFFFu) {
            fprintf(stderr, "command: the device has gone\n");
            IOP_Close(port);
            return 1;
        }
        if (waiting == 0) {
            usleep(5000);
            continue;
        }
        char buf[256]; /* IOP_Read clears 256 bytes: never smaller */
        size_t room = sizeof answer - 1 - have;
        if (room > waiting)
            room = waiting;
        if (room > 255)
            room = 255;
        const uint32_t got = IOP_Read(port, buf, (int32_t)room);
        if (got == 0xFFFFFFFFu) {
            fprintf(stderr, "command: the device has gone\n");
            IOP_Close(port);
            return 1;
        }
        memcpy(answer + have, buf, got);
        have += got;
    }
    IOP_Close(port);
    if (memchr(answer, '\r', have) == NULL) {
        fprintf(stderr, "command: no complete answer within 2 s (%zu bytes)\n", have);
        return 1;
    }
    answer[have] = '\0';
    answer[strcspn(answer, "\r")] = '\0';
    printf("%s\n", answer);
    return 0;
}
