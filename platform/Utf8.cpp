#include "platform/Utf8.h"

namespace platform
{

void AppendUtf8(std::string& out, uint32_t codePoint)
{
    const uint32_t c = codePoint;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool IsUnicodeScalar(uint32_t value)
{
    return value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF);
}

std::string WideToUtf8(const std::wstring& text)
{
    std::string out;
    out.reserve(text.size());
    for (wchar_t unit : text) {
        const uint32_t c = static_cast<uint32_t>(unit);
        AppendUtf8(out, IsUnicodeScalar(c) ? c : 0xFFFD);
    }
    return out;
}

bool WideToUtf8Checked(const std::wstring& text, std::string& out)
{
    out.clear();
    out.reserve(text.size());
    for (wchar_t unit : text) {
        const uint32_t c = static_cast<uint32_t>(unit);
        if (!IsUnicodeScalar(c))
            return false;
        AppendUtf8(out, c);
    }
    return true;
}

} // namespace platform
