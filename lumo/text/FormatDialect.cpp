#include "lumo/text/FormatDialect.h"

#include "lumo/text/TextConversion.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace LumoUtil {

VaListFormatArgs::VaListFormatArgs(va_list args) { va_copy(m_args, args); }
VaListFormatArgs::~VaListFormatArgs() { va_end(m_args); }
int VaListFormatArgs::NextInt() { return va_arg(m_args, int); }
long long VaListFormatArgs::NextLongLong() { return va_arg(m_args, long long); }
long VaListFormatArgs::NextLong() { return va_arg(m_args, long); }
size_t VaListFormatArgs::NextSize() { return va_arg(m_args, size_t); }
const void* VaListFormatArgs::NextPointer() { return va_arg(m_args, const void*); }
double VaListFormatArgs::NextDouble() { return va_arg(m_args, double); }
long double VaListFormatArgs::NextLongDouble() { return va_arg(m_args, long double); }
const char* VaListFormatArgs::NextNarrowString() { return va_arg(m_args, const char*); }
const wchar_t* VaListFormatArgs::NextWideString() { return va_arg(m_args, const wchar_t*); }

namespace {

// Width and precision beyond this cannot show in any result (the callers cut far below it);
// clamping keeps a hostile "%999999999d" from costing memory.
constexpr int kMaxField = 8192;

enum class Length { None, hh, h, l, ll, L, I, I32, I64, z, j, t, w };

struct Spec {
    std::string flags; // as written, for the C library's number formatting
    bool left = false;
    int width = -1;
    int precision = -1;
    Length length = Length::None;
    char conversion = 0;
};

// One number through the C library, with a conversion we build ourselves from known parts, so the
// value always matches its length modifier. Numbers are plain ASCII whatever the locale's character type.
template <typename T>
std::string FormatNumber(const Spec& spec, const char* lengthAndConversion, T value)
{
    std::string format = "%" + spec.flags;
    if (spec.width >= 0)
        format += std::to_string(spec.width);
    if (spec.precision >= 0)
        format += "." + std::to_string(spec.precision);
    format += lengthAndConversion;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int n = std::snprintf(nullptr, 0, format.c_str(), value);
    if (n <= 0)
        return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    std::snprintf(out.data(), out.size() + 1, format.c_str(), value);
#pragma GCC diagnostic pop
    return out;
}

template <typename Char>
struct Traits;

template <>
struct Traits<char> {
    static constexpr bool kWideDialect = false;
    static std::string FromNarrow(const char* s, size_t n) { return std::string(s, n); }
    static std::string FromWide(const wchar_t* s, size_t n) { return ToNarrow(std::wstring(s, n)); }
    static char FromNarrowChar(char c) { return c; }
    static char FromWideChar(wchar_t c) { return ToNarrowChar(c); }
};

template <>
struct Traits<wchar_t> {
    static constexpr bool kWideDialect = true;
    static std::wstring FromNarrow(const char* s, size_t n) { return ToWide(std::string(s, n)); }
    static std::wstring FromWide(const wchar_t* s, size_t n) { return std::wstring(s, n); }
    static wchar_t FromNarrowChar(char c) { return ToWideChar(c); }
    static wchar_t FromWideChar(wchar_t c) { return c; }
};

template <typename Char>
class Formatter {
public:
    using String = std::basic_string<Char>;
    using T = Traits<Char>;

    Formatter(const Char* format, FormatArgs& args, size_t maxUnits)
        : m_format(format), m_args(args), m_max(maxUnits)
    {
    }

    String Run()
    {
        if (!m_format)
            return m_out;
        size_t i = 0;
        while (m_format[i] != 0 && m_out.size() < m_max) {
            if (m_format[i] != '%') {
                Append(m_format[i++]);
                continue;
            }
            const size_t start = i;
            Spec spec;
            if (!ParseSpec(i, spec) || !Convert(spec)) {
                // Not understood: the rest goes out as written, and no argument is read any more.
                Append(String(m_format + start));
                break;
            }
        }
        // Like the C string the result once was, it ends at a NUL written by %c.
        const size_t nul = m_out.find(Char(0));
        if (nul != String::npos)
            m_out.resize(nul);
        return m_out;
    }

private:
    void Append(Char c)
    {
        if (m_out.size() < m_max)
            m_out += c;
    }

    void Append(const String& s)
    {
        if (m_out.size() < m_max)
            m_out.append(s, 0, m_max - m_out.size());
    }

