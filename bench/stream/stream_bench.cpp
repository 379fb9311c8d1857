// Stream benchmark of the terminal window. The real window runs on the offscreen platform,
// connected through libtty.so to a pseudo-terminal mapped as COM1; a child process plays
// the device at the master and sends a numbered, time-stamped stream at a chosen rate.
//
// It reports: processor time while connected and idle; the delay from the master to the
// box and the processor time at 11.5 KB/s (115200 bit/s) and 92.2 KB/s (921600 bit/s); and
// the highest rate kept up with, found by short trial runs and then confirmed over a longer
// run. Kept up means: every byte delivered to the display once and in order, the delay not
// growing over the run, and the device never held up long. A pseudo-terminal's master does
// not drop bytes when the line is full, it blocks the writer; "device lag" is how far that
// pushed the device behind its schedule, the backlog a real line would have lost. A run at
// 1.2 MB/s stands for a USB CDC-ACM device, which streams at USB full speed whatever the
// line speed.
//
// Then a paste: 100 KB pasted into the window while the device reads from the line at
// 11.5 KB/s (115200 bit/s), with the longest time the window's event loop was held.
//
//   stream_bench            full run (30 s runs), about three minutes
//   stream_bench --quick    shorter runs, about a minute
//   stream_bench --rate R [--seconds S]   one run at R bytes/s
//   stream_bench --paste    the paste alone
#include "settings.h"
#include "velkofrm.h"
#include "core/session.h"

#include <QApplication>
#include <QClipboard>
#include <QEventLoop>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// One record of the stream: "SSSSSSSS TTTTTTTTTTTTT\r\n", a sequence number and the
// monotonic time in microseconds at which the device wrote it.
constexpr int kRecord = 24;

int64_t nowUs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Runs the event loop for `ms` without polling, so the waiting costs no processor time.
void waitMs(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

double cpuSeconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void putDigits(char *at, int width, int64_t value)
{
    for (int i = width - 1; i >= 0; --i, value /= 10)
        at[i] = char('0' + value % 10);
}

struct SenderReport {
    int64_t records = 0;
    int64_t finalLagUs = 0; // how far behind its schedule the device ended
    int64_t maxLagUs = 0;
};

// Room for what the device writes in one step: 10 ms worth, at least a few records.
size_t senderBufferSize(double rate) { return size_t(rate / 100 + 4) * kRecord; }

// The device: writes records at `rate` bytes/s for `seconds`, in small steps so the stream
// is even, then reports through `reportFd`. Runs in a forked child, so it allocates nothing
// and makes plain system calls only; `buf` holds senderBufferSize(rate) bytes.
[[noreturn]] void runSender(int master, int reportFd, double rate, double seconds,
                            std::vector<char> &buf)
{
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) & ~O_NONBLOCK);
    SenderReport rep;
    const int64_t start = nowUs();
    const int64_t total = int64_t(rate * seconds) / kRecord;
    while (rep.records < total) {
        const int64_t now = nowUs();
        const int64_t due = std::min<int64_t>(total, int64_t(double(now - start) * rate / 1e6) / kRecord);
        const int64_t lag = (rep.records < due) ? now - (start + int64_t(double(rep.records * kRecord) * 1e6 / rate)) : 0;
        rep.maxLagUs = std::max(rep.maxLagUs, lag);
        int64_t n = std::min<int64_t>(due - rep.records, int64_t(buf.size()) / kRecord);
        if (n <= 0) {
            const timespec pause{0, 1000000};
            nanosleep(&pause, nullptr);
            continue;
        }
        for (int64_t i = 0; i < n; ++i) {
            char *r = buf.data() + i * kRecord;
            putDigits(r, 8, rep.records + i);
            r[8] = ' ';
            putDigits(r + 9, 13, now);
            r[22] = '\r';
            r[23] = '\n';
        }
        const char *p = buf.data();
        size_t left = size_t(n * kRecord);
        while (left > 0) {
            const ssize_t w = write(master, p, left);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                _exit(2);
            p += w;
            left -= size_t(w);
        }
        rep.records += n;
    }
    const int64_t end = start + int64_t(double(total * kRecord) * 1e6 / rate);
    rep.finalLagUs = std::max<int64_t>(0, nowUs() - end);
    rep.maxLagUs = std::max(rep.maxLagUs, rep.finalLagUs);
    (void)!write(reportFd, &rep, sizeof rep);
    _exit(0);
}

