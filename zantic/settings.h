// Settings arithmetic of the settings dialog: its list contents, the parsing of the default
// line-settings text and the packing of the choices into the library's configuration word.
// Pure functions: no widgets, no library calls.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

namespace zantic {

QStringList portEntries();      // "Com1" ... "Com60"
QStringList speedEntries();     // the sixteen rates, in list order
QStringList dataBitsEntries();  // "5" ... "8"
QStringList parityEntries();    // "None", "Even", "Odd", "Mark", "Space"
QStringList stopBitsEntries();  // "1", "2"
QStringList flowCaptions();     // "None", "Xon/Xoff", "RTS", "Xon/RTS"

// The built-in default line settings: speed, parity letter, data bits, stop bits.
inline constexpr const char *kDefaultLineSettings = "9600,n,8,1";

// The pieces of a line-settings text, taken at fixed places counted from its end.
struct LinePieces {
    QString speed;    // text of the wanted speed entry
    int parity = -1;  // position in the parity list, -1 for an unknown letter
    QString dataBits; // text of the wanted data-bits entry
    QString stopBits; // text of the wanted stop-bits entry
};
LinePieces parseLineSettings(const QString &text);

// Baud code of the library for a position in the speed list. The list has a rate the
// library's table lacks (28800) sitting in the middle, so the code is found by rate:
// positions 0-8 keep their number, 28800 is code 15, and 38400..256000 are codes 9..14.
// -1 for a position outside the list (the term of an unselected list).
int32_t speedCode(int speedPosition);

// Flow-control bits of the configuration word for a flow option index: bit 12 switches the
// hardware handshake off, bit 7 switches XON/XOFF on.
int32_t flowBits(int flowIndex);

inline constexpr int32_t kHandshakeOff = 1 << 12;
inline constexpr int32_t kXonXoff = 1 << 7;

// The configuration word from the positions of the four lists and the flow option.
// Unselected lists count as position -1, as the arithmetic always did.
int32_t configWord(int speedPosition, int dataBitsPosition, int parityPosition,
                   int stopBitsPosition, int flowIndex);

} // namespace zantic
