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
    fixtures::ScratchFolder scratch;
    std::wstring resolved, error;
    EXPECT_TRUE(LumoUtil::ResolveInstallPath(scratch.WidePath(), L"\u00DCber\\x.bin", resolved, error, NameText::Utf16))
        << error;
    EXPECT_EQ(resolved, scratch.WidePath() + L"/\u00DCber/x.bin");
    EXPECT_FALSE(LumoUtil::ResolveInstallPath(scratch.WidePath(), L"\u00DCber\\x.bin", resolved, error));
}

class InstallTree : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(root / "Data" / "Sub");
        fs::create_directories(root / "Dup");
        fs::create_directories(root / "DUP");
        fs::create_directories(base / "outside");
        std::ofstream(root / "Data" / "Sub" / "File.TXT") << "x";
        fs::create_directory_symlink(base / "outside", root / "link");
        fs::create_directory_symlink(root / "Data", root / "inlink");
        fs::create_symlink(base / "missing-target", root / "dangling");
    }

    fixtures::ScratchFolder scratch;
    const fs::path base = scratch.Path(), root = base / "install";
    const std::wstring rootW = root.wstring();
};

TEST_F(InstallTree, ResolvesCaseInsensitivelyKeepingMissingSpelling)
{
    const struct { std::wstring relative, resolved /* below root */; } cases[] = {
        {L"data\\sub\\file.txt", L"/Data/Sub/File.TXT"},
        {L"DATA/Sub/FILE.txt", L"/Data/Sub/File.TXT"},
        {L"Dup/a", L"/Dup/a"},  // exact name wins over other case matches
        {L"DUP\\a", L"/DUP/a"},
        {L"data/NEW/thing.bin", L"/Data/NEW/thing.bin"},
        {L"New\\Deeper\\x", L"/New/Deeper/x"},
        {L"inlink/sub", L"/inlink/Sub"},
        {L"./data//sub/", L"/Data/Sub"},
    };
    for (const auto& c : cases) {
        std::wstring resolved, error;
        EXPECT_TRUE(LumoUtil::ResolveInstallPath(rootW, c.relative, resolved, error)) << c.relative << L": " << error;
        EXPECT_EQ(resolved, rootW + c.resolved);
    }
    // The root may come with a trailing separator or with backslashes.
    std::wstring resolved, error;
    ASSERT_TRUE(LumoUtil::ResolveInstallPath(rootW + L"/", L"data", resolved, error)) << error;
    EXPECT_EQ(resolved, rootW + L"/Data");
    std::wstring backslashed = rootW;
    std::replace(backslashed.begin(), backslashed.end(), L'/', L'\\');
    ASSERT_TRUE(LumoUtil::ResolveInstallPath(backslashed, L"data", resolved, error)) << error;
    EXPECT_EQ(resolved, backslashed + L"/Data");
}

TEST_F(InstallTree, RefusesWhatItCannotResolveSafely)
{
    const struct { std::wstring root, relative, why; } cases[] = {
        {rootW, L"dup/a", L"ambiguous path \"dup/a\": \"DUP\" and \"Dup\" in"},
        {rootW, L"data/sub/file.txt/x", L"File.TXT\" is not a folder"},
        {rootW, L"link/x", L"leads out of the install folder"},
        {rootW, L"LINK", L"through a symbolic link"},
        {rootW, L"dangling", L"cannot be resolved"},
        {rootW, L"..\\x", L"\"..\" component"},
        {rootW, L"/etc", L"absolute"},
        {rootW + L"/nothing", L"a", L"is not an existing folder"},
        {L"", L"a", L"no install folder"},
    };
    for (const auto& c : cases) {
        std::wstring resolved = L"untouched", error;
        EXPECT_FALSE(LumoUtil::ResolveInstallPath(c.root, c.relative, resolved, error)) << c.relative;
        EXPECT_NE(error.find(c.why), std::wstring::npos) << error;
        EXPECT_EQ(resolved, L"untouched");
    }
}

// What a name reaches, links inside followed, is what the reserved names are held against.
TEST_F(InstallTree, TellsWhatAPathReachesWithLinksFollowed)
{
    const struct { std::wstring relative, reached; } cases[] = {
        {L"data\\sub\\file.txt", L"Data/Sub/File.TXT"},
        {L"inlink/SUB/new.bin", L"Data/Sub/new.bin"},
        {L"INLINK", L"Data"},
        {L"fresh/deeper/x", L"fresh/deeper/x"},
    };
    for (const auto& c : cases) {
        std::wstring resolved, error, reached;
        ASSERT_TRUE(LumoUtil::ResolveInstallPath(rootW, c.relative, resolved, error, LumoUtil::NameText::EightBit,
                                                 &reached))
            << error;
        EXPECT_EQ(reached, c.reached) << c.relative;
        LumoUtil::InstallPathResolver resolver(rootW);
        reached.clear();
        ASSERT_TRUE(resolver.Resolve(c.relative, resolved, error, &reached)) << error;
        EXPECT_EQ(reached, c.reached) << c.relative;
    }
}

