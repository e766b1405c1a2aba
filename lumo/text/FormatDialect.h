#pragma once
// The one formatter for printf-style formats. Every format of the product goes through here;
// nobody hands a format to vsnprintf / vswprintf directly.
//
// Wide formats use the dialect the product's texts (string table included) are written in:
//   %s  %ls %ws  wide string          %hs %S      8-bit string, widened with ToWide
//   %c  %lc %wc  wide character       %hc %C      8-bit character, widened with ToWide
//   d i u x X o  int; l on them still means 32 bits; ll, I64 mean 64 bits; h, hh short, char;
//                I, z, t mean the size of a pointer, j intmax_t
//   e E f F g G a A  double, L long double          p  pointer         %%  a percent sign
// with the flags - + space # 0, a width and a precision, either of which may be * (an int argument).
//
// 8-bit formats are checked by the compiler (see FormatString), so there the length modifiers keep
// their C meaning (l is long); %s %hs are 8-bit strings, %ls %ws %S wide strings, narrowed with
// ToNarrow, and %c / %lc %C likewise. No conversion ever goes through the C library's locale.
//
// %n is never honoured. A conversion that is not understood is copied out as it stands together with
// the rest of the format, and no further argument is read, so a bad format can never misread the
// arguments behind it.

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

namespace LumoUtil {

// Where the formatter takes its arguments from: a va_list normally, fixed values in tests and fuzzing.
class FormatArgs {
public:
    virtual ~FormatArgs() = default;
    virtual int NextInt() = 0;              // int, char, wchar_t, short (all promoted to int)
    virtual long long NextLongLong() = 0;   // long long, 64-bit integers
    virtual long NextLong() = 0;            // long (8-bit dialect only)
    virtual size_t NextSize() = 0;          // size_t, ptrdiff_t, intptr_t
    virtual const void* NextPointer() = 0;
    virtual double NextDouble() = 0;
    virtual long double NextLongDouble() = 0;
    virtual const char* NextNarrowString() = 0;
    virtual const wchar_t* NextWideString() = 0;
};

// Reads the arguments from a va_list (which the caller owns and ends).
class VaListFormatArgs final : public FormatArgs {
public:
    explicit VaListFormatArgs(va_list args);
    ~VaListFormatArgs() override;
    int NextInt() override;
    long long NextLongLong() override;
    long NextLong() override;
    size_t NextSize() override;
    const void* NextPointer() override;
    double NextDouble() override;
    long double NextLongDouble() override;
    const char* NextNarrowString() override;
    const wchar_t* NextWideString() override;

private:
    va_list m_args;
};

// Formats a wide format in the product's dialect; the result holds at most maxUnits units
// (longer output is cut).
std::wstring FormatWideDialect(const wchar_t* format, FormatArgs& args, size_t maxUnits);

// Formats an 8-bit format; the result holds at most maxBytes bytes.
std::string FormatNarrowDialect(const char* format, FormatArgs& args, size_t maxBytes);

} // namespace LumoUtil
