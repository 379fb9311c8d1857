// The terminal window (see velkofrm.h).
#include "velkofrm.h"

#include "addtext.h"
#include "keys.h"
#include "message.h"
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

Velkofrm::Velkofrm(QWidget *parent)
    : QMainWindow(parent), m_session(*this, zantic::core::kLibraryCalls)
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
    Timer1->setInterval(zantic::core::kPollInterval);
    Timer1->setTimerType(Qt::PreciseTimer); // a late tick is delay on every received byte
    connect(Timer1, &QTimer::timeout, this, [this] { m_session.tick(); });

    m_sendTimer = new QTimer(this);
    m_sendTimer->setInterval(zantic::core::kSendInterval);
    connect(m_sendTimer, &QTimer::timeout, this, [this] { m_session.sendStep(); });

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
}

void Velkofrm::Setting_Click()
{
    Velkooptions dialog(this); // built afresh: every showing starts from the defaults
    const bool ok = dialog.exec() == QDialog::Accepted;
    m_session.settingsClosed(ok, dialog.port(), dialog.flag());
}

void Velkofrm::connect_Click() { m_session.connect(); }

void Velkofrm::disconnect_Click() { m_session.disconnect(); }

void Velkofrm::exit_Click() { close(); }

void Velkofrm::closeEvent(QCloseEvent *event)
{
    m_session.end();
    event->accept();
}

void Velkofrm::endProgram()
{
    close();
    // A modal window (the dialog, a message box) keeps the program from ending when its
    // main window closes: end every event loop.
    QCoreApplication::exit(0);
}

void Velkofrm::sendPasted(const QString &text) { m_session.paste(text.toStdU16String()); }

void Velkofrm::startPoll() { Timer1->start(); }

void Velkofrm::stopPoll() { Timer1->stop(); }

void Velkofrm::sendLater(std::chrono::milliseconds delay)
{
    m_sendTimer->setInterval(delay);
    if (!m_sendTimer->isActive())
        m_sendTimer->start();
}

void Velkofrm::stopSending() { m_sendTimer->stop(); }

std::u16string Velkofrm::boxText() { return zantic::boxText(*Text1).toStdU16String(); }

void Velkofrm::editBox(const zantic::core::BoxEdit &edit, std::u16string_view received)
{
    zantic::editBox(*Text1, edit);
    emit textReceived(QString::fromUtf16(received.data(), qsizetype(received.size())));
}

void Velkofrm::enableEntries()
{
    m_connect->setEnabled(true);
    m_disconnect->setEnabled(true);
}

void Velkofrm::enableBox() { Text1->setEnabled(true); }

void Velkofrm::focusBox() { Text1->setFocus(Qt::OtherFocusReason); }

void Velkofrm::showMessage(std::string_view text)
{
    zantic::showMessage(this, QString::fromUtf8(text.data(), qsizetype(text.size())));
}

void Velkofrm::opening(bool started)
{
    if (started)
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QGuiApplication::restoreOverrideCursor();
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
        m_session.key(std::string_view(bytes->constData(), size_t(bytes->size())));
        return true; // cancelled in every case: nothing is echoed locally
    }
    if (watched == Text1 && event->type() == QEvent::InputMethod) {
        // Characters composed by an input method (dead keys, compose sequences) come here
        // instead of as key presses: they are typed characters all the same.
        const auto *input = static_cast<QInputMethodEvent *>(event);
        for (QChar c : input->commitString())
            m_session.typed(c.unicode());
        return true; // neither the composition nor its result goes into the box
    }
    return QMainWindow::eventFilter(watched, event);
}
