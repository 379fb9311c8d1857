// The terminal window: one text box showing what the port receives and sending what is typed
// into it, a 100 ms poll timer, and the Open/Action menus that set up, connect and
// disconnect the port.
#pragma once

#include <QMainWindow>
#include <QByteArray>
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

    // Most bytes one tick takes from the port; the rest waits for the next tick.
    static constexpr int32_t kMaxReadPerTick = 64 * 1024;
    // How often a tick that has read something looks again at an empty queue.
    static constexpr int kEmptyLooks = 3;

    // The menu commands, as the menu entries run them.
    void connect_Click();
    void disconnect_Click();
    void exit_Click();
    void Setting_Click();

signals:
    // The text a tick has just handed to the display, exactly as read from the port.
    void textReceived(const QString &text);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void Form_Load();
    void text1_KeyPress(int16_t &KeyAscii);
    void AddText(QPlainTextEdit *box, const QString &s);
    void StartPoll();
    void Timer1_Timer();
    void StopPoll();

    QPlainTextEdit *Text1;
    QTimer *Timer1;
    QMenu *m_file, *m_action;
    QAction *m_setting, *m_bar, *m_exit, *m_connect, *m_disconnect;

    // The port the connection opened: polling, typing, Disconnect and Exit use it, so that
    // a port chosen meanwhile takes effect only at the next Connect.
    std::optional<int32_t> m_openPort;
    QByteArray m_readBuffer;
    bool m_inTick = false;
};