// The device for the paste: reads what the window sends at `rate` bytes/s, as a line of that
// speed drains, until `expected` has arrived or `seconds` have passed; reports through
// `reportFd` how many bytes arrived before the first one out of order. Forked child.
struct DrainReport {
    int64_t inOrder = 0;
    int64_t received = 0;
    int64_t lastUs = 0; // when the last byte arrived
};

[[noreturn]] void runDrain(int master, int reportFd, double rate, const QByteArray &expected,
                           double seconds)
{
    DrainReport rep;
    const int64_t start = nowUs();
    const int64_t end = start + int64_t(seconds * 1e6);
    bool ordered = true;
    char buf[4096];
    while (rep.received < expected.size() && nowUs() < end) {
        const int64_t budget = int64_t(double(nowUs() - start) * rate / 1e6) - rep.received;
        pollfd p{master, POLLIN, 0};
        if (budget <= 0 || poll(&p, 1, 10) <= 0) {
            const timespec pause{0, 1000000};
            nanosleep(&pause, nullptr);
            continue;
        }
        const ssize_t n = read(master, buf, size_t(std::min<int64_t>(budget, sizeof buf)));
        if (n <= 0)
            continue;
        for (ssize_t i = 0; i < n && ordered; ++i) {
            ordered = rep.inOrder < expected.size() && buf[i] == expected[qsizetype(rep.inOrder)];
            rep.inOrder += ordered ? 1 : 0;
        }
        rep.received += n;
        rep.lastUs = nowUs();
    }
    (void)!write(reportFd, &rep, sizeof rep);
    _exit(0);
}

// What the display received: checks order and completeness, and the delay of each record.
class Receiver {
public:
    void reset()
    {
        m_pending.clear();
        m_next = 0;
        m_faults = 0;
        m_delaysUs.clear();
        m_bytes = 0;
    }
    void take(const QString &text)
    {
        const int64_t now = nowUs();
        m_bytes += text.size();
        m_pending += text.toLatin1();
        qsizetype at = 0;
        while (m_pending.size() - at >= kRecord) {
            const char *r = m_pending.constData() + at;
            bool ok = r[8] == ' ' && r[22] == '\r' && r[23] == '\n';
            int64_t seq = 0, ts = 0;
            for (int i = 0; ok && i < 8; ++i)
                ok = r[i] >= '0' && r[i] <= '9', seq = seq * 10 + (r[i] - '0');
            for (int i = 9; ok && i < 22; ++i)
                ok = r[i] >= '0' && r[i] <= '9', ts = ts * 10 + (r[i] - '0');
            if (!ok || seq != m_next) {
                ++m_faults;
                // Resynchronise behind the next record end.
                const qsizetype end = m_pending.indexOf("\r\n", at);
                if (end < 0) {
                    at = m_pending.size();
                    break;
                }
                at = end + 2;
                if (ok)
                    m_next = seq + 1;
                continue;
            }
            m_delaysUs.push_back(now - ts);
            ++m_next;
            at += kRecord;
        }
        m_pending.remove(0, at);
    }
    int64_t records() const { return m_next; }
    int64_t faults() const { return m_faults + (m_pending.isEmpty() ? 0 : 1); }
    int64_t bytes() const { return m_bytes; }
    // Delay percentile in ms over the records in [from, to) as fractions of the run.
    double delayMs(double pct, double from = 0, double to = 1) const
    {
        if (m_delaysUs.empty())
            return 0;
        std::vector<int64_t> d(m_delaysUs.begin() + ptrdiff_t(from * double(m_delaysUs.size())),
                               m_delaysUs.begin() + ptrdiff_t(to * double(m_delaysUs.size())));
        if (d.empty())
            return 0;
        const size_t k = std::min(d.size() - 1, size_t(pct / 100.0 * double(d.size())));
        std::nth_element(d.begin(), d.begin() + ptrdiff_t(k), d.end());
        return double(d[k]) / 1000.0;
    }

private:
    QByteArray m_pending;
    int64_t m_next = 0;
    int64_t m_faults = 0;
    int64_t m_bytes = 0;
    std::vector<int64_t> m_delaysUs;
};

