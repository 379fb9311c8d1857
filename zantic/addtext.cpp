// Display of received text in the terminal's text box (see addtext.h).
#include "addtext.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace zantic {

namespace {

constexpr QChar kNul(0), kBackspace(8), kLineFeed(10), kCarriageReturn(13);

// Document position up to which the first `count` terminal characters reach. Where the
// count ends between the CR and the LF of a line break, the whole break is included.
int headPosition(const QTextDocument &doc, qsizetype count)
{
    qsizetype seen = 0;
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        const qsizetype text = b.length() - 1; // without the block's separator
        if (count <= seen + text)
            return int(b.position() + (count - seen));
        if (!b.next().isValid())
            break;
        if (count <= seen + text + 2)
            return int(b.position() + text + 1); // inside or right after the pair: all of it
        seen += text + 2;
    }
    return doc.characterCount() - 1;
}

} // namespace

qsizetype boxLength(const QPlainTextEdit &box)
{
    const QTextDocument *doc = box.document();
    // characterCount includes one separator per block (the last one is implicit); every
    // separator but the last stands for two characters.
    return qsizetype(doc->characterCount()) + doc->blockCount() - 2;
}

QString boxText(const QPlainTextEdit &box)
{
    QString raw = box.document()->toRawText();
    raw.replace(QChar::ParagraphSeparator, QStringLiteral("\r\n"));
    return raw;
}

void addText(QPlainTextEdit &box, const QString &received)
{
    // Work out what the text does before touching the box. NULs and line feeds never show,
    // so they are dropped first; a backspace then takes back the character shown before it,
    // whichever tick brought that character.
    QString s;
    s.reserve(received.size());
    qsizetype takeBack = 0; // backspaces that reach back into the box
    for (QChar c : received) {
        if (c == kNul || c == kLineFeed)
            continue;
        if (c == kBackspace) {
            if (s.isEmpty())
                ++takeBack;
            else
                s.chop(1);
            continue;
        }
        s.append(c);
    }
    s.replace(kCarriageReturn, kLineFeed); // a paragraph break is one CR LF pair

    QTextDocument *doc = box.document();
    QTextCursor cursor(doc);
    cursor.beginEditBlock();

    // Old text goes first, in steps of kBoxDrop, until the limit holds again.
    const qsizetype length = boxLength(box);
    if (length > kBoxLimit) {
        const qsizetype steps = (length - kBoxLimit + kBoxDrop - 1) / kBoxDrop;
        cursor.setPosition(0);
        cursor.setPosition(headPosition(*doc, steps * kBoxDrop), QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }

    // Each document position at the end is one shown character or one whole line break.
    const int end = doc->characterCount() - 1;
    cursor.setPosition(end);
    if (takeBack > 0)
        cursor.setPosition(int(std::max<qsizetype>(0, end - takeBack)), QTextCursor::KeepAnchor);
    cursor.insertText(s); // replaces the taken-back characters, if any
    cursor.endEditBlock();

    cursor.movePosition(QTextCursor::End);
    box.setTextCursor(cursor);
    box.ensureCursorVisible(); // also brings the caret's column into view
    box.verticalScrollBar()->setValue(box.verticalScrollBar()->maximum());
}

} // namespace zantic
