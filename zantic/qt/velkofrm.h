// The terminal window: one text box showing what the port receives and sending what is typed,
// pasted or dropped into it, a 100 ms poll timer, and the Open/Action menus that set up,
// connect and disconnect the port. What each of them does is the terminal session's
// (core/session.h); here are only the widgets, the timers and their wiring.
#pragma once

#include "core/session.h"

#include <QMainWindow>
#include <QKeySequence>

class QAction;
class QMenu;
class QPlainTextEdit;
class QTimer;

class Velkofrm : public QMainWindow, private zantic::core::SessionFace {
    Q_OBJECT
public:
    explicit Velkofrm(QWidget *parent = nullptr);

    // The menu commands, as the menu entries run them.
    void connect_Click();
    void disconnect_Click();
    void exit_Click();
    void Setting_Click();

    // Ends the program as Exit does, also from inside a modal window (an ending signal).
    void endProgram();

signals:
    // The text a tick has just handed to the display, exactly as read from the port.
    void textReceived(const QString &text);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    // Exit and the window's own close control both end here: the port is closed first.
    void closeEvent(QCloseEvent *event) override;

private:
    // Text pasted or dropped into Text1 goes to the port as typed keys would.
    void sendPasted(const QString &text);
    // The text box's context menu, naming only keys that send nothing.
    void showContextMenu(const QPoint &pos);
    static QKeySequence copyKey() { return QKeySequence(Qt::CTRL | Qt::Key_Insert); }

    // What the session asks of the window.
    void startPoll() override;
    void stopPoll() override;
    void sendLater(std::chrono::milliseconds delay) override;
    void stopSending() override;
    std::u16string boxText() override;
    void editBox(const zantic::core::BoxEdit &edit, std::u16string_view received) override;
    void enableEntries() override;
    void enableBox() override;
    void focusBox() override;
    void showMessage(std::string_view text) override;
    void opening(bool started) override;
    const zantic::core::CodePage &codePage() const override { return zantic::core::kLatin1; }

    QPlainTextEdit *Text1;
    QTimer *Timer1;
    QMenu *m_file, *m_action;
    QAction *m_setting, *m_bar, *m_exit, *m_connect, *m_disconnect;
    QTimer *m_sendTimer; // the next step of a paste
    zantic::core::Session m_session;
};
