#include "lumo/text/Utf16.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(Utf16, EncodesLittleEndianWithSurrogatePairs)
{
    const struct {
        std::wstring text;
        Bytes bytes;
        size_t units;
    } cases[] = {
        {L"", {}, 0},
        {L"A", {0x41, 0x00}, 1},
        {L"\u201C\u00E9", {0x1C, 0x20, 0xE9, 0x00}, 2},
        {L"\U0001F600", {0x3D, 0xD8, 0x00, 0xDE}, 2},
        {L"a\U0010FFFFb", {0x61, 0x00, 0xFF, 0xDB, 0xFF, 0xDF, 0x62, 0x00}, 4},
        {std::wstring(1, static_cast<wchar_t>(0x110000)), {0xFD, 0xFF}, 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LumoUtil::EncodeUtf16LE(c.text), c.bytes);
        EXPECT_EQ(LumoUtil::Utf16Length(c.text), c.units);
        if (c.text.size() == 1 && c.text[0] == 0x110000)
            continue;
        std::wstring back;
        ASSERT_TRUE(LumoUtil::DecodeUtf16LEBytes(c.bytes.data(), c.bytes.size(), back));
        EXPECT_EQ(back, c.text);
    }
}

TEST(Utf16, DecodesUnitForUnitKeepingLoneSurrogates)
{
    const struct {
        Bytes bytes;
        std::wstring text;
    } cases[] = {
        {{0x00, 0xD8}, std::wstring(1, 0xD800)},                           // high at the end
        {{0x00, 0xDC, 0x41, 0x00}, std::wstring{wchar_t(0xDC00), L'A'}},   // low first
        {{0x00, 0xDC, 0x00, 0xD8}, std::wstring{wchar_t(0xDC00), wchar_t(0xD800)}}, // reversed pair
        {{0x00, 0xD8, 0x41, 0x00}, std::wstring{wchar_t(0xD800), L'A'}},   // high then no low
    };
    for (const auto& c : cases) {
        std::wstring text;
        ASSERT_TRUE(LumoUtil::DecodeUtf16LEBytes(c.bytes.data(), c.bytes.size(), text));
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(LumoUtil::EncodeUtf16LE(text), c.bytes) << "lossless round trip";
    }
    std::wstring untouched = L"keep";
    const uint8_t odd[] = {0x41, 0x00, 0x42};
    EXPECT_FALSE(LumoUtil::DecodeUtf16LEBytes(odd, sizeof odd, untouched));
    EXPECT_EQ(untouched, L"keep");
    EXPECT_EQ(LumoUtil::DecodeUtf16LE(odd, 1), L"A");
}

} // namespace
