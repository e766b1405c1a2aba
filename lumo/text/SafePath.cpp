#include "lumo/text/SafePath.h"

#include "lumo/text/ReservedNames.h"

#include "lumo/text/StringUtil.h"
#include "lumo/text/TextConversion.h"
#include "platform/NativePath.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace LumoUtil {

namespace {

bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }
bool IsControl(wchar_t c) { return (c >= 0 && c < 0x20) || c == 0x7F; }

// The path as it may appear in a message: control characters would garble a log line.
std::wstring Shown(const std::wstring& path)
{
    std::wstring out = path;
    for (wchar_t& c : out)
        if (IsControl(c))
            c = L'?';
    return L"\"" + out + L"\"";
}

std::wstring Refuse(const std::wstring& path, const std::wstring& why)
{
    return L"unsafe path " + Shown(path) + L": " + why;
}

std::wstring CodePoint(wchar_t c)
{
    return FormatWString(L"U+%04X", static_cast<unsigned>(c));
}

// The components of a relative path, without empty and "." components.
std::vector<std::wstring> Components(const std::wstring& path)
{
    std::vector<std::wstring> out;
    size_t start = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || IsSeparator(path[i])) {
            std::wstring part = path.substr(start, i - start);
            if (!part.empty() && part != L".")
                out.push_back(std::move(part));
            start = i + 1;
        }
    }
    return out;
}

std::wstring LowerAscii(std::wstring s)
{
    for (wchar_t& c : s)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    return s;
}

bool IsUnder(const fs::path& inner, const fs::path& outer)
{
    return std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end()).first == outer.end();
}

std::wstring Wide(const fs::path& p) { return FromNativePath(p.string()); }

} // namespace

bool IsSafeRelativePath(const std::wstring& path, std::wstring* reason, NameText text)
{
    std::wstring why;
    if (path.empty()) {
        why = L"it is empty";
    } else if (IsSeparator(path[0])) {
        why = L"it is an absolute path";
    } else if (path.size() >= 2 && path[1] == L':') {
        why = L"it is a drive path";
    } else {
        for (size_t i = 0; i < path.size() && why.empty(); ++i) {
            const wchar_t c = path[i];
            if (IsControl(c))
                why = L"it holds the control character " + CodePoint(c) + L" at position " +
                      std::to_wstring(i);
            else if (c == L':')
                why = L"it holds a \":\" at position " + std::to_wstring(i);
            else if (text == NameText::EightBit && !SurvivesNarrowing(std::wstring(1, c)))
                why = L"it holds the character " + CodePoint(c) + L" at position " + std::to_wstring(i) +
                      L", which 8-bit text cannot carry";
            else if (text == NameText::Utf16 && ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF))
                why = L"it holds " + CodePoint(c) + L" at position " + std::to_wstring(i) +
                      L", which is no Unicode character";
        }
        if (why.empty()) {
            const std::vector<std::wstring> parts = Components(path);
            if (parts.empty())
                why = L"it names no file or folder";
            else if (std::find(parts.begin(), parts.end(), L"..") != parts.end())
                why = L"it holds a \"..\" component";
        }
    }
    if (why.empty())
        return true;
    if (reason)
        *reason = Refuse(path, why);
    return false;
}

namespace {

// The entries of folder whose names equal wanted (ASCII-lowercased) ignoring ASCII case.
using MatchLister = std::function<bool(const fs::path& folder, const std::wstring& wanted,
                                       std::vector<std::string>& matches, std::error_code& ec)>;

bool ListMatches(const fs::path& folder, const std::wstring& wanted, std::vector<std::string>& matches,
                 std::error_code& ec)
{
    fs::directory_iterator it(folder, ec);
    if (ec)
        return false;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (LowerAscii(FromNativePath(name)) == wanted)
            matches.push_back(name);
    }
    return true;
}

// The path with every symbolic link followed (std::filesystem::canonical, or a kept answer).
using CanonicalPath = std::function<fs::path(const fs::path& path, std::error_code& ec)>;

fs::path PlainCanonical(const fs::path& path, std::error_code& ec)
{
    return fs::canonical(path, ec);
}

// A lister for names taken exactly as spelled: nothing else ever matches.
bool NoOtherSpelling(const fs::path&, const std::wstring&, std::vector<std::string>&, std::error_code&)
{
    return true;
}

