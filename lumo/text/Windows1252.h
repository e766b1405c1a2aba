#pragma once
// Windows-1252, the code page the game installer writes its uninstall log in: U+0000..U+007F and
// U+00A0..U+00FF as the byte of the same value, and 27 more characters (the euro sign, typographic
// quotes and dashes, S/Z/Y with caron or diaeresis, ...) at 0x80..0x9F. Unlike the program's own
// 8-bit text (TextConversion.h) every character the page holds keeps its byte, so names the
// installer wrote and names we write compare equal.

#include <string>

// The bytes of text; false (out untouched) when a character has no place in the page.
bool ToWindows1252(const std::wstring& text, std::string& out);
