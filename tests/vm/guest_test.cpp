// The library on real serial drivers, run inside the test virtual machine by its /init.
// COM1 and COM2 are two 8250 UARTs joined to each other, COM4 an FTDI USB adapter whose
// bytes go to a ring buffer in the machine, and /dev/ttyS3 reaches the machine's QMP
// monitor, through which the test sends breaks, unplugs and replugs the adapter and reads
// what the adapter sent.
// A second descriptor on a device shows what the driver really did (root gets past the
// library's TIOCEXCL, and the library's flock binds only those who ask for it).
// Prints one line per check and a RESULT line; the machine's first UART carries it out.
#include "tty.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#ifndef TIOCM_LOOP
#define TIOCM_LOOP 0x8000 // the UART's own loopback (MCR bit 4); in <asm/termios.h>
#endif

namespace {

int passed = 0;
int failed = 0;
const char *self = nullptr;

void check(bool ok, const char *what, int line)
{
    std::printf("%s %s (line %d)\n", ok ? "ok  " : "FAIL", what, line);
    std::fflush(stdout);
    (ok ? passed : failed)++;
}
#define CHECK(c) check((c), #c, __LINE__)

void group(const char *name)
{
    std::printf("== %s\n", name);
    std::fflush(stdout);
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

double now_s()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// A second descriptor on a device, to look at it beside the library.
struct Side {
    int fd;
    explicit Side(const char *path) : fd(open(path, O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
    ~Side() { if (fd >= 0) close(fd); }
    termios2 line() const
    {
        termios2 t {};
        ioctl(fd, TCGETS2, &t);
        return t;
    }
    int modem() const
    {
        int bits = 0;
        ioctl(fd, TIOCMGET, &bits);
        return bits;
    }
    serial_icounter_struct counts() const
    {
        serial_icounter_struct c {};
        ioctl(fd, TIOCGICOUNT, &c);
        return c;
    }
    void set_modem(int bit, bool on) const { ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit); }
};

std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char((i * 7 + seed) & 0xFF);
    return s;
}

// Reads up to n bytes from a port, as long as they keep coming.
std::string read_port(int port, size_t n)
{
    std::string got;
    char buf[4096];
    int idle = 0;
    while (got.size() < n && idle < 3) {
        const int want = int(std::min<size_t>(sizeof buf, n - got.size()));
        const uint32_t r = IOP_Read(port, buf, want);
        if (r == 0xFFFFFFFFu)
            break;
        got.append(buf, r);
        idle = r == 0 ? idle + 1 : 0;
    }
    return got;
}

// Waits until the input queue is full (the line discipline has stopped the sender) and
// then a second more; returns the count.
uint32_t full_input(int port)
{
    for (int i = 0; i < 600 && IOP_DIQ_Count(port) < 3968; ++i)
        sleep_ms(100);
    sleep_ms(1000);
    return IOP_DIQ_Count(port);
}

// Sends XOFF from `from` and waits until it has left that UART, then a while for the
// other end to take it in.
void send_xoff(int from)
{
    IOP_Write(from, "\x13", 1);
    for (int i = 0; i < 100 && IOP_DOQ_Count(from) != 0; ++i)
        sleep_ms(100);
    sleep_ms(1000);
}

// The machine's monitor over a raw UART: one JSON object per line.
struct Qmp {
    int fd = -1;
    std::vector<std::string> events;

    bool start()
    {
        fd = open("/dev/ttyS3", O_RDWR | O_NOCTTY);
        if (fd < 0)
            return false;
        termios2 t {};
        ioctl(fd, TCGETS2, &t);
        t.c_iflag = 0;
        t.c_oflag = 0;
        t.c_lflag = 0;
        t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB | CRTSCTS)) | CS8 | CREAD | CLOCAL;
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        ioctl(fd, TCSETS2, &t);
        // The port echoed part of the greeting back until it was raw, so the monitor may
        // answer garbage first or hold half an object (or string): ask until it agrees, then
        // let the stale answers go by. A 0xFF byte first makes the monitor's JSON reader drop
        // whatever it holds.
        const std::string hello = "\xff{\"execute\":\"qmp_capabilities\"}\n";
        std::string l;
        for (int attempt = 0; attempt < 10; ++attempt) {
            if (write(fd, hello.data(), hello.size()) != ssize_t(hello.size()))
                return false;
            while (line(l, 3)) {
                if (l.find("\"return\"") != std::string::npos) {
                    while (line(l, 1)) {
                    }
                    return true;
                }
            }
        }
        return false;
    }

