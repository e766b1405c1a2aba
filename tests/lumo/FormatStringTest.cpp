#include "lumo/text/StringUtil.h"

#include <gtest/gtest.h>

#include <cstdint>

using LumoUtil::FormatString;
using LumoUtil::FormatWString;

namespace {

struct WideCase { std::wstring got, want; };

// The product's wide texts are written in the Windows dialect: %s is a wide string. The C library
// reads %s in a wide format as 8-bit and fails the whole line on non-ASCII text.
TEST(FormatWString, FollowsTheWindowsDialect)
{
    const wchar_t* path = L"C:\\Games\\\u201CSollex\u201D\\data.bin";
    const int32_t minusOne = -1;
    const uint32_t allOnes = 0xFFFFFFFFu;
    const int64_t big = -9000000000LL;
    const WideCase cases[] = {
        {FormatWString(L"%s#%03d", path, 7), std::wstring(path) + L"#007"},
        {FormatWString(L"%hs", "\x93quoted\x94 \x85"), L"\u201Cquoted\u201D \u2026"},
        {FormatWString(L"%S|%ls|%ws", "n\x96", L"w\u2013", L"\u00E9"), L"n\u2013|w\u2013|\u00E9"},
        {FormatWString(L"%c%hc%C%lc", L'\u2026', '\x91', '\x92', L'\u201D'), L"\u2026\u2018\u2019\u201D"},
        {FormatWString(L"%lu %ld %lx %li", allOnes, minusOne, allOnes, minusOne), L"4294967295 -1 ffffffff -1"},
        {FormatWString(L"%I64d %I64u %I64x", big, UINT64_MAX, big), L"-9000000000 18446744073709551615 fffffffde78ee600"},
        {FormatWString(L"%I32d %hd %hhu %zu %Iu", -5, 70000, 300, size_t{1} << 40, size_t{3}),
         L"-5 4464 44 1099511627776 3"},
        {FormatWString(L"[%5s][%-5s][%.2s][%5.1hs]", L"ab", L"ab", L"\u201Cxyz", "xyz"), L"[   ab][ab   ][\u201Cx][    x]"},
        {FormatWString(L"[%*d][%-*d][%.*s][%*s]", 4, 7, 4, 7, 1, L"xyz", -3, L"a"), L"[   7][7   ][x][a  ]"},
        {FormatWString(L"%+d % d %#x %#o %08.3f %.2e %g %5.1f%%", 5, 5, 255, 8, 3.14159, 12345.678, 0.5, 2.25),
         L"+5  5 0xff 010 0003.142 1.23e+04 0.5   2.2%"},
        {FormatWString(L"%Lf", 1.5L), L"1.500000"},
        {FormatWString(L"%s|%hs", static_cast<const wchar_t*>(nullptr), static_cast<const char*>(nullptr)),
         L"(null)|(null)"},
        {FormatWString(L"%d%%", 100), L"100%"},
        {FormatWString(L"ends with %"), L"ends with %"},
        {FormatWString(L"a%cb", 0), L"a"},
    };
    for (const WideCase& c : cases)
        EXPECT_EQ(c.got, c.want);
}

TEST(FormatWString, StopsReadingArgumentsAtAnUnknownConversion)
{
    // %n is never honoured, %y is unknown: the rest is copied as written and no argument is taken.
    EXPECT_EQ(FormatWString(L"%d %n %d", 1, 2), L"1 %n %d");
    EXPECT_EQ(FormatWString(L"%s %y %s", L"a", L"b"), L"a %y %s");
    EXPECT_EQ(FormatWString(L"%hhf %d", 1.0, 2), L"%hhf %d");
    EXPECT_EQ(FormatWString(L"%\u201Cs", L"x"), L"%\u201Cs");
}

TEST(FormatString, KeepsCMeaningsAndNarrowsWideArgumentsByTheTable)
{
    const unsigned long beyond32 = 5000000000UL;
    const struct { std::string got, want; } cases[] = {
        {FormatString("%s|%ls|%S", "\x93", L"\u201C\u00E9", L"\u2019"), "\x93|\x93?|\x92"},
        {FormatString("%c%lc%C", 'x', static_cast<wint_t>(L'\u2026'), static_cast<wint_t>(L'\u2018')), "x\x85\x91"},
        {FormatString("%lu %ld", beyond32, -2L), "5000000000 -2"},
        {FormatString("%lld %llx %zu", -1LL, 255ULL, size_t{9}), "-1 ff 9"},
        {FormatString("LumoUtil::DecompressData> err %d", -3), "LumoUtil::DecompressData> err -3"},
        {FormatString("[%-4s][%4.1f][%03u]", "a", 2.25, 7u), "[a   ][ 2.2][007]"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.got, c.want);
}

TEST(FormatString, CutsLongOutputAt4095Units)
{
    const std::string long8(5000, 'x');
    const std::wstring longW(5000, L'\u201C');
    EXPECT_EQ(FormatString("%s", long8.c_str()), long8.substr(0, 4095));
    EXPECT_EQ(FormatString("ab%sz", long8.c_str()).size(), 4095u);
    EXPECT_EQ(FormatWString(L"%s", longW.c_str()), longW.substr(0, 4095));
    // A huge width costs no more than the buffer.
    EXPECT_EQ(FormatWString(L"%999999999d", 1), std::wstring(4095, L' '));
    EXPECT_EQ(FormatString("%.999999999d", 1), std::string(4095, '0'));
    EXPECT_EQ(FormatWString(L"%*d", INT32_MIN, 1).size(), 4095u);
    EXPECT_EQ(FormatString("%s", ""), "");
}

} // namespace
