// The settings dialog's arithmetic (see lineconfig.h).
#include "lineconfig.h"

#include <array>

namespace zantic::core {

std::vector<std::string> portEntries()
{
    std::vector<std::string> list;
    for (int n = 1; n <= 60; ++n)
        list.push_back("Com" + std::to_string(n));
    return list;
}

std::vector<std::string> speedEntries()
{
    return {"110",   "300",   "600",   "1200",  "2400",   "4800",   "9600",   "14400",
            "19200", "28800", "38400", "56000", "57600",  "115200", "128000", "256000"};
}

std::vector<std::string> dataBitsEntries() { return {"5", "6", "7", "8"}; }
std::vector<std::string> parityEntries() { return {"None", "Even", "Odd", "Mark", "Space"}; }
std::vector<std::string> stopBitsEntries() { return {"1", "2"}; }
std::vector<std::string> flowCaptions() { return {"None", "Xon/Xoff", "RTS", "Xon/RTS"}; }

LinePieces parseLineSettings(std::string_view text)
{
    // A "." anywhere means a two-character-longer stop-bits field ("1.5"), which shifts
    // every field before it two places to the left.
    const std::ptrdiff_t L = std::ptrdiff_t(text.size());
    const std::ptrdiff_t k = text.find('.') != std::string_view::npos ? 2 : 0;
    auto piece = [&](std::ptrdiff_t from, std::ptrdiff_t count) { // from counted from 1
        if (from < 1 || from > L || count <= 0)
            return std::string();
        return std::string(text.substr(size_t(from - 1), size_t(count)));
    };
    LinePieces p;
    p.speed = piece(1, L - 6 - k);
    const std::string letter = piece(L - 4 - k, 1);
    if (!letter.empty()) {
        const size_t at = std::string_view("neoms").find(letter[0]); // case-sensitive
        p.parity = at == std::string_view::npos ? -1 : int(at);
    }
    p.dataBits = piece(L - 2 - k, 1);
    p.stopBits = piece(std::max<std::ptrdiff_t>(1, L - k), k + 1);
    return p;
}

int findEntry(const std::vector<std::string> &entries, std::string_view text)
{
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i] == text)
            return int(i);
    }
    return -1;
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

} // namespace zantic::core
