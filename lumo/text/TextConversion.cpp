#include "lumo/text/TextConversion.h"

#include "platform/NativePath.h"

namespace {

// The six Windows-1252 punctuation marks that 8-bit text carries besides ASCII.
struct Mark {
    wchar_t wide;
    unsigned char narrow;
};
constexpr Mark kMarks[] = {
    {L'\u2026', 0x85}, {L'\u2018', 0x91}, {L'\u2019', 0x92},
    {L'\u201C', 0x93}, {L'\u201D', 0x94}, {L'\u2013', 0x96},
};

} // namespace

char ToNarrowChar(wchar_t unit)
{
    if ((unit >= 0x20 && unit <= 0x7F) || unit == 0x09 || unit == 0x0A || unit == 0x0D)
        return static_cast<char>(unit);
    if (unit == 0xAB || unit == 0xB0 || unit == 0xBB)
        return static_cast<char>(static_cast<unsigned char>(unit));
    for (const Mark& m : kMarks)
        if (m.wide == unit)
            return static_cast<char>(m.narrow);
    return '?';
}

wchar_t ToWideChar(char byte)
{
    const unsigned char b = static_cast<unsigned char>(byte);
    for (const Mark& m : kMarks)
        if (m.narrow == b)
            return m.wide;
    // 0x00..0x7F as they are; every other byte as Latin-1.
    return static_cast<wchar_t>(b);
}

std::string ToNarrow(const std::wstring& text)
{
    std::string out(text.size(), '\0');
    for (size_t i = 0; i < text.size(); ++i)
        out[i] = ToNarrowChar(text[i]);
    return out;
}

std::string ToNarrow(const wchar_t* text)
{
    return text ? ToNarrow(std::wstring(text)) : std::string();
}

std::wstring ToWide(const std::string& text)
{
    std::wstring out(text.size(), L'\0');
    for (size_t i = 0; i < text.size(); ++i)
        out[i] = ToWideChar(text[i]);
    return out;
}

std::wstring ToWide(const char* text)
{
    return text ? ToWide(std::string(text)) : std::wstring();
}

bool SurvivesNarrowing(const std::wstring& text)
{
    for (wchar_t c : text)
        if (ToWideChar(ToNarrowChar(c)) != c)
            return false;
    return true;
}

std::wstring DecodeUtf8Or8Bit(const std::string& bytes)
{
    const std::wstring text = FromNativePath(bytes);
    for (const wchar_t c : text)
    {
        if (c >= 0xDC80 && c <= 0xDCFF)  // a byte that is no part of UTF-8
            return ToWide(bytes);
    }
    return text;
}