    // One line; false when none came within `limit` seconds.
    bool line(std::string &s, double limit = 30)
    {
        s.clear();
        const double end = now_s() + limit;
        while (now_s() < end) {
            pollfd p {fd, POLLIN, 0};
            if (poll(&p, 1, 200) <= 0)
                continue;
            char c;
            if (read(fd, &c, 1) != 1)
                return false;
            if (c == '\n')
                return true;
            if (c != '\r')
                s += c;
        }
        return false;
    }

    // Sends a command and returns its answer; events that come in between are kept.
    std::string command(const std::string &json)
    {
        const std::string out = json + "\n";
        if (write(fd, out.data(), out.size()) != ssize_t(out.size()))
            return "";
        std::string l;
        while (line(l)) {
            if (l.find("\"event\"") != std::string::npos)
                events.push_back(l);
            else if (l.find("\"return\"") != std::string::npos || l.find("\"error\"") != std::string::npos)
                return l;
        }
        return "";
    }

    bool wait_event(const char *name, double limit = 60)
    {
        const double end = now_s() + limit;
        for (;;) {
            for (const std::string &e : events)
                if (e.find(name) != std::string::npos)
                    return true;
            if (now_s() > end)
                return false;
            std::string l;
            if (line(l, 1) && l.find("\"event\"") != std::string::npos)
                events.push_back(l);
        }
    }
} qmp;

bool wait_path(const char *path, bool present, double limit = 60)
{
    const double end = now_s() + limit;
    struct stat st {};
    while ((stat(path, &st) == 0) != present) {
        if (now_s() > end)
            return false;
        sleep_ms(100);
    }
    return true;
}

// IOP_Open of `port` in a fresh process, as root or as an ordinary user. Its result.
int open_elsewhere(int port, bool asNobody)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (asNobody && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(99);
        const std::string arg = std::to_string(port);
        execl(self, self, "--open", arg.c_str(), static_cast<char *>(nullptr));
        _exit(98);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status))
        return -99;
    return WEXITSTATUS(status) == 0 ? 0 : WEXITSTATUS(status) == 1 ? -1 : -WEXITSTATUS(status);
}

constexpr uint32_t kRates[15] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                 19200, 38400, 56000, 57600, 115200, 128000, 256000};

void settings()
{
    group("every configuration word, read back from the UART");
    Side side("/dev/ttyS1");
    for (int code = 0; code < 15; ++code) {
        const int32_t word = 0x1030 | code;
        const bool makeable = code != 10 && code != 13 && code != 14; // 115200 / n within 2 %
        const int32_t r = IOP_Open(1, word);
        std::printf("     baud code %d (%u bit/s): IOP_Open %d, device %u bit/s\n", code,
                    kRates[code], r, side.line().c_ospeed);
        CHECK((r == 0) == makeable);
        if (makeable) {
            CHECK(IOP_GetIoctrl(1) == word);
            CHECK(side.line().c_ospeed == kRates[code]);
        }
        CHECK(IOP_Close(1) == 0);
    }
    CHECK(IOP_Open(1, 0x1036) == 0);
    CHECK(IOP_Ioctrl(1, 0x103A) == -1); // 56000 would run at 57600
    CHECK(side.line().c_ospeed == 9600);
    CHECK(IOP_GetIoctrl(1) == 0x1036);
    int wrong = 0;
    for (int size = 0; size < 4; ++size)
        for (int parity = 0; parity < 5; ++parity)
            for (int stop = 0; stop < 2; ++stop)
                for (int flow : {0x1000, 0x1080, 0x0000}) {
                    const int32_t word = flow | 0x0006 | size << 4 | stop << 6 | parity << 8;
                    const bool valid = !(size == 0 && stop == 1);
                    if ((IOP_Ioctrl(1, word) == 0) != valid) {
                        std::printf("     word 0x%04X: wrong answer\n", word);
                        ++wrong;
                        continue;
                    }
                    if (!valid)
                        continue;
                    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
                    static const tcflag_t parities[] = {0, PARENB, PARENB | PARODD,
                                                        PARENB | PARODD | CMSPAR, PARENB | CMSPAR};
                    const termios2 t = side.line();
                    const bool ok = (t.c_cflag & CSIZE) == sizes[size] &&
                                    (t.c_cflag & (PARENB | PARODD | CMSPAR)) == parities[parity] &&
                                    ((t.c_cflag & CSTOPB) != 0) == (stop == 1) &&
                                    ((t.c_cflag & CRTSCTS) != 0) == (flow == 0) &&
                                    ((t.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF)) == (flow == 0x1080) &&
                                    IOP_GetIoctrl(1) == word;
                    if (!ok) {
                        std::printf("     word 0x%04X: device cflag 0%o iflag 0%o, read back 0x%04X\n",
                                    word, t.c_cflag, t.c_iflag, IOP_GetIoctrl(1));
                        ++wrong;
                    }
                }
    CHECK(wrong == 0); // 120 words: sizes, parities incl. mark and space, stop bits, flow
    // Received bytes stay intact: no parity check that turns them into NUL, breaks dropped.
    CHECK((side.line().c_iflag & (INPCK | IGNPAR | PARMRK | BRKINT | IGNBRK)) == IGNBRK);
    CHECK(IOP_Close(1) == 0);
}

