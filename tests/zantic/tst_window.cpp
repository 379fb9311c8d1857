// The terminal window with the real library against pseudo-terminals: the states of a
// connection menu by menu, Connect/Disconnect/Exit and the close control, reception into the
// box, typed and pasted keys, a device that goes away, the ports the dialog marks, and
// offscreen pictures of the window and the dialog (docs/ has the ones taken under X). Which
// port a Connect opens and closes, ticks inside ticks and message boxes, and how a paste ends
// with its connection are the session's rules, tested once in session_test.cpp.
#include "addtext.h"
#include "message.h"
#include "velkofrm.h"
#include "core/session.h"
#include "velkooptions.h"

#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QInputMethodEvent>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <QThreadPool>
#include <QTimer>

#include <ctime>
#include <fcntl.h>
#include <memory>
#include <sys/ioctl.h>
#include <unistd.h>

#include "helpers.h"

using namespace zantic::core;
using testkit::child;
using testkit::ComDir;
using testkit::PtyPort;

namespace {

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

} // namespace

class WindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<ComDir> m_dir;
    std::unique_ptr<Velkofrm> m_win;
    QStringList m_messages;

    QPlainTextEdit *text1() { return child<QPlainTextEdit>(m_win.get(), "Text1"); }
    QTimer *timer1() { return child<QTimer>(m_win.get(), "Timer1"); }
    QAction *action(const char *name) { return child<QAction>(m_win.get(), name); }

    // Setting from the menu; `answer` works the dialog and closes it.
    void setting(std::function<void(QWidget *)> answer)
    {
        bool answered = false;
        testkit::whenModal([&](QWidget *dialog) {
            QCOMPARE(dialog->objectName(), QString("Velkooptions"));
            answer(dialog);
            answered = true;
        });
        action("Setting")->trigger(); // returns once the dialog has closed
        QVERIFY(answered);
    }
    static std::function<void(QWidget *)> ok(int port = 2, int flow = -1)
    {
        return [port, flow](QWidget *d) {
            child<QComboBox>(d, "cboPort")->setCurrentIndex(port - 1);
            if (flow >= 0)
                child<QRadioButton>(d, qPrintable(QString("optFlow%1").arg(flow)))->click();
            child<QPushButton>(d, "cmdOK")->click();
        };
    }
    static void cancel(QWidget *d) { child<QPushButton>(d, "cmdCancel")->click(); }

    void connectTo(int port)
    {
        setting(ok(port));
        m_messages.clear();
        action("connect")->trigger();
        QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.join('|')));
        QCOMPARE(ComOpen, 1);
    }

    // State of the connection table: ComOpen, timer, Text1, the two Action entries.
    void expectState(int open, bool ticking, bool text, bool menus)
    {
        QCOMPARE(ComOpen, open);
        QCOMPARE(timer1()->isActive(), ticking);
        QCOMPARE(text1()->isEnabled(), text);
        QCOMPARE(action("connect")->isEnabled(), menus);
        QCOMPARE(action("disconnect")->isEnabled(), menus);
    }

    QString allReceived(const QSignalSpy &spy)
    {
        QString all;
        for (const QList<QVariant> &call : spy)
            all += call.at(0).toString();
        return all;
    }

