// Typed and pasted characters to bytes (see typing.h).
#include "typing.h"

#include <utility>

namespace zantic::core {

std::string latin1(char32_t c)
{
    return c <= 0xFF ? std::string(1, char(c)) : std::string();
}

namespace {
std::u16string fromLatin1(std::string_view bytes)
{
    std::u16string text(bytes.size(), u'\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        text[i] = char16_t(static_cast<unsigned char>(bytes[i]));
    return text;
}
} // namespace

const CodePage kLatin1{&latin1, nullptr, &fromLatin1};

std::optional<char32_t> TypedUnits::take(char16_t unit)
{
    if (unit >= 0xD800 && unit <= 0xDBFF) {
        m_high = unit;
        return std::nullopt;
    }
    const char16_t high = std::exchange(m_high, 0);
    if (unit < 0xDC00 || unit > 0xDFFF)
        return unit;
    if (!high)
        return std::nullopt;
    return 0x10000 + ((char32_t(high) - 0xD800) << 10) + (unit - 0xDC00);
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
