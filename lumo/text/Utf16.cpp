#include "lumo/text/Utf16.h"

namespace LumoUtil {

namespace {

// The UTF-16 units of one wide character (1 or 2); values above U+10FFFF become U+FFFD.
size_t Units(wchar_t c, uint16_t (&units)[2])
{
    uint32_t cp = static_cast<uint32_t>(c);
    if (cp > 0x10FFFF)
        cp = 0xFFFD;
    if (cp < 0x10000) {
        units[0] = static_cast<uint16_t>(cp);
        return 1;
    }
    cp -= 0x10000;
    units[0] = static_cast<uint16_t>(0xD800 + (cp >> 10));
    units[1] = static_cast<uint16_t>(0xDC00 + (cp & 0x3FF));
    return 2;
}

} // namespace

size_t Utf16Length(const std::wstring& text)
{
    size_t n = 0;
    for (wchar_t c : text) {
        uint16_t units[2];
        n += Units(c, units);
    }
    return n;
}

void AppendUtf16LE(std::vector<uint8_t>& out, const std::wstring& text)
{
    // Sized once and written in place: summaries append a name for each of 100,000 entries.
    const size_t at = out.size();
    out.resize(at + 2 * Utf16Length(text));
    uint8_t* p = out.data() + at;
    for (wchar_t c : text) {
        uint16_t units[2];
        const size_t n = Units(c, units);
        for (size_t k = 0; k < n; ++k) {
            *p++ = static_cast<uint8_t>(units[k] & 0xFF);
            *p++ = static_cast<uint8_t>(units[k] >> 8);
        }
    }
}

std::vector<uint8_t> EncodeUtf16LE(const std::wstring& text)
{
    std::vector<uint8_t> out;
    AppendUtf16LE(out, text);
    return out;
}

std::wstring DecodeUtf16LE(const uint8_t* bytes, size_t unitCount)
{
    std::wstring out;
    out.reserve(unitCount);
    const auto unitAt = [bytes](size_t i) {
        return static_cast<uint32_t>(bytes[2 * i]) | (static_cast<uint32_t>(bytes[2 * i + 1]) << 8);
    };
    for (size_t i = 0; i < unitCount; ++i) {
        const uint32_t u = unitAt(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < unitCount) {
            const uint32_t low = unitAt(i + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                out += static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        out += static_cast<wchar_t>(u);
    }
    return out;
}

bool DecodeUtf16LEBytes(const uint8_t* bytes, size_t byteCount, std::wstring& out)
{
    if (byteCount % 2 != 0)
        return false;
    out = DecodeUtf16LE(bytes, byteCount / 2);
    return true;
}

int CompareUtf16(const std::wstring& a, const std::wstring& b)
{
    size_t ia = 0, ib = 0;
    uint16_t ua[2], ub[2];
    size_t na = 0, nb = 0, ka = 0, kb = 0;
    for (;;) {
        if (ka == na) {
            if (ia == a.size())
                break;
            na = Units(a[ia++], ua);
            ka = 0;
        }
        if (kb == nb) {
            if (ib == b.size())
                return 1;
            nb = Units(b[ib++], ub);
            kb = 0;
        }
        if (ua[ka] != ub[kb])
            return ua[ka] < ub[kb] ? -1 : 1;
        ++ka, ++kb;
    }
    // a is used up.
    return (kb == nb && ib == b.size()) ? 0 : -1;
}

} // namespace LumoUtil
