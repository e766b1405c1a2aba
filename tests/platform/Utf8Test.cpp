#include "platform/Utf8.h"

#include <gtest/gtest.h>

namespace
{

struct Case
{
    std::wstring text;
    std::string replaced; // WideToUtf8
    bool valid;           // WideToUtf8Checked
};

TEST(Utf8Test, EncodesEveryLengthAndHandlesNonScalars)
{
    const Case cases[] = {
        {L"a\\b", "a\\b", true},
        {std::wstring(1, wchar_t(0x7F)), "\x7F", true},
        {std::wstring(1, wchar_t(0x80)), "\xC2\x80", true},
        {std::wstring(1, wchar_t(0x7FF)), "\xDF\xBF", true},
        {std::wstring(1, wchar_t(0x800)), "\xE0\xA0\x80", true},
        {std::wstring(1, wchar_t(0xFFFF)), "\xEF\xBF\xBF", true},
        {std::wstring(1, wchar_t(0x10000)), "\xF0\x90\x80\x80", true},
        {std::wstring(1, wchar_t(0x10FFFF)), "\xF4\x8F\xBF\xBF", true},
        {std::wstring(1, wchar_t(0xD800)), "\xEF\xBF\xBD", false},
        {std::wstring(1, wchar_t(0xDFFF)), "\xEF\xBF\xBD", false},
        {L"x" + std::wstring(1, wchar_t(0x110000)), "x\xEF\xBF\xBD", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(platform::WideToUtf8(c.text), c.replaced);
        std::string checked;
        EXPECT_EQ(platform::WideToUtf8Checked(c.text, checked), c.valid);
        if (c.valid) {
            EXPECT_EQ(checked, c.replaced);
        }
    }
}

} // namespace