// exactSpelling: the names were written down by the program itself (see ConfineInstallPath).
bool Resolve(const std::wstring& root, const std::wstring& relative, std::wstring& resolved, std::wstring& error,
             NameText text, const MatchLister& listMatches, const CanonicalPath& canonical, std::wstring* reached,
             bool exactSpelling = false)
{
    if (!IsSafeRelativePath(relative, &error, text))
        return false;
    if (root.empty()) {
        error = L"no install folder given for " + Shown(relative);
        return false;
    }
    std::wstring rootText = root;
    while (rootText.size() > 1 && IsSeparator(rootText.back()))
        rootText.pop_back();
    const fs::path rootPath(ToNativePath(rootText));
    std::error_code ec;
    if (!fs::is_directory(rootPath, ec)) {
        error = L"install folder " + Shown(root) + L" is not an existing folder";
        return false;
    }

    const std::vector<std::wstring> parts = Components(relative);
    fs::path current = rootPath;
    fs::path deepestExisting = rootPath;
    fs::path belowExisting; // the names after deepestExisting, which nothing on disk stands for
    bool existing = true;
    std::wstring tail;
    for (size_t i = 0; i < parts.size(); ++i) {
        std::string chosen = ToNativePath(parts[i]);
        if (existing) {
            const fs::file_status st = fs::symlink_status(current / chosen, ec);
            if (!fs::exists(st)) {
                // No exact match: look for the single entry that matches ignoring case.
                std::vector<std::string> matches;
                if (!listMatches(current, LowerAscii(parts[i]), matches, ec)) {
                    error = L"cannot list the folder " + Shown(Wide(current)) + L" while resolving " +
                            Shown(relative) + L": " + FromNativePath(ec.message());
                    return false;
                }
                if (matches.size() > 1) {
                    std::sort(matches.begin(), matches.end());
                    error = L"ambiguous path " + Shown(relative) + L": " + Shown(FromNativePath(matches[0])) +
                            L" and " + Shown(FromNativePath(matches[1])) + L" in " + Shown(Wide(current)) +
                            L" both match " + Shown(parts[i]);
                    return false;
                }
                if (matches.empty())
                    existing = false;
                else
                    chosen = matches[0];
            }
        }
        current /= chosen;
        tail += L"/" + FromNativePath(chosen);
        if (!existing)
            belowExisting /= chosen;
        if (existing) {
            deepestExisting = current;
            if (i + 1 < parts.size() && !fs::is_directory(current, ec)) {
                if (exactSpelling) {
                    existing = false;
                    continue;
                }
                error = L"path " + Shown(relative) + L": " + Shown(Wide(current)) + L" is not a folder";
                return false;
            }
        }
    }

    // Names are free of "..", so only a symbolic link can lead out of the install folder.
    const fs::path realRoot = canonical(rootPath, ec);
    const fs::path realPath = ec ? fs::path() : canonical(deepestExisting, ec);
    if (ec) {
        error = L"path " + Shown(relative) + L" below " + Shown(root) + L" cannot be resolved: " +
                FromNativePath(ec.message());
        return false;
    }
    if (!IsUnder(realPath, realRoot)) {
        error = L"path " + Shown(relative) + L" leads out of the install folder " + Shown(root) +
                L" through a symbolic link (to " + Shown(Wide(realPath)) + L")";
        return false;
    }
    resolved = (rootText.size() == 1 && IsSeparator(rootText[0]) ? std::wstring() : rootText) + tail;
    if (reached)
        *reached = Wide((belowExisting.empty() ? realPath : realPath / belowExisting)
                            .lexically_relative(realRoot)
                            .generic_string());
    return true;
}

} // namespace

bool ResolveInstallPath(const std::wstring& root, const std::wstring& relative, std::wstring& resolved,
                        std::wstring& error, NameText text, std::wstring* reached)
{
    return Resolve(root, relative, resolved, error, text, ListMatches, PlainCanonical, reached);
}

bool ConfineInstallPath(const std::wstring& root, const std::wstring& relative, std::wstring& resolved,
                        std::wstring& error, NameText text)
{
    return Resolve(root, relative, resolved, error, text, NoOtherSpelling, PlainCanonical, nullptr, true);
}

