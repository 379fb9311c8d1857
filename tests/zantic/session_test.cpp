// The terminal session both faces of Demo run (zantic/core/session.*): which port a Connect
// opens and closes, Disconnect and Exit, the tick with its guard against a second tick inside
// the first, the device going away, typed keys, a paste and its pace, a double-byte character
// split between ticks. The port is scripted: only a script can make an open fail, a device go
// away in the middle of a tick, or a port refuse a byte at a chosen moment, and see every call
// the session made. The window is a recorder of what the session asked of it. (The session on
// the real library and widgets: tst_window.cpp and, for Demo.exe, tests/windows.)
#include "core/poll.h"
#include "core/session.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <thread>
#include <utility>

using namespace zantic::core;

namespace {

// The scripted library: ports whose device is there, and what each call did.
struct Script {
    std::set<int32_t> devices;  // an open succeeds
    std::set<int32_t> refusing; // an open fails, but the port stays held until closed
    std::set<int32_t> held;     // open in the library
    std::map<int32_t, std::string> incoming; // bytes the device has sent
    std::set<int32_t> goneWhenRead; // the device goes once what it sent has been read
    std::map<int32_t, std::string> sent;
    size_t room = size_t(-1); // bytes the port takes before it refuses
    std::chrono::microseconds putcTime{0};
    std::vector<std::string> calls; // "open 2", "close 3"
};
Script *script = nullptr;

bool gone(int32_t port)
{
    return script->goneWhenRead.count(port) && script->incoming[port].empty();
}

const PortCalls scripted{
    .open = [](int32_t port, int32_t) -> int32_t {
        script->calls.push_back("open " + std::to_string(port));
        if (script->held.count(port))
            return -1; // opened exclusively
        if (script->refusing.count(port))
            script->held.insert(port);
        if (!script->devices.count(port))
            return -1;
        script->held.insert(port);
        return 0;
    },
    .close = [](int32_t port) -> int32_t {
        script->calls.push_back("close " + std::to_string(port));
        return script->held.erase(port) ? 0 : -1;
    },
    .write = [](int32_t port, const char *buffer, int32_t count) -> int32_t {
        if (!script->held.count(port) || gone(port))
            return -1;
        script->sent[port].append(buffer, size_t(count));
        return count;
    },
    .putc = [](int32_t port, const char *c) -> int32_t {
        if (!script->held.count(port) || gone(port) || script->room == 0)
            return -1;
        std::this_thread::sleep_for(script->putcTime);
        --script->room;
        script->sent[port] += *c;
        return 0;
    },
    .waiting = [](int32_t port) -> int32_t {
        if (!script->held.count(port) || gone(port))
            return -1;
        return int32_t(script->incoming[port].size());
    },
    .read = [](int32_t port, char *buffer, int32_t count) -> int32_t {
        if (!script->held.count(port) || gone(port))
            return -1;
        std::string &in = script->incoming[port];
        const size_t n = std::min(in.size(), size_t(count));
        in.copy(buffer, n);
        in.erase(0, n);
        return int32_t(n);
    },
    .getc = [](int32_t, char *) -> int32_t { return -1; },
};

// What the session asked of the window; the box's text is kept as the display rule's.
class Recorder final : public SessionFace {
public:
    std::vector<std::string> asked; // "poll", "no poll", "send 10", "no send", "entries", ...
    std::vector<std::string> messages;
    std::u16string box, received;
    bool polling = false;
    CodePage page = kLatin1;
    std::function<void()> whileShown;  // runs while a message is open, as its event loop
    std::function<void()> whileEditing; // runs inside an edit of the box

    void startPoll() override { polling = true; asked.push_back("poll"); }
    void stopPoll() override { polling = false; asked.push_back("no poll"); }
    void sendLater(std::chrono::milliseconds delay) override
    {
        asked.push_back("send " + std::to_string(delay.count()));
    }
    void stopSending() override { asked.push_back("no send"); }
    std::u16string boxText() override { return box; }
    void editBox(const BoxEdit &edit, std::u16string_view text) override
    {
        applyEdit(box, edit);
        received += text;
        if (auto run = std::exchange(whileEditing, nullptr))
            run();
    }
    void enableEntries() override { asked.push_back("entries"); }
    void enableBox() override { asked.push_back("box"); }
    void focusBox() override { asked.push_back("focus"); }
    void showMessage(std::string_view text) override
    {
        messages.emplace_back(text);
        if (auto run = std::exchange(whileShown, nullptr))
            run();
    }
    const CodePage &codePage() const override { return page; }
};

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        script = &ports;
        ComPort = ComFlag = ComOpen = 0;
        ports.devices = {2, 3};
    }
    void TearDown() override { script = nullptr; }

    // Setting with OK on `port`, then Connect; what the window was asked is forgotten.
    void connectTo(int32_t port)
    {
        session.settingsClosed(true, port, 0x1036);
        session.connect();
        ASSERT_EQ(ComOpen, 1);
        ASSERT_EQ(session.openPort(), port);
        ports.calls.clear();
        face.asked.clear();
    }

    Script ports;
    Recorder face;
    Session session{face, scripted};
};

