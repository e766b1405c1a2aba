#include "lumo/text/TextConversion.h"

#include <gtest/gtest.h>

#include <map>

namespace {

// The 8-bit table written out independently of the code under test.
const std::map<wchar_t, unsigned char> kMarks = {
    {L'\u2013', 0x96}, {L'\u2018', 0x91}, {L'\u2019', 0x92}, {L'\u201C', 0x93}, {L'\u201D', 0x94},
    {L'\u2026', 0x85}, {L'\u00AB', 0xAB}, {L'\u00B0', 0xB0}, {L'\u00BB', 0xBB},
};

unsigned char ExpectedNarrow(wchar_t c)
{
    if ((c >= 0x20 && c <= 0x7F) || c == 9 || c == 10 || c == 13)
        return static_cast<unsigned char>(c);
    const auto it = kMarks.find(c);
    return it == kMarks.end() ? '?' : it->second;
}

TEST(TextConversion, ToNarrowSweepsTheWholeBasicPlane)
{
    for (wchar_t c = 0; c <= 0xFFFF; ++c) {
        const std::string narrow = ToNarrow(std::wstring(1, c));
        ASSERT_EQ(narrow.size(), 1u);
        ASSERT_EQ(static_cast<unsigned char>(narrow[0]), ExpectedNarrow(c)) << "U+" << std::hex << unsigned(c);
        if (ExpectedNarrow(c) != '?' || c == L'?') {
            ASSERT_EQ(ToWide(narrow), std::wstring(1, c)) << "round trip of U+" << std::hex << unsigned(c);
        }
    }
    for (wchar_t c : {0x10000, 0x1F600, 0x10FFFF})
        EXPECT_EQ(ToNarrow(std::wstring(1, c)), "?");
}

TEST(TextConversion, ToWideMapsEveryByte)
{
    std::map<unsigned char, wchar_t> back;
    for (const auto& [wide, narrow] : kMarks)
        back[narrow] = wide;
    for (int b = 0; b <= 0xFF; ++b) {
        const std::wstring wide = ToWide(std::string(1, static_cast<char>(b)));
        ASSERT_EQ(wide.size(), 1u);
        const auto it = back.find(static_cast<unsigned char>(b));
        // Bytes outside the table are read as Latin-1.
        const wchar_t expected = it == back.end() ? static_cast<wchar_t>(b) : it->second;
        EXPECT_EQ(wide[0], expected) << "byte " << b;
        if (b >= 0x80 && it == back.end()) {
            EXPECT_EQ(ToNarrow(wide), "?");
        }
    }
}

} // namespace
