#include "lumo/text/PathUtil.h"

#include <gtest/gtest.h>

namespace {

TEST(PathParts, DirectoryAndFileNameByTheDotRule)
{
    const struct { std::wstring path, dir, file; } cases[] = {
        {L"a\\b\\c.txt", L"a\\b\\", L"c.txt"},
        {L"a\\b\\c", L"a\\b\\c", L""},
        {L"c.txt", L"", L"c.txt"},
        {L"a\\b\\", L"a\\b\\", L""},
        {L"", L"", L""},
        {L"dir.d\\file", L"dir.d\\file", L""},
        {L"a/b/c.txt", L"a/b/", L"c.txt"},
        // Joined paths mix separators: the last separator of either kind counts.
        {L"C:\\Games/bin\\x.exe", L"C:\\Games/bin\\", L"x.exe"},
        {L"a/b\\c/d.e\\f.g", L"a/b\\c/d.e\\", L"f.g"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(GetDirectoryPart(c.path), c.dir) << c.path;
        EXPECT_EQ(GetFileNamePart(c.path), c.file) << c.path;
    }
    EXPECT_EQ(GetPathSeparator(L"a\\b/c"), L"/");
    EXPECT_EQ(GetPathSeparator(L"a\\b"), L"\\");
    EXPECT_EQ(GetPathSeparator(L"ab"), L"");
    EXPECT_EQ(GetPathSeparator(L""), L"");
}

TEST(PathParts, JoinReplaceAndRelative)
{
    const struct { std::wstring a, b, joined; } joins[] = {
        {L"C:\\Games", L"\\bin\\x.exe", L"C:\\Games/bin\\x.exe"},
        {L"dir\\", L"//f", L"dir\\f"},
        {L"a", L"", L"a/"},
        {L"", L"/f", L"/f"},
        {L"a/", L"b", L"a/b"},
    };
    for (const auto& c : joins)
        EXPECT_EQ(LumoUtil::JoinPath(c.a, c.b), c.joined);

    std::wstring p = L"a/b\\c//d";
    LumoUtil::ReplaceSeparators(p, L'\\');
    EXPECT_EQ(p, L"a\\b\\c\\\\d");

    const struct { std::wstring path, base, rel; } rels[] = {
        {L"C:\\abc\\x", L"C:\\ab", L"c\\x"}, // by characters, not components
        {L"C:/Games/bin/x.exe", L"C:\\Games", L"bin\\x.exe"},
        {L"C:\\Games", L"C:\\Games", L""},
        {L"C:\\Ga", L"C:\\Games", L""},
        {L"D:\\x", L"C:\\x", L"D:\\x"},
        {L"c:\\games\\x", L"C:\\Games", L"c:\\games\\x"}, // case-sensitive
    };
    for (const auto& c : rels)
        EXPECT_EQ(LumoUtil::MakeRelativePath(c.path, c.base), c.rel) << c.path << L" vs " << c.base;
}

TEST(PathParts, FileNamesAndExtensions)
{
    const struct { std::wstring path; std::string name, ext, stem; } cases[] = {
        {L"a\\b/c.txt", "c.txt", "txt", "a\\b/c"},
        {L"dir.d\\file", "file", "", "dir.d\\file"},
        {L"x.tar.gz", "x.tar.gz", "gz", "x.tar"},
        {L"a/", "", "", "a/"},
        {L"", "", "", ""},
        {L"noext", "noext", "", "noext"},
        {L"d\\\u201Cq\u201D.t\u00E9", "\x93q\x94.t?", "t?", "d\\\x93q\x94"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LumoUtil::GetFileName(c.path), c.name) << c.path;
        EXPECT_EQ(LumoUtil::GetExtension(c.path), c.ext) << c.path;
        EXPECT_EQ(LumoUtil::RemoveExtension(c.path), c.stem) << c.path;
    }

    const struct { std::wstring path; const char* ext; bool has; } has[] = {
        {L"a\\b.TXT", ".txt", true}, {L"a\\b.TXT", "txt", true}, {L"a\\b.txt", "tx", false},
        {L"a\\b.txt", nullptr, false}, {L"a\\b.txt", "", false}, {L"a\\b.txt", ".", false},
        {L"a\\b", "", true}, {L"a\\b", nullptr, true}, {L"a\\b", ".txt", false},
        {L"dir.d\\file", "d", false},
    };
    for (const auto& c : has)
        EXPECT_EQ(LumoUtil::HasExtension(c.path, c.ext), c.has) << c.path << " " << (c.ext ? c.ext : "(null)");
}

} // namespace
