#include "app/core/PatcherOptions.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/NativePath.h"
#include "tests/fixtures/ScratchFolder.h"

namespace {

class PatcherOptionsTest : public ::testing::Test {
protected:
    void SetUp() override { Options() = PatcherOptions(); }
    void TearDown() override { Options() = PatcherOptions(); }
    static PatcherOptions& Options() { return PatcherOptions::Instance(); }
};

TEST_F(PatcherOptionsTest, BuildListKeepsOrderAndExactness)
{
    PatcherOptions& options = Options();
    EXPECT_FALSE(options.PopCurrentBuild());
    EXPECT_TRUE(options.builds.empty());
    options.AddBuild("43434");
    EXPECT_FALSE(options.PopCurrentBuild());
    EXPECT_TRUE(options.builds.empty());

    options.builds = {"1", "2", "3", "4", "3"};
    options.SetCurrentBuild("3");
    EXPECT_EQ((std::vector<std::string>{"3", "1", "2", "4"}), options.builds);
    EXPECT_TRUE(options.PopCurrentBuild());
    EXPECT_EQ("1", options.GetCurrentBuild());

    options.builds = {"43434"};
    options.AddBuild("043434");
    options.AddBuild("43434");
    EXPECT_EQ((std::vector<std::string>{"43434", "043434"}), options.builds);

    options.builds.clear();
    options.targetVersion = "44088";
    EXPECT_EQ("_to_44088", MakePatchName());
    options.builds = {"43434"};
    EXPECT_EQ("43434_to_44088", MakePatchName());
}

TEST_F(PatcherOptionsTest, ServerListLines)
{
    struct Case { const char* name; std::string bytes; std::vector<std::wstring> servers; };
    const std::vector<Case> cases = {
        {"crlf", "http://a/\r\nhttp://b/\r\nftp://c/\r\n", {L"http://a/", L"http://b/", L"ftp://c/"}},
        {"lf and cr mixed", "a\nb\rc", {L"a", L"b", L"c"}},
        {"no final line end", "http://only/", {L"http://only/"}},
        {"empty", "", {}},
        {"blank lines skipped, others kept whole", "\r\n  \n a \n\n", {L" a "}},
        {"utf-8 with bom", "\xEF\xBB\xBFhttp://s\xC3\xBC/\n", {L"http://s\u00fc/"}},
        {"invalid utf-8 read as latin-1", "http://s\xFC/\n", {L"http://s\u00fc/"}},
        {"utf-16le with bom", std::string("\xFF\xFEh\0t\0\n\0x\0", 10), {L"ht", L"x"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.servers, ParsePatchServerList(c.bytes)) << c.name;
}

TEST_F(PatcherOptionsTest, ServerListFile)
{
    fixtures::ScratchFolder scratch;
    const std::string path = scratch / "s\xC3\xBC" "d/servers.txt";
    EXPECT_FALSE(ReadPatchServerList(L"/nonexistent/servers.txt"));
    fixtures::WriteFile(path, "");
    EXPECT_FALSE(ReadPatchServerList(scratch.WidePath() + L"/s\u00fcd/servers.txt"));
    fixtures::WriteFile(path, "http://a/\nhttp://b/");
    Options().patchServers = {L"http://first/"};
    EXPECT_TRUE(ReadPatchServerList(scratch.WidePath() + L"/s\u00fcd/servers.txt"));
    EXPECT_EQ((std::vector<std::wstring>{L"http://first/", L"http://a/", L"http://b/"}), Options().patchServers);
    EXPECT_TRUE(Options().HasPatchServers());
}

// A list that gives no server says why, in words the user can act on.
TEST_F(PatcherOptionsTest, AServerListThatGivesNoServerSaysWhy)
{
    fixtures::ScratchFolder scratch;
    fixtures::WriteFile(scratch / "empty.txt", "");
    fixtures::WriteFile(scratch / "blank.txt", "  \r\n\t\n");
    fixtures::WriteFile(scratch / "locked.txt", "http://a/\n");
    ASSERT_EQ(::chmod((scratch / "locked.txt").c_str(), 0), 0);
    ASSERT_EQ(::mkdir((scratch / "folder").c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo((scratch / "fifo").c_str(), 0644), 0);
    const struct { const char* name; std::wstring why; } cases[] = {
        {"missing.txt", L"No such file or directory"},
        {"empty.txt", L"the file is empty"},
        {"blank.txt", L"the file names no server"},
        {"locked.txt", L"Permission denied"},
        {"folder", L"it is a folder"},
        {"fifo", L"it is not a regular file"},  // never waited on
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        if (std::string(c.name) == "locked.txt" && ::geteuid() == 0)
            continue;  // root reads it all the same
        Options().patchServers.clear();
        std::wstring why;
        EXPECT_FALSE(ReadPatchServerList(FromNativePath(scratch / c.name), &why));
        EXPECT_EQ(why, c.why);
        EXPECT_TRUE(Options().patchServers.empty());
    }
}

}  // namespace
