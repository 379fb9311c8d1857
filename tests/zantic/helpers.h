// Test helpers: answering modal windows, and pseudo-terminals mapped as COM ports in a
// temporary TTY_COM_DIR.
#pragma once

#include <QApplication>
#include <QByteArray>
#include <QDeadlineTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <functional>

namespace testkit {

// Runs `act` on the next modal window as soon as it is open (e.g. the settings dialog that
// a menu command is about to show with exec()).
inline void whenModal(std::function<void(QWidget *)> act)
{
    auto *poll = new QTimer;
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, act] {
        QWidget *w = QApplication::activeModalWidget();
        if (!w || !w->isVisible())
            return;
        poll->stop();
        poll->deleteLater();
        act(w);
    });
    poll->start();
}

template <typename T>
T *child(QObject *parent, const char *name)
{
    T *c = parent->findChild<T *>(QString::fromLatin1(name));
    if (!c)
        qFatal("no child named %s", name);
    return c;
}

// A folder of COMn links, named by TTY_COM_DIR for the library.
class ComDir {
public:
    ComDir();
    QString path() const { return m_dir.path(); }
private:
    QTemporaryDir m_dir;
};

// A pseudo-terminal pair whose slave is mapped as COM<number>. The test plays the device
// at the master.
class PtyPort {
public:
    PtyPort(const ComDir &dir, int number);
    ~PtyPort();
    PtyPort(const PtyPort &) = delete;
    PtyPort &operator=(const PtyPort &) = delete;

    int number() const { return m_number; }
    QString slavePath() const { return m_slave; }

    void write(const QByteArray &bytes);
    // Bytes the program sent, collected until `count` arrived or `ms` passed.
    QByteArray read(qsizetype count, int ms = 2000);
    // Whatever arrives within `ms` (for "nothing was sent").
    QByteArray drain(int ms);
    // Closes the master: the device hangs up.
    void hangUp();
    // Whether the slave can be opened and locked now, as another program would.
    bool canOpenExclusively() const;

private:
    int m_master = -1;
    int m_number;
    QString m_slave;
    QString m_link;
};

} // namespace testkit
