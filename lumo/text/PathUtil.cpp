#include "lumo/text/PathUtil.h"

#include "lumo/text/TextConversion.h"

namespace {

bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }
bool IsSeparatorByte(char c) { return c == '/' || c == '\\'; }

// Position just after the "." that starts the extension of the last component, or npos.
size_t ExtensionStart(const std::string& path)
{
    size_t after = std::string::npos;
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '.')
            after = i + 1;
        else if (IsSeparatorByte(path[i]))
            after = std::string::npos;
    }
    return after;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

} // namespace

std::wstring GetPathSeparator(const std::wstring& path)
{
    if (path.find(L'/') != std::wstring::npos)
        return L"/";
    if (path.find(L'\\') != std::wstring::npos)
        return L"\\";
    return std::wstring();
}

std::wstring GetDirectoryPart(const std::wstring& path)
{
    // The last separator of either kind: joined paths routinely mix them (C:\Games/bin\x.exe).
    const size_t sep = path.find_last_of(L"/\\");
    const bool hasDot = path.find(L'.') != std::wstring::npos;
    if (sep == std::wstring::npos)
        return hasDot ? std::wstring() : path;
    const size_t dot = path.rfind(L'.');
    if (sep + 1 < path.size() && hasDot && dot > sep)
        return path.substr(0, sep + 1);
    return path;
}

std::wstring GetFileNamePart(const std::wstring& path)
{
    return path.substr(GetDirectoryPart(path).size());
}

namespace LumoUtil {

std::wstring JoinPath(const std::wstring& a, const std::wstring& b)
{
    if (a.empty())
        return b;
    size_t start = 0;
    while (start < b.size() && IsSeparator(b[start]))
        ++start;
    if (IsSeparator(a.back()))
        return a + b.substr(start);
    return a + L"/" + b.substr(start);
}

void ReplaceSeparators(std::wstring& path, wchar_t c)
{
    for (wchar_t& ch : path)
        if (IsSeparator(ch))
            ch = c;
}

std::wstring MakeRelativePath(std::wstring path, std::wstring base)
{
    ReplaceSeparators(path, L'\\');
    ReplaceSeparators(base, L'\\');
    size_t n = 0;
    while (n < base.size() && n < path.size() && path[n] == base[n])
        ++n;
    if (n < path.size() && path[n] == L'\\')
        ++n;
    return path.substr(n);
}

std::string GetFileName(const std::wstring& path)
{
    const std::string narrow = ToNarrow(path);
    const size_t sep = narrow.find_last_of("/\\");
    return sep == std::string::npos ? narrow : narrow.substr(sep + 1);
}

std::string GetExtension(const std::wstring& path)
{
    const std::string narrow = ToNarrow(path);
    const size_t at = ExtensionStart(narrow);
    return at == std::string::npos ? std::string() : narrow.substr(at);
}

std::string RemoveExtension(const std::wstring& path)
{
    const std::string narrow = ToNarrow(path);
    const size_t at = ExtensionStart(narrow);
    return at == std::string::npos ? narrow : narrow.substr(0, at - 1);
}

bool HasExtension(std::wstring path, const char* ext)
{
    if (ext && *ext == '.')
        ++ext;
    const bool noExt = !ext || *ext == 0;
    const std::string narrow = ToNarrow(path);
    const size_t at = ExtensionStart(narrow);
    if (at == std::string::npos)
        return noExt;
    if (noExt)
        return false;
    const std::string have = narrow.substr(at);
    const std::string want = ext;
    if (have.size() != want.size())
        return false;
    for (size_t i = 0; i < have.size(); ++i)
        if (LowerAscii(have[i]) != LowerAscii(want[i]))
            return false;
    return true;
}

} // namespace LumoUtil
