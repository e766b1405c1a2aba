#pragma once
// String helpers: formatting into strings, integer parsing, safe names, lower-casing, splitting and
// padding. All are stateless and reentrant.

#include <cstdarg>
#include <string>

// Decimal integer of the whole text: an optional "+" or "-", then digits up to the NUL. Any other
// character anywhere, an empty text, a lone sign or a null pointer gives 0. Values beyond the range
// of int are clamped to INT_MIN / INT_MAX (never undefined behaviour); callers that take indexes
// or offsets from outside must still check the range they accept.
int StringToInt(const wchar_t* text);

namespace LumoUtil {

// Like the C library's "%d" scan: leading blanks, an optional sign, then digits up to the first
// non-digit ("12ab" gives 12). 0 when no digit could be read or text is null. Out-of-range values
// are clamped to INT_MIN / INT_MAX.
int ParseInt(const char* text);

// printf-style formatting (see lumo/text/FormatDialect.h) into a 4096-byte buffer: longer output is cut
// at 4095 bytes.
std::string FormatString(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatStringV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

// The wide form, in the product's wide dialect (%s is a wide string, %hs an 8-bit one, %lu 32 bits;
// see lumo/text/FormatDialect.h): a 4096-unit buffer, output cut at 4095 units.
std::wstring FormatWString(const wchar_t* format, ...);
std::wstring FormatWStringV(const wchar_t* format, va_list args);

// The size of the formatting buffers, terminator included.
constexpr size_t kFormatBufferUnits = 4096;

// A leading "." becomes "_"; every character outside A-Z a-z 0-9 - . _ (separators and bytes 0x80
// and above included) becomes "_".
std::string MakeSafeName(std::string s);

// ASCII-only lower-casing, the same in every locale (8-bit text holds no other letters).
std::string ToLowerCopy(const std::string& s);

// Delimiter found: head = text before its first occurrence, tail = text after it, rest = "", true.
// Not found: head = tail = "", rest = s, false.
bool SplitString(std::string s, std::string delimiter, std::string& head, std::string& tail,
                 std::string& rest);

// n - 1 spaces then c; "" for n below 1.
std::string MakePadding(char c, int n);

// width below 1: ""; s shorter than width: spaces in front up to width; else the last width characters.
std::string PadLeft(const std::string& s, int width);

// width below 1: ""; else the decimal text of value padded in front with spaces to width, or cut from
// the left to its last width characters (12345 at width 3 gives "345").
std::string IntToStringPadded(int value, int width);

} // namespace LumoUtil
