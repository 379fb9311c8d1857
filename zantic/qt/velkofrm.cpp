// The terminal window (see velkofrm.h).
#include "velkofrm.h"

#include "addtext.h"
#include "core/poll.h"
#include "keys.h"
#include "message.h"
#include "velkomod.h"
#include "velkooptions.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QTimer>

#include <memory>

using namespace velkomod;

Velkofrm::Velkofrm(QWidget *parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("Velkofrm"));
    setWindowTitle(QString::fromLatin1(zantic::kProgramName));

    auto *client = new QWidget(this);
    setCentralWidget(client);

    Text1 = new QPlainTextEdit(client);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setGeometry(16, 8, 409, 257);
    Text1->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    Text1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Text1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Text1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Text1->setUndoRedoEnabled(false); // received text must not be undoable, nor kept twice
    // Only the device writes into the box: read-only leaves no way to edit it locally (Delete,
    // cut, paste, drops, the context menu's Paste), so the context menu has Copy and Select
    // All. The caret still moves and selects by keyboard, and typed or composed characters
    // reach the event filter, which sends them.
    Text1->setReadOnly(true);
    Text1->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    Text1->setAttribute(Qt::WA_InputMethodEnabled, true);
    Text1->setEnabled(false);
    Text1->installEventFilter(this);
    Text1->viewport()->installEventFilter(this); // mouse and drops arrive at the viewport
    Text1->viewport()->setAcceptDrops(true);
    Text1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(Text1, &QWidget::customContextMenuRequested, this, &Velkofrm::showContextMenu);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(100);
    Timer1->setTimerType(Qt::PreciseTimer); // a late tick is delay on every received byte
    connect(Timer1, &QTimer::timeout, this, &Velkofrm::Timer1_Timer);

    m_sendTimer = new QTimer(this);
    m_sendTimer->setInterval(zantic::core::kSendInterval);
    connect(m_sendTimer, &QTimer::timeout, this, &Velkofrm::sendQueued);

    m_file = menuBar()->addMenu(QStringLiteral("&Open"));
    m_file->setObjectName(QStringLiteral("file"));
    m_setting = m_file->addAction(QStringLiteral("&Setting"));
    m_setting->setObjectName(QStringLiteral("Setting"));
    m_bar = m_file->addSeparator();
    m_bar->setObjectName(QStringLiteral("Bar"));
    m_exit = m_file->addAction(QStringLiteral("&Exit"));
    m_exit->setObjectName(QStringLiteral("exit"));
    m_action = menuBar()->addMenu(QStringLiteral("&Action"));
    m_action->setObjectName(QStringLiteral("action"));
    m_connect = m_action->addAction(QStringLiteral("&Connect"));
    m_connect->setObjectName(QStringLiteral("connect"));
    m_connect->setEnabled(false);
    m_disconnect = m_action->addAction(QStringLiteral("&Disconnect"));
    m_disconnect->setObjectName(QStringLiteral("disconnect"));
    m_disconnect->setEnabled(false);

    connect(m_setting, &QAction::triggered, this, &Velkofrm::Setting_Click);
    connect(m_exit, &QAction::triggered, this, &Velkofrm::exit_Click);
    connect(m_connect, &QAction::triggered, this, &Velkofrm::connect_Click);
    connect(m_disconnect, &QAction::triggered, this, &Velkofrm::disconnect_Click);
    // F10 opens the first menu, as in other programs; Alt with a letter and Alt alone work
    // through the menu bar itself.
    auto *f10 = new QShortcut(QKeySequence(Qt::Key_F10), this);
    connect(f10, &QShortcut::activated, this, [this] {
        menuBar()->setActiveAction(m_file->menuAction());
    });

    // The client area is 438 x 280 below the menu bar.
    resize(438, 280 + menuBar()->sizeHint().height());

    Form_Load();
}

void Velkofrm::Form_Load() {}

