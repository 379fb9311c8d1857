// Typed and pasted characters to bytes (see typing.h).
#include "typing.h"

namespace zantic::core {

std::string latin1(char32_t c)
{
    return c <= 0xFF ? std::string(1, char(c)) : std::string();
}

std::string typedBytes(char32_t c, Encoder encode)
{
    std::string bytes = encode(c);
    if (bytes.size() > 1)
        bytes.resize(1);
    return bytes;
}

std::string pastedBytes(std::u16string_view text, Encoder encode)
{
    std::string bytes;
    bytes.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
            continue; // the LF that follows sends the pair's one CR
        if (c == u'\n' || c == u'\r') {
            bytes += '\r';
        } else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                   text[i + 1] <= 0xDFFF) {
            const char32_t full = 0x10000 + ((char32_t(c) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            bytes += typedBytes(full, encode);
            ++i;
        } else if (c < 0xD800 || c > 0xDFFF) {
            bytes += typedBytes(c, encode);
        }
    }
    return bytes;
}

} // namespace zantic::core
