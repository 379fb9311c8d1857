// Test helpers (see helpers.h).
#include "helpers.h"

#include <QElapsedTimer>
#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <unistd.h>

namespace testkit {

ComDir::ComDir()
{
    if (!m_dir.isValid())
        qFatal("no temporary folder");
    ::setenv("TTY_COM_DIR", QFile::encodeName(m_dir.path()).constData(), 1);
}

PtyPort::PtyPort(const ComDir &dir, int number) : m_number(number)
{
    int slave = -1;
    char name[256] = {};
    if (::openpty(&m_master, &slave, name, nullptr, nullptr) != 0)
        qFatal("openpty failed");
    ::close(slave); // the library opens the slave by its name
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_slave = QString::fromLocal8Bit(name);
    m_link = dir.path() + QStringLiteral("/COM%1").arg(number);
    if (!QFile::link(m_slave, m_link))
        qFatal("cannot link %s", qPrintable(m_link));
}

PtyPort::~PtyPort()
{
    hangUp();
    QFile::remove(m_link);
}

void PtyPort::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    QElapsedTimer t;
    t.start();
    while (done < bytes.size() && t.elapsed() < 10000) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            qFatal("write to the master failed");
        // The program takes the bytes at its ticks: let them run while the buffer is full.
        QTest::qWait(5);
    }
    if (done != bytes.size())
        qFatal("the master could not send everything");
}

QByteArray PtyPort::read(qsizetype count, int ms)
{
    QByteArray got;
    QElapsedTimer t;
    t.start();
    while (got.size() < count && t.elapsed() < ms) {
        char buf[4096];
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n > 0)
            got.append(buf, n);
        else
            QTest::qWait(5); // keeps the program's event loop going meanwhile
    }
    return got;
}

QByteArray PtyPort::drain(int ms) { return read(1 << 30, ms); }

void PtyPort::hangUp()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

bool PtyPort::canOpenExclusively() const
{
    const int fd = ::open(QFile::encodeName(m_slave).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return locked;
}

} // namespace testkit