void lines()
{
    group("flow control and the DTR and RTS lines");
    Side side("/dev/ttyS1");
    CHECK(IOP_Open(1, 0x1036) == 0);
    CHECK((side.modem() & (TIOCM_DTR | TIOCM_RTS)) == (TIOCM_DTR | TIOCM_RTS));
    CHECK(IOP_GetFlowctrl(1) == 0);
    CHECK(IOP_SetDTR(1, 0) == 0);
    CHECK(!(side.modem() & TIOCM_DTR) && IOP_GetFlowctrl(1) == 0x08);
    CHECK(IOP_SetDTR(1, 1) == 0);
    CHECK((side.modem() & TIOCM_DTR) && IOP_GetFlowctrl(1) == 0);
    CHECK(IOP_SetRTS(1, 0) == 0);
    CHECK(!(side.modem() & TIOCM_RTS) && IOP_GetFlowctrl(1) == 0x10);
    CHECK(IOP_SetRTS(1, 1) == 0);
    CHECK((side.modem() & TIOCM_RTS) && IOP_GetFlowctrl(1) == 0);
    CHECK(IOP_Flowctrl(1, 3) == 0);
    CHECK((side.line().c_cflag & CRTSCTS) && IOP_GetFlowctrl(1) == 3 && IOP_GetIoctrl(1) == 0x0036);
    CHECK(IOP_Flowctrl(1, 4) == 0);
    CHECK(!(side.line().c_cflag & CRTSCTS) && (side.line().c_iflag & (IXON | IXOFF)) == (IXON | IXOFF));
    CHECK(IOP_GetFlowctrl(1) == 4 && IOP_GetIoctrl(1) == 0x10B6);
    CHECK(IOP_Close(1) == 0);

    group("in handshake mode the driver's RTS is left alone");
    const std::string sent = pattern(6000, 1);
    CHECK(IOP_Open(1, 0x0036) == 0);
    CHECK(IOP_Open(2, 0x1036) == 0);
    CHECK(IOP_Write(2, sent.data(), int32_t(sent.size())) == sent.size());
    const uint32_t full = full_input(1);
    std::printf("     input queue %u bytes, RTS %s\n", full, side.modem() & TIOCM_RTS ? "on" : "off");
    CHECK(full >= 3968);
    CHECK(!(side.modem() & TIOCM_RTS)); // the driver holds the sender off
    CHECK(IOP_SetDTR(1, 1) == 0);
    CHECK(!(side.modem() & TIOCM_RTS));
    CHECK(IOP_Flowctrl(1, 3) == 0);
    CHECK(!(side.modem() & TIOCM_RTS));
    CHECK(IOP_Ioctrl(1, 0x0036) == 0);
    CHECK(!(side.modem() & TIOCM_RTS));
    CHECK(read_port(1, sent.size()) == sent);
    CHECK(side.modem() & TIOCM_RTS); // released by the driver once read

    group("RTS held off in handshake mode stays off");
    CHECK(IOP_SetRTS(1, 0) == 0);
    CHECK(!(side.modem() & TIOCM_RTS) && !(side.line().c_cflag & CRTSCTS));
    CHECK(IOP_GetFlowctrl(1) == 0x11);
    CHECK(IOP_Write(2, sent.data(), int32_t(sent.size())) == sent.size());
    full_input(1);
    CHECK(read_port(1, sent.size()) == sent);
    CHECK(!(side.modem() & TIOCM_RTS)); // the drained queue did not raise it
    CHECK(IOP_SetRTS(1, 1) == 0);
    CHECK((side.modem() & TIOCM_RTS) && (side.line().c_cflag & CRTSCTS));
    CHECK(IOP_GetFlowctrl(1) == 3);
    // Given back while the input is full, RTS waits for the reader.
    CHECK(IOP_SetRTS(1, 0) == 0);
    CHECK(IOP_Write(2, sent.data(), int32_t(sent.size())) == sent.size());
    full_input(1);
    CHECK(IOP_SetRTS(1, 1) == 0);
    CHECK(!(side.modem() & TIOCM_RTS));
    CHECK(read_port(1, sent.size()) == sent);
    CHECK(side.modem() & TIOCM_RTS);
    CHECK(IOP_Close(1) == 0);
    CHECK(IOP_Close(2) == 0);
}

