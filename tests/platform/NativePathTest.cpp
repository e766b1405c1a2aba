#include "platform/NativePath.h"

#include <gtest/gtest.h>

#include <random>

namespace {

TEST(NativePath, Utf8ToWideEscapesUndecodableBytes)
{
    const auto esc = [](unsigned char b) { return static_cast<wchar_t>(0xDC00 + b); };
    const struct {
        std::string native;
        std::wstring wide;
    } cases[] = {
        {"/opt/caf\xC3\xA9/\xE2\x80\x9C", L"/opt/caf\u00E9/\u201C"},
        {"a\\b", L"a\\b"},
        {"\xFF", std::wstring{esc(0xFF)}},
        {"\xC0\xAF", std::wstring{esc(0xC0), esc(0xAF)}},                 // overlong "/"
        {"\xED\xA0\x80", std::wstring{esc(0xED), esc(0xA0), esc(0x80)}},  // encoded surrogate
        {"\xE2\x80", std::wstring{esc(0xE2), esc(0x80)}},                 // cut short
        {"\xF4\x90\x80\x80", std::wstring{esc(0xF4), esc(0x90), esc(0x80), esc(0x80)}}, // above U+10FFFF
        {"\xF0\x9F\x98\x80x", L"\U0001F600x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FromNativePath(c.native), c.wide);
        if (c.native.find('\\') == std::string::npos) {
            EXPECT_EQ(ToNativePath(FromNativePath(c.native)), c.native);
        }
    }
}

TEST(NativePath, EveryOsNameSurvivesTheRoundTrip)
{
    std::mt19937 rng(1234);
    std::uniform_int_distribution<int> byte(1, 255);
    for (int n = 0; n < 2000; ++n) {
        std::string name(static_cast<size_t>(n % 17), '\0');
        for (char& c : name) {
            c = static_cast<char>(byte(rng));
            if (c == '\\')
                c = '/';
        }
        ASSERT_EQ(ToNativePath(FromNativePath(name)), name);
    }
}

} // namespace