    void AppendPadded(const String& s, const Spec& spec)
    {
        const size_t pad = spec.width > 0 && static_cast<size_t>(spec.width) > s.size()
            ? static_cast<size_t>(spec.width) - s.size()
            : 0;
        if (!spec.left)
            Append(String(pad, Char(' ')));
        Append(s);
        if (spec.left)
            Append(String(pad, Char(' ')));
    }

    void AppendNumber(const std::string& digits)
    {
        String s(digits.size(), Char(0));
        for (size_t k = 0; k < digits.size(); ++k)
            s[k] = static_cast<Char>(static_cast<unsigned char>(digits[k]));
        Append(s);
    }

    // A decimal field of the format, clamped.
    int ParseNumber(size_t& i)
    {
        int value = 0;
        while (m_format[i] >= '0' && m_format[i] <= '9') {
            value = value * 10 + (m_format[i] - '0');
            if (value > kMaxField)
                value = kMaxField;
            ++i;
        }
        return value;
    }

    static int Clamp(int v) { return v > kMaxField ? kMaxField : v; }

    // Reads "%[flags][width][.precision][length]conversion" from i (at the "%"); false when the
    // text is no conversion we know.
    bool ParseSpec(size_t& i, Spec& spec)
    {
        ++i;
        for (;; ++i) {
            const Char c = m_format[i];
            if (c == '-' || c == '+' || c == ' ' || c == '#' || c == '0') {
                if (c == '-')
                    spec.left = true;
                spec.flags += static_cast<char>(c);
            } else {
                break;
            }
        }
        if (m_format[i] == '*') {
            ++i;
            const int w = m_args.NextInt();
            if (w < 0) {
                spec.left = true;
                spec.flags += '-';
                spec.width = w == INT_MIN ? kMaxField : Clamp(-w);
            } else {
                spec.width = Clamp(w);
            }
        } else if (m_format[i] >= '1' && m_format[i] <= '9') {
            spec.width = ParseNumber(i);
        }
        if (m_format[i] == '.') {
            ++i;
            if (m_format[i] == '*') {
                ++i;
                const int p = m_args.NextInt();
                spec.precision = p < 0 ? -1 : Clamp(p);
            } else {
                spec.precision = ParseNumber(i);
            }
        }
        spec.length = ParseLength(i);
        const Char c = m_format[i];
        if (c == 0 || static_cast<uint32_t>(c) > 0x7F)
            return false;
        spec.conversion = static_cast<char>(c);
        ++i;
        return true;
    }

    Length ParseLength(size_t& i)
    {
        const Char* p = m_format + i;
        const auto take = [&](size_t n, Length l) {
            i += n;
            return l;
        };
        switch (p[0]) {
        case 'h': return p[1] == 'h' ? take(2, Length::hh) : take(1, Length::h);
        case 'l': return p[1] == 'l' ? take(2, Length::ll) : take(1, Length::l);
        case 'L': return take(1, Length::L);
        case 'z': return take(1, Length::z);
        case 'j': return take(1, Length::j);
        case 't': return take(1, Length::t);
        case 'w': return take(1, Length::w);
        case 'I':
            if (p[1] == '6' && p[2] == '4')
                return take(3, Length::I64);
            if (p[1] == '3' && p[2] == '2')
                return take(3, Length::I32);
            return take(1, Length::I);
        default: return Length::None;
        }
    }

    // Writes one conversion; false when it is not understood (nothing is read then).
    bool Convert(const Spec& spec)
    {
        switch (spec.conversion) {
        case '%':
            Append(Char('%'));
            return true;
        case 'd':
        case 'i':
            return ConvertSigned(spec);
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            return ConvertUnsigned(spec);
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            return ConvertFloat(spec);
        case 'p':
            return ConvertPointer(spec);
        case 's':
        case 'S':
            return ConvertString(spec);
        case 'c':
        case 'C':
            return ConvertChar(spec);
        default:
            return false; // %n included: never honoured
        }
    }

    bool ConvertSigned(const Spec& spec)
    {
        long long v;
        switch (spec.length) {
        case Length::None:
        case Length::I32: v = m_args.NextInt(); break;
        case Length::h: v = static_cast<short>(m_args.NextInt()); break;
        case Length::hh: v = static_cast<signed char>(m_args.NextInt()); break;
        case Length::l: v = T::kWideDialect ? m_args.NextInt() : m_args.NextLong(); break;
        case Length::ll:
        case Length::I64: v = m_args.NextLongLong(); break;
        case Length::j: v = m_args.NextLong(); break;
        case Length::I:
        case Length::z:
        case Length::t: v = static_cast<long long>(m_args.NextSize()); break;
        default: return false;
        }
        const char conv[] = {'l', 'l', spec.conversion, 0};
        AppendNumber(FormatNumber(spec, conv, v));
        return true;
    }