private slots:
    void initTestCase()
    {
        QApplication::setQuitOnLastWindowClosed(false);
        m_dir = std::make_unique<ComDir>();
        zantic::setMessageHook([this](const QString &text) { m_messages << text; });
    }

    // Qt's painting hands work to its global thread pool; a pool thread still winding down
    // at exit leaves its thread record to the leak check now and then. Joining them here
    // keeps that check for our own objects.
    void cleanupTestCase() { QThreadPool::globalInstance()->waitForDone(); }

    void init()
    {
        ComPort = ComFlag = ComOpen = 0;
        m_messages.clear();
        m_win = std::make_unique<Velkofrm>();
        m_win->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_win.get()));
        m_win->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_win.get()));
    }

    void cleanup()
    {
        if (ComOpen == 1)
            m_win->disconnect_Click();
        m_win.reset();
    }

    void windowLayout()
    {
        QCOMPARE(m_win->windowTitle(), QString("Demo"));
        QCOMPARE(m_win->centralWidget()->size(), QSize(438, 280));
        QCOMPARE(text1()->geometry(), QRect(16, 8, 409, 257));
        QCOMPARE(text1()->lineWrapMode(), QPlainTextEdit::NoWrap);
        QCOMPARE(text1()->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QCOMPARE(text1()->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        const QFontMetrics fm(text1()->font()); // fontconfig does not flag every mono font
        QCOMPARE(fm.horizontalAdvance("iiii"), fm.horizontalAdvance("WWWW"));
        QCOMPARE(timer1()->interval(), 100);
        auto *file = child<QMenu>(m_win.get(), "file");
        auto *act = child<QMenu>(m_win.get(), "action");
        QCOMPARE(file->title(), QString("&Open"));
        QCOMPARE(act->title(), QString("&Action"));
        QStringList entries;
        for (QAction *a : file->actions())
            entries << (a->isSeparator() ? "-" : a->text());
        QCOMPARE(entries, QStringList({"&Setting", "-", "&Exit"}));
        entries.clear();
        for (QAction *a : act->actions())
            entries << a->text();
        QCOMPARE(entries, QStringList({"&Connect", "&Disconnect"}));
        // Resizing moves nothing.
        m_win->resize(700, 500);
        QTest::qWait(20);
        QCOMPARE(text1()->geometry(), QRect(16, 8, 409, 257));
    }

    void connectionStates()
    {
        expectState(0, false, false, false); // no settings yet

        setting(cancel); // Cancel before any OK: entries enabled, globals still 0
        expectState(0, false, false, true);
        QCOMPARE(ComPort, 0);
        QCOMPARE(ComFlag, 0);
        action("connect")->trigger(); // port 0 does not exist
        QCOMPARE(m_messages, QStringList({"Can't OPEN this device--COM"}));
        expectState(0, false, false, true);
        action("disconnect")->trigger(); // nothing open: nothing visible happens
        expectState(0, false, false, true);

        setting([](QWidget *d) { d->close(); }); // the close control stores nothing either
        QCOMPARE(ComPort, 0);
        setting(ok());
        QCOMPARE(ComPort, 2);
        QCOMPARE(ComFlag, 0x1036);
        expectState(0, false, false, true); // settings chosen

        PtyPort com2(*m_dir, 2);
        m_messages.clear();
        m_win->menuBar()->setFocus(); // where a menu chosen by keyboard leaves it
        action("connect")->trigger();
        QVERIFY(m_messages.isEmpty());
        expectState(1, true, true, true); // connected
        QVERIFY(!com2.canOpenExclusively());
        QCOMPARE(m_win->focusWidget(), text1()); // typing goes to the device at once

        setting(cancel); // Setting while connected changes nothing here
        expectState(1, true, true, true);
        QCOMPARE(m_win->focusWidget(), text1());

        action("disconnect")->trigger();
        expectState(0, false, true, true); // disconnected: Text1 stays enabled
        QVERIFY(com2.canOpenExclusively());

        action("connect")->trigger(); // and back
        expectState(1, true, true, true);
    }

    void dialogStartsFromDefaultsEachTime()
    {
        setting(ok(17, 3));
        QCOMPARE(ComPort, 17);
        QCOMPARE(ComFlag, 0x00B6);
        setting([](QWidget *d) {
            QCOMPARE(child<QComboBox>(d, "cboPort")->currentText(), QString("Com2"));
            QCOMPARE(child<QComboBox>(d, "cboSpeed")->currentText(), QString("9600"));
            QVERIFY(child<QRadioButton>(d, "optFlow0")->isChecked());
            QCOMPARE(static_cast<Velkooptions *>(d)->FlowIndex, int16_t(0));
            cancel(d);
        });
        QCOMPARE(ComPort, 17); // the confirmed values stay until the next OK
        QCOMPARE(ComFlag, 0x00B6);
    }

    void exitAndCloseControlCloseThePort_data()
    {
        QTest::addColumn<bool>("byExit");
        QTest::newRow("Exit") << true;
        QTest::newRow("close control") << false;
    }
    void exitAndCloseControlCloseThePort()
    {
        QFETCH(bool, byExit);
        PtyPort com2(*m_dir, 2);
        connectTo(2);
        QVERIFY(!com2.canOpenExclusively());
        if (byExit)
            action("exit")->trigger();
        else
            m_win->close(); // what the window manager's close request runs
        QVERIFY(!m_win->isVisible());
        QVERIFY(com2.canOpenExclusively());
        // Not left exclusive either: on a pseudo-terminal the flag would outlive the program
        // and lock out every other user's program.
        const int fd = ::open(qPrintable(com2.slavePath()), O_RDWR | O_NOCTTY | O_NONBLOCK);
        int exclusive = -1;
        QCOMPARE(::ioctl(fd, TIOCGEXCL, &exclusive), 0);
        ::close(fd);
        QCOMPARE(exclusive, 0);
        // The library agrees that the port is free again.
        QCOMPARE(IOP_Open(2, 0x1036), 0);
        QCOMPARE(IOP_Close(2), 0);
        ComOpen = 0;
    }

    void receivedBytesAppearWithinTwoTicks()
    {
        PtyPort com2(*m_dir, 2);
        connectTo(2);
        QTest::qWait(150);
        QSignalSpy ticks(timer1(), &QTimer::timeout);
        qsizetype shownAtTick = -1; // counting the tick that shows it
        connect(m_win.get(), &Velkofrm::textReceived, this, [&] {
            if (shownAtTick < 0)
                shownAtTick = ticks.count() + 1;
        });
        com2.write("hello\r\nworld");
        QTRY_COMPARE(zantic::boxText(*text1()), QString("hello\r\nworld"));
        QVERIFY2(shownAtTick >= 1 && shownAtTick <= 2, qPrintable(QString::number(shownAtTick)));
        QCOMPARE(text1()->textCursor().position(), text1()->document()->characterCount() - 1);
    }

    void burstArrivesWhole()
    {
        PtyPort com2(*m_dir, 2);
        connectTo(2);
        QSignalSpy received(m_win.get(), &Velkofrm::textReceived);

        // 64 KB of every byte value, NUL, backspace, CR and LF included.
        QByteArray burst;
        for (int i = 0; burst.size() < 64 * 1024; ++i)
            burst.append(char((i * 7 + i / 256) & 0xFF));
        com2.write(burst);
        QTRY_VERIFY_WITH_TIMEOUT(allReceived(received).size() >= burst.size(), 10000);
        QTest::qWait(250);
        QCOMPARE(allReceived(received), QString::fromLatin1(burst)); // nothing lost or doubled
    }

    void streamShownOnceAndInOrder()
    {
        PtyPort com2(*m_dir, 2);
        connectTo(2);
        QSignalSpy received(m_win.get(), &Velkofrm::textReceived);
        QString expected;
        for (int i = 0; i < 300; ++i) {
            const QByteArray line = QByteArray::number(i) + " abcdefghij\r\n";
            com2.write(line);
            expected += QString::fromLatin1(line);
            if (i % 37 == 0)
                QTest::qWait(30); // let lines fall into different ticks
        }
        QTRY_COMPARE_WITH_TIMEOUT(zantic::boxText(*text1()), expected, 5000);
        QVERIFY(received.count() > 1);
        QCOMPARE(allReceived(received), expected);
    }

    void typedKeysGoToThePort()
    {
        PtyPort com2(*m_dir, 2);
        connectTo(2);
        zantic::addText(*text1(), "line one\rline two");
        const QString before = zantic::boxText(*text1());
        m_win->activateWindow();
        text1()->setFocus();
        QVERIFY(QTest::qWaitForWindowActive(m_win.get()));

        QTest::keyClicks(text1(), "a Z");
        QTest::keyClick(text1(), Qt::Key_Return);
        QTest::keyClick(text1(), Qt::Key_Backspace);
        QTest::keyClick(text1(), Qt::Key_Tab);
        QTest::keyClick(text1(), Qt::Key_Escape);
        QTest::keyClick(text1(), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(text1(), Qt::Key_Z, Qt::ControlModifier);
        for (QChar c : {QChar(0xE9), QChar(0x20AC), QChar(0xFF)}) // as a keyboard layout gives them
            QTest::sendKeyEvent(QTest::Click, text1(), Qt::Key_unknown, QString(c), Qt::NoModifier);
        QInputMethodEvent composed; // a dead key and a vowel, through an input method
        composed.setCommitString(QString(QChar(0xE8)));
        QApplication::sendEvent(text1(), &composed);
        const QByteArray want("a Z\r\b\t\x1b\x01\x1a\xE9\xFF\xE8", 12);
        QCOMPARE(com2.read(want.size()), want);
        QCOMPARE(com2.drain(150), QByteArray());
        QCOMPARE(zantic::boxText(*text1()), before); // no local echo, nothing edited
        QVERIFY(text1()->hasFocus()); // Tab did not move the focus

        // Keys without a character move the caret as usual and send nothing.
        QTest::keyClick(text1(), Qt::Key_Home);
        QCOMPARE(text1()->textCursor().positionInBlock(), 0);
        QTest::keyClick(text1(), Qt::Key_Up);
        QCOMPARE(text1()->textCursor().blockNumber(), 0);
        QCOMPARE(com2.drain(150), QByteArray());

        // An echoing device: the echo shows, a CR as a new line.
        QTest::keyClicks(text1(), "ok");
        com2.write(com2.read(2) + "\r");
        QTRY_COMPARE(zantic::boxText(*text1()), before + "ok\r\n");

        // After Disconnect typing fails unnoticed and changes nothing.
        action("disconnect")->trigger();
        QTest::keyClicks(text1(), "lost");
        QTest::keyClick(text1(), Qt::Key_Return);
        QVERIFY(m_messages.isEmpty());
        QCOMPARE(zantic::boxText(*text1()), before + "ok\r\n");
        QCOMPARE(com2.drain(150), QByteArray());
    }

    void pasteAndDropGoToThePortOnly()
    {
        PtyPort com2(*m_dir, 2);
        connectTo(2);
        zantic::addText(*text1(), "received\r");
        const QString before = zantic::boxText(*text1());
        text1()->setFocus();
        QClipboard *clipboard = QGuiApplication::clipboard();

        clipboard->clear(); // an empty clipboard sends nothing, and nothing breaks
        QTest::keyClick(text1(), Qt::Key_Insert, Qt::ShiftModifier);
        QCOMPARE(com2.drain(150), QByteArray());

        clipboard->setText(QString::fromUtf8("dir\nls -l\u20ac\r\n"));
        QTest::keyClick(text1(), Qt::Key_Insert, Qt::ShiftModifier);
        QCOMPARE(com2.read(10), QByteArray("dir\rls -l\r"));

        // A drop is copied, never moved, and sent as the paste is.
        QMimeData dragged;
        dragged.setText("AT\n");
        const QPoint at = text1()->viewport()->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, &dragged, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(text1()->viewport(), &enter);
        QVERIFY(enter.isAccepted());
        QCOMPARE(enter.dropAction(), Qt::CopyAction);
        QDropEvent drop(at, Qt::CopyAction | Qt::MoveAction, &dragged, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(text1()->viewport(), &drop);
        QCOMPARE(drop.dropAction(), Qt::CopyAction);
        QCOMPARE(com2.read(3), QByteArray("AT\r"));

        // Nothing edits the box: not Delete, not cut, and the context menu offers no paste.
        text1()->selectAll();
        QTest::keyClick(text1(), Qt::Key_Delete);
        QTest::keyClick(text1(), Qt::Key_Delete, Qt::ShiftModifier);
        QCOMPARE(zantic::boxText(*text1()), before);
        // Its context menu names no key that sends a byte (Ctrl+C, Ctrl+A); Ctrl+Insert copies.
        QStringList entries;
        QTimer::singleShot(50, [&entries] {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            if (!menu)
                return;
            for (QAction *a : menu->actions())
                if (!a->isSeparator())
                    entries << a->text().remove('&');
            menu->close();
        });
        emit text1()->customContextMenuRequested(text1()->viewport()->rect().center());
        const QString ctrlInsert = QKeySequence(Qt::CTRL | Qt::Key_Insert).toString(QKeySequence::NativeText);
        QCOMPARE(entries, QStringList({"Copy\t" + ctrlInsert, "Select All"}));
        QGuiApplication::clipboard()->clear();
        text1()->selectAll();
        QTest::keyClick(text1(), Qt::Key_Insert, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QString(before).replace("\r\n", "\n"));
        QCOMPARE(com2.drain(150), QByteArray());
    }

    // A paste far larger than the line takes at once goes out in many steps of the send timer,
    // whole and in order; keys typed meanwhile follow it. (What a Disconnect in the middle
    // leaves, and the pace of the steps: the session's test.)
    void pasteGoesOutInOrderWithKeysBehindIt()
    {
        PtyPort com2(*m_dir, 2);
        connectTo(2);
        text1()->setFocus();
        QString text;
        QByteArray bytes;
        for (int i = 0; i < 200000; ++i) {
            const char c = (i % 50 == 49) ? '\r' : char('a' + i % 26);
            text.append(c == '\r' ? QChar(u'\n') : QChar(c));
            bytes.append(c);
        }
        QGuiApplication::clipboard()->setText(text);
        QTest::keyClick(text1(), Qt::Key_Insert, Qt::ShiftModifier);
        QTest::keyClicks(text1(), "ab");
        QTest::keyClick(text1(), Qt::Key_Return);
        const QByteArray got = com2.read(bytes.size() + 3, 60000);
        QCOMPARE(got.size(), bytes.size() + 3);
        QVERIFY(got == bytes + "ab\r");
    }

    void deviceGoneIsToldOnceAndConnectWorksWhenItIsBack()
    {
        auto com2 = std::make_unique<PtyPort>(*m_dir, 2);
        connectTo(2);
        com2->write("before");
        QTRY_COMPARE(zantic::boxText(*text1()), QString("before"));
        com2->hangUp(); // unplugged

        QTRY_COMPARE(m_messages.size(), 1);
        QVERIFY2(m_messages[0].startsWith("COM2: the device went away"), qPrintable(m_messages[0]));
        QCOMPARE(zantic::boxText(*text1()), QString("before"));
        expectState(0, false, true, true); // disconnected, as Disconnect leaves it
        const double cpu0 = processCpuSeconds();
        QTest::qWait(500);
        QVERIFY(processCpuSeconds() - cpu0 < 0.25); // nothing spins meanwhile
        QCOMPARE(m_messages.size(), 1);

        com2.reset();
        com2 = std::make_unique<PtyPort>(*m_dir, 2); // plugged in again
        action("connect")->trigger();
        QCOMPARE(m_messages.size(), 1);
        expectState(1, true, true, true);
        QTest::keyClick(text1(), Qt::Key_A);
        QCOMPARE(com2->read(1), QByteArray("a"));
    }

    void dialogMarksThePortsThatAreThere()
    {
        PtyPort com3(*m_dir, 3);
        PtyPort com12(*m_dir, 12);
        QCOMPARE(IOP_Open(12, 0x1036), 0); // held by this program
        const QString noPort = m_dir->path() + "/COM5"; // an entry that is no port
        QVERIFY(QFile::link("/dev/null", noPort));
        setting([&](QWidget *d) {
            auto *port = child<QComboBox>(d, "cboPort");
            QCOMPARE(port->count(), 60);
            QList<int> bold;
            for (int i = 0; i < port->count(); ++i) {
                QCOMPARE(port->itemText(i), QString("Com%1").arg(i + 1)); // text and places kept
                if (port->itemData(i, Qt::FontRole).value<QFont>().bold())
                    bold << i + 1;
            }
            QCOMPARE(bold, QList<int>({3, 12}));
            const QString tip3 = port->itemData(2, Qt::ToolTipRole).toString();
            QVERIFY2(tip3.contains(com3.slavePath()) && tip3.endsWith("\nfree"), qPrintable(tip3));
            const QString tip12 = port->itemData(11, Qt::ToolTipRole).toString();
            QVERIFY2(tip12.contains(QString("busy: %1 (process %2)")
                                        .arg(QFileInfo(QCoreApplication::applicationFilePath()).fileName())
                                        .arg(QCoreApplication::applicationPid())),
                     qPrintable(tip12));
            QVERIFY(port->itemData(0, Qt::ToolTipRole).toString().startsWith("no device at "));
            const QString tip5 = port->itemData(4, Qt::ToolTipRole).toString();
            QVERIFY2(tip5.endsWith("\nbroken: /dev/null is not a serial device"), qPrintable(tip5));
            cancel(d);
        });
        QFile::remove(noPort);
        QCOMPARE(IOP_Close(12), 0);
    }

    void pictures()
    {
        PtyPort com2(*m_dir, 2);
        connectTo(2);
        com2.write("Demo connected to COM2 at 9600,n,8,1\r\n"
                   "ATI\r\n"
                   "OK\r\n"
                   "The quick brown fox jumps over the lazy dog 0123456789\r\n"
                   "> ");
        QTRY_VERIFY(zantic::boxText(*text1()).endsWith("> "));
        QDir().mkpath(ZANTIC_PICTURES_DIR);
        QVERIFY(m_win->grab().save(ZANTIC_PICTURES_DIR "/terminal.png"));

        Velkooptions dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QVERIFY(dialog.grab().save(ZANTIC_PICTURES_DIR "/settings.png"));
    }
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
