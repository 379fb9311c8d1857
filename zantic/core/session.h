// One terminal session, the same for every face of Demo: the connection (the settings OK
// confirmed, the port a Connect opened, Connect, Disconnect, Exit), the poll tick that shows
// what the port received, and typed and pasted bytes on their way to the port. The face owns
// the widgets and the timers, calls in when a menu entry, a key, a paste or a timer fires, and
// does what the session asks through SessionFace; the library comes in as PortCalls.
// Standard C++ only.
#pragma once

#include "core/display.h"
#include "core/library.h"
#include "core/sendqueue.h"
#include "core/typing.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zantic::core {

// Connection globals: 0 at start. ComPort and ComFlag are what the settings dialog's OK
// confirmed; ComOpen is 1 while a Connect has succeeded and no Disconnect followed.
extern int32_t ComPort;
extern int32_t ComFlag;
extern int32_t ComOpen;

// The poll timer's period: every received byte waits up to this long to be shown.
inline constexpr std::chrono::milliseconds kPollInterval{100};

// What a failed Connect says, whatever the reason.
inline constexpr const char *kCannotOpen = "Can't OPEN this device--COM";

// What the session asks of the window it runs in.
class SessionFace {
public:
    // The poll timer: calls Session::tick() every kPollInterval while it runs.
    virtual void startPoll() = 0;
    virtual void stopPoll() = 0;
    // The send timer: calls Session::sendStep() once after `delay`, zero meaning as soon as
    // the events that wait are done; asked again, it replaces the earlier request.
    virtual void sendLater(std::chrono::milliseconds delay) = 0;
    virtual void stopSending() = 0;

    // The text box: its text as the display rule sees it (line breaks as CR LF), and one edit
    // of it, after which the caret is at its end and in view. `received` is the tick's text
    // that the edit shows, for faces that pass it on.
    virtual std::u16string boxText() = 0;
    virtual void editBox(const BoxEdit &edit, std::u16string_view received) = 0;

    virtual void enableEntries() = 0; // Connect and Disconnect
    virtual void enableBox() = 0;
    virtual void focusBox() = 0;      // keys typed from now on go to the port
    virtual void showMessage(std::string_view text) = 0; // returns once it is dismissed
    // Around the open: it can take seconds (a remote port), with the window unable to react.
    virtual void opening(bool /*started*/) {}

    // The code page at the library's boundary.
    virtual const CodePage &codePage() const = 0;

protected:
    ~SessionFace() = default;
};

class Session {
public:
    Session(SessionFace &face, const PortCalls &calls) : m_face(face), m_calls(calls) {}
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // The settings dialog has closed: OK confirmed `port` and `flag`; Cancel keeps the last.
    void settingsClosed(bool ok, int32_t port, int32_t flag);
    void connect();
    void disconnect();
    // Exit or the window's close control, before the window goes: the port is closed, once.
    void end();

    // The poll timer's tick.
    void tick();
    // The bytes of a key (a typed character's, or a control code's).
    void key(std::string_view bytes);
    // A character typed into the box, in the boundary's code page.
    void typed(char32_t c);
    // Pasted or dropped text: sent as typed, at the pace the port takes it.
    void paste(std::u16string_view text);
    // The send timer's step.
    void sendStep();

    // The port the last successful Connect opened.
    std::optional<int32_t> openPort() const { return m_openPort; }

private:
    void dropQueued();
    void deviceGone(int32_t port);

    SessionFace &m_face;
    const PortCalls m_calls;
    // Polling, typing, Disconnect and Exit use the port that was opened, so that a port chosen
    // meanwhile takes effect only at the next Connect.
    std::optional<int32_t> m_openPort;
    std::vector<char> m_readBuffer;
    std::string m_heldLead; // a double-byte character's first byte, whose second is to come
    bool m_inTick = false;
    SendQueue m_outgoing; // pasted text on its way, and keys typed behind it
};

} // namespace zantic::core