struct RunResult {
    bool kept = false; // every byte in order, no backlog building up
    double rate = 0;
    double seconds = 0;
    double cpuPercent = 0;
    double medianMs = 0, p99Ms = 0;
    double earlyMedianMs = 0, lateMedianMs = 0;
    int64_t records = 0, expected = 0, faults = 0;
    double finalLagMs = 0, maxLagMs = 0;
};

struct PasteResult {
    int64_t bytes = 0, inOrder = 0, received = 0;
    double longestBlockMs = 0; // the longest the event loop was held
    double pasteCallMs = 0;    // the key event that pastes, start to return
    double secondsToDrain = 0;
};

class Bench {
public:
    explicit Bench(int master) : m_master(master)
    {
        QObject::connect(&m_window, &Velkofrm::textReceived, &m_window,
                         [this](const QString &t) { m_receiver.take(t); });
    }

    bool connectPort()
    {
        zantic::core::ComPort = 1;
        zantic::core::ComFlag = zantic::configWord(13, 3, 0, 0, 0); // 115200 8N1, no flow control
        m_window.show();
        m_window.connect_Click();
        return zantic::core::ComOpen == 1;
    }

    double idleCpuPercent(double seconds)
    {
        waitMs(300);
        const double c0 = cpuSeconds();
        const int64_t t0 = nowUs();
        waitMs(int(seconds * 1000));
        return 100.0 * (cpuSeconds() - c0) / (double(nowUs() - t0) / 1e6);
    }

