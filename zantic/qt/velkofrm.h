// The terminal window: one text box showing what the port receives and sending what is typed,
// pasted or dropped into it, a 100 ms poll timer, and the Open/Action menus that set up,
// connect and disconnect the port.
#pragma once

#include "core/sendqueue.h"

#include <QMainWindow>
#include <QByteArray>
#include <QKeySequence>
#include <cstdint>
#include <optional>
#include <vector>

class QAction;
class QMenu;
class QPlainTextEdit;
class QTimer;

class Velkofrm : public QMainWindow {
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
    void Form_Load();
    void text1_KeyPress(int16_t &KeyAscii);
    void AddText(QPlainTextEdit *box, const QString &s);
    void StartPoll();
    void Timer1_Timer();
    void StopPoll();
    // Text pasted or dropped into Text1 goes to the port as typed keys would, in order, at the
    // pace the port takes it; keys typed meanwhile queue behind it.
    void sendPasted(const QString &text);
    void sendQueued();
    // What is still queued is for the connection that ends or changes: it is dropped.
    void dropQueued();
    // The text box's context menu, naming only keys that send nothing.
    void showContextMenu(const QPoint &pos);
    static QKeySequence copyKey() { return QKeySequence(Qt::CTRL | Qt::Key_Insert); }
    // A tick's call failed: the device went away (unplugged, or its other end ended).
    void deviceGone(int32_t port);

    QPlainTextEdit *Text1;
    QTimer *Timer1;
    QMenu *m_file, *m_action;
    QAction *m_setting, *m_bar, *m_exit, *m_connect, *m_disconnect;

    // The port the connection opened: polling, typing, Disconnect and Exit use it, so that
    // a port chosen meanwhile takes effect only at the next Connect.
    std::optional<int32_t> m_openPort;
    std::vector<char> m_readBuffer;
    bool m_inTick = false;
    // Bytes to send; m_sendTimer runs while any wait.
    zantic::core::SendQueue m_outgoing;
    QTimer *m_sendTimer;
};
