// The settings dialog's arithmetic, the same for every face of Demo: the entries of its five
// lists, the pieces of the default line-settings text, and the configuration word that OK
// builds from the chosen positions. Standard C++ only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zantic::core {

std::vector<std::string> portEntries();     // "Com1" ... "Com60"
std::vector<std::string> speedEntries();    // the sixteen rates, in list order
std::vector<std::string> dataBitsEntries(); // "5" ... "8"
std::vector<std::string> parityEntries();   // "None", "Even", "Odd", "Mark", "Space"
std::vector<std::string> stopBitsEntries(); // "1", "2"
std::vector<std::string> flowCaptions();    // "None", "Xon/Xoff", "RTS", "Xon/RTS"

// The built-in default line settings: speed, parity letter, data bits, stop bits.
inline constexpr const char *kDefaultLineSettings = "9600,n,8,1";

// The pieces of a line-settings text, taken at fixed places counted from its end.
struct LinePieces {
    std::string speed;    // text of the wanted speed entry
    int parity = -1;      // position in the parity list, -1 for an unknown letter
    std::string dataBits; // text of the wanted data-bits entry
    std::string stopBits; // text of the wanted stop-bits entry
};
LinePieces parseLineSettings(std::string_view text);

// Position of the entry whose text is exactly `text`, -1 if none.
int findEntry(const std::vector<std::string> &entries, std::string_view text);

// Baud code of the library for a position in the speed list. The list has a rate the
// library's table lacks (28800) sitting in the middle, so the code is found by rate:
// positions 0-8 keep their number, 28800 is code 15, and 38400..256000 are codes 9..14.
// -1 for a position outside the list (the term of an unselected list).
int32_t speedCode(int speedPosition);

inline constexpr int32_t kHandshakeOff = 1 << 12;
inline constexpr int32_t kXonXoff = 1 << 7;

// Flow-control bits of the configuration word for a flow option index: bit 12 switches the
// hardware handshake off, bit 7 switches XON/XOFF on.
int32_t flowBits(int flowIndex);

// The configuration word from the positions of the four lists and the flow option.
// Unselected lists count as position -1, as the arithmetic always did.
int32_t configWord(int speedPosition, int dataBitsPosition, int parityPosition,
                   int stopBitsPosition, int flowIndex);

} // namespace zantic::core
