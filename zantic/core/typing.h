// What typed, pasted and dropped characters send to the port, the same for every face of
// Demo: each character as its bytes in the code page at the library's boundary (Latin-1 on
// Linux, the ANSI code page on Windows), one byte at most, as a key sends one byte; and that
// code page's conversions, received bytes to text included. Standard C++ only.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zantic::core {

// A character's bytes in the boundary's code page; empty where the code page has none.
using Encoder = std::string (*)(char32_t c);

// Latin-1: characters up to U+00FF as themselves, nothing for the others.
std::string latin1(char32_t c);

// A code page's conversions at the library's boundary.
struct CodePage {
    Encoder encode;
    bool (*isLead)(unsigned char byte); // starts a double-byte character; null: single bytes
    std::u16string (*decode)(std::string_view bytes); // received bytes as text
};

// Latin-1 both ways: every byte is the character of its value.
extern const CodePage kLatin1;

// Joins the UTF-16 units of typed characters, which arrive one at a time: a character beyond
// U+FFFF comes as two. A unit that cannot be joined (a lone half) is no character.
class TypedUnits {
public:
    // The character `unit` completes, if any.
    std::optional<char32_t> take(char16_t unit);

private:
    char16_t m_high = 0; // the first half of a character beyond U+FFFF
};

// The byte a typed character sends: its first byte in the code page (a double-byte
// character sends its lead byte only), or nothing where the code page has no byte for it.
std::string typedBytes(char32_t c, Encoder encode);

// The bytes pasted or dropped text sends, as if its characters were typed: each line break
// (CR LF, LF or CR) is one carriage return; UTF-16 surrogate pairs are one character, a lone
// surrogate none.
std::string pastedBytes(std::u16string_view text, Encoder encode);

} // namespace zantic::core
