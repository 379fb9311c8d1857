// The settings dialog's arithmetic for the Qt face: the shared core's lists and default-text
// pieces as Qt strings, and its configuration word.
#pragma once

#include "core/lineconfig.h"

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
using core::kDefaultLineSettings;

// The pieces of a line-settings text, taken at fixed places counted from its end.
struct LinePieces {
    QString speed;    // text of the wanted speed entry
    int parity = -1;  // position in the parity list, -1 for an unknown letter
    QString dataBits; // text of the wanted data-bits entry
    QString stopBits; // text of the wanted stop-bits entry
};
LinePieces parseLineSettings(const QString &text);

// The arithmetic is the shared core's (core/lineconfig.h).
using core::configWord;
using core::flowBits;
using core::kHandshakeOff;
using core::kXonXoff;
using core::speedCode;

} // namespace zantic
