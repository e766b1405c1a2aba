#pragma once
// UTF-8 encoding of wide text, shared by every place that hands text to the OS or a terminal.

#include <cstdint>
#include <string>

namespace platform
{

// Appends the UTF-8 form of one Unicode scalar value (the caller has ruled out surrogates and
// values above U+10FFFF).
void AppendUtf8(std::string& out, uint32_t codePoint);

// True when value is a Unicode scalar value: no surrogate, not above U+10FFFF.
bool IsUnicodeScalar(uint32_t value);

// UTF-8 of text; every value that is no Unicode scalar is written as U+FFFD. "\" stays "\".
std::string WideToUtf8(const std::wstring& text);

// UTF-8 of text into out; false (out then undefined) when text holds a value that is no Unicode
// scalar.
bool WideToUtf8Checked(const std::wstring& text, std::string& out);

} // namespace platform
