// The display rule's plan for a tick against the rule applied batch by batch to the whole
// text: the same box text, character for character, with drops, backspaces and line breaks
// falling across the cuts and the batches.
#include "core/display.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using namespace zantic;

// The rule as the box applied it before ticks were planned: every batch laid out in full,
// old text dropped from the full text.
void addFull(std::u16string &box, std::u16string_view batch)
{
    if (box.size() > kBoxLimit) {
        std::size_t cut = (box.size() - kBoxLimit + kBoxDrop - 1) / kBoxDrop * kBoxDrop;
        if (box[cut - 1] == u'\r')
            ++cut;
        box.erase(0, cut);
    }
    std::u16string s;
    std::size_t takeBack = 0;
    for (char16_t c : batch) {
        if (c == u'\0' || c == u'\n')
            continue;
        if (c == u'\b')
            s.empty() ? void(++takeBack) : s.pop_back();
        else
            s += c;
    }
    for (; takeBack > 0 && !box.empty(); --takeBack)
        box.resize(box.size() - (box.ends_with(u"\r\n") ? 2 : 1));
    for (char16_t c : s)
        box += (c == u'\r') ? std::u16string(u"\r\n") : std::u16string(1, c);
}

// Checks the plan of `batches` on `before` against the full rule; returns the box after.
std::u16string expectSame(const std::u16string &before, const std::vector<std::u16string> &batches)
{
    std::u16string full = before;
    for (const auto &b : batches)
        addFull(full, b);
    const std::vector<std::u16string_view> views(batches.begin(), batches.end());
    const BoxEdit edit = planDisplay(before, views);
    EXPECT_LE(edit.dropFront + edit.takeBack, before.size());
    // The faces map characters to lines: neither end of the kept part may split a pair.
    if (edit.dropFront > 0 && edit.dropFront < before.size()) {
        EXPECT_NE(before[edit.dropFront - 1], u'\r');
    }
    if (edit.takeBack > 0 && edit.takeBack < before.size()) {
        EXPECT_NE(before[before.size() - edit.takeBack - 1], u'\r');
    }
    std::u16string planned = before;
    applyEdit(planned, edit);
    EXPECT_TRUE(planned == full) << "planned " << planned.size() << " characters, full "
                                 << full.size();
    return planned;
}

// `count` lines of `width` characters, each followed by CR LF (terminal form).
std::u16string lines(std::size_t count, std::size_t width, char16_t fill = u'x')
{
    std::u16string line(width, fill);
    line += u"\r\n";
    std::u16string text;
    for (std::size_t i = 0; i < count; ++i)
        text += line;
    return text;
}

TEST(DisplayPlan, SameTextAsBatchByBatch)
{
    // A box of 16001 characters whose first cut (4096) falls between a CR and its LF.
    const std::u16string cutInPair = std::u16string(4095, u'a') + u"\r\n" + std::u16string(11904, u'b');
    ASSERT_EQ(cutInPair.size(), kBoxLimit + 1);
    const std::u16string full16000 = lines(160, 98);

    struct Case {
        const char *name;
        std::u16string before;
        std::vector<std::u16string> batches;
    };
    const std::vector<Case> cases = {
        {"nothing received", u"ab\r\n", {}},
        {"the cut takes the LF with its CR", cutInPair, {u"z", u"\by"}},
        {"exactly the limit: nothing dropped", full16000, {u"A", u"B"}},
        {"a tick ten times the box", full16000,
         std::vector<std::u16string>(600, u"0123456789 record\r\n")},
        {"backspaces after the box went whole", cutInPair,
         {std::u16string(20000, u'q'), u"\b\b\b", u"\b\rz", u"\b\b\b"}},
        {"backspaces reach into the old box", u"wx\r\nyz", {u"\b", u"\b\b", u"\b\bk"}},
        {"backspaces empty the box and more", u"ab\r\n", {u"\b\b\b\b\b", u"x"}},
        {"a backspace takes an earlier batch's line break", u"", {u"abc\r", u"\b", u"d"}},
        {"inside a batch first, then the box", u"xy", {u"a\b\b"}},
        {"NULs and line feeds across batches", u"p", {u"a\n", std::u16string(u"\0\b", 2), u"\n\rb"}},
        {"a line feed alone joins lines", u"", {u"one\ntwo", u"\n\r"}},
        {"a drop, then a backspace at the new start", cutInPair,
         {u"\b\b", std::u16string(9000, u'k'), u"\r", u"\b\b"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        expectSame(c.before, c.batches);
    }
}

// Streams a device might send, as random batches on random boxes.
TEST(DisplayPlan, SameTextOnRandomStreams)
{
    std::mt19937 rng(20261207);
    const std::u16string alphabet = u"abcdefgh\r\r\n\b\b";
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n)(rng); };
    for (int round = 0; round < 300; ++round) {
        std::u16string before;
        for (std::size_t n = pick(20000); before.size() < n;)
            before += (pick(30) == 0) ? std::u16string(u"\r\n") : std::u16string(1, u'a' + char16_t(pick(25)));
        std::vector<std::u16string> batches(pick(40));
        for (auto &b : batches) {
            for (std::size_t n = pick(1500); b.size() < n;)
                b += (pick(200) == 0) ? u'\0' : alphabet[pick(alphabet.size() - 1)];
        }
        SCOPED_TRACE(round);
        expectSame(before, batches);
    }
}

// However much a tick reads, the box stays near the limit and matches the rule applied to
// its batches of kBatchSize.
TEST(DisplayPlan, TickStaysNearTheLimit)
{
    std::u16string received;
    for (int i = 0; received.size() < 130000; ++i)
        received += u"record " + std::u16string(1, u'0' + char16_t(i % 10)) + (i % 7 ? u"\r\n" : u"\b\r");
    std::vector<std::u16string> batches;
    for (std::size_t at = 0; at < received.size(); at += kBatchSize)
        batches.emplace_back(received.substr(at, kBatchSize));
    std::u16string box = lines(200, 98);
    for (int tick = 0; tick < 3; ++tick) {
        std::u16string full = box;
        for (const auto &b : batches)
            addFull(full, b);
        applyEdit(box, planTick(box, received));
        ASSERT_TRUE(box == full);
        EXPECT_LE(box.size(), kBoxLimit + 2 * kBatchSize);
    }
}

} // namespace