    bool ConvertUnsigned(const Spec& spec)
    {
        unsigned long long v;
        switch (spec.length) {
        case Length::None:
        case Length::I32: v = static_cast<unsigned>(m_args.NextInt()); break;
        case Length::h: v = static_cast<unsigned short>(m_args.NextInt()); break;
        case Length::hh: v = static_cast<unsigned char>(m_args.NextInt()); break;
        case Length::l:
            v = T::kWideDialect ? static_cast<unsigned>(m_args.NextInt())
                                : static_cast<unsigned long>(m_args.NextLong());
            break;
        case Length::ll:
        case Length::I64: v = static_cast<unsigned long long>(m_args.NextLongLong()); break;
        case Length::j: v = static_cast<unsigned long>(m_args.NextLong()); break;
        case Length::I:
        case Length::z:
        case Length::t: v = m_args.NextSize(); break;
        default: return false;
        }
        const char conv[] = {'l', 'l', spec.conversion, 0};
        AppendNumber(FormatNumber(spec, conv, v));
        return true;
    }

    bool ConvertFloat(const Spec& spec)
    {
        if (spec.length == Length::L) {
            const char conv[] = {'L', spec.conversion, 0};
            AppendNumber(FormatNumber(spec, conv, m_args.NextLongDouble()));
            return true;
        }
        if (spec.length != Length::None && spec.length != Length::l)
            return false;
        const char conv[] = {spec.conversion, 0};
        AppendNumber(FormatNumber(spec, conv, m_args.NextDouble()));
        return true;
    }

    bool ConvertPointer(const Spec& spec)
    {
        if (spec.length != Length::None)
            return false;
        Spec plain;
        plain.width = spec.width;
        plain.left = spec.left;
        plain.flags = spec.left ? "-" : "";
        AppendNumber(FormatNumber(plain, "p", m_args.NextPointer()));
        return true;
    }

    // Whether %s / %c of this spec takes a wide argument.
    bool TakesWide(const Spec& spec) const
    {
        if (spec.length == Length::h)
            return false;
        if (spec.length == Length::l || spec.length == Length::w)
            return true;
        const bool lower = spec.conversion == 's' || spec.conversion == 'c';
        return lower == T::kWideDialect;
    }

    bool ConvertString(const Spec& spec)
    {
        if (spec.length != Length::None && spec.length != Length::h && spec.length != Length::l &&
            spec.length != Length::w)
            return false;
        const size_t limit = spec.precision >= 0 ? static_cast<size_t>(spec.precision) : SIZE_MAX;
        String text;
        if (TakesWide(spec)) {
            const wchar_t* s = m_args.NextWideString();
            if (!s)
                s = L"(null)";
            text = T::FromWide(s, limit == SIZE_MAX ? std::wcslen(s) : wcsnlen(s, limit));
        } else {
            const char* s = m_args.NextNarrowString();
            if (!s)
                s = "(null)";
            text = T::FromNarrow(s, limit == SIZE_MAX ? std::strlen(s) : strnlen(s, limit));
        }
        AppendPadded(text, spec);
        return true;
    }

    bool ConvertChar(const Spec& spec)
    {
        if (spec.length != Length::None && spec.length != Length::h && spec.length != Length::l &&
            spec.length != Length::w)
            return false;
        const int v = m_args.NextInt();
        const Char c = TakesWide(spec) ? T::FromWideChar(static_cast<wchar_t>(v))
                                       : T::FromNarrowChar(static_cast<char>(v));
        AppendPadded(String(1, c), spec);
        return true;
    }

    const Char* m_format;
    FormatArgs& m_args;
    size_t m_max;
    String m_out;
};

} // namespace

std::wstring FormatWideDialect(const wchar_t* format, FormatArgs& args, size_t maxUnits)
{
    return Formatter<wchar_t>(format, args, maxUnits).Run();
}

std::string FormatNarrowDialect(const char* format, FormatArgs& args, size_t maxBytes)
{
    return Formatter<char>(format, args, maxBytes).Run();
}

} // namespace LumoUtil
