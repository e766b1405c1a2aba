#include "lumo/net/SegmentName.h"

#include <climits>

std::wstring MakeSegmentName(const std::wstring& path, uint64_t index)
{
    std::wstring digits = std::to_wstring(index);
    if (digits.size() < 3)
        digits.insert(0, 3 - digits.size(), L'0');
    return path + L"#" + digits;
}

std::wstring GetSegmentPath(const std::wstring& name)
{
    const size_t hash = name.rfind(L'#');
    return hash == std::wstring::npos ? name : name.substr(0, hash);
}

namespace
{
// "<non-empty path>#<digits>" with an index up to limit.
bool SplitSegmentName(const std::wstring& name, uint64_t limit, std::wstring& path, uint64_t& index)
{
    const size_t hash = name.rfind(L'#');
    if (hash == std::wstring::npos || hash == 0 || hash + 1 == name.size())
        return false;
    uint64_t value = 0;
    for (size_t i = hash + 1; i < name.size(); ++i)
    {
        if (name[i] < L'0' || name[i] > L'9')
            return false;
        value = value * 10 + uint64_t(name[i] - L'0');
        if (value > limit)
            return false;
    }
    path = name.substr(0, hash);
    index = value;
    return true;
}
} // namespace

bool ParseSegmentName(const std::wstring& name, std::wstring& path, uint32_t& index)
{
    uint64_t value = 0;
    if (!SplitSegmentName(name, LumoUtil::kMaxSegmentIndex, path, value))
        return false;
    index = uint32_t(value);
    return true;
}

int GetSegmentIndex(const std::wstring& name)
{
    std::wstring path;
    uint64_t index = 0;
    return SplitSegmentName(name, INT_MAX, path, index) ? int(index) : 0;
}

bool WildcardMatch(const std::wstring& pattern, const std::wstring& text)
{
    size_t p = 0;
    size_t t = 0;
    size_t afterStar = std::wstring::npos; // pattern position after the last star seen
    size_t starText = 0;                   // text position that star currently swallows up to
    while (t < text.size())
    {
        if (p < pattern.size() && pattern[p] == L'*')
        {
            afterStar = ++p;
            starText = t;
        }
        else if (p < pattern.size() && pattern[p] == text[t])
        {
            ++p;
            ++t;
        }
        else if (afterStar != std::wstring::npos)
        {
            // Let the last star take one more character and try again from there.
            p = afterStar;
            t = ++starText;
        }
        else
            return false;
    }
    while (p < pattern.size() && pattern[p] == L'*')
        ++p;
    return p == pattern.size();
}
