/* tty.dll as a Windows program uses it: loaded with LoadLibrary, its functions bound by name
 * and by export number, then driven against serial ports whose devices the host-side helper
 * (device.cpp) plays; requests to it go out on standard output as "@..." lines and its answers
 * come back on standard input. Expects what tty.h documents, except for the known differences
 * of Wine's serial emulation listed below, each accepted under Wine at its measured value
 * only. Exit status: the number of failed checks (0: all passed).
 * Ports: COM3 and COM4 name one device, COM9 and COM10 one each, COM5 has none. */
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

/* The eighteen functions as a caller binds them (TTY_CALL is __stdcall; on x64 that is the
 * one calling convention). */
typedef int32_t(__stdcall *port_word_fn)(int32_t port, int32_t word);
typedef int32_t(__stdcall *port_fn)(int32_t port);
typedef uint32_t(__stdcall *count_fn)(int32_t port);
typedef int32_t(__stdcall *putc_fn)(int32_t port, const char *c);
typedef int32_t(__stdcall *getc_fn)(int32_t port, char *c);
typedef uint32_t(__stdcall *write_fn)(int32_t port, const char *buffer, int32_t count);
typedef uint32_t(__stdcall *read_fn)(int32_t port, char *buffer, int32_t count);

static struct {
    const char *name;
    int ordinal;
    FARPROC fn;
} exports[] = {
    {"IOP_Open", 2, 0},       {"IOP_Putc", 3, 0},       {"IOP_Getc", 4, 0},
    {"IOP_Write", 5, 0},      {"IOP_Read", 6, 0},       {"IOP_DOQ_Count", 7, 0},
    {"IOP_DIQ_Count", 8, 0},  {"IOP_ResetDOQ", 9, 0},   {"IOP_ResetDIQ", 10, 0},
    {"IOP_SetDTR", 11, 0},    {"IOP_SetRTS", 12, 0},    {"IOP_Close", 13, 0},
    {"IOP_Ioctrl", 14, 0},    {"IOP_Flowctrl", 15, 0},  {"IOP_GetIoctrl", 16, 0},
    {"IOP_GetFlowctrl", 17, 0}, {"IOP_Status", 18, 0},  {"IOP_DataStatus", 19, 0},
};
#define FN(type, ordinal) ((type)(void (*)(void))exports[(ordinal)-2].fn)
#define IOP_Open FN(port_word_fn, 2)
#define IOP_Putc FN(putc_fn, 3)
#define IOP_Getc FN(getc_fn, 4)
#define IOP_Write FN(write_fn, 5)
#define IOP_Read FN(read_fn, 6)
#define IOP_DOQ_Count FN(count_fn, 7)
#define IOP_DIQ_Count FN(count_fn, 8)
#define IOP_ResetDOQ FN(port_fn, 9)
#define IOP_ResetDIQ FN(port_fn, 10)
#define IOP_SetDTR FN(port_word_fn, 11)
#define IOP_SetRTS FN(port_word_fn, 12)
#define IOP_Close FN(port_fn, 13)
#define IOP_Ioctrl FN(port_word_fn, 14)
#define IOP_Flowctrl FN(port_word_fn, 15)
#define IOP_GetIoctrl FN(port_fn, 16)
#define IOP_GetFlowctrl FN(port_fn, 17)
#define IOP_Status FN(port_fn, 18)
#define IOP_DataStatus FN(port_fn, 19)

/* Where Wine 8.0's serial emulation differs from Windows, as measured on Debian 12. */
enum difference {
    RATE_AS_38400,       /* a rate without a B-constant is set (and read back) as 38400 */
    PTY_8N,              /* a pseudo-terminal is set to, and reports, 8 data bits, no parity */
    FIVE_BITS_TWO_STOP,  /* 5 data bits with 2 stop bits is accepted */
    NO_HANDSHAKE,        /* DTR and RTS are reported simply enabled, whatever their mode */
    RXCHAR_LEVEL,        /* EV_RXCHAR is reported while bytes wait, not once per arrival */
    READ_WAITS_TOTAL,    /* a read finding fewer bytes than asked waits the total time-out */
    TIMEOUT_FAILS,       /* a read or write ended by its time-out is reported as failed */
    OPENED_TWICE,        /* a device can be opened twice */
    DIFFERENCES
};
static const char *const difference_names[DIFFERENCES] = {
    "rate set as 38400", "a pty has 8 bits, no parity", "5 data bits with 2 stop bits accepted",
    "DTR/RTS modes not reported", "EV_RXCHAR is a level", "read waits for the total time-out",
    "timed-out transfer fails", "device opened twice",
};
static int seen[DIFFERENCES];
static int under_wine;
static int failures;

