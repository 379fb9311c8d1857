// The display rule for received text (see display.h).
#include "display.h"

#include <algorithm>
#include <vector>

namespace zantic::core {

namespace {

// The box's text while a tick is planned, without copying the box: what is kept of the box,
// box[front, keep), followed by the new text added[addedFront, end). Dropping is only moving
// `front` or `addedFront` forward; the dropped head of `added` is erased now and then.
class Plan {
public:
    explicit Plan(std::u16string_view box) : m_box(box), m_keep(box.size()) {}

    void apply(std::u16string_view batch)
    {
        dropOldText();
        for (char16_t c : batch) {
            switch (c) {
            case u'\0':
            case u'\n':
                break;
            case u'\b':
                // Whether the character before it came in this batch or is the box's last, it
                // is now the last character of the text.
                removeLast();
                break;
            case u'\r':
                m_added += u"\r\n";
                break;
            default:
                m_added += c;
            }
        }
    }

    BoxEdit edit() &&
    {
        BoxEdit e;
        e.dropFront = m_front;
        e.takeBack = m_box.size() - m_keep;
        m_added.erase(0, m_addedFront);
        e.append = std::move(m_added);
        return e;
    }

private:
    std::size_t boxPart() const { return m_keep - m_front; }
    std::size_t addedPart() const { return m_added.size() - m_addedFront; }
    std::size_t length() const { return boxPart() + addedPart(); }

    char16_t at(std::size_t i) const
    {
        return i < boxPart() ? m_box[m_front + i] : m_added[m_addedFront + i - boxPart()];
    }

    void dropOldText()
    {
        const std::size_t len = length();
        if (len <= kBoxLimit)
            return;
        std::size_t cut = (len - kBoxLimit + kBoxDrop - 1) / kBoxDrop * kBoxDrop;
        if (cut < len && at(cut - 1) == u'\r')
            ++cut; // the pair's LF goes with its CR
        const std::size_t fromBox = std::min(cut, boxPart());
        m_front += fromBox;
        m_addedFront += cut - fromBox;
        // Keep the dropped head of `added` from piling up over a long tick.
        if (m_addedFront > kBoxLimit && m_addedFront > m_added.size() / 2) {
            m_added.erase(0, m_addedFront);
            m_addedFront = 0;
        }
    }

    // A backspace: the text's last character goes, a CR LF pair whole; nothing once empty.
    void removeLast()
    {
        if (addedPart() > 0)
            m_added.resize(m_added.size() - (m_added.back() == u'\n' ? 2 : 1));
        else if (boxPart() > 0)
            m_keep -= (boxPart() >= 2 && m_box[m_keep - 1] == u'\n') ? 2 : 1;
    }

    std::u16string_view m_box;
    std::size_t m_front = 0;
    std::size_t m_keep;
    std::u16string m_added;
    std::size_t m_addedFront = 0;
};

} // namespace

BoxEdit planDisplay(std::u16string_view box, std::span<const std::u16string_view> batches)
{
    Plan plan(box);
    for (std::u16string_view batch : batches)
        plan.apply(batch);
    return std::move(plan).edit();
}

BoxEdit planTick(std::u16string_view box, std::u16string_view received)
{
    std::vector<std::u16string_view> batches;
    batches.reserve(received.size() / kBatchSize + 1);
    for (std::size_t at = 0; at < received.size(); at += kBatchSize)
        batches.push_back(received.substr(at, kBatchSize));
    return planDisplay(box, batches);
}

void applyEdit(std::u16string &box, const BoxEdit &edit)
{
    box.resize(box.size() - edit.takeBack);
    box.erase(0, edit.dropFront);
    box += edit.append;
}

} // namespace zantic::core