    RunResult run(double rate, double seconds)
    {
        m_receiver.reset();
        int report[2];
        if (pipe(report) != 0)
            std::abort();
        const double c0 = cpuSeconds();
        const int64_t t0 = nowUs();
        std::vector<char> buf(senderBufferSize(rate));
        const pid_t pid = fork();
        if (pid == 0) {
            close(report[0]);
            runSender(m_master, report[1], rate, seconds, buf);
        }
        close(report[1]);
        // The window runs until the device reports that it has sent everything.
        SenderReport rep;
        bool reported = false;
        {
            QEventLoop loop;
            QSocketNotifier done(report[0], QSocketNotifier::Read);
            QObject::connect(&done, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
            loop.exec();
            reported = read(report[0], &rep, sizeof rep) == ssize_t(sizeof rep);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        close(report[0]);
        const double busyWall = double(nowUs() - t0) / 1e6;
        const double busyCpu = cpuSeconds() - c0;
        // What is still on its way arrives within a few ticks; measured apart from the run.
        const int64_t drainUntil = nowUs() + 3000000;
        while (m_receiver.records() < rep.records && nowUs() < drainUntil)
            waitMs(20);

        RunResult r;
        r.rate = rate;
        r.seconds = seconds;
        r.cpuPercent = 100.0 * busyCpu / busyWall;
        r.records = m_receiver.records();
        r.expected = reported ? rep.records : -1;
        r.faults = m_receiver.faults();
        r.medianMs = m_receiver.delayMs(50);
        r.p99Ms = m_receiver.delayMs(99);
        r.earlyMedianMs = m_receiver.delayMs(50, 0.0, 0.25);
        r.lateMedianMs = m_receiver.delayMs(50, 0.75, 1.0);
        r.finalLagMs = double(rep.finalLagUs) / 1000.0;
        r.maxLagMs = double(rep.maxLagUs) / 1000.0;
        // Kept up: everything arrived once and in order, the device never had to wait long
        // for room, and the delay did not grow over the run.
        r.kept = reported && r.faults == 0 && r.records == rep.records && r.finalLagMs < 150 &&
                 r.maxLagMs < 250 && r.lateMedianMs < r.earlyMedianMs + 50;
        return r;
    }

    // Pastes `bytes` of text (lines of 63 characters) with Shift+Insert while the device
    // drains the line at `rate` bytes/s.
    PasteResult paste(int64_t bytes, double rate)
    {
        QString text;
        QByteArray expected; // what goes out: each line break as a carriage return
        for (int64_t i = 0; i < bytes; ++i) {
            const char c = (i % 64 == 63) ? '\r' : char('a' + i % 26);
            text.append(c == '\r' ? QChar(u'\n') : QChar(c));
            expected.append(c);
        }
        QGuiApplication::clipboard()->setText(text);
        int report[2];
        if (pipe(report) != 0)
            std::abort();
        const pid_t pid = fork();
        if (pid == 0) {
            close(report[0]);
            runDrain(m_master, report[1], rate, expected, double(bytes) / rate + 20);
        }
        close(report[1]);

        // A fine timer measures how long the loop is held between its turns.
        PasteResult r;
        r.bytes = bytes;
        int64_t last = nowUs();
        QTimer beat;
        beat.setTimerType(Qt::PreciseTimer);
        beat.setInterval(1);
        QObject::connect(&beat, &QTimer::timeout, [&] {
            const int64_t now = nowUs();
            r.longestBlockMs = std::max(r.longestBlockMs, double(now - last) / 1000.0);
            last = now;
        });
        beat.start();
        waitMs(200);
        auto *box = m_window.findChild<QPlainTextEdit *>(QStringLiteral("Text1"));
        const int64_t t0 = nowUs();
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Insert, Qt::ShiftModifier);
        QCoreApplication::sendEvent(box, &press);
        r.pasteCallMs = double(nowUs() - t0) / 1000.0;
        DrainReport rep;
        {
            QEventLoop loop;
            QSocketNotifier done(report[0], QSocketNotifier::Read);
            QObject::connect(&done, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
            loop.exec();
            if (read(report[0], &rep, sizeof rep) != ssize_t(sizeof rep))
                rep = DrainReport{};
        }
        beat.stop();
        waitpid(pid, nullptr, 0);
        close(report[0]);
        r.inOrder = rep.inOrder;
        r.received = rep.received;
        r.secondsToDrain = double(rep.lastUs - t0) / 1e6;
        return r;
    }

private:
    int m_master;
    Velkofrm m_window;
    Receiver m_receiver;
};

void print(const char *what, const RunResult &r)
{
    std::printf("%-22s %8.1f KB/s %5.0f s: %s; lossless %s; %lld/%lld records, %lld faults; delay median "
                "%.1f ms, p99 %.1f ms (first quarter %.1f, last quarter %.1f); device lag max %.0f ms; "
                "CPU %.2f %%\n",
                what, r.rate / 1000.0, r.seconds, r.kept ? "kept up" : "FELL BEHIND",
                r.faults == 0 && r.records == r.expected ? "yes" : "NO",
                (long long)r.records, (long long)r.expected, (long long)r.faults, r.medianMs, r.p99Ms,
                r.earlyMedianMs, r.lateMedianMs, r.maxLagMs, r.cpuPercent);
    std::fflush(stdout);
}

void print(const PasteResult &r, double rate)
{
    std::printf("%-22s %lld bytes into a line draining at %.1f KB/s: %s (%lld/%lld in order); "
                "event loop held at most %.1f ms (the paste key %.1f ms); all sent in %.1f s\n",
                "paste", (long long)r.bytes, rate / 1000.0,
                r.inOrder == r.bytes && r.received == r.bytes ? "every byte in order" : "BYTES LOST",
                (long long)r.inOrder, (long long)r.bytes, r.longestBlockMs, r.pasteCallMs,
                r.secondsToDrain);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    bool quick = false, pasteOnly = false;
    double oneRate = 0, oneSeconds = 10;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--quick"))
            quick = true;
        else if (!std::strcmp(argv[i], "--paste"))
            pasteOnly = true;
        else if (!std::strcmp(argv[i], "--rate") && i + 1 < argc)
            oneRate = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
            oneSeconds = std::atof(argv[++i]);
        else {
            std::fprintf(stderr, "usage: %s [--quick] [--rate BYTES_PER_S [--seconds S]] [--paste]\n", argv[0]);
            return 2;
        }
    }
    QApplication app(argc, argv);

    QTemporaryDir comDir;
    setenv("TTY_COM_DIR", QFile::encodeName(comDir.path()).constData(), 1);
    int master = -1, slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0 ||
        symlink(name, QFile::encodeName(comDir.path() + "/COM1").constData()) != 0) {
        std::perror("pseudo-terminal");
        return 1;
    }
    close(slave);