static void check(const char *what, long long got, long long want) {
    if (got == want) return;
    printf("FAIL %s: got %lld (0x%llx), want %lld (0x%llx)\n", what, got, got, want, want);
    failures++;
}

/* As check, but under Wine `wine` is accepted too, as the known difference d. */
static void check_or(enum difference d, const char *what, long long got, long long want,
                     long long wine) {
    if (got != want && under_wine && got == wine) {
        if (!seen[d]++) printf("known Wine difference: %s\n", difference_names[d]);
        return;
    }
    check(what, got, want);
}

static void check_text(const char *what, const char *got, const char *want) {
    if (strcmp(got, want) == 0) return;
    printf("FAIL %s: got \"%s\", want \"%s\"\n", what, got, want);
    failures++;
}

static void check_text_or(enum difference d, const char *what, const char *got, const char *want,
                          const char *wine) {
    if (strcmp(got, want) != 0 && under_wine && strcmp(got, wine) == 0) {
        if (!seen[d]++) printf("known Wine difference: %s\n", difference_names[d]);
        return;
    }
    check_text(what, got, want);
}

/* ---- the device, played by the host-side helper ---- */

static char answer[8192];

static const char *ask(const char *format, ...) {
    va_list args;
    va_start(args, format);
    putchar('@');
    vprintf(format, args);
    putchar('\n');
    fflush(stdout);
    va_end(args);
    if (!fgets(answer, sizeof answer, stdin)) {
        printf("FAIL the device helper went away\n");
        exit(100);
    }
    answer[strcspn(answer, "\r\n")] = 0;
    return answer;
}

static void device_sends(int port, const char *bytes) {
    char hex[1024] = "";
    for (size_t i = 0; bytes[i] && i < 500; i++)
        sprintf(hex + 2 * i, "%02x", (unsigned char)bytes[i]);
    ask("send %d %s", port, hex);
}

/* What the device has received, up to n bytes within a few seconds, as text. */
static const char *device_received(int port, int n) {
    static char text[4096];
    const char *hex = ask("recv %d %d", port, n);
    size_t i = 0;
    for (; hex[2 * i] && hex[2 * i + 1] && i + 1 < sizeof text; i++) {
        unsigned b;
        sscanf(hex + 2 * i, "%2x", &b);
        text[i] = (char)b;
    }
    text[i] = 0;
    return text;
}

static const char *device_line(int port) { return ask("line %d", port); }

/* Waits (up to 2 s) until the port's input queue holds n bytes. */
static uint32_t wait_queue(int port, uint32_t n) {
    uint32_t count = 0;
    for (int i = 0; i < 200 && (count = IOP_DIQ_Count(port)) != n; i++) Sleep(10);
    return count;
}

/* ---- the checks ---- */

static int bind_library(void) {
    HMODULE lib = LoadLibraryA("tty.dll");
    if (!lib) {
        printf("FAIL LoadLibrary(tty.dll): error %lu\n", GetLastError());
        return 0;
    }
    for (size_t i = 0; i < sizeof exports / sizeof exports[0]; i++) {
        FARPROC by_name = GetProcAddress(lib, exports[i].name);
        FARPROC by_number = GetProcAddress(lib, MAKEINTRESOURCEA(exports[i].ordinal));
        if (!by_name || by_name != by_number) {
            printf("FAIL %s: by name %p, by number %d %p\n", exports[i].name, (void *)by_name,
                   exports[i].ordinal, (void *)by_number);
            failures++;
        }
        exports[i].fn = by_number;
    }
    check("nothing at number 1", GetProcAddress(lib, MAKEINTRESOURCEA(1)) != NULL, 0);
    check("nothing at number 20", GetProcAddress(lib, MAKEINTRESOURCEA(20)) != NULL, 0);
    return failures == 0;
}

