#pragma once
// Checks for relative paths that come from outside (package items, file lists, segment names, build
// strings used as file names) and the resolver that turns them into paths inside an installation.
//
// Typical use by code that writes below an install folder:
//
//   std::wstring target, error;
//   if (!LumoUtil::ResolveInstallPath(installPath, itemName, target, error)) { report error; stop }
//   ... open ToNativePath(target) ...
//
// ResolveInstallPath validates the name itself; IsSafeRelativePath alone serves code that only
// checks a name (for example before it is stored or sent).

#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <unordered_map>
#include <vector>

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

// Finds the file that an install-relative path names, the way a case-insensitive file system would:
// component by component below root, the exact name when it exists, else the single entry whose
// name matches ignoring ASCII case. Components that do not exist (and everything below them) keep
// the given spelling under the existing spelling of their parents, so a caller that creates them
// creates them there.
//
// On success resolved = root + "/" + the resolved components joined by "/" (a trailing separator of
// root is not doubled) and true. On failure false and error says what failed and where:
// - the relative path fails IsSafeRelativePath for the text it came in;
// - root is not an existing folder;
// - two or more entries match a component ignoring case (and none matches exactly);
// - a component before the last is an existing file, not a folder;
// - the path found leaves the real folder of root through a symbolic link, or cannot be resolved
//   (a dangling link).
// root is a wide path as the program holds it ("/" or "\" separators, see ToNativePath).
// reached (when given) gets the file the result reaches with every link followed, as a path
// relative to root's real folder ("/" between parts): the name to hold against what the patcher
// keeps for itself (IsReservedInstallName), whatever spelling or link inside led there.
bool ResolveInstallPath(const std::wstring& root, const std::wstring& relative, std::wstring& resolved,
                        std::wstring& error, NameText text = NameText::EightBit, std::wstring* reached = nullptr);

// ResolveInstallPath for a path the program wrote down itself in its exact spelling (the patch
// journal): the same checks, but every name is taken as spelled (no case matching, which could pick
// another file), and a component before the last that is an existing file ends the walk instead of
// failing (nothing can exist below it). A path that passes names nothing outside root.
bool ConfineInstallPath(const std::wstring& root, const std::wstring& relative, std::wstring& resolved,
                        std::wstring& error, NameText text = NameText::Utf16);

// True when the install-relative path names a file the patcher keeps for itself (the table in
// lumo/text/ReservedNames.h), whatever its case and separators; *reason (when given) then says so,
// naming the path: 'path "patch.journal": the name is kept for the patch journal'.
bool IsReservedInstallName(const std::wstring& relative, std::wstring* reason = nullptr);

// ResolveInstallPath for many paths below one root in one pass: a folder is listed at most once
// and its names kept, so resolving thousands of new names in one folder costs one listing instead
// of one each. Answers and errors are those of ResolveInstallPath as long as no entry is created,
// renamed or removed in a listed folder behind its back; a caller that creates what it resolved
// reports it with Created, which keeps the kept listings true. Not for use across threads.
class InstallPathResolver
{
public:
    explicit InstallPathResolver(std::wstring root);

    bool Resolve(const std::wstring& relative, std::wstring& resolved, std::wstring& error,
                 std::wstring* reached = nullptr);

    // resolved (a result of Resolve) and every folder above it up to the root now exist under
    // the spelling given there.
    void Created(const std::wstring& resolved);

    // How many folders were listed so far (each one once).
    size_t Listings() const { return m_listings; }

private:
    std::filesystem::path CanonicalOf(const std::filesystem::path& path, std::error_code& ec);

    std::wstring m_root;
    std::unordered_map<std::string, std::filesystem::path> m_canonical;  // folder -> with links followed
    // Native folder path -> its names, ASCII-lowercased -> the names in their own spelling.
    std::map<std::string, std::unordered_map<std::wstring, std::vector<std::string>>> m_folders;
    size_t m_listings = 0;
};

// An install path as the OS gives it (UTF-8, from the command line, the program's own location or the
// registry files): refused when empty or when it holds a real "\", which every path helper would take
// for a separator. error says why.
bool IsSupportedInstallPath(const std::string& nativePath, std::wstring& error);

} // namespace LumoUtil
