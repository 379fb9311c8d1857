// Which bytes a key press sends to the port. Pure: works on the parts of a key event.
#pragma once

#include <QByteArray>
#include <QString>
#include <Qt>
#include <optional>

namespace zantic {

// The bytes that the key sends, one per character the key produces: Latin-1 characters as
// themselves, Enter 13, Backspace 8, Tab 9, Escape 27, Ctrl with a letter 1..26 (also where
// the platform gives the plain letter as the key's text). Characters outside Latin-1 send
// nothing but still count as typed. No value: the key produces no character (arrows, Home,
// End, Page Up/Down, Delete, function keys, modifiers alone) and is left to the text box.
std::optional<QByteArray> keyBytes(int key, Qt::KeyboardModifiers modifiers, const QString &text);

// The bytes pasted or dropped text sends, as if its characters were typed: Latin-1 one
// byte each, each line break (CR LF, LF or CR) one carriage return, characters outside
// Latin-1 nothing.
QByteArray pasteBytes(const QString &text);

} // namespace zantic
