// Key press to bytes (see keys.h).
#include "keys.h"

namespace zantic {

std::optional<QByteArray> keyBytes(int key, Qt::KeyboardModifiers modifiers, const QString &text)
{
    // Some platforms give Delete the text DEL; it edits the box like the other
    // non-character keys.
    if (key == Qt::Key_Delete)
        return std::nullopt;

    const bool alt = modifiers.testFlag(Qt::AltModifier);
    const bool ctrl = modifiers.testFlag(Qt::ControlModifier) && !alt;
    if (ctrl && key >= Qt::Key_A && key <= Qt::Key_Z)
        return QByteArray(1, char(key - Qt::Key_A + 1));
    // Alt with a key is a command (a menu's access key) that nothing took, not typing: the
    // plain letter must not go to the device. (AltGr characters carry no Alt modifier.)
    if (alt && !modifiers.testFlag(Qt::ControlModifier) && !text.isEmpty())
        return QByteArray();

    switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter: return QByteArray(1, '\r');
    case Qt::Key_Backspace: return QByteArray(1, '\b');
    case Qt::Key_Tab:
    case Qt::Key_Backtab: return QByteArray(1, '\t');
    case Qt::Key_Escape: return QByteArray(1, '\x1b');
    default: break;
    }

    if (text.isEmpty())
        return std::nullopt;
    QByteArray bytes;
    for (QChar c : text) {
        if (c.unicode() <= 0xFF)
            bytes.append(char(c.unicode()));
    }
    return bytes;
}

QByteArray pasteBytes(const QString &text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n')
            continue; // the LF that follows sends the pair's one CR
        if (c == u'\n' || c == u'\r')
            bytes.append('\r');
        else if (c <= 0xFF)
            bytes.append(char(c));
    }
    return bytes;
}

} // namespace zantic
