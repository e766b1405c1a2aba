// The archive and package drivers, run as a user would run them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "BuildConfig.h"
#include "tests/fixtures/ArchiveWriter.h"
#include "tests/fixtures/PackageWriter.h"
#include "tests/fixtures/ScratchFolder.h"

using fixtures::ReadFile;

namespace
{

struct ToolRun
{
    int status;
    std::string out;
    std::string err;
};

class PatchToolsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (const char* tool : {"archive-tool", "package-tool"})
        {
            if (access((std::string(LUMO_BIN_DIR) + "/" + tool).c_str(), X_OK) != 0)
                GTEST_FAIL() << tool << " is not built in " << LUMO_BIN_DIR;
        }
    }

    ToolRun Tool(const std::string& arguments)
    {
        const std::string command = "cd '" + m_scratch.Path() + "' && '" LUMO_BIN_DIR "/" + arguments +
                                    " >stdout.txt 2>stderr.txt";
        const int status = system(command.c_str());
        ToolRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(m_scratch / "stdout.txt"),
                ReadFile(m_scratch / "stderr.txt")};
        return run;
    }

    fixtures::ScratchFolder m_scratch;
};

TEST_F(PatchToolsTest, ArchiveToolListsAndExtracts)
{
    fixtures::WriteFile(m_scratch / "patcher.exe", std::string(5000, 'e'));
    const auto layout =
        fixtures::AppendArchive(m_scratch / "patcher.exe", {{"43434", "44088", "first package", {}, {}},
                                                           {"44088", "45000", "second", {}, {}}});
    ToolRun run = Tool("archive-tool' list patcher.exe");
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("43434 44088 8220 13\n44088 45000 8233 6\n", run.out);
    EXPECT_EQ(8220u, layout.payloadOffsets[0]);

    run = Tool("archive-tool' extract patcher.exe 44088 out.zip");
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("second", ReadFile(m_scratch / "out.zip"));

    const struct
    {
        const char* arguments;
        int status;
        const char* stderrStart;
    } failures[] = {
        {"archive-tool' extract patcher.exe 4343 x.zip", 1,
         "archive-tool: LUMORESULT_NOT_FOUND: the patch archive holds no package for build 4343"},
        {"archive-tool' extract patcher.exe 43434 no/dir/x.zip", 1, "archive-tool: LUMORESULT_NOT_ALLOWED: "},
        {"archive-tool' list stdout.txt", 1, "archive-tool: LUMORESULT_NOT_SUPPORTED: "},
        {"archive-tool' list missing.exe", 1, "archive-tool: LUMORESULT_IO_ERROR: missing.exe: cannot be opened"},
        {"archive-tool' list", 2, "archive-tool: LUMORESULT_INVALID_ARGUMENT: bad command line"},
        {"archive-tool' frobnicate a b c", 2, "archive-tool: LUMORESULT_INVALID_ARGUMENT"},
    };
    for (const auto& failure : failures)
    {
        run = Tool(failure.arguments);
        EXPECT_EQ(failure.status, run.status) << failure.arguments;
        EXPECT_EQ(0u, run.err.find(failure.stderrStart)) << failure.arguments << ": " << run.err;
    }
}

TEST_F(PatchToolsTest, PackageToolListsAndUnpacks)
{
    fixtures::PackageWriter writer(2);
    writer.AddFolder(L".\\data").AddFile(L".\\data\\x.dll.diff", "12345").AddFile(L".\\addedFiles.txt", "");
    writer.WriteTo(m_scratch / "p.zip");
    ToolRun run = Tool("package-tool' list p.zip");
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("version 2\nD .\\data\nF 5 .\\data\\x.dll.diff\nF 0 .\\addedFiles.txt\n", run.out);

    mkdir((m_scratch / "dest").c_str(), 0755);
    run = Tool("package-tool' unpack p.zip dest");
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("12345", ReadFile(m_scratch / "dest/data/x.dll.diff"));

    fixtures::PackageWriter hostile(2);
    hostile.AddFolder(L".\\data").AddFile(L"..\\..\\x", "escaped");
    hostile.WriteTo(m_scratch / "bad.zip");
    run = Tool("package-tool' unpack bad.zip dest");
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(0u, run.err.find("package-tool: LUMORESULT_BAD_FORMAT: bad.zip: item 2 at offset ")) << run.err;
    EXPECT_NE(std::string::npos, run.err.find("item refused: unsafe path \"..\\..\\x\"")) << run.err;
    EXPECT_FALSE(fixtures::PathExists(m_scratch / "dest/x"));
    run = Tool("package-tool' list bad.zip");
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("version 2\nD .\\data\n", run.out);

    run = Tool("package-tool' unpack p.zip new/dest");
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("12345", ReadFile(m_scratch / "new/dest/data/x.dll.diff"));
    fixtures::WriteFile(m_scratch / "file", "");
    run = Tool("package-tool' unpack p.zip file/dest");
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(0u, run.err.find("package-tool: LUMORESULT_NOT_ALLOWED: p.zip: the destination folder ")) << run.err;
    run = Tool("package-tool' unpack p.zip");
    EXPECT_EQ(2, run.status);
}

} // namespace
