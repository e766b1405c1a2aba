#include "lumo/text/SafePath.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "tests/fixtures/ScratchFolder.h"

namespace fs = std::filesystem;

namespace {

TEST(SafeRelativePath, RefusesWithAReasonNamingThePath)
{
    const struct { std::wstring path; std::wstring why; } cases[] = {
        {L"", L"empty"},
        {L".", L"names no file"},
        {L"./\\.", L"names no file"},
        {L"/etc/passwd", L"absolute"},
        {L"\\x", L"absolute"},
        {L"C:\\x", L"drive"},
        {L"C:x", L"drive"},
        {L"..", L"\"..\" component"},
        {L"a\\..\\..\\x", L"\"..\" component"},
        {L"a/..", L"\"..\" component"},
        {L"ab:c", L"\":\" at position 2"},
        {std::wstring(L"a\0b", 3), L"control character U+0000 at position 1"},
        {L"a\tb", L"control character U+0009"},
        {L"a\x7f", L"control character U+007F"},
        {L"caf\u00E9", L"U+00E9 at position 3, which 8-bit text cannot carry"},
        {L"\U0001F600", L"U+1F600"},
        {std::wstring(1, static_cast<wchar_t>(0xD800)), L"U+D800"},
    };
    for (const auto& c : cases) {
        std::wstring reason;
        EXPECT_FALSE(LumoUtil::IsSafeRelativePath(c.path, &reason)) << c.path;
        EXPECT_NE(reason.find(c.why), std::wstring::npos) << reason;
        EXPECT_EQ(reason.find(L"unsafe path \""), 0u) << reason;
        EXPECT_EQ(reason.find(L'\0'), std::wstring::npos);
    }
    EXPECT_FALSE(LumoUtil::IsSafeRelativePath(L"..", nullptr));
}

// Names that came in UTF-16 take every Unicode character, none of which 8-bit text holds.
TEST(SafeRelativePath, NamesFromUtf16TakeEveryUnicodeCharacter)
{
    using LumoUtil::NameText;
    const struct { std::wstring path; const wchar_t* refusal; } cases[] = {
        {L"\u00DCber\\\u041F\u0440\u0438/\u30C7\u30FC\u30BF\U0001F600.bin", nullptr},
        {std::wstring(L"a") + wchar_t(0xD800), L"U+D800 at position 1, which is no Unicode character"},
        {std::wstring(1, wchar_t(0x110000)), L"U+110000"},
        {L"\u00E9\t", L"control character U+0009"},
        {L"\u00E9x:y", L"\":\" at position 2"},
    };
    for (const auto& c : cases) {
        std::wstring reason;
        EXPECT_EQ(LumoUtil::IsSafeRelativePath(c.path, &reason, NameText::Utf16), !c.refusal) << c.path;
        EXPECT_NE(reason.find(c.refusal ? c.refusal : L""), std::wstring::npos) << reason;
        EXPECT_FALSE(LumoUtil::IsSafeRelativePath(c.path, nullptr, NameText::EightBit)) << c.path;
    }
}
TEST(ReservedInstallName, TheNamesThePatcherKeepsForItself)
{
    const struct { std::wstring relative; const wchar_t* why; /* null: not reserved */ } cases[] = {
        {L"patch.journal", L"path \"patch.journal\": the name is kept for the patch journal"},
        {L"PATCH.Journal", L"kept for the patch journal"},
        {L".\\patch.journal", L"kept for the patch journal"},
        {L"data\\patch.journal", nullptr},
        {L"bin\\x.dll.pbk", L"names ending in \".pbk\" are kept for the backups of a patch"},
        {L"bin/X.DLL.PBK.NEW", L"names ending in \".pbk.new\" are kept for the backups of a patch"},
        {L"x.pbkx", nullptr},
        {L"repair.cks", L"kept for the repair's summary"},
        {L"Repair.Cks.Tmp", L"kept for the repair's summary"},
        {L"data/repair.cks", nullptr},
        {L".sollex-patcher-u1000-ab12\\data\\a.bin", L"kept for the patcher's runs"},
        {L".sollex-patcher-u1000-ab12", L"kept for the patcher's runs"},
        {L".sollex-patcher-", nullptr},
        {L"data/.sollex-patcher-u1000-ab12/a.bin", nullptr},
        {L"unins000.exe", nullptr}, // the installer's, which a patch may replace
        {L"", nullptr},
    };
    for (const auto& c : cases) {
        std::wstring reason;
        EXPECT_EQ(LumoUtil::IsReservedInstallName(c.relative, &reason), c.why != nullptr) << c.relative;
        EXPECT_NE(reason.find(c.why ? c.why : L""), std::wstring::npos) << reason;
    }
}
} // namespace