static void ports_not_open(void) {
    char c = 'x';
    char buf[256];
    check("IOP_Close of a port never opened", IOP_Close(3), -1);
    check("IOP_Write on a port never opened", IOP_Write(3, "a", 1), 0xFFFFFFFF);
    check("IOP_Read on a port never opened", IOP_Read(3, buf, 1), 0xFFFFFFFF);
    check("IOP_Getc on a port never opened", IOP_Getc(3, &c), -1);
    check("IOP_Getc clears the byte first", c, 0);
    check("IOP_DIQ_Count on a port never opened", IOP_DIQ_Count(3), 0xFFFFFFFF);
    check("IOP_ResetDIQ on a port never opened", IOP_ResetDIQ(3), -1);
    check("IOP_Status of a port never opened", IOP_Status(3), 0x0800);
    check("IOP_Open of a port with no device", IOP_Open(5, 0x1036), -1);
    check("IOP_Open of port 258", IOP_Open(258, 0x1036), -1);
    check("IOP_Status of port -1", IOP_Status(-1), 0x0800);
    check("IOP_Open with parity code 5", IOP_Open(3, 0x1536), -1);
}

/* Why a call failed: each failing call's result and what GetLastError says after it. */
#define REASON(what, call, result, reason)                                                   \
    do {                                                                                     \
        SetLastError(0);                                                                     \
        const long long got_ = (long long)(call);                                            \
        const DWORD err_ = GetLastError();                                                   \
        check(what, got_, result);                                                           \
        check(what ": GetLastError", err_, reason);                                          \
    } while (0)

static void reasons(void) {
    char buf[256];
    char c;
    REASON("port out of range", IOP_Open(258, 0x1036), -1, ERROR_INVALID_PARAMETER);
    REASON("negative port", IOP_Read(-1, buf, 1), 0xFFFFFFFF, ERROR_INVALID_PARAMETER);
    REASON("parity code 5", IOP_Open(3, 0x1536), -1, ERROR_INVALID_PARAMETER);
    REASON("no device", IOP_Open(5, 0x1036), -1, ERROR_FILE_NOT_FOUND);
    REASON("close of a port not open", IOP_Close(3), -1, ERROR_INVALID_HANDLE);
    REASON("read of a port not open", IOP_Read(3, buf, 1), 0xFFFFFFFF, ERROR_INVALID_HANDLE);
    REASON("settings of a port not open", IOP_Ioctrl(3, 0x1036), -1, ERROR_INVALID_HANDLE);
    if (IOP_Open(3, 0x1036) != 0) {
        check("IOP_Open(3) for the reasons", -1, 0);
        return;
    }
    REASON("port already open", IOP_Open(3, 0x1036), -1, ERROR_ACCESS_DENIED);
    REASON("no buffer", IOP_Write(3, NULL, 1), 0xFFFFFFFF, ERROR_INVALID_PARAMETER);
    REASON("negative count", IOP_Read(3, buf, -1), 0xFFFFFFFF, ERROR_INVALID_PARAMETER);
    REASON("no byte pointer", IOP_Putc(3, NULL), -1, ERROR_INVALID_PARAMETER);
    REASON("no byte waiting", IOP_Getc(3, &c), -1, WSAEWOULDBLOCK);
    check("IOP_Close(3) after the reasons", IOP_Close(3), 0);
}

