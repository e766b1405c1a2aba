#pragma once
// The one UTF-16LE codec for the byte formats that store UTF-16 text (package item names, file-tree
// summaries, segment records, UTF-16 log output). In memory text is std::wstring (UTF-32 on Linux);
// never copy wchar_t buffers to or from bytes.
//
// Encoding writes code points above U+FFFF as surrogate pairs. Decoding works unit for unit: a
// well-formed pair becomes one code point, a lone surrogate is kept as its own value (so a decode /
// encode round trip is lossless; such names fail the path validator anyway).
// Lengths of stored strings are counted in UTF-16 units (Utf16Length), not in wchar_t.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace LumoUtil {

// Number of UTF-16 units the text takes (code points above U+FFFF count 2).
size_t Utf16Length(const std::wstring& text);

// Appends the UTF-16LE bytes of text to out (no terminator, no byte-order mark).
// A value above U+10FFFF, which no UTF-16 string can hold, is written as U+FFFD.
void AppendUtf16LE(std::vector<uint8_t>& out, const std::wstring& text);
std::vector<uint8_t> EncodeUtf16LE(const std::wstring& text);

// Decodes unitCount UTF-16 units from bytes (2 * unitCount bytes, little-endian).
std::wstring DecodeUtf16LE(const uint8_t* bytes, size_t unitCount);

// Decodes a whole byte block; false (out untouched) when byteCount is odd.
bool DecodeUtf16LEBytes(const uint8_t* bytes, size_t byteCount, std::wstring& out);

// Orders two texts by their UTF-16 code units, as formats that sort names require
// (differs from wchar_t order for U+E000..U+FFFF against code points above U+FFFF).
// Returns <0, 0 or >0.
int CompareUtf16(const std::wstring& a, const std::wstring& b);

} // namespace LumoUtil
