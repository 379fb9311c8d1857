// The terminal window: one text box showing what the port receives and sending what is typed,
// pasted or dropped into it, a 100 ms poll timer, and the Open/Action menus that set up,
// connect and disconnect the port.
#pragma once

#include <QMainWindow>
#include <QByteArray>
#include <QKeySequence>
#include <cstdint>
#include <optional>

class QAction;
class QMenu;
class QPlainTextEdit;
class QTimer;

class Velkofrm : public QMainWindow {
    Q_OBJECT
public:
    explicit Velkofrm(QWidget *parent = nullptr);

    // Most bytes, and longest time, one tick spends reading the port; the rest waits for the
    // next tick. Far above what the fastest line needs (USB full speed, 1.2 MB/s: 120 KB a
    // tick, read in about 4 ms); they only keep a flood from holding the window.
    static constexpr int32_t kMaxReadPerTick = 1024 * 1024;
    static constexpr int kMaxReadMs = 25;
    // How often a tick that has read something looks again at an empty queue.
    static constexpr int kEmptyLooks = 3;
    // Pasted text goes out in steps this far apart, each sending what the port takes at once
    // for at most kSendStepUs, so that the window never waits for a slow line.
    static constexpr int kSendIntervalMs = 10;
    static constexpr int kSendStepUs = 4000;

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
    QByteArray m_readBuffer;
    bool m_inTick = false;
    // Bytes to send, from m_sent on; m_sendTimer runs while any wait.
    QByteArray m_outgoing;
    qsizetype m_sent = 0;
    QTimer *m_sendTimer;
};
