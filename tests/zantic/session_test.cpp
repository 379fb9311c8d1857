// The terminal session both faces of Demo run (zantic/core/session.*): which port a Connect
// opens and closes, Disconnect and Exit, the tick with its guard against a second tick inside
// the first, the device going away, a double-byte character split between ticks, a paste and
// its pace. The port is scripted: only a script can make an open fail, a device go away in
// the middle of a tick, or a port refuse a byte at a chosen moment, and see every call the
// session made. The window is a recorder of what the session asked of it. (The session on the
// real library and widgets: tst_window.cpp and, for Demo.exe, tests/windows.)
#include "core/poll.h"
#include "core/session.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <thread>
#include <utility>

using namespace zantic::core;
using std::chrono::milliseconds;

namespace {

// The scripted library: ports whose device is there, and what each call did.
struct Script {
    std::set<int32_t> devices{2, 3}; // an open succeeds
    std::set<int32_t> refusing{5};   // an open fails, but the port stays held until closed
    std::set<int32_t> held;          // open in the library
    std::map<int32_t, std::string> incoming, sent; // bytes the device sent; bytes sent to it
    int32_t goneWhenRead = 0; // the device goes once what it sent has been read
    size_t room = size_t(-1); // bytes the port takes before it refuses
    std::chrono::microseconds putcTime{0};
    std::vector<std::string> calls; // "open 2", "close 3"
};
Script *script = nullptr;

bool gone(int32_t port)
{
    return !script->held.count(port) || (port == script->goneWhenRead && script->incoming[port].empty());
}

int32_t putByte(int32_t port, const char *c)
{
    if (gone(port) || script->room == 0)
        return -1;
    std::this_thread::sleep_for(script->putcTime);
    --script->room;
    script->sent[port] += *c;
    return 0;
}

const PortCalls scripted{
    .open = [](int32_t port, int32_t) -> int32_t {
        script->calls.push_back("open " + std::to_string(port));
        if (script->held.count(port))
            return -1; // opened exclusively
        if (script->devices.count(port) || script->refusing.count(port))
            script->held.insert(port);
        return script->devices.count(port) ? 0 : -1;
    },
    .close = [](int32_t port) -> int32_t {
        script->calls.push_back("close " + std::to_string(port));
        return script->held.erase(port) ? 0 : -1;
    },
    .write = [](int32_t port, const char *buffer, int32_t count) -> int32_t {
        for (int32_t i = 0; i < count; ++i)
            if (putByte(port, buffer + i) != 0)
                return -1;
        return count;
    },
    .putc = &putByte,
    .waiting = [](int32_t port) { return gone(port) ? -1 : int32_t(script->incoming[port].size()); },
    .read = [](int32_t port, char *buffer, int32_t count) -> int32_t {
        if (gone(port))
            return -1;
        const size_t n = script->incoming[port].copy(buffer, size_t(count));
        script->incoming[port].erase(0, n);
        return int32_t(n);
    },
    .getc = [](int32_t, char *) { return -1; },
};

// What the session asked of the window; the box's text is kept as the display rule's.
class Recorder final : public SessionFace {
public:
    std::vector<std::string> messages;
    std::u16string box;
    int edits = 0;
    bool polling = false, focused = false;
    std::optional<milliseconds> sendAt; // the send timer, while it is asked for
    CodePage page = kLatin1;
    std::function<void()> nested; // runs inside the next box edit or message, as its event loop

    void startPoll() override { polling = true; }
    void stopPoll() override { polling = false; }
    void sendLater(milliseconds delay) override { sendAt = delay; }
    void stopSending() override { sendAt.reset(); }
    std::u16string boxText() override { return box; }
    void editBox(const BoxEdit &edit, std::u16string_view) override
    {
        applyEdit(box, edit);
        ++edits;
        runNested();
    }
    void showMessage(std::string_view text) override { messages.emplace_back(text); runNested(); }
    void runNested() { if (auto run = std::exchange(nested, nullptr)) run(); }
    void enableEntries() override {}
    void enableBox() override {}
    void focusBox() override { focused = true; }
    const CodePage &codePage() const override { return page; }
};

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override { fresh(); }
    void TearDown() override { script = nullptr; }