void status()
{
    group("status lines, also in loopback where CTS follows RTS and DSR follows DTR");
    Side side("/dev/ttyS1");
    CHECK(IOP_Open(1, 0x1036) == 0);
    const int32_t s = IOP_Status(1);
    std::printf("     status 0x%04X\n", s);
    CHECK((s & 0x1DCF) == 0x1546); // 9600, open, CTS, carrier, DSR; not in handshake mode
    side.set_modem(TIOCM_LOOP, true);
    CHECK(IOP_SetRTS(1, 0) == 0 && IOP_SetDTR(1, 1) == 0);
    CHECK((IOP_Status(1) & 0x1100) == 0x1000);
    CHECK(IOP_SetRTS(1, 1) == 0 && IOP_SetDTR(1, 0) == 0);
    CHECK((IOP_Status(1) & 0x1100) == 0x0100);
    CHECK(IOP_SetDTR(1, 1) == 0);
    CHECK((IOP_Status(1) & 0x1100) == 0x1100);
    IOP_Status(1);
    CHECK(IOP_Write(1, "x", 1) == 1); // comes straight back
    sleep_ms(300);
    CHECK(IOP_Status(1) & 0x0200);
    char c = 0;
    CHECK(IOP_Getc(1, &c) == 0 && c == 'x');
    side.set_modem(TIOCM_LOOP, false);
    CHECK(IOP_Close(1) == 0);
    CHECK(IOP_Open(1, 0x0036) == 0);
    CHECK(IOP_Status(1) & 0x0080);
    CHECK(IOP_Close(1) == 0);
}

