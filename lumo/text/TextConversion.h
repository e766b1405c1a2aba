#pragma once
// The one pair of conversions between wide text and the 8-bit text of our file formats, wire formats
// and child command lines. One code unit maps to one byte through a fixed table (never through the
// C library's locale), so the length is always kept:
//
//   wide                               8-bit
//   U+0020..U+007F, U+0009/000A/000D   the same value
//   U+2026 U+2018 U+2019 U+201C U+201D U+2013   0x85 0x91 0x92 0x93 0x94 0x96
//   U+00AB U+00B0 U+00BB               0xAB 0xB0 0xBB
//   anything else (NUL, other controls, other letters, code points above U+FFFF)  "?" (0x3F)
//
// ToWide maps 0x00..0x7F and the nine marks back; any other byte 0x80..0xFF is read as Latin-1
// (U+0080..U+00FF), which keeps logs readable and which ToNarrow turns into "?" again.
//
// Paths handed to the OS never go through ToNarrow (its "?" is a legal Linux file-name character);
// they go through ToNativePath (platform/NativePath.h).

#include <string>

std::string ToNarrow(const std::wstring& text);
std::string ToNarrow(const wchar_t* text); // null gives ""
std::wstring ToWide(const std::string& text);
std::wstring ToWide(const char* text); // null gives ""

// Single units, by the same tables.
char ToNarrowChar(wchar_t unit);
wchar_t ToWideChar(char byte);

// Text of unknown kind from outside or from the libraries' own lines (child programs' output, log
// lines that may hold native paths): read as UTF-8 when it is valid UTF-8, else by the 8-bit table.
std::wstring DecodeUtf8Or8Bit(const std::string& bytes);

// True when ToWide(ToNarrow(text)) == text, i.e. the text survives a trip through 8-bit text.
bool SurvivesNarrowing(const std::wstring& text);
