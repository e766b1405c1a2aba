#pragma once
// Checks for relative paths that come from outside (package items, file lists, segment names, build
// strings used as file names), and the names the patcher keeps for itself. Resolving such a name
// below a folder (the case rule, links) is the installation's door's work
// (lumo/files/InstallDoor.h), which checks the name with IsSafeRelativePath first.

#include <string>

namespace LumoUtil {

// The text a name came in. 8-bit lists and packages hold only what the 8-bit table can (a name
// outside it would name another file); UTF-16 formats (file-tree summaries, segment records) hold
// every Unicode scalar value.
enum class NameText { EightBit, Utf16 };

// True when path is safe to join onto a folder. Otherwise false, and *reason (when given) says why,
// naming the path. Refused:
// - an empty path, or one of nothing but separators and "." components;
// - an absolute path (leading "/" or "\") or a drive path ("C:...");
// - a ".." component;
// - ":", NUL or any other control character (U+0000..U+001F, U+007F);
// - with NameText::EightBit, a character that 8-bit text cannot hold (ToWide(ToNarrow(c)) != c);
//   with NameText::Utf16, a value that is no Unicode scalar (a lone surrogate, above U+10FFFF).
// Both "/" and "\" separate components; empty and "." components are allowed and skipped.
bool IsSafeRelativePath(const std::wstring& path, std::wstring* reason = nullptr,
                        NameText text = NameText::EightBit);

// True when the install-relative path names a file the patcher keeps for itself (the table in
// lumo/text/ReservedNames.h), whatever its case and separators; *reason (when given) then says so,
// naming the path: 'path "patch.journal": the name is kept for the patch journal'.
bool IsReservedInstallName(const std::wstring& relative, std::wstring* reason = nullptr);

} // namespace LumoUtil
