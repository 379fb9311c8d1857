// Settings arithmetic of the settings dialog (see settings.h).
#include "settings.h"

#include <array>

namespace zantic {

QStringList portEntries()
{
    QStringList list;
    for (int n = 1; n <= 60; ++n)
        list << QStringLiteral("Com%1").arg(n);
    return list;
}

QStringList speedEntries()
{
    return {"110",   "300",   "600",   "1200",  "2400",   "4800",   "9600",   "14400",
            "19200", "28800", "38400", "56000", "57600",  "115200", "128000", "256000"};
}

QStringList dataBitsEntries() { return {"5", "6", "7", "8"}; }
QStringList parityEntries() { return {"None", "Even", "Odd", "Mark", "Space"}; }
QStringList stopBitsEntries() { return {"1", "2"}; }
QStringList flowCaptions() { return {"None", "Xon/Xoff", "RTS", "Xon/RTS"}; }

LinePieces parseLineSettings(const QString &text)
{
    // A "." anywhere means a two-character-longer stop-bits field ("1.5"), which shifts
    // every field before it two places to the left.
    const qsizetype L = text.size();
    const qsizetype k = text.contains(QLatin1Char('.')) ? 2 : 0;
    LinePieces p;
    p.speed = text.left(std::max<qsizetype>(0, L - 6 - k));
    const qsizetype parityAt = L - 4 - k; // counted from 1
    if (parityAt >= 1 && parityAt <= L) {
        static const QString letters = QStringLiteral("neoms");
        p.parity = int(letters.indexOf(text.at(parityAt - 1))); // case-sensitive
    }
    const qsizetype dataAt = L - 2 - k;
    if (dataAt >= 1 && dataAt <= L)
        p.dataBits = text.mid(dataAt - 1, 1);
    p.stopBits = text.right(k + 1);
    return p;
}

int32_t speedCode(int speedPosition)
{
    static constexpr std::array<int32_t, 16> codes = {0,  1,  2,  3,  4,  5,  6,  7,
                                                      8, 15,  9, 10, 11, 12, 13, 14};
    if (speedPosition < 0 || speedPosition >= int(codes.size()))
        return -1;
    return codes[size_t(speedPosition)];
}

int32_t flowBits(int flowIndex)
{
    switch (flowIndex) {
    case 0: return kHandshakeOff;            // None
    case 1: return kHandshakeOff | kXonXoff; // Xon/Xoff
    case 2: return 0;                        // RTS: hardware handshake
    case 3: return kXonXoff;                 // Xon/RTS: both
    default: return kHandshakeOff;
    }
}

int32_t configWord(int speedPosition, int dataBitsPosition, int parityPosition,
                   int stopBitsPosition, int flowIndex)
{
    const int64_t word = int64_t(speedCode(speedPosition)) + 16 * int64_t(dataBitsPosition) +
                         256 * int64_t(parityPosition) + 64 * int64_t(stopBitsPosition) +
                         flowBits(flowIndex);
    return int32_t(word);
}

} // namespace zantic
