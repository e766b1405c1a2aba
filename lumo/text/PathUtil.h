#pragma once
// Path helpers on wide paths. Both "/" and "\" are separators everywhere a path is split; helpers that
// normalise turn every separator into "\". None of them touch the disk, normalise "..", or check that
// a path is safe: a relative path that comes from outside must pass LumoUtil::IsSafeRelativePath
// (lumo/text/SafePath.h) before it is joined onto a folder.

#include <string>

// "/" when the path holds a slash, else "\" when it holds a backslash, else "".
std::wstring GetPathSeparator(const std::wstring& path);

// The folder part of a path, with its final separator, decided by the "." rule:
// - no separator: a name holding "." is a bare file name and gives ""; otherwise the whole path;
// - else, with the last separator of either kind: when it is not the final character and a "."
//   follows it, the path up to and including it; otherwise the whole path (it names a folder).
// a\b\c.txt -> a\b\   a\b\c -> a\b\c   c.txt -> ""   C:\Games/bin\x.exe -> C:\Games/bin\ .
std::wstring GetDirectoryPart(const std::wstring& path);

// The path without its GetDirectoryPart ("" when nothing is left): a\b\c.txt -> c.txt, a\b\c -> "".
std::wstring GetFileNamePart(const std::wstring& path);

namespace LumoUtil {

// a empty: b unchanged. Else the leading separators of b are dropped and a "/" is inserted unless a
// ends in a separator: C:\Games + \bin\x.exe -> C:\Games/bin\x.exe; dir\ + //f -> dir\f; a + "" -> a/.
// The result is not normalised (see ReplaceSeparators).
std::wstring JoinPath(const std::wstring& a, const std::wstring& b);

// Replaces every "/" and "\" of path by c, in place.
void ReplaceSeparators(std::wstring& path, wchar_t c);

// The rest of path after the characters it shares with base from the start (case-sensitive, after
// turning both separators into "\"), with one "\" skipped. Compared by characters, not by
// components: C:\abc\x against C:\ab gives c\x. A path equal to or a prefix of base gives "".
std::wstring MakeRelativePath(std::wstring path, std::wstring base);

// 8-bit forms (ToNarrow of the path), without the "." rule of GetFileNamePart:
// the text after the last "/" or "\" (the whole path when there is none).
std::string GetFileName(const std::wstring& path);

// The text after the last "." of the last component; "" when it has none.
std::string GetExtension(const std::wstring& path);

// The path without the last "." of the last component and what follows; the whole path when none.
std::string RemoveExtension(const std::wstring& path);

// One leading "." of ext is skipped. With an extension: false for a null or empty ext, else an
// ASCII case-insensitive comparison. Without one: true only for a null or empty ext.
bool HasExtension(std::wstring path, const char* ext);

} // namespace LumoUtil
