#include "platform/NativePath.h"

#include <cstdint>
#include <system_error>

#include "platform/Utf8.h"

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when the bytes there are not one
// (overlong forms, surrogates and values above U+10FFFF are not valid).
size_t ValidSequence(const std::string& s, size_t i, uint32_t& cp)
{
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b0 = byte(i);
    size_t len;
    uint32_t min;
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    } else if ((b0 & 0xE0) == 0xC0) {
        len = 2, min = 0x80, cp = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, min = 0x800, cp = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, min = 0x10000, cp = b0 & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size())
        return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < min || !platform::IsUnicodeScalar(cp))
        return 0;
    return len;
}

} // namespace

std::string ToNativePath(const std::wstring& path)
{
    std::string out;
    out.reserve(path.size());
    for (wchar_t c : path) {
        const uint32_t cp = static_cast<uint32_t>(c);
        if (cp == '\\')
            out += '/';
        else if (cp >= 0xDC80 && cp <= 0xDCFF)
            out += static_cast<char>(cp - 0xDC00); // a byte FromNativePath could not decode
        else
            platform::AppendUtf8(out, platform::IsUnicodeScalar(cp) ? cp : 0xFFFD);
    }
    return out;
}

std::wstring FromNativePath(const std::string& nativePath)
{
    std::wstring out;
    out.reserve(nativePath.size());
    size_t i = 0;
    while (i < nativePath.size()) {
        uint32_t cp = 0;
        const size_t len = ValidSequence(nativePath, i, cp);
        if (len == 0) {
            out += static_cast<wchar_t>(0xDC00 + static_cast<unsigned char>(nativePath[i]));
            ++i;
        } else {
            out += static_cast<wchar_t>(cp);
            i += len;
        }
    }
    return out;
}

std::wstring ErrnoText(int error)
{
    return FromNativePath(std::generic_category().message(error));
}
