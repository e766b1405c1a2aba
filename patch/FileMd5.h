#pragma once
// The digest the patch engine compares with the checksums of its file lists.

#include <string>

// Hashes the whole file (read in large blocks) and stores its MD5 as 32 lower-case hexadecimal
// digits in digest. False, with digest empty, when the file cannot be opened or read to its end
// (a folder included).
bool ComputeFileMD5(const std::wstring& path, std::wstring& digest);
