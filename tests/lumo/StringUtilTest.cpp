#include "lumo/text/StringUtil.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(StringToInt, WholeTextOrZeroAndNeverOverflows)
{
    const struct {
        const wchar_t* text;
        int value;
    } cases[] = {
        {L"-42", -42}, {L"+7", 7}, {L"0012", 12}, {L"12a", 0}, {L"", 0}, {L"-", 0}, {L"+", 0},
        {L" 1", 0}, {L"1 ", 0}, {L"+-1", 0}, {L"\uFF11", 0}, {nullptr, 0},
        {L"2147483647", INT_MAX}, {L"-2147483648", INT_MIN},
        // Out of range: clamped, not wrapped (a wrapped index could look valid).
        {L"2147483648", INT_MAX}, {L"99999999999", INT_MAX}, {L"-2147483649", INT_MIN},
        {L"-99999999999999999999999999", INT_MIN},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StringToInt(c.text), c.value) << (c.text ? c.text : L"(null)");
}

TEST(ParseInt, ReadsALeadingDecimalLikeTheCScan)
{
    const struct {
        const char* text;
        int value;
    } cases[] = {
        {"12ab", 12}, {"  -5", -5}, {"\t\n+7x", 7}, {"x1", 0}, {"", 0}, {"-", 0}, {nullptr, 0},
        {"2147483647", INT_MAX}, {"99999999999", INT_MAX}, {"-99999999999", INT_MIN},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LumoUtil::ParseInt(c.text), c.value) << (c.text ? c.text : "(null)");
}

TEST(StringHelpers, SafeNamesLowerCaseAndSplitting)
{
    EXPECT_EQ(LumoUtil::MakeSafeName(".a/b c"), "_a_b_c");
    EXPECT_EQ(LumoUtil::MakeSafeName("x\\y.z-_9"), "x_y.z-_9");
    EXPECT_EQ(LumoUtil::MakeSafeName("\xE9t\xE9"), "_t_");
    EXPECT_EQ(LumoUtil::MakeSafeName(""), "");

    // Bytes outside ASCII stay as they are, whatever the locale would say.
    EXPECT_EQ(LumoUtil::ToLowerCopy("ABC xyz \xC9\x93[Z]"), "abc xyz \xC9\x93[z]");

    const struct {
        std::string s, delimiter, head, tail, rest;
        bool found;
    } splits[] = {
        {"key: value", ":", "key", " value", "", true},
        {"a::b::c", "::", "a", "b::c", "", true},
        {"no delimiter", ":", "", "", "no delimiter", false},
        {":x", ":", "", "x", "", true},
    };
    for (const auto& c : splits) {
        std::string head = "?", tail = "?", rest = "?";
        EXPECT_EQ(LumoUtil::SplitString(c.s, c.delimiter, head, tail, rest), c.found);
        EXPECT_EQ(head, c.head);
        EXPECT_EQ(tail, c.tail);
        EXPECT_EQ(rest, c.rest);
    }
}

} // namespace