void errors()
{
    group("receive errors: overrun, overflow, break");
    Side side("/dev/ttyS1");
    CHECK(IOP_Open(1, 0x1036) == 0);
    CHECK(IOP_Open(2, 0x1036) == 0);
    const std::string chunk = pattern(4000, 3);
    // The UART's receiver takes from the line and from its own transmitter in loopback.
    auto overrun = [&] {
        const int before = side.counts().overrun;
        side.set_modem(TIOCM_LOOP, true);
        for (int i = 0; i < 20 && side.counts().overrun == before; ++i) {
            IOP_Write(2, chunk.data(), int32_t(chunk.size()));
            IOP_Write(1, chunk.data(), int32_t(chunk.size()));
            sleep_ms(100);
        }
        side.set_modem(TIOCM_LOOP, false);
        sleep_ms(500);
        IOP_ResetDIQ(1);
        return side.counts().overrun > before;
    };
    CHECK(overrun());
    CHECK(IOP_DataStatus(1) & 1);
    CHECK(IOP_DataStatus(1) == 0);
    CHECK(overrun());
    CHECK(IOP_DIQ_Count(1) != 0xFFFFFFFFu);
    CHECK(IOP_DataStatus(1) == 0); // the count took the error with it

    // Past about 1.3 MB unread the driver drops bytes and counts them.
    const std::string big = pattern(64 * 1024, 5);
    const int lost = side.counts().buf_overrun;
    const double start = now_s();
    for (int i = 0; i < 40 && side.counts().buf_overrun == lost; ++i)
        IOP_Write(2, big.data(), int32_t(big.size()));
    std::printf("     overflow after %.1f s\n", now_s() - start);
    CHECK(side.counts().buf_overrun > lost);
    CHECK(IOP_DataStatus(1) == 2);
    IOP_ResetDIQ(1);
    sleep_ms(500);
    IOP_ResetDIQ(1);

    const int breaks = side.counts().brk;
    CHECK(qmp.command(R"({"execute":"chardev-send-break","arguments":{"id":"line1"}})")
              .find("\"return\"") != std::string::npos);
    for (int i = 0; i < 200 && side.counts().brk == breaks; ++i)
        sleep_ms(100);
    CHECK(side.counts().brk == breaks + 1);
    CHECK(IOP_DIQ_Count(1) == 0); // no NUL byte stands for the break
    CHECK(IOP_Write(2, "ab", 2) == 2);
    CHECK(read_port(1, 2) == "ab");
    CHECK(IOP_Close(1) == 0);
    CHECK(IOP_Close(2) == 0);
}

void output_queue()
{
    group("output queue on a line stopped by XOFF, and closing with output queued");
    CHECK(IOP_Open(1, 0x10B6) == 0);
    CHECK(IOP_Open(2, 0x1036) == 0);
    send_xoff(2);
    const std::string a = pattern(4000, 9);
    CHECK(IOP_Write(1, a.data(), int32_t(a.size())) == a.size());
    const uint32_t queued = IOP_DOQ_Count(1);
    std::printf("     output queue %u bytes\n", queued);
    CHECK(queued >= 3900 && queued <= 4000);
    CHECK(IOP_Write(2, "\x11", 1) == 1);
    for (int i = 0; i < 300 && IOP_DOQ_Count(1) != 0; ++i)
        sleep_ms(100);
    CHECK(IOP_DOQ_Count(1) == 0);
    CHECK(read_port(2, a.size()) == a);

    send_xoff(2);
    CHECK(IOP_Write(1, a.data(), int32_t(a.size())) == a.size());
    const uint32_t before = IOP_DOQ_Count(1);
    const std::string b = pattern(500, 11);
    const double start = now_s();
    const uint32_t took = IOP_Write(1, b.data(), int32_t(b.size()));
    std::printf("     write of 500 on a full queue: %u after %.2f s\n", took, now_s() - start);
    CHECK(took < 500);
    CHECK(IOP_DOQ_Count(1) == before + took);
    const double closing = now_s();
    CHECK(IOP_Close(1) == 0);
    std::printf("     close with %u bytes queued: %.2f s\n", before + took, now_s() - closing);
    CHECK(now_s() - closing < 30); // a hang would be the kernel's own 30 s wait, or forever
    CHECK(IOP_Close(2) == 0);
}

void exclusive()
{
    group("exclusivity against this and other processes");
    CHECK(IOP_Open(1, 0x1036) == 0);
    CHECK(IOP_Open(5, 0x1036) == -1); // COM5 is the same device
    CHECK(open_elsewhere(1, false) == -1);
    CHECK(open_elsewhere(1, true) == -1);
    CHECK(IOP_Close(1) == 0);
    CHECK(open_elsewhere(1, true) == 0);
    CHECK(open_elsewhere(1, false) == 0);
}

std::string ringbuf_read()
{
    const std::string r =
        qmp.command(R"({"execute":"ringbuf-read","arguments":{"device":"u1","size":4096,"format":"utf8"}})");
    const size_t at = r.find("\"return\": \"");
    if (at == std::string::npos)
        return "";
    const size_t from = at + 11;
    return r.substr(from, r.rfind('"') - from);
}