    Bench bench(master);
    if (!bench.connectPort()) {
        std::fprintf(stderr, "cannot connect to the pseudo-terminal\n");
        return 1;
    }
    std::printf("stream benchmark: Demo window (offscreen) on libtty.so, pseudo-terminal as COM1, "
                "%d-byte numbered records\n", kRecord);

    const double pasteRate = 11520;
    if (oneRate > 0) {
        print("single run", bench.run(oneRate, oneSeconds));
        return 0;
    }
    if (pasteOnly) {
        print(bench.paste(100000, pasteRate), pasteRate);
        return 0;
    }

    const double idleSeconds = quick ? 3 : 10;
    const double normalSeconds = quick ? 4 : 10;
    const double trialSeconds = quick ? 2 : 4;
    const double confirmSeconds = quick ? 8 : 30;

    std::printf("%-22s CPU %.3f %% of one core over %.0f s\n", "connected, idle",
                bench.idleCpuPercent(idleSeconds), idleSeconds);
    std::fflush(stdout);
    print("115200 bit/s", bench.run(11520, normalSeconds));
    print("921600 bit/s", bench.run(92160, normalSeconds));
    print("USB full speed", bench.run(1200000, confirmSeconds));

    // Double until the window falls behind, then narrow the step down.
    double good = 0, bad = 0;
    for (double rate = 16000; rate <= 4096000; rate *= 2) {
        const RunResult r = bench.run(rate, trialSeconds);
        print("trial", r);
        if (!r.kept) {
            bad = rate;
            break;
        }
        good = rate;
    }
    if (bad > 0) {
        for (int i = 0; i < 4 && good > 0; ++i) {
            const double mid = (good + bad) / 2;
            const RunResult r = bench.run(mid, trialSeconds);
            print("trial", r);
            (r.kept ? good : bad) = mid;
        }
    }
    // Confirm over the long run, stepping down if it does not hold.
    RunResult confirmed;
    for (int i = 0; i < 4 && good > 0; ++i) {
        confirmed = bench.run(good, confirmSeconds);
        print("confirmation", confirmed);
        if (confirmed.kept)
            break;
        good *= 0.85;
    }
    if (confirmed.kept)
        std::printf("sustained: %.1f KB/s (%.0f bit/s 8N1) for %.0f s, delay median %.1f ms, p99 %.1f ms\n",
                    confirmed.rate / 1000.0, confirmed.rate * 10, confirmed.seconds, confirmed.medianMs,
                    confirmed.p99Ms);
    else
        std::printf("sustained: no rate held for %.0f s\n", confirmSeconds);
    std::fflush(stdout);
    print(bench.paste(100000, pasteRate), pasteRate);
    return 0;
}
