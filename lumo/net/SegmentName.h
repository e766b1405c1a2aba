#pragma once
// Segment names: a file is cut into segments of 4 MiB, and segment i of the file "data\a.bin" is
// named "data\a.bin#000" (three digits at least: #007, #123, #1000). The path part keeps "\" as its
// separator in every table, file and wire format.
//
// The index is the text after the LAST "#" and must be all digits, so a file whose own name holds a
// "#" ("a#b.bin#000" is index 0 of "a#b.bin") and an install folder with a "#" in it both work.

#include <cstdint>
#include <string>

namespace LumoUtil
{

constexpr uint64_t kSegmentSize = uint64_t(1) << 22;
// The largest index a name from outside may carry: offsets up to 4 TiB.
constexpr uint32_t kMaxSegmentIndex = uint32_t(1) << 20;

// Segments of a file of that size: ceil(size / 4 MiB); none for an empty file.
inline uint64_t SegmentCountOf(uint64_t size)
{
    return (size + kSegmentSize - 1) >> 22;
}

} // namespace LumoUtil

// path + "#" + the index with at least three digits.
std::wstring MakeSegmentName(const std::wstring& path, uint64_t index);
// The text before the last "#" (the whole name when there is none).
std::wstring GetSegmentPath(const std::wstring& name);
// The digits after the last "#"; 0 when there is no "#", anything but digits follows it, or the
// index is beyond int.
int GetSegmentIndex(const std::wstring& name);
// Strict form for names from outside: true only for "<non-empty path>#<digits>" with an index up
// to kMaxSegmentIndex.
bool ParseSegmentName(const std::wstring& name, std::wstring& path, uint32_t& index);

// "*" matches any run of characters (none included); everything else matches itself, case-sensitive.
// Greedy with one backtrack point: linear in practice, never worse than pattern x text.
bool WildcardMatch(const std::wstring& pattern, const std::wstring& text);
