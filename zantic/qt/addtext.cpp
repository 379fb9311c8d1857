// Display of received text in the terminal's text box (see addtext.h).
#include "addtext.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace zantic {

namespace {

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

namespace {

std::u16string_view view(const QString &text)
{
    return std::u16string_view(QStringView(text).utf16(), size_t(text.size()));
}

} // namespace

void editBox(QPlainTextEdit &box, const core::BoxEdit &edit)
{
    QTextDocument *doc = box.document();
    // Both ends of the kept text lie between whole line breaks (display.h), so each maps to
    // one document position; the tail's is taken before the head goes.
    const int dropEnd = headPosition(*doc, qsizetype(edit.dropFront));
    const int keepEnd = headPosition(*doc, boxLength(box) - qsizetype(edit.takeBack));

    // A paragraph break is one CR LF pair.
    QString append;
    append.reserve(qsizetype(edit.append.size()));
    for (char16_t c : edit.append) {
        if (c != u'\n')
            append.append(c == u'\r' ? QChar(u'\n') : QChar(c));
    }

    QTextCursor cursor(doc);
    cursor.beginEditBlock();
    if (dropEnd > 0) {
        cursor.setPosition(0);
        cursor.setPosition(dropEnd, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    cursor.setPosition(keepEnd - dropEnd);
    cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    cursor.insertText(append); // replaces the taken-back characters, if any
    cursor.endEditBlock();

    cursor.movePosition(QTextCursor::End);
    box.setTextCursor(cursor);
    box.ensureCursorVisible(); // also brings the caret's column into view
    box.verticalScrollBar()->setValue(box.verticalScrollBar()->maximum());
}

void addText(QPlainTextEdit &box, const QString &received)
{
    const QString text = boxText(box);
    const std::u16string_view batch = view(received);
    editBox(box, core::planDisplay(view(text), std::span(&batch, 1)));
}

void addTick(QPlainTextEdit &box, const QString &received)
{
    const QString text = boxText(box);
    editBox(box, core::planTick(view(text), view(received)));
}

} // namespace zantic
