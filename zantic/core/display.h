// The display rule for received text, in standard C++ so that every face of the terminal
// (Qt, Win32) shows the same text. It plans one edit of the text box per tick instead of
// changing the box once per batch.
//
// Text is the box's text as the terminal sees it: every line ending is a carriage return
// followed by a line feed (CR LF), and such a pair is never split. A batch is what one read
// of the port hands to the display. For each batch, in order:
//   1. While the box holds more than kBoxLimit characters, old text is dropped from the start
//      in steps of kBoxDrop, until the limit holds (a cut between CR and LF takes the LF too).
//   2. NULs and line feeds of the batch are dropped.
//   3. A backspace removes the character before it in the same batch or, with nothing before
//      it, the last character of the box (a CR LF pair whole; nothing once the box is empty).
//   4. Each carriage return becomes CR LF, and the batch is appended.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace zantic::core {

// Above this many characters old text is dropped, this many at a time.
inline constexpr std::size_t kBoxLimit = 16000;
inline constexpr std::size_t kBoxDrop = 4096;
// The size of one batch when a tick's text is cut into batches: one receive buffer, so that
// the box never holds much more than kBoxLimit characters however much a tick reads.
inline constexpr std::size_t kBatchSize = 256;

// One edit of the box: remove `dropFront` characters at its start and `takeBack` characters at
// its end (both counted in the box's text before the edit, neither splits a CR LF pair, and
// together they never exceed its length), then append `append` (line breaks as CR LF).
struct BoxEdit {
    std::size_t dropFront = 0;
    std::size_t takeBack = 0;
    std::u16string append;
};

// The edit that gives the box exactly the text the rule gives when the batches are applied one
// after the other to `box`. Text that a later batch's drop removes again is not in `append`.
BoxEdit planDisplay(std::u16string_view box, std::span<const std::u16string_view> batches);

// The same for a tick's text, cut into batches of kBatchSize characters.
BoxEdit planTick(std::u16string_view box, std::u16string_view received);

// Applies an edit to a copy of the box's text (for faces that keep the text themselves).
void applyEdit(std::u16string &box, const BoxEdit &edit);

} // namespace zantic::core