void Velkofrm::Setting_Click()
{
    Velkooptions dialog(this); // built afresh: every showing starts from the defaults
    if (dialog.exec() == QDialog::Accepted) {
        ComPort = dialog.port();
        ComFlag = dialog.flag();
    }
    m_connect->setEnabled(true);
    m_disconnect->setEnabled(true);
    if (ComOpen == 1)
        Text1->setFocus(Qt::OtherFocusReason); // typing goes on where it was
}

void Velkofrm::connect_Click()
{
    const int32_t port = ComPort;
    // Opening a remote port can take seconds, with the window unable to react meanwhile.
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    const bool opened = IOP_Open(port, ComFlag) == 0;
    // An open connection stays as it is. A device that refused the settings is still held by
    // the library: let it go, so that other programs can have it meanwhile.
    if (!opened && !(ComOpen == 1 && m_openPort == port))
        IOP_Close(port);
    QGuiApplication::restoreOverrideCursor();
    if (!opened) {
        zantic::showMessage(this, QStringLiteral("Can't OPEN this device--COM"));
        return;
    }
    // Connecting to another port while connected moves the connection: the old port would
    // otherwise stay open, and locked, with nothing left that could close it.
    if (ComOpen == 1 && m_openPort && *m_openPort != port)
        IOP_Close(*m_openPort);
    dropQueued();
    m_openPort = port;
    ComOpen = 1;
    StartPoll();
    Text1->setEnabled(true);
    // Keys typed now are for the device: the menu that ran Connect must not keep them.
    Text1->setFocus(Qt::OtherFocusReason);
}

void Velkofrm::disconnect_Click()
{
    IOP_Close(m_openPort.value_or(ComPort)); // result ignored: nothing to tell the user
    StopPoll();
    ComOpen = 0;
    dropQueued(); // a Disconnect ends a paste
}

void Velkofrm::exit_Click() { close(); }

void Velkofrm::closeEvent(QCloseEvent *event)
{
    dropQueued();
    if (ComOpen == 1 && m_openPort) {
        StopPoll();
        IOP_Close(*m_openPort);
        m_openPort.reset(); // closed once, however many ways the window is closed
    }
    event->accept();
}

void Velkofrm::endProgram()
{
    close();
    // A modal window (the dialog, a message box) keeps the program from ending when its
    // main window closes: end every event loop.
    QCoreApplication::exit(0);
}

void Velkofrm::StartPoll() { Timer1->start(); }

void Velkofrm::StopPoll() { Timer1->stop(); }

void Velkofrm::Timer1_Timer()
{
    // A message box opened further down runs its own event loop, where ticks go on: they
    // must not start a second read and display on top of the unfinished one.
    if (m_inTick || !m_openPort)
        return;
    m_inTick = true;
    const int32_t port = *m_openPort;

    // Everything that waits, up to a bound per tick so that the window stays responsive
    // under a flood.
    const zantic::core::TickResult got =
        zantic::core::readTick(port, {&IOP_DIQ_Count, &IOP_Read, &IOP_Getc}, m_readBuffer);
    if (got.count > 0)
        AddText(Text1, QString::fromLatin1(m_readBuffer.data(), qsizetype(got.count)));
    m_inTick = false;
    if (got.gone)
        deviceGone(port);
}

void Velkofrm::deviceGone(int32_t port)
{
    // As Disconnect: the port is let go, so that Connect can open the device when it is back.
    disconnect_Click();
    zantic::showMessage(this, QString::fromStdString(zantic::core::goneMessage(port)));
}

void Velkofrm::AddText(QPlainTextEdit *box, const QString &s)
{
    zantic::addTick(*box, s);
    emit textReceived(s);
}

void Velkofrm::text1_KeyPress(int16_t &KeyAscii)
{
    const char byte = char(KeyAscii & 0xFF);
    if (!m_outgoing.empty())
        m_outgoing.append(std::string_view(&byte, 1)); // after the paste still going out
    else if (m_openPort)
        IOP_Write(*m_openPort, &byte, 1); // a failed write loses the key silently
    KeyAscii = 0;
}

void Velkofrm::sendPasted(const QString &text)
{
    // Only a connection sends: after Disconnect the bytes would be lost all the same.
    if (ComOpen != 1 || !m_openPort)
        return;
    m_outgoing.append(zantic::pasteBytes(text).toStdString());
    sendQueued();
}

