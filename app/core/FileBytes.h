// Whole small files (server lists, build lists) read in one go.
#pragma once

#include <string>

// The whole file at path ("/" or "\" separators). False when it cannot be opened
// or read, or is larger than maxBytes.
bool ReadFileBytes(const std::wstring& path, std::string& bytes, size_t maxBytes = 16u << 20);
// The same, saying why it failed: the system's reason, "it is a folder", "it is not a regular
// file" or "it is larger than N bytes".
bool ReadFileBytes(const std::wstring& path, std::string& bytes, std::wstring& why, size_t maxBytes = 16u << 20);