static void open_and_configure(void) {
    check("IOP_Open(3, 0x1036)", IOP_Open(3, 0x1036), 0);
    check_text("line after IOP_Open(3, 0x1036)", device_line(3), "9600 8 1 n 0 0 0");
    check("IOP_GetIoctrl after open", IOP_GetIoctrl(3), 0x1036);
    check("IOP_GetFlowctrl after open", IOP_GetFlowctrl(3), 0);
    check("IOP_Status after open", IOP_Status(3), 0x0046);
    check("IOP_DIQ_Count after open", IOP_DIQ_Count(3), 0);
    check("IOP_DOQ_Count after open", IOP_DOQ_Count(3), 0);
    check("IOP_DataStatus after open", IOP_DataStatus(3), 0);
    check("IOP_Open of a port already open", IOP_Open(3, 0x1036), -1);
    int32_t again = IOP_Open(4, 0x1036);
    check_or(OPENED_TWICE, "IOP_Open of the same device as COM4", again, -1, 0);
    if (again == 0) IOP_Close(4);

    static const unsigned rates[16] = {110,   300,   600,   1200,  2400,   4800,   9600,   14400,
                                       19200, 38400, 56000, 57600, 115200, 128000, 256000, 28800};
    for (int code = 0; code < 16; code++) {
        char what[64], want[64];
        const int32_t word = 0x1030 | code;
        /* the rates Linux has no B-constant for */
        const int odd = code == 7 || code == 10 || code == 13 || code == 14 || code == 15;
        snprintf(what, sizeof what, "IOP_Ioctrl(3, 0x%04x)", word);
        check(what, IOP_Ioctrl(3, word), 0);
        snprintf(what, sizeof what, "read back 0x%04x", word);
        check_or(RATE_AS_38400, what, IOP_GetIoctrl(3), word, odd ? 0x1039 : word);
        snprintf(what, sizeof what, "line after 0x%04x", word);
        snprintf(want, sizeof want, "%u 8 1 n 0 0 0", rates[code]);
        check_text_or(RATE_AS_38400, what, device_line(3), want,
                      odd ? "38400 8 1 n 0 0 0" : want);
    }

    static const struct {
        int32_t word;
        const char *line;
        int32_t flow;
    } words[] = {
        {0x1126, "9600 7 1 e 0 0 0", 0}, /* 7E1: parity code 1 is even */
        {0x1266, "9600 7 2 o 0 0 0", 0}, /* 7O2 */
        {0x1336, "9600 8 1 m 0 0 0", 0}, /* mark */
        {0x1436, "9600 8 1 s 0 0 0", 0}, /* space */
        {0x1016, "9600 6 1 n 0 0 0", 0},
        {0x1006, "9600 5 1 n 0 0 0", 0},
        {0x10B6, "9600 8 1 n 0 1 1", 4}, /* XON/XOFF both ways */
        {0x0036, "9600 8 1 n 1 0 0", 3}, /* hardware handshake */
        {0x1836, "9600 8 1 n 0 0 0", 0}, /* abort on close: no effect on the line */
    };
    for (size_t i = 0; i < sizeof words / sizeof words[0]; i++) {
        char what[64];
        const int32_t word = words[i].word;
        snprintf(what, sizeof what, "IOP_Ioctrl(3, 0x%04x)", word);
        check(what, IOP_Ioctrl(3, word), 0);
        snprintf(what, sizeof what, "line after 0x%04x", word);
        char wine[32]; /* "9600 7 2 o 0 0 0" as "9600 8 2 n 0 0 0" */
        snprintf(wine, sizeof wine, "%.5s8%.3sn%s", words[i].line, words[i].line + 6,
                 words[i].line + 10);
        check_text_or(PTY_8N, what, device_line(3), words[i].line, wine);
        snprintf(what, sizeof what, "read back 0x%04x", word);
        const int32_t got = IOP_GetIoctrl(3);
        if (word & 0x0700 || (word & 0x0030) != 0x0030)
            check_or(PTY_8N, what, got, word, (word & ~0x0730) | 0x0030);
        else if (!(word & 0x1000))
            check_or(NO_HANDSHAKE, what, got, word, word | 0x1000);
        else
            check(what, got, word);
        snprintf(what, sizeof what, "IOP_GetFlowctrl after 0x%04x", word);
        check_or(NO_HANDSHAKE, what, IOP_GetFlowctrl(3), words[i].flow, words[i].flow & ~3);
    }
    IOP_Ioctrl(3, 0x0036);
    check_or(NO_HANDSHAKE, "IOP_Status with hardware handshake", IOP_Status(3), 0x00C6, 0x0046);

    /* Refused: the line stays as it was. */
    check("IOP_Ioctrl(3, 0x1036)", IOP_Ioctrl(3, 0x1036), 0);
    check_or(FIVE_BITS_TWO_STOP, "IOP_Ioctrl with 5 data bits and 2 stop bits",
             IOP_Ioctrl(3, 0x1046), -1, 0);
    check("IOP_Ioctrl(3, 0x1036)", IOP_Ioctrl(3, 0x1036), 0);

    /* Flow control and the lines' remembered modes. */
    check("IOP_Flowctrl(3, 3)", IOP_Flowctrl(3, 3), 0);
    check_text("line after IOP_Flowctrl(3, 3)", device_line(3), "9600 8 1 n 1 0 0");
    check_or(NO_HANDSHAKE, "read back after IOP_Flowctrl(3, 3)", IOP_GetIoctrl(3), 0x0036, 0x1036);
    check_or(NO_HANDSHAKE, "IOP_GetFlowctrl after IOP_Flowctrl(3, 3)", IOP_GetFlowctrl(3), 3, 0);
    check("IOP_SetDTR(3, 0)", IOP_SetDTR(3, 0), 0);
    check_or(NO_HANDSHAKE, "IOP_GetFlowctrl with DTR dropped", IOP_GetFlowctrl(3), 10, 0);
    check("IOP_SetDTR(3, 1)", IOP_SetDTR(3, 1), 0);
    check_or(NO_HANDSHAKE, "IOP_GetFlowctrl with DTR restored", IOP_GetFlowctrl(3), 3, 0);
    check("IOP_Flowctrl(3, 4)", IOP_Flowctrl(3, 4), 0);
    check_text("line after IOP_Flowctrl(3, 4)", device_line(3), "9600 8 1 n 0 1 1");
    check("IOP_Ioctrl(3, 0x1036)", IOP_Ioctrl(3, 0x1036), 0);
    check_text("line after 0x1036 again", device_line(3), "9600 8 1 n 0 0 0");
}

