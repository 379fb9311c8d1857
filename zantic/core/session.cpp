// One terminal session (see session.h).
#include "core/session.h"

#include "core/poll.h"

#include <utility>

namespace zantic::core {

int32_t ComPort = 0;
int32_t ComFlag = 0;
int32_t ComOpen = 0;

void Session::settingsClosed(bool ok, int32_t port, int32_t flag)
{
    if (ok) {
        ComPort = port;
        ComFlag = flag;
    }
    m_face.enableEntries();
    if (ComOpen == 1)
        m_face.focusBox(); // typing goes on where it was
}

void Session::connect()
{
    const int32_t port = ComPort;
    m_face.opening(true);
    const bool opened = m_calls.open(port, ComFlag) == 0;
    // An open connection stays as it is. A device that refused the settings is still held by
    // the library: let it go, so that other programs can have it meanwhile.
    if (!opened && !(ComOpen == 1 && m_openPort == port))
        m_calls.close(port);
    m_face.opening(false);
    if (!opened) {
        m_face.showMessage(kCannotOpen);
        return;
    }
    // Connecting to another port while connected moves the connection: the old port would
    // otherwise stay open, and locked, with nothing left that could close it.
    if (ComOpen == 1 && m_openPort && *m_openPort != port)
        m_calls.close(*m_openPort);
    dropQueued();
    m_heldLead.clear(); // it came from the port that was open before
    m_openPort = port;
    ComOpen = 1;
    m_face.startPoll();
    m_face.enableBox();
    // Keys typed now are for the device: the menu that ran Connect must not keep them.
    m_face.focusBox();
}

void Session::disconnect()
{
    m_calls.close(m_openPort.value_or(ComPort)); // result ignored: nothing to tell the user
    m_face.stopPoll();
    ComOpen = 0;
    dropQueued(); // a Disconnect ends a paste
}

void Session::end()
{
    dropQueued();
    if (ComOpen == 1 && m_openPort) {
        m_face.stopPoll();
        m_calls.close(*m_openPort);
        m_openPort.reset(); // closed once, however many ways the window is closed
    }
}

void Session::tick()
{
    // A message box opened further down runs its own event loop, where ticks go on: they
    // must not start a second read and display on top of the unfinished one. A tick that was
    // already queued when Disconnect stopped the timer (Win32 keeps such a message) finds the
    // port closed by the user, not gone.
    if (m_inTick || !m_openPort || ComOpen != 1)
        return;
    m_inTick = true;
    const int32_t port = *m_openPort;

    // Everything that waits, up to a bound per tick so that the window stays responsive
    // under a flood.
    const TickResult got = readTick(port, m_calls, m_readBuffer);
    if (got.count > 0) {
        const CodePage &page = m_face.codePage();
        std::string bytes = std::exchange(m_heldLead, {});
        bytes.append(m_readBuffer.data(), got.count);
        const size_t whole = wholeCharacters(bytes, page.isLead);
        m_heldLead = bytes.substr(whole);
        const std::u16string text = page.decode(std::string_view(bytes).substr(0, whole));
        m_face.editBox(planTick(m_face.boxText(), text), text);
    }
    m_inTick = false;
    if (got.gone)
        deviceGone(port);
}

void Session::deviceGone(int32_t port)
{
    // As Disconnect: the port is let go, so that Connect can open the device when it is back.
    disconnect();
    m_face.showMessage(goneMessage(port));
}

void Session::key(std::string_view bytes)
{
    for (const char byte : bytes) {
        if (!m_outgoing.empty())
            m_outgoing.append(std::string_view(&byte, 1)); // after the paste still going out
        else if (m_openPort)
            m_calls.write(*m_openPort, &byte, 1); // a failed write loses the key silently
    }
}

void Session::typed(char32_t c) { key(typedBytes(c, m_face.codePage().encode)); }

void Session::paste(std::u16string_view text)
{
    // Only a connection sends: after Disconnect the bytes would be lost all the same.
    if (ComOpen != 1 || !m_openPort)
        return;
    m_outgoing.append(pastedBytes(text, m_face.codePage().encode));
    sendStep();
}

void Session::sendStep()
{
    if (ComOpen != 1 || !m_openPort) {
        dropQueued();
        return;
    }
    switch (m_outgoing.send(*m_openPort, m_calls.putc)) {
    case SendQueue::Step::Done: dropQueued(); break;
    // A port that took all it was given gets the next step as soon as other events are done.
    case SendQueue::Step::More: m_face.sendLater(std::chrono::milliseconds(0)); break;
    case SendQueue::Step::Refused: m_face.sendLater(kSendInterval); break;
    }
}

void Session::dropQueued()
{
    m_outgoing.clear();
    m_face.stopSending();
}

} // namespace zantic::core