TEST_F(SessionTest, ConnectOpensTheChosenPortAndLetsGoOfWhatItMustNotKeep)
{
    struct Case {
        const char *what;
        int32_t connected; // 0: none
        int32_t chosen;
        std::vector<std::string> calls;
        bool opened;
        int32_t openAfter;      // the session's open port afterwards (0: none)
        std::set<int32_t> held; // ports the library holds afterwards
    };
    const Case cases[] = {
        {"a port with a device", 0, 2, {"open 2"}, true, 2, {2}},
        {"no device there", 0, 7, {"open 7", "close 7"}, false, 0, {}},
        {"settings the device refuses", 0, 5, {"open 5", "close 5"}, false, 0, {}},
        {"the open port again", 2, 2, {"open 2"}, false, 2, {2}},
        {"a port with no device, while connected", 2, 7, {"open 7", "close 7"}, false, 2, {2}},
        {"another port: the connection moves", 2, 3, {"open 3", "close 2"}, true, 3, {3}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ports = Script{};
        ports.devices = {2, 3};
        ports.refusing = {5};
        face = Recorder();
        Session s(face, scripted);
        ComOpen = 0;
        if (c.connected) {
            ComPort = c.connected;
            s.connect();
            ports.calls.clear();
            face.asked.clear();
        }
        ComPort = c.chosen;
        s.connect();
        EXPECT_EQ(ports.calls, c.calls);
        EXPECT_EQ(ports.held, c.held);
        EXPECT_EQ(s.openPort().value_or(0), c.openAfter);
        EXPECT_EQ(ComOpen, c.opened || c.connected ? 1 : 0);
        if (c.opened) {
            EXPECT_TRUE(face.messages.empty());
            EXPECT_EQ(face.asked, (std::vector<std::string>{"no send", "poll", "box", "focus"}));
        } else {
            EXPECT_EQ(face.messages, std::vector<std::string>{"Can't OPEN this device--COM"});
            EXPECT_TRUE(face.asked.empty()); // a connection there was goes on as it was
        }
    }
}

TEST_F(SessionTest, DisconnectAndExitCloseThePortThatWasOpenedOnce)
{
    session.settingsClosed(false, 9, 9); // Cancel before any OK
    EXPECT_EQ(ComPort, 0);
    EXPECT_EQ(face.asked, std::vector<std::string>{"entries"}); // Connect can be tried all the same
    connectTo(2);
    session.settingsClosed(true, 3, 0x00B6); // takes effect at the next Connect
    EXPECT_EQ(ComPort, 3);
    EXPECT_EQ(face.asked, (std::vector<std::string>{"entries", "focus"})); // typing goes on
    session.key("x");
    session.disconnect();
    EXPECT_EQ(ports.sent[2], "x");
    EXPECT_EQ(ports.calls, std::vector<std::string>{"close 2"});
    EXPECT_EQ(ComOpen, 0);
    EXPECT_FALSE(face.polling);
    session.end(); // nothing open: nothing to close
    EXPECT_EQ(ports.calls.size(), 1u);

    connectTo(3);
    session.end();
    session.end(); // the close control after Exit
    EXPECT_EQ(ports.calls, std::vector<std::string>{"close 3"});
    EXPECT_FALSE(face.polling);
}

TEST_F(SessionTest, ATickShowsWhatCameAndNothingWhenNothingDid)
{
    connectTo(2);
    session.tick();
    EXPECT_TRUE(face.received.empty()); // the box is not touched for nothing

    ports.incoming[2] = "one\r\ntwo\nab\bc\r";
    session.tick();
    EXPECT_EQ(face.box, u"one\r\ntwoac\r\n");
    EXPECT_EQ(face.received, u"one\r\ntwo\nab\bc\r"); // as read, for the faces that pass it on
    ports.incoming[2] = std::string("\bZ\0", 3);
    session.tick();
    EXPECT_EQ(face.box, u"one\r\ntwoacZ");
}

TEST_F(SessionTest, ADeviceThatGoesAwayMidTickIsShownToTheEndThenToldOnce)
{
    connectTo(2);
    ports.incoming[2] = "before";
    ports.goneWhenRead = {2};
    session.tick();
    EXPECT_EQ(face.box, u"before");
    EXPECT_EQ(face.messages, std::vector<std::string>{goneMessage(2)});
    EXPECT_EQ(ports.calls, std::vector<std::string>{"close 2"}); // let go, as Disconnect does
    EXPECT_EQ(ComOpen, 0);
    EXPECT_FALSE(face.polling);

    ports.goneWhenRead.clear(); // back again
    session.connect();
    EXPECT_EQ(ComOpen, 1);
    EXPECT_EQ(face.messages.size(), 1u);
}

TEST_F(SessionTest, TicksInsideATickOrAMessageBoxShowEachByteOnce)
{
    connectTo(2);
    // A tick that runs inside the display of another (a nested event loop) reads nothing.
    ports.incoming[2] = "first";
    face.whileEditing = [&] {
        ports.incoming[2] = "second";
        session.tick();
    };
    session.tick();
    EXPECT_EQ(face.box, u"first");
    session.tick();
    EXPECT_EQ(face.box, u"firstsecond");

    // The message of a failed Connect stays open a while; ticks go on meanwhile.
    face.whileShown = [&] {
        ports.incoming[2] = "during";
        session.tick();
    };
    session.connect(); // COM2 is open already
    ports.incoming[2] = "after";
    session.tick();
    EXPECT_EQ(face.box, u"firstsecondduringafter");
    EXPECT_EQ(face.received, u"firstsecondduringafter");
}

// Shift-JIS (Windows code page 932) through iconv: a real double-byte code page.
std::u16string fromCp932(std::string_view bytes)
{
    iconv_t cd = iconv_open("UTF-16LE", "CP932");
    std::string in(bytes), out(bytes.size() * 2 + 2, '\0');
    char *ip = in.data(), *op = out.data();
    size_t il = in.size(), ol = out.size();
    if (cd == iconv_t(-1) || iconv(cd, &ip, &il, &op, &ol) == size_t(-1))
        ADD_FAILURE() << "no CP932 text: " << bytes;
    iconv_close(cd);
    std::u16string text;
    for (const char *p = out.data(); p + 1 < op; p += 2)
        text += char16_t(uint8_t(p[0]) | uint8_t(p[1]) << 8);
    return text;
}
bool cp932Lead(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || b >= 0xE0; }

TEST_F(SessionTest, ADoubleByteCharacterSplitBetweenTicksShowsAsItself)
{
    face.page = {&latin1, &cp932Lead, &fromCp932};
    connectTo(2);
    ports.incoming[2] = "ab\x82";
    session.tick();
    EXPECT_EQ(face.box, u"ab");
    ports.incoming[2] = "\xA0" "c";
    session.tick();
    EXPECT_EQ(face.box, u"ab\u3042c");

    // A first byte still waiting belongs to the port it came from.
    ports.incoming[2] = "d\x82";
    session.tick();
    ComPort = 3;
    session.connect();
    ports.incoming[3] = "e";
    session.tick();
    EXPECT_EQ(face.box, u"ab\u3042cde");
}

TEST_F(SessionTest, TypedKeysGoOutAtOnceOrBehindAPaste)
{
    connectTo(2);
    session.key("a\r");
    session.typed(0xE9);
    session.typed(0x20AC); // no Latin-1 byte: nothing
    EXPECT_EQ(ports.sent[2], "a\r\xE9");

    ports.room = 3; // the port takes three bytes, then refuses
    session.paste(u"line\nmore");
    session.key("k");
    EXPECT_EQ(ports.sent[2], "a\r\xE9lin");
    EXPECT_EQ(face.asked.back(), "send 10"); // the next step after the pause
    ports.room = size_t(-1);
    session.sendStep();
    EXPECT_EQ(ports.sent[2], "a\r\xE9line\rmorek"); // the key after the paste
    EXPECT_EQ(face.asked.back(), "no send");

    session.disconnect();
    session.key("lost"); // after Disconnect: fails unnoticed
    EXPECT_EQ(ports.sent[2], "a\r\xE9line\rmorek");
    EXPECT_TRUE(face.messages.empty());
}

TEST_F(SessionTest, APasteGoesOutAtThePortsPaceAndEndsWithTheConnection)
{
    session.paste(u"nowhere"); // not connected: nothing is sent or kept
    EXPECT_TRUE(face.asked.empty());
    connectTo(2);

    // A step that runs out of time hands on to the next as soon as other events are done.
    ports.putcTime = kSendStep;
    session.paste(u"abc");
    EXPECT_EQ(ports.sent[2], "a");
    EXPECT_EQ(face.asked, std::vector<std::string>{"send 0"});
    ports.putcTime = {};
    session.sendStep();
    EXPECT_EQ(ports.sent[2], "abc");

    // Disconnect in the middle: the rest is never sent, nor after a Connect.
    ports.room = 2;
    session.paste(u"0123456789");
    session.disconnect();
    ports.room = size_t(-1);
    session.sendStep(); // a step already on its way
    session.connect();
    session.sendStep();
    EXPECT_EQ(ports.sent[2], "abc01");
    session.key("k");
    EXPECT_EQ(ports.sent[2], "abc01k");
}

TEST(TypedUnits, ACharacterInTwoHalvesIsOneCharacterAndALoneHalfNone)
{
    struct Case { std::u16string units; std::u32string typed; };
    const Case cases[] = {
        {u"ab", U"ab"},
        {u"\U0001F600x", U"\U0001F600x"},
        {{char16_t(0xDE00), u'a'}, U"a"},           // a second half alone
        {{char16_t(0xD83D), u'a'}, U"a"},           // a first half that is not followed up
        {{char16_t(0xD83D), char16_t(0xD83D), char16_t(0xDE00)}, U"\U0001F600"},
    };
    for (const Case &c : cases) {
        TypedUnits units;
        std::u32string typed;
        for (char16_t u : c.units)
            if (const auto ch = units.take(u))
                typed += *ch;
        EXPECT_EQ(typed, c.typed);
    }
}

} // namespace
