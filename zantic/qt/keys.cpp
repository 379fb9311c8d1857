// Key press to bytes (see keys.h); the characters' bytes are the shared core's.
#include "keys.h"

#include "core/typing.h"

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
    for (char32_t c : text.toStdU32String())
        bytes.append(QByteArray::fromStdString(core::typedBytes(c, core::latin1)));
    return bytes;
}

QByteArray pasteBytes(const QString &text)
{
    return QByteArray::fromStdString(core::pastedBytes(text.toStdU16String(), core::latin1));
}

} // namespace zantic