// What the adapter sent: n bytes from the ring buffer, or what came of them within 20 s.
std::string ringbuf_take(size_t n)
{
    std::string out;
    for (int i = 0; i < 200 && out.size() < n; ++i) {
        sleep_ms(100);
        out += ringbuf_read();
    }
    return out;
}

void usb()
{
    group("USB adapter: settings, bytes, unplugging while open");
    if (!wait_path("/dev/ttyUSB0", true)) {
        CHECK(!"no /dev/ttyUSB0");
        return;
    }
    CHECK(IOP_Open(4, 0x1036) == 0);
    {
        // Closed before the adapter is unplugged: an open descriptor would keep its number.
        Side side("/dev/ttyUSB0");
        CHECK(IOP_Ioctrl(4, 0x1030) == -1); // 110 bit/s: a divisor the chip does not have
        CHECK(IOP_Ioctrl(4, 0x103A) == 0);  // 56000: 3 MHz / 53.625
        CHECK(IOP_GetIoctrl(4) == 0x103A && side.line().c_ospeed == 56000);
        CHECK(IOP_Ioctrl(4, 0x0226) == 0);
        CHECK(IOP_GetIoctrl(4) == 0x0226);
        CHECK(IOP_Ioctrl(4, 0x1036) == 0);
        CHECK(IOP_SetDTR(4, 0) == 0 && !(side.modem() & TIOCM_DTR));
        CHECK(IOP_SetDTR(4, 1) == 0 && (side.modem() & TIOCM_DTR));
    }
    ringbuf_read();
    CHECK(IOP_Write(4, "to the host", 11) == 11);
    CHECK(ringbuf_take(11) == "to the host");

    qmp.events.clear();
    CHECK(qmp.command(R"({"execute":"device_del","arguments":{"id":"usbser"}})").find("\"return\"") !=
          std::string::npos);
    CHECK(qmp.wait_event("DEVICE_DELETED"));
    wait_path("/dev/ttyUSB0", false);
    const double start = now_s();
    char buf[256];
    CHECK(IOP_Write(4, "x", 1) == 0xFFFFFFFFu);
    CHECK(IOP_Read(4, buf, 1) == 0xFFFFFFFFu);
    CHECK(IOP_DIQ_Count(4) == 0xFFFFFFFFu);
    CHECK(IOP_DOQ_Count(4) == 0xFFFFFFFFu);
    CHECK(IOP_Putc(4, "x") == -1);
    CHECK(IOP_Getc(4, buf) == -1);
    CHECK(IOP_Ioctrl(4, 0x1036) == -1);
    std::printf("     calls on the unplugged adapter: %.2f s\n", now_s() - start);
    CHECK(now_s() - start < 10); // each fails at once; 10 s only guards against a hang
    CHECK(IOP_Close(4) == 0);
    CHECK(IOP_Open(4, 0x1036) == -1);

    CHECK(qmp.command(R"({"execute":"device_add","arguments":{"driver":"usb-serial","chardev":"u1","id":"usbser","bus":"xhci.0"}})")
              .find("\"return\"") != std::string::npos);
    CHECK(wait_path("/dev/ttyUSB0", true));
    int r = -1;
    for (int i = 0; i < 200 && (r = IOP_Open(4, 0x1036)) != 0; ++i)
        sleep_ms(100); // the node may appear before the driver is ready
    CHECK(r == 0);
    ringbuf_read();
    CHECK(IOP_Write(4, "again", 5) == 5);
    CHECK(ringbuf_take(5) == "again");
    CHECK(IOP_Close(4) == 0);
}

} // namespace

int main(int argc, char **argv)
{
    self = argv[0];
    if (argc == 3 && std::strcmp(argv[1], "--open") == 0) {
        const int port = std::atoi(argv[2]);
        if (IOP_Open(port, 0x1036) != 0)
            return 1;
        return IOP_Close(port) == 0 ? 0 : 2;
    }
    if (!qmp.start()) {
        std::printf("FAIL no answer from the monitor on /dev/ttyS3\n");
        return 1;
    }
    settings();
    lines();
    status();
    errors();
    output_queue();
    exclusive();
    usb();
    std::printf("RESULT: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
