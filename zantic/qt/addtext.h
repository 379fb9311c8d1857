// Display of received text in the terminal's text box.
//
// The box's text, as the terminal sees it, is what was received with every line ending
// written as a carriage return followed by a line feed. The QPlainTextEdit keeps that text
// as paragraphs, so each paragraph break stands for one CR LF pair and counts as two
// characters. A pair is never split: the size limit's cut takes a pair's LF with its CR,
// and a backspace from the device removes a whole line break. So every length and position
// below is in characters of the terminal's text, and the box always maps back to it.
#pragma once

#include "core/display.h"

#include <QString>

class QPlainTextEdit;

namespace zantic {

// Appends received text to the box as one batch of the display rule (core/display.h): NULs
// and line feeds are dropped; a backspace removes the character before it in the same text
// or, with nothing before it, one more character from the end of the box (silently nothing
// once the box is empty); each carriage return becomes a line break; while the box holds more
// than kBoxLimit characters beforehand, old text is dropped kBoxDrop at a time. The caret ends
// at the end of the box, which scrolls to it.
void addText(QPlainTextEdit &box, const QString &received);

// Appends a tick's text as batches of kBatchSize characters, in one edit of the box: text
// that a later batch's drop removes again is never laid out.
void addTick(QPlainTextEdit &box, const QString &received);

// Makes an edit of the display rule, planned on the box's text as boxText gives it; the caret
// ends at the end of the box, which scrolls to it.
void editBox(QPlainTextEdit &box, const core::BoxEdit &edit);

// The box's text as the terminal sees it (line breaks as CR LF) and its length.
QString boxText(const QPlainTextEdit &box);
qsizetype boxLength(const QPlainTextEdit &box);

} // namespace zantic
