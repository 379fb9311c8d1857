// The display rule's plan for a tick against the rule applied batch by batch to the whole
// text: the same box text, character for character, with drops, backspaces and line breaks
// falling across the cuts and the batches.
#include "core/display.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace zantic::core;
using Text = std::u16string;

// The rule as the box applied it before ticks were planned: every batch laid out in full,
// old text dropped from the full text.
void addFull(Text &box, std::u16string_view batch)
{
    if (box.size() > kBoxLimit) {
        std::size_t cut = (box.size() - kBoxLimit + kBoxDrop - 1) / kBoxDrop * kBoxDrop;
        box.erase(0, box[cut - 1] == u'\r' ? cut + 1 : cut);
    }
    Text s;
    std::size_t takeBack = 0;
    for (char16_t c : batch) {
        if (c == u'\b')
            s.empty() ? void(++takeBack) : s.pop_back();
        else if (c != u'\0' && c != u'\n')
            s += c;
    }
    for (; takeBack > 0 && !box.empty(); --takeBack)
        box.resize(box.size() - (box.ends_with(u"\r\n") ? 2 : 1));
    for (char16_t c : s)
        box += (c == u'\r') ? Text(u"\r\n") : Text(1, c);
}

void expectSame(const Text &before, const std::vector<Text> &batches)
{
    Text full = before;
    for (const Text &b : batches)
        addFull(full, b);
    const BoxEdit edit = planDisplay(before, std::vector<std::u16string_view>(batches.begin(), batches.end()));
    // The faces map characters to lines: neither end of the kept text may split a pair.
    ASSERT_LE(edit.dropFront + edit.takeBack, before.size());
    if (edit.dropFront > 0 && edit.dropFront < before.size()) {
        EXPECT_NE(before[edit.dropFront - 1], u'\r');
    }
    if (edit.takeBack > 0 && edit.takeBack < before.size()) {
        EXPECT_NE(before[before.size() - edit.takeBack - 1], u'\r');
    }
    Text planned = before;
    applyEdit(planned, edit);
    EXPECT_TRUE(planned == full) << planned.size() << " characters planned, " << full.size() << " in full";
}

TEST(DisplayPlan, SameTextAsBatchByBatch)
{
    // 16001 characters whose first cut (4096) falls between a CR and its LF.
    const Text cutInPair = Text(4095, u'a') + u"\r\n" + Text(11904, u'b');
    Text full16000;
    for (int i = 0; i < 160; ++i)
        full16000 += Text(98, u'x') + u"\r\n";
    const std::vector<std::tuple<const char *, Text, std::vector<Text>>> cases = {
        {"the cut takes the LF with its CR", cutInPair, {u"z", u"\by"}},
        {"exactly the limit: nothing dropped", full16000, {u"A", u"B"}},
        {"a tick ten times the box", full16000, std::vector<Text>(600, u"0123456789 record\r\n")},
        {"backspaces after the box went whole", cutInPair, {Text(20000, u'q'), u"\b\b\b", u"\b\rz", u"\b\b\b"}},
        {"a drop, then backspaces at the new start", cutInPair, {u"\b\b", Text(9000, u'k'), u"\r", u"\b\b"}},
        {"backspaces reach into the old box", u"wx\r\nyz", {u"\b", u"\b\b", u"\b\bk"}},
        {"backspaces empty the box and more", u"ab\r\n", {u"\b\b\b\b\b", u"x"}},
        {"a backspace takes an earlier batch's line break", u"", {u"abc\r", u"\b", u"d"}},
        {"NULs and line feeds across batches", u"p", {u"a\n", Text(u"\0\b", 2), u"\n\rb", u"one\ntwo"}},
    };
    for (const auto &[name, before, batches] : cases) {
        SCOPED_TRACE(name);
        expectSame(before, batches);
    }
}

// Streams a device might send, as random batches on random boxes.
TEST(DisplayPlan, SameTextOnRandomStreams)
{
    std::mt19937 rng(20261207);
    const Text alphabet = u"abcdefgh\r\r\n\b\b";
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n)(rng); };
    for (int round = 0; round < 300; ++round) {
        Text before;
        for (std::size_t n = pick(20000); before.size() < n;)
            before += pick(30) == 0 ? Text(u"\r\n") : Text(1, u'a' + char16_t(pick(25)));
        std::vector<Text> batches(pick(40));
        for (Text &b : batches) {
            for (std::size_t n = pick(1500); b.size() < n;)
                b += pick(200) == 0 ? u'\0' : alphabet[pick(alphabet.size() - 1)];
        }
        SCOPED_TRACE(round);
        expectSame(before, batches);
    }
}

} // namespace
