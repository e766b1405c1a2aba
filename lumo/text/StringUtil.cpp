#include "lumo/text/StringUtil.h"

#include "lumo/text/FormatDialect.h"

#include <climits>

namespace {

// Accumulates decimal digits, stopping the growth at limit, so no step can overflow.
unsigned long long AddDigit(unsigned long long value, int digit, unsigned long long limit)
{
    if (value > (limit - static_cast<unsigned>(digit)) / 10)
        return limit;
    return value * 10 + static_cast<unsigned>(digit);
}

int Clamped(bool negative, unsigned long long magnitude)
{
    if (negative)
        return magnitude >= static_cast<unsigned long long>(INT_MAX) + 1 ? INT_MIN
                                                                        : -static_cast<int>(magnitude);
    return magnitude >= static_cast<unsigned long long>(INT_MAX) ? INT_MAX : static_cast<int>(magnitude);
}

constexpr unsigned long long kMagnitudeLimit = static_cast<unsigned long long>(INT_MAX) + 1;

} // namespace

int StringToInt(const wchar_t* text)
{
    if (!text)
        return 0;
    const wchar_t* p = text;
    bool negative = false;
    if (*p == L'+' || *p == L'-')
        negative = *p++ == L'-';
    if (*p == 0)
        return 0;
    unsigned long long magnitude = 0;
    for (; *p != 0; ++p) {
        if (*p < L'0' || *p > L'9')
            return 0;
        magnitude = AddDigit(magnitude, *p - L'0', kMagnitudeLimit);
    }
    return Clamped(negative, magnitude);
}

namespace LumoUtil {

int ParseInt(const char* text)
{
    if (!text)
        return 0;
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    unsigned long long magnitude = 0;
    bool any = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        magnitude = AddDigit(magnitude, *p - '0', kMagnitudeLimit);
        any = true;
    }
    return any ? Clamped(negative, magnitude) : 0;
}

std::string FormatStringV(const char* format, va_list args)
{
    VaListFormatArgs source(args);
    return FormatNarrowDialect(format, source, kFormatBufferUnits - 1);
}

std::string FormatString(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string out = FormatStringV(format, args);
    va_end(args);
    return out;
}

std::wstring FormatWStringV(const wchar_t* format, va_list args)
{
    VaListFormatArgs source(args);
    return FormatWideDialect(format, source, kFormatBufferUnits - 1);
}

std::wstring FormatWString(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring out = FormatWStringV(format, args);
    va_end(args);
    return out;
}

std::string MakeSafeName(std::string s)
{
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                          c == '-' || c == '_' || (c == '.' && i > 0);
        if (!keep)
            s[i] = '_';
    }
    return s;
}

std::string ToLowerCopy(const std::string& s)
{
    std::string out = s;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool SplitString(std::string s, std::string delimiter, std::string& head, std::string& tail,
                 std::string& rest)
{
    const size_t at = s.find(delimiter);
    if (at == std::string::npos) {
        head.clear();
        tail.clear();
        rest = std::move(s);
        return false;
    }
    head = s.substr(0, at);
    tail = s.substr(at + delimiter.size());
    rest.clear();
    return true;
}

std::string MakePadding(char c, int n)
{
    if (n < 1)
        return std::string();
    return std::string(static_cast<size_t>(n - 1), ' ') + c;
}

std::string PadLeft(const std::string& s, int width)
{
    if (width < 1)
        return std::string();
    const size_t w = static_cast<size_t>(width);
    if (s.size() < w)
        return std::string(w - s.size(), ' ') + s;
    return s.substr(s.size() - w);
}

std::string IntToStringPadded(int value, int width)
{
    return PadLeft(std::to_string(value), width);
}

} // namespace LumoUtil