static void transfer(void) {
    char buf[300];
    char c;

    check("IOP_Write of 7 bytes", IOP_Write(3, "hello\r\n", 7), 7);
    check_text("the device received", device_received(3, 7), "hello\r\n");

    device_sends(3, "abc");
    check("IOP_DIQ_Count with 3 bytes waiting", wait_queue(3, 3), 3);
    check("IOP_Status after a byte arrived", IOP_Status(3), 0x0246);
    check_or(RXCHAR_LEVEL, "IOP_Status again, nothing new", IOP_Status(3), 0x0046, 0x0246);
    c = 0;
    check("IOP_Getc with bytes waiting", IOP_Getc(3, &c), 0);
    check("IOP_Getc's byte", c, 'a');
    memset(buf, 'x', sizeof buf);
    ULONGLONG start = GetTickCount64();
    uint32_t n = IOP_Read(3, buf, 10);
    ULONGLONG took = GetTickCount64() - start;
    check("IOP_Read of 10 with 2 waiting", n, 2);
    check_text("IOP_Read's bytes", buf, "bc");
    int zero = 1;
    for (int i = 2; i < 256; i++) zero &= buf[i] == 0;
    check("IOP_Read clears 256 bytes", zero, 1);
    check("IOP_Read leaves byte 256 alone", buf[256], 'x');
    check_or(READ_WAITS_TOTAL, "IOP_Read returned at once", took < 500, 1, 0);

    start = GetTickCount64();
    n = IOP_Read(3, buf, 10);
    took = GetTickCount64() - start;
    check_or(TIMEOUT_FAILS, "IOP_Read with nothing arriving", n, 0, 0xFFFFFFFF);
    check("IOP_Read waits about a second", took >= 900 && took < 3000, 1);

    /* A one-byte read that finds nothing leaves the next byte for the next read; one that finds
     * a byte waiting always gets it. */
    check("IOP_Getc with nothing waiting", IOP_Getc(3, &c), -1);
    device_sends(3, "z");
    wait_queue(3, 1);
    check("IOP_Read after IOP_Getc found nothing", IOP_Read(3, buf, 1), 1);
    check("that byte", buf[0], 'z');
    int lost = 0;
    for (int i = 0; i < 100; i++) {
        const char sent[2] = {(char)('A' + i % 26), 0};
        device_sends(3, sent);
        wait_queue(3, 1);
        c = 0;
        if (IOP_Getc(3, &c) != 0 || c != sent[0]) {
            lost++;
            IOP_ResetDIQ(3);
        }
    }
    check("IOP_Getc misses of 100 waiting bytes", lost, 0);

    /* Each byte IOP_Putc reports as sent arrives once; none it reports as not sent arrives. */
    char sent[101] = "";
    int refused = 0;
    for (int i = 0; i < 100; i++) {
        const char b = (char)('a' + i % 26);
        if (IOP_Putc(3, &b) == 0)
            strncat(sent, &b, 1);
        else
            refused++;
    }
    check("IOP_Putc refusals of 100 bytes", refused, 0);
    check_text("the device received what IOP_Putc sent", device_received(3, 100), sent);

    device_sends(3, "xyz");
    wait_queue(3, 3);
    check("IOP_ResetDIQ", IOP_ResetDIQ(3), 1);
    check("IOP_DIQ_Count after IOP_ResetDIQ", IOP_DIQ_Count(3), 0);
    check("IOP_ResetDOQ", IOP_ResetDOQ(3), 0);

    check("IOP_Close(3)", IOP_Close(3), 0);
    check("IOP_Close(3) again", IOP_Close(3), -1);
    check("IOP_Write after close", IOP_Write(3, "a", 1), 0xFFFFFFFF);
    check("IOP_Status after close", IOP_Status(3), 0x0800);
}

