#include "lumo/text/Windows1252.h"

namespace
{

// 0x80..0x9F; 0 where the page leaves the byte unassigned.
constexpr wchar_t kHighControls[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

bool ByteOf(wchar_t c, char& byte)
{
    if ((c >= 0 && c < 0x80) || (c >= 0xA0 && c <= 0xFF))
    {
        byte = static_cast<char>(c);
        return true;
    }
    for (int i = 0; i < 32; ++i)
        if (kHighControls[i] != 0 && kHighControls[i] == c)
        {
            byte = static_cast<char>(0x80 + i);
            return true;
        }
    return false;
}

} // namespace

bool ToWindows1252(const std::wstring& text, std::string& out)
{
    std::string bytes;
    bytes.reserve(text.size());
    for (wchar_t c : text)
    {
        char byte;
        if (!ByteOf(c, byte))
            return false;
        bytes += byte;
    }
    out = std::move(bytes);
    return true;
}