    // A session that has not run yet, on a script and a window that have seen nothing.
    void fresh()
    {
        script = &ports;
        ports = Script{};
        face = Recorder();
        session.emplace(face, scripted);
        ComPort = ComFlag = ComOpen = 0;
    }
    // Setting with OK on `port`, then Connect; the calls made so far are forgotten.
    void connectTo(int32_t port)
    {
        session->settingsClosed(true, port, 0x1036);
        session->connect();
        ASSERT_EQ(session->openPort(), port);
        ports.calls.clear();
    }

    Script ports;
    Recorder face;
    std::optional<Session> session;
};

TEST_F(SessionTest, ConnectOpensTheChosenPortAndLetsGoOfWhatItMustNotKeep)
{
    struct Case {
        const char *what;
        int32_t connected, chosen; // connected: 0 for none
        std::vector<std::string> calls;
        bool opened;
        int32_t openAfter; // the session's open port afterwards (0: none)
    };
    const Case cases[] = {
        {"a port with a device", 0, 2, {"open 2"}, true, 2},
        {"no device there", 0, 7, {"open 7", "close 7"}, false, 0},
        {"settings the device refuses", 0, 5, {"open 5", "close 5"}, false, 0},
        {"the open port again", 2, 2, {"open 2"}, false, 2},
        {"a port with no device, while connected", 2, 7, {"open 7", "close 7"}, false, 2},
        {"another port: the connection moves", 2, 3, {"open 3", "close 2"}, true, 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fresh();
        if (c.connected) {
            connectTo(c.connected);
            ports.room = 0;
            session->paste(u"p"); // waits for the port
        }
        ComPort = c.chosen;
        session->connect();
        EXPECT_EQ(ports.calls, c.calls);
        EXPECT_EQ(session->openPort().value_or(0), c.openAfter);
        EXPECT_EQ(ComOpen, c.openAfter ? 1 : 0);
        EXPECT_EQ(face.polling, c.openAfter != 0); // a connection there was goes on as it was
        EXPECT_EQ(face.messages.size(), c.opened ? 0u : 1u); // its text: tst_window.cpp
        // A paste goes on with the connection it was made on, and nowhere else.
        ports.room = size_t(-1);
        session->sendStep();
        EXPECT_EQ(ports.sent[2] + ports.sent[3], c.connected && !c.opened ? "p" : "");
    }
}

TEST_F(SessionTest, EveryEndOfAConnectionClosesThePortThatWasOpenedOnce)
{
    const std::pair<const char *, void (*)(Session &)> cases[] = {
        // Win32 keeps a timer message already queued when its timer is killed.
        {"Disconnect, a tick already queued, then Exit", [](Session &s) { s.disconnect(); s.tick(); s.end(); }},
        {"Exit, then the close control", [](Session &s) { s.end(); s.end(); }},
        {"the device goes away mid-tick", [](Session &s) { script->goneWhenRead = 2; s.tick(); }},
    };
    for (const auto &[what, end] : cases) {
        SCOPED_TRACE(what);
        fresh();
        connectTo(2);
        session->settingsClosed(true, 3, 0x00B6); // takes effect at the next Connect
        face.focused = false;
        session->settingsClosed(false, 9, 9); // Cancel keeps the last OK, and typing goes on
        EXPECT_EQ(ComPort, 3);
        EXPECT_TRUE(face.focused);
        ports.incoming[2] = "before";
        end(*session);
        EXPECT_EQ(ports.calls, std::vector<std::string>{"close 2"});
        EXPECT_FALSE(face.polling);
    }
    // A device that went away is told, once, after what it sent is shown.
    EXPECT_EQ(face.box, u"before");
    EXPECT_EQ(face.messages, std::vector<std::string>{goneMessage(2)});
    EXPECT_EQ(ComOpen, 0);
}

// Shift-JIS (Windows code page 932) through iconv: a real double-byte code page.
std::u16string fromCp932(std::string_view bytes)
{
    std::string in(bytes), out(bytes.size() * 2, '\0');
    char *ip = in.data(), *op = out.data();
    size_t il = in.size(), ol = out.size();
    iconv_t cd = iconv_open("UTF-16LE", "CP932");
    EXPECT_TRUE(cd != iconv_t(-1) && iconv(cd, &ip, &il, &op, &ol) != size_t(-1)) << bytes;
    iconv_close(cd);
    std::u16string text;
    for (const char *p = out.data(); p + 1 < op; p += 2)
        text += char16_t(uint8_t(p[0]) | uint8_t(p[1]) << 8);
    return text;
}
bool cp932Lead(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || b >= 0xE0; }

TEST_F(SessionTest, TicksShowWhatCameAcrossTicksAndPorts)
{
    struct Case {
        const char *what;
        bool doubleByte;
        std::vector<std::pair<int32_t, std::string>> ticks; // another port: Connect to it first
        std::u16string box;
        int edits;
    };
    const Case cases[] = {
        {"nothing came: the box is not touched", false, {{2, ""}}, u"", 0},
        {"a backspace takes the line break a tick before", false, {{2, "ab\r"}, {2, "\bZ"}}, u"abZ", 2},
        {"a double-byte character split between ticks", true, {{2, "ab\x82"}, {2, "\xA0" "c"}}, u"ab\u3042c", 2},
        // A first byte still waiting belongs to the port it came from.
        {"a first byte left by the port before", true, {{2, "d\x82"}, {3, "e"}}, u"de", 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fresh();
        face.page = c.doubleByte ? CodePage{&latin1, &cp932Lead, &fromCp932} : kLatin1;
        for (const auto &[port, bytes] : c.ticks) {
            if (session->openPort() != port)
                connectTo(port);
            ports.incoming[port] = bytes;
            session->tick();
        }
        EXPECT_EQ(face.box, c.box);
        EXPECT_EQ(face.edits, c.edits);
    }
}

TEST_F(SessionTest, TicksInsideATickOrAMessageBoxShowEachByteOnce)
{
    connectTo(2);
    // A tick that runs inside the display of another (a nested event loop) reads nothing.
    ports.incoming[2] = "first";
    face.nested = [&] { ports.incoming[2] = "second"; session->tick(); };
    session->tick();
    EXPECT_EQ(face.box, u"first");
    session->tick();
    EXPECT_EQ(face.box, u"firstsecond");

    // The message of a failed Connect stays open a while; ticks go on meanwhile.
    face.nested = [&] { ports.incoming[2] = "during"; session->tick(); };
    session->connect(); // COM2 is open already
    ports.incoming[2] = "after";
    session->tick();
    EXPECT_EQ(face.box, u"firstsecondduringafter");
}

TEST_F(SessionTest, APasteGoesOutAtThePortsPaceWithKeysBehindIt)
{
    session->paste(u"nowhere"); // not connected: never sent, not even after a Connect
    connectTo(2);
    struct Case {
        const char *what;
        size_t room; // bytes the port takes
        std::chrono::microseconds putcTime;
        std::string sent;                 // at once
        std::optional<milliseconds> next; // when the next step comes
        bool disconnect;                  // before it
    };
    const Case cases[] = {
        {"the step's time runs out: as soon as other events are done", size_t(-1), kSendStep, "a", milliseconds(0), false},
        {"the port refuses a byte: after a pause", 1, {}, "a", kSendInterval, false},
        {"Disconnect in the middle: the rest is never sent, nor after a Connect", 1, {}, "a", kSendInterval, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ports.sent.clear();
        ports.room = c.room;
        ports.putcTime = c.putcTime;
        session->paste(u"abc");
        session->typed(U'k'); // behind the paste
        EXPECT_EQ(ports.sent[2], c.sent);
        EXPECT_EQ(face.sendAt, c.next);
        ports.room = size_t(-1);
        ports.putcTime = {};
        if (c.disconnect) {
            session->disconnect();
            session->sendStep(); // a step already on its way
            session->connect();
        }
        session->sendStep();
        EXPECT_EQ(ports.sent[2], c.disconnect ? "a" : "abck");
        EXPECT_EQ(face.sendAt, std::nullopt);
    }
}

// WM_CHAR brings a character beyond U+FFFF in two halves.
TEST(TypedUnits, ACharacterInTwoHalvesIsOneCharacterAndALoneHalfNone)
{
    const std::pair<std::u16string, std::u32string> cases[] = {
        {u"ab\U0001F600x", U"ab\U0001F600x"},
        {{char16_t(0xDE00), u'a'}, U"a"}, // a second half alone
        {{char16_t(0xD83D), u'a'}, U"a"}, // a first half that is not followed up
        {{char16_t(0xD83D), char16_t(0xD83D), char16_t(0xDE00)}, U"\U0001F600"},
    };
    for (const auto &[units, want] : cases) {
        TypedUnits pending;
        std::u32string typed;
        for (char16_t u : units)
            if (const auto c = pending.take(u))
                typed += *c;
        EXPECT_EQ(typed, want);
    }
}

} // namespace