// The journal's names are the program's own: taken as spelled, never another file's, and never
// outside the folder.
TEST_F(InstallTree, ConfinesExactSpellingsInsideTheFolder)
{
    const struct { std::wstring relative, resolved /* below root; empty: refused */, why; } cases[] = {
        {L"data/sub/file.txt", L"/data/sub/file.txt", L""},  // not Data/Sub/File.TXT
        {L"Data/Sub/File.TXT", L"/Data/Sub/File.TXT", L""},
        {L"Data/Sub/File.TXT/x", L"/Data/Sub/File.TXT/x", L""}, // nothing can be below a file
        {L"inlink/Sub", L"/inlink/Sub", L""},
        {L"dup/a", L"/dup/a", L""},
        {L"../victim1.txt", L"", L"\"..\" component"},
        {L"Data/../../victim1.txt", L"", L"\"..\" component"},
        {L"/tmp/victim2.txt", L"", L"absolute"},
        {L"link/victim3.txt", L"", L"leads out of the install folder"},
        {L"link", L"", L"through a symbolic link"},
        {L"dangling", L"", L"cannot be resolved"},
        {std::wstring(1, wchar_t(0xDC80)), L"", L"no Unicode character"},
    };
    for (const auto& c : cases) {
        std::wstring resolved, error;
        EXPECT_EQ(LumoUtil::ConfineInstallPath(rootW, c.relative, resolved, error), c.resolved != L"") << c.relative;
        if (c.resolved != L"") {
            EXPECT_EQ(resolved, rootW + c.resolved) << error;
        }
        EXPECT_NE(error.find(c.why), std::wstring::npos) << error;
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

TEST_F(InstallTree, ResolverListsAFolderOnceForManyNewNames)
{
    LumoUtil::InstallPathResolver resolver(rootW);
    for (int i = 0; i < 200; ++i) {
        std::wstring resolved, error;
        ASSERT_TRUE(resolver.Resolve(L"DATA\\sub\\new" + std::to_wstring(i) + L".bin", resolved, error)) << error;
        EXPECT_EQ(resolved, rootW + L"/Data/Sub/new" + std::to_wstring(i) + L".bin");
    }
    EXPECT_EQ(resolver.Listings(), 3u);  // the root and Data for the case variants, Sub for the new names
}

TEST_F(InstallTree, ResolverSeesWhatItIsToldWasCreated)
{
    LumoUtil::InstallPathResolver resolver(rootW);
    std::wstring resolved, error;
    ASSERT_TRUE(resolver.Resolve(L"Fresh/Inner/File.bin", resolved, error)) << error;
    fs::create_directories(root / "Fresh" / "Inner");
    std::ofstream(root / "Fresh" / "Inner" / "File.bin") << "y";
    resolver.Created(resolved);
    for (const wchar_t* relative : {L"fresh/inner/file.BIN", L"FRESH/Other"}) {
        std::wstring plain, plainError, cached, cachedError;
        EXPECT_TRUE(LumoUtil::ResolveInstallPath(rootW, relative, plain, plainError)) << plainError;
        EXPECT_TRUE(resolver.Resolve(relative, cached, cachedError)) << cachedError;
        EXPECT_EQ(cached, plain);
    }
    // A second spelling of a created name is as ambiguous as on disk.
    fs::create_directories(root / "FRESH");
    resolver.Created(rootW + L"/FRESH");
    std::wstring plain, plainError, cached, cachedError;
    EXPECT_FALSE(LumoUtil::ResolveInstallPath(rootW, L"fresh/x", plain, plainError));
    EXPECT_FALSE(resolver.Resolve(L"fresh/x", cached, cachedError));
    EXPECT_EQ(cachedError, plainError);
}

TEST(InstallPath, RefusesARealBackslash)
{
    std::wstring error;
    EXPECT_TRUE(LumoUtil::IsSupportedInstallPath("/opt/game", error));
    EXPECT_FALSE(LumoUtil::IsSupportedInstallPath("/opt/my\\game", error));
    EXPECT_NE(error.find(L"holds a \"\\\""), std::wstring::npos) << error;
    EXPECT_FALSE(LumoUtil::IsSupportedInstallPath("", error));
    EXPECT_NE(error.find(L"no install folder"), std::wstring::npos);
}

} // namespace