void Velkofrm::sendQueued()
{
    if (ComOpen != 1 || !m_openPort) {
        dropQueued();
        return;
    }
    using Step = zantic::core::SendQueue::Step;
    const Step step = m_outgoing.send(*m_openPort, &IOP_Putc);
    if (step == Step::Done) {
        dropQueued();
        return;
    }
    // A port that took all it was given gets the next step as soon as other events are done.
    m_sendTimer->setInterval(step == Step::Refused ? zantic::core::kSendInterval
                                                   : std::chrono::milliseconds(0));
    if (!m_sendTimer->isActive())
        m_sendTimer->start();
}

void Velkofrm::dropQueued()
{
    m_outgoing.clear();
    m_sendTimer->stop();
}

void Velkofrm::showContextMenu(const QPoint &pos)
{
    // The standard entries name Ctrl+C and Ctrl+A, keys that send 0x03 and 0x01 here: Copy is
    // named on Ctrl+Insert, which types nothing, and the other entries on no key.
    const std::unique_ptr<QMenu> menu(Text1->createStandardContextMenu(pos));
    for (QAction *a : menu->actions()) {
        QString text = a->text().section(u'\t', 0, 0);
        if (a->objectName() == QLatin1String("edit-copy"))
            text += u'\t' + copyKey().toString(QKeySequence::NativeText);
        a->setText(text);
    }
    menu->exec(Text1->viewport()->mapToGlobal(pos));
}

bool Velkofrm::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Text1->viewport()) {
        switch (event->type()) {
        case QEvent::MouseButtonRelease:
            // The middle button pastes the selection, as everywhere on X11.
            if (static_cast<QMouseEvent *>(event)->button() == Qt::MiddleButton &&
                QGuiApplication::clipboard()->supportsSelection()) {
                sendPasted(QGuiApplication::clipboard()->text(QClipboard::Selection));
                return true;
            }
            return false;
        case QEvent::DragEnter:
        case QEvent::DragMove: {
            auto *drag = static_cast<QDropEvent *>(event);
            if (drag->mimeData() && drag->mimeData()->hasText()) {
                drag->setDropAction(Qt::CopyAction); // never moved: the source keeps its text
                drag->accept();
            } else {
                drag->ignore();
            }
            return true;
        }
        case QEvent::Drop: {
            auto *drop = static_cast<QDropEvent *>(event);
            if (drop->mimeData() && drop->mimeData()->hasText())
                sendPasted(drop->mimeData()->text());
            drop->setDropAction(Qt::CopyAction);
            drop->accept();
            return true;
        }
        default:
            return false;
        }
    }
    if (watched == Text1 && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Insert && key->modifiers() == Qt::ShiftModifier) {
            sendPasted(QGuiApplication::clipboard()->text(QClipboard::Clipboard));
            return true;
        }
        if (key->keyCombination() == copyKey()[0]) {
            Text1->copy(); // the context menu's Copy, on every platform's key bindings
            return true;
        }
        const std::optional<QByteArray> bytes =
            zantic::keyBytes(key->key(), key->modifiers(), key->text());
        if (!bytes)
            return false; // no character: the box moves the caret or scrolls as usual
        for (char b : *bytes) {
            int16_t code = int16_t(uint8_t(b));
            text1_KeyPress(code);
        }
        return true; // cancelled in every case: nothing is echoed locally
    }
    if (watched == Text1 && event->type() == QEvent::InputMethod) {
        // Characters composed by an input method (dead keys, compose sequences) come here
        // instead of as key presses: they are typed characters all the same.
        const auto *input = static_cast<QInputMethodEvent *>(event);
        for (QChar c : input->commitString()) {
            if (c.unicode() > 0xFF)
                continue; // no Latin-1 byte for it
            int16_t code = int16_t(c.unicode());
            text1_KeyPress(code);
        }
        return true; // neither the composition nor its result goes into the box
    }
    return QMainWindow::eventFilter(watched, event);
}