bool IsReservedInstallName(const std::wstring& relative, std::wstring* reason)
{
    const std::vector<std::wstring> parts = Components(relative);
    if (parts.empty())
        return false;
    // A name is kept when any of its components is: a folder "patch.journal" would stand where the
    // journal goes as surely as a file of that name.
    const std::wstring first = LowerAscii(parts.front());
    for (const ReservedName& reserved : kReservedNames) {
        const std::wstring name = LowerAscii(reserved.name);
        std::wstring why;
        switch (reserved.at) {
        case ReservedAt::RootFile:
            if (first == name)
                why = L"the name is kept for ";
            break;
        case ReservedAt::NameEnding:
            for (const std::wstring& part : parts) {
                const std::wstring lower = LowerAscii(part);
                if (lower.size() >= name.size() && lower.compare(lower.size() - name.size(), name.size(), name) == 0)
                    why = L"names ending in \"" + std::wstring(reserved.name) + L"\" are kept for ";
            }
            break;
        case ReservedAt::RootFolder:
            if (first.size() > name.size() && first.compare(0, name.size(), name) == 0)
                why = L"names starting \"" + std::wstring(reserved.name) + L"\" in the install folder are kept for ";
            break;
        }
        if (!why.empty()) {
            if (reason)
                *reason = L"path " + Shown(relative) + L": " + why + reserved.keptFor;
            return true;
        }
    }
    return false;
}

InstallPathResolver::InstallPathResolver(std::wstring root) : m_root(std::move(root)) {}

bool InstallPathResolver::Resolve(const std::wstring& relative, std::wstring& resolved, std::wstring& error,
                                  std::wstring* reached)
{
    const auto cached = [this](const fs::path& folder, const std::wstring& wanted, std::vector<std::string>& matches,
                               std::error_code& ec) {
        auto it = m_folders.find(folder.string());
        if (it == m_folders.end()) {
            fs::directory_iterator entry(folder, ec);
            if (ec)
                return false;
            std::unordered_map<std::wstring, std::vector<std::string>> names;
            for (; entry != fs::directory_iterator(); entry.increment(ec)) {
                const std::string name = entry->path().filename().string();
                names[LowerAscii(FromNativePath(name))].push_back(name);
            }
            ++m_listings;
            it = m_folders.emplace(folder.string(), std::move(names)).first;
        }
        const auto found = it->second.find(wanted);
        if (found != it->second.end())
            matches = found->second;
        return true;
    };
    return LumoUtil::Resolve(m_root, relative, resolved, error, NameText::EightBit, cached,
                             [this](const fs::path& path, std::error_code& ec) { return CanonicalOf(path, ec); },
                             reached);
}

// A folder's answer is kept; anything else that is not a link is its folder's answer and its own
// name, so a run of thousands of files follows each folder's chain of links once instead of once
// per file.
std::filesystem::path InstallPathResolver::CanonicalOf(const std::filesystem::path& path, std::error_code& ec)
{
    ec.clear();
    const auto kept = m_canonical.find(path.native());
    if (kept != m_canonical.end())
        return kept->second;
    const fs::file_status status = fs::symlink_status(path, ec);
    if (ec)
        return {};
    const fs::path name = path.filename();
    fs::path result;
    if (fs::is_symlink(status) || !path.has_relative_path() || !path.has_parent_path() || name.empty() ||
        name == "." || name == "..")
    {
        result = fs::canonical(path, ec);
    }
    else
    {
        result = CanonicalOf(path.parent_path(), ec);
        if (ec)
            return {};
        result /= name;
    }
    if (!ec && fs::is_directory(status))
        m_canonical.emplace(path.native(), result);
    return result;
}

void InstallPathResolver::Created(const std::wstring& resolved)
{
    std::wstring rootText = m_root;
    while (rootText.size() > 1 && IsSeparator(rootText.back()))
        rootText.pop_back();
    const std::wstring prefix = rootText.size() == 1 && IsSeparator(rootText[0]) ? std::wstring() : rootText;
    if (resolved.compare(0, prefix.size(), prefix) != 0)
        return;
    fs::path folder(ToNativePath(rootText));
    for (const std::wstring& part : Components(resolved.substr(prefix.size()))) {
        const std::string name = ToNativePath(part);
        const auto it = m_folders.find(folder.string());
        if (it != m_folders.end()) {
            std::vector<std::string>& same = it->second[LowerAscii(part)];
            if (std::find(same.begin(), same.end(), name) == same.end())
                same.push_back(name);
        }
        folder /= name;
    }
}

bool IsSupportedInstallPath(const std::string& nativePath, std::wstring& error)
{
    if (nativePath.empty()) {
        error = L"no install folder given";
        return false;
    }
    if (nativePath.find('\\') != std::string::npos) {
        error = L"install folder " + Shown(FromNativePath(nativePath)) +
                L" holds a \"\\\" in a name, which is not supported";
        return false;
    }
    return true;
}

} // namespace LumoUtil