/* COM9 is opened as "COM9", COM10 as "//./COM10": each reaches its own device. */
static void port_names(void) {
    check("IOP_Open(9)", IOP_Open(9, 0x1036), 0);
    check("IOP_Open(10)", IOP_Open(10, 0x10B6), 0);
    check("IOP_Write on COM9", IOP_Write(9, "nine", 4), 4);
    check("IOP_Write on COM10", IOP_Write(10, "ten", 3), 3);
    check_text("COM9's device received", device_received(9, 4), "nine");
    check_text("COM10's device received", device_received(10, 3), "ten");
    check_text("COM10's line", device_line(10), "9600 8 1 n 0 1 1");
    check("IOP_Close(10)", IOP_Close(10), 0);

    /* The device goes away (an adapter pulled): transfers fail, closing still works. */
    char buf[256];
    ask("hangup 9");
    SetLastError(0);
    check("IOP_Read after a hang-up", IOP_Read(9, buf, 10), 0xFFFFFFFF);
    /* The driver's reason (Wine's, here): whatever it is, the library's clean-up leaves it. */
    const DWORD gone = GetLastError();
    printf("GetLastError after a hang-up: %lu\n", gone);
    check("a reason after a hang-up", gone != 0 && gone != ERROR_IO_PENDING && gone != ERROR_OPERATION_ABORTED, 1);
    check("IOP_Write after a hang-up", IOP_Write(9, "x", 1), 0xFFFFFFFF);
    check("IOP_DIQ_Count after a hang-up", IOP_DIQ_Count(9), 0xFFFFFFFF);
    check("IOP_Close after a hang-up", IOP_Close(9), 0);
}

int main(void) {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
    under_wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != NULL;
    if (!bind_library()) return failures ? failures : 1;
    ports_not_open();
    reasons();
    open_and_configure();
    transfer();
    port_names();
    for (int d = 0; d < DIFFERENCES; d++)
        if (under_wine && !seen[d])
            printf("note: Wine difference not seen: %s\n", difference_names[d]);
    printf("%s: %d failed\n", failures ? "FAILED" : "passed", failures);
    return failures;
}
