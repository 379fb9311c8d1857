/* One thread reads a port while another writes to it: the shape of a terminal or a logger
 * that also sends. Here the writer sends numbered lines and the reader checks that they
 * come back (run it on a device that echoes, such as `vcom echo`).
 *   threads PORT [LINES] */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tty.h>

static int32_t port;
static int lines = 100;

static void *writer(void *arg)
{
    (void)arg;
    for (int i = 0; i < lines; ++i) {
        char line[32];
        const int n = snprintf(line, sizeof line, "line %04d\n", i);
        if (IOP_Write(port, line, n) != (uint32_t)n) {
            fprintf(stderr, "threads: IOP_Write failed at line %d\n", i);
            return (void *)1;
        }
    }
    return NULL;
}

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: threads PORT [LINES]\n");
        return 2;
    }
    port = atoi(argv[1]);
    if (argc == 3)
        lines = atoi(argv[2]);
    if (lines < 1 || lines > 10000 || IOP_Open(port, 0x103C) != 0) { /* 115200 bit/s, 8N1 */
        fprintf(stderr, "threads: cannot open COM%d\n", (int)port);
        return 1;
    }
    pthread_t w;
    if (pthread_create(&w, NULL, writer, NULL) != 0)
        return 1;

    /* The reader: this thread. A read that brings nothing for a second means the device
     * has stopped answering. */
    const size_t expected = (size_t)lines * 10;
    size_t have = 0;
    int next = 0, bad = 0;
    char pending[32];
    size_t used = 0;
    while (have < expected) {
        char buf[256];
        const uint32_t got = IOP_Read(port, buf, 255);
        if (got == 0xFFFFFFFFu || got == 0)
            break;
        for (uint32_t i = 0; i < got; ++i) {
            if (used < sizeof pending - 1)
                pending[used++] = buf[i];
            if (buf[i] != '\n')
                continue;
            pending[used] = '\0';
            char want[32];
            snprintf(want, sizeof want, "line %04d\n", next++);
            bad += strcmp(pending, want) != 0;
            used = 0;
        }
        have += got;
    }
    void *result;
    pthread_join(w, &result);
    IOP_Close(port);
    printf("threads: %d lines sent, %d came back, %d out of order\n", lines, next, bad);
    return result == NULL && next == lines && bad == 0 ? 0 : 1;
}
