#include "lumo/text/SafePath.h"

#include "lumo/text/ReservedNames.h"

#include "lumo/text/StringUtil.h"
#include "lumo/text/TextConversion.h"
#include "platform/NativePath.h"

#include <algorithm>
#include <vector>

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

} // namespace

bool IsReservedInstallName(const std::wstring& relative, std::wstring* reason)
{
    // Every name of a tree passes here (the scan asks for each file): each part is lowered once,
    // not once for every kept name.
    std::vector<std::wstring> parts = Components(relative);
    if (parts.empty())
        return false;
    for (std::wstring& part : parts)
        part = LowerAscii(std::move(part));
    // A name is kept when any of its components is: a folder "patch.journal" would stand where the
    // journal goes as surely as a file of that name.
    const std::wstring& first = parts.front();
    for (const ReservedName& reserved : kReservedNames) {
        const std::wstring name = LowerAscii(reserved.name);
        std::wstring why;
        switch (reserved.at) {
        case ReservedAt::RootFile:
            if (first == name)
                why = L"the name is kept for ";
            break;
        case ReservedAt::NameEnding:
            for (const std::wstring& lower : parts) {
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

} // namespace LumoUtil
