// The logic both faces of Demo share (zantic/core): the configuration word from the dialog's
// choices, the pieces of the default line settings, the bytes typed and pasted characters
// send, and, against the real libtty.so on pseudo-terminals, a poll tick (device gone
// included) and pasted text going out in steps.
#include "core/lineconfig.h"
#include "core/poll.h"
#include "core/sendqueue.h"
#include "core/typing.h"

#include "../tty/com_ports.h"
#include "tty.h"

#include <gtest/gtest.h>
#include <iconv.h>

using namespace zantic::core;

namespace {

struct WordCase {
    const char *what;
    const char *speed, *dataBits, *parity, *stopBits;
    int flow;
    int32_t word;
};

class ConfigWord : public ::testing::TestWithParam<WordCase> {};

TEST_P(ConfigWord, FromTheChosenEntries)
{
    const WordCase &c = GetParam();
    const int32_t word = configWord(findEntry(speedEntries(), c.speed),
                                    findEntry(dataBitsEntries(), c.dataBits),
                                    findEntry(parityEntries(), c.parity),
                                    findEntry(stopBitsEntries(), c.stopBits), c.flow);
    EXPECT_EQ(word, c.word) << c.what;
}

// Speeds by the library's code (38400 is 9, 28800 is 15); flow: None 0x1000, Xon/Xoff
// 0x1080, RTS 0, Xon/RTS 0x80.
INSTANTIATE_TEST_SUITE_P(Dialog, ConfigWord, ::testing::Values(
    WordCase{"defaults", "9600", "8", "None", "1", 0, 0x1036},
    WordCase{"115200 Xon/RTS", "115200", "8", "None", "1", 3, 0x00BC},
    WordCase{"256000 Space 2 Xon/Xoff", "256000", "8", "Space", "2", 1, 0x14FE},
    WordCase{"28800 7E1 RTS", "28800", "7", "Even", "1", 2, 0x012F},
    WordCase{"38400 6O2", "38400", "6", "Odd", "2", 0, 0x1259},
    WordCase{"110 5 Mark 1 None", "110", "5", "Mark", "1", 0, 0x1300},
    // An unselected list counts as position -1.
    WordCase{"no parity chosen", "9600", "8", "", "1", 0, 0x1036 - 256}));

TEST(LineSettings, PiecesAreTakenFromTheEnd)
{
    struct Case { const char *text; const char *speed; int parity; const char *data, *stop; };
    const Case cases[] = {
        {"9600,n,8,1", "9600", 0, "8", "1"},
        {"115200,s,7,1.5", "115200", 4, "7", "1.5"}, // a point: a three-character stop field
        {"300,e,5,2", "300", 1, "5", "2"},
        {"300,o,5,2", "300", 2, "5", "2"},
        {"300,m,5,2", "300", 3, "5", "2"},
        {"9600,N,8,1", "9600", -1, "8", "1"}, // the letters are case-sensitive
        {"", "", -1, "", ""},
    };
    for (const Case &c : cases) {
        const LinePieces p = parseLineSettings(c.text);
        EXPECT_EQ(p.speed, c.speed) << c.text;
        EXPECT_EQ(p.parity, c.parity) << c.text;
        EXPECT_EQ(p.dataBits, c.data) << c.text;
        EXPECT_EQ(p.stopBits, c.stop) << c.text;
    }
    // The built-in default names an entry of every list.
    const LinePieces d = parseLineSettings(kDefaultLineSettings);
    EXPECT_EQ(findEntry(speedEntries(), d.speed), 6);
    EXPECT_EQ(findEntry(dataBitsEntries(), d.dataBits), 3);
    EXPECT_EQ(findEntry(stopBitsEntries(), d.stopBits), 0);
    EXPECT_EQ(portEntries().size(), 60u);
    EXPECT_EQ(portEntries().back(), "Com60");
}

// Shift-JIS (Windows code page 932) through iconv: a real double-byte code page.
std::string cp932(char32_t c)
{
    iconv_t cd = iconv_open("CP932", "UTF-32LE");
    if (cd == iconv_t(-1))
        return {};
    char in[4] = {char(c & 0xFF), char((c >> 8) & 0xFF), char((c >> 16) & 0xFF), char(c >> 24)};
    char out[8];
    char *ip = in, *op = out;
    size_t il = sizeof in, ol = sizeof out;
    const size_t r = iconv(cd, &ip, &il, &op, &ol);
    iconv_close(cd);
    return r == size_t(-1) ? std::string() : std::string(out, size_t(op - out));
}

TEST(Typing, OneByteAKeyInTheBoundarysCodePage)
{
    struct Case { char32_t c; Encoder encode; std::string bytes; };
    const Case cases[] = {
        {U'a', latin1, "a"},
        {U'\r', latin1, "\r"},
        {0x08, latin1, "\b"},
        {0xE9, latin1, "\xE9"},
        {0x20AC, latin1, ""},   // the euro sign: not in Latin-1
        {0x1F600, latin1, ""},  // an emoji
        {U'a', cp932, "a"},
        {0x3042, cp932, "\x82"}, // HIRAGANA A is 82 A0: only the lead byte goes
        {0xFF71, cp932, "\xB1"}, // half-width KATAKANA A is one byte
    };
    for (const Case &c : cases)
        EXPECT_EQ(typedBytes(c.c, c.encode), c.bytes) << std::hex << uint32_t(c.c);
}

TEST(Typing, PastedTextIsTypedLineBreaksAsOneCarriageReturn)
{
    EXPECT_EQ(pastedBytes(u"dir\r\nls\nA\u00e9\u20ac\U0001F600\rend\n\n\t\x01", latin1),
              "dir\rls\rA\xE9\rend\r\r\t\x01");
    EXPECT_EQ(pastedBytes(u"", latin1), "");
    EXPECT_EQ(pastedBytes(u"\r\r\n", latin1), "\r\r");
    const char16_t lone[] = {u'a', char16_t(0xD800), u'b', 0};
    EXPECT_EQ(pastedBytes(lone, latin1), "ab");
    EXPECT_EQ(pastedBytes(u"\u3042\u3044", cp932), "\x82\x82");
}

// The real library, linked (the program binds it by name at run time instead).
int32_t waiting(int32_t port) { return int32_t(::IOP_DIQ_Count(port)); }
int32_t readPort(int32_t port, char *buffer, int32_t count)
{
    return int32_t(::IOP_Read(port, buffer, count));
}
int32_t getByte(int32_t port, char *c) { return ::IOP_Getc(port, c); }
const PortCalls library{.waiting = &waiting, .read = &readPort, .getc = &getByte};

class PollTick : public testing_tty::ComPortTest {};

TEST_F(PollTick, ReadsWhatWaitsAndNothingWhenIdle)
{
    testing_tty::Pty &pty = attach(2);
    ASSERT_EQ(::IOP_Open(2, 0x1036), 0);
    std::vector<char> buffer;
    TickResult r = readTick(2, library, buffer);
    EXPECT_EQ(r.count, 0u);
    EXPECT_FALSE(r.gone);

    testing_tty::write_all(pty.master, std::string("A\0B\r\n", 5));
    ASSERT_TRUE(testing_tty::wait_for_input(2, 5));
    r = readTick(2, library, buffer);
    EXPECT_EQ(std::string(buffer.data(), r.count), std::string("A\0B\r\n", 5));
    EXPECT_FALSE(r.gone);
    EXPECT_EQ(::IOP_Close(2), 0);
}

TEST_F(PollTick, ABurstLargerThanATickIsLeftForTheNext)
{
    testing_tty::Pty &pty = attach(3);
    ASSERT_EQ(::IOP_Open(3, 0x1036), 0);
    const std::string burst(size_t(kMaxReadPerTick) + 1000, 'x');
    std::thread writer([&] { testing_tty::write_all(pty.master, burst); });
    std::vector<char> buffer;
    size_t total = 0;
    for (int ticks = 0; total < burst.size() && ticks < 200; ++ticks) {
        const TickResult r = readTick(3, library, buffer);
        EXPECT_LE(r.count, size_t(kMaxReadPerTick));
        EXPECT_FALSE(r.gone);
        total += r.count;
        if (r.count == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    writer.join();
    EXPECT_EQ(total, burst.size());
    EXPECT_EQ(::IOP_Close(3), 0);
}

TEST_F(PollTick, AHungUpDeviceIsGoneAndStaysGone)
{
    testing_tty::Pty &pty = attach(4);
    ASSERT_EQ(::IOP_Open(4, 0x1036), 0);
    testing_tty::write_all(pty.master, "bye");
    ASSERT_TRUE(testing_tty::wait_for_input(4, 3));
    std::vector<char> buffer;
    TickResult r = readTick(4, library, buffer);
    EXPECT_EQ(std::string(buffer.data(), r.count), "bye");
    EXPECT_FALSE(r.gone);

    hang_up(pty); // the other end ends: a pty drops what its reader had not taken yet
    for (int tick = 0; tick < 2; ++tick) { // every later tick too, until the port is closed
        r = readTick(4, library, buffer);
        EXPECT_EQ(r.count, 0u);
        EXPECT_TRUE(r.gone);
    }
    EXPECT_EQ(::IOP_Close(4), 0);
    EXPECT_EQ(goneMessage(4).rfind("COM4: the device went away", 0), 0u);
}

// A double-byte character split between two ticks: its first byte waits for the second.
TEST(ReceivedText, ALeadByteAtTheEndWaitsForTheNextTick)
{
    const auto cp932Lead = [](unsigned char b) { return (b >= 0x81 && b <= 0x9F) || b >= 0xE0; };
    EXPECT_EQ(wholeCharacters("ab\x82", +cp932Lead), 2u);
    EXPECT_EQ(wholeCharacters("\x82\xA0", +cp932Lead), 2u);
    EXPECT_EQ(wholeCharacters("\x82\x82\x82", +cp932Lead), 2u); // the second \x82 is a trail byte
    EXPECT_EQ(wholeCharacters("\x82\x82\x82\x82", +cp932Lead), 4u);
    EXPECT_EQ(wholeCharacters("ab\x82", nullptr), 3u); // a single-byte code page holds nothing
}

int32_t putc(int32_t port, const char *byte) { return ::IOP_Putc(port, byte); }

class Sending : public testing_tty::ComPortTest {};

TEST_F(Sending, APasteGoesOutWholeAndInOrderInStepsThatNeverWaitForTheLine)
{
    testing_tty::Pty &pty = attach(5);
    ASSERT_EQ(::IOP_Open(5, 0x1036), 0);
    std::string paste;
    for (int i = 0; paste.size() < 256 * 1024; ++i)
        paste += std::to_string(i) + ' ';
    SendQueue queue;
    queue.append(paste);
    queue.append("typed"); // a key typed during the paste goes behind it

    // Nobody reads the other end: the line fills up and the port refuses, at once.
    SendQueue::Step step;
    int steps = 0;
    while ((step = queue.send(5, &putc, std::chrono::seconds(1))) == SendQueue::Step::More)
        ++steps;
    EXPECT_EQ(step, SendQueue::Step::Refused);
    EXPECT_FALSE(queue.empty());

    // The other end reads: every byte arrives, in order, once.
    std::string got;
    // Generous: under a sanitizer on a loaded machine the 256 KiB take seconds.
    std::thread reader([&] {
        got = testing_tty::read_some(pty.master, paste.size() + 5, std::chrono::seconds(60));
    });
    for (int tries = 0; tries < 20000 && step != SendQueue::Step::Done; ++tries) {
        step = queue.send(5, &putc);
        if (step == SendQueue::Step::Refused)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    reader.join();
    EXPECT_EQ(step, SendQueue::Step::Done);
    EXPECT_TRUE(queue.empty());
    EXPECT_TRUE(got == paste + "typed") << got.size() << " bytes of " << paste.size() + 5;
    EXPECT_EQ(::IOP_Close(5), 0);
}

TEST_F(Sending, AClosedPortRefusesAndClearingDropsTheRest)
{
    SendQueue queue;
    queue.append("abc");
    EXPECT_EQ(queue.send(6, &putc), SendQueue::Step::Refused); // COM6 is not open
    queue.clear();
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.send(6, &putc), SendQueue::Step::Done);
}

} // namespace
