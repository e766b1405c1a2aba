#include "Kiln/Src/Kiln/KernelStandard/KilnPath.h"

#include <string>

#include <gtest/gtest.h>

#include "Kiln/Src/Kiln/KernelStandard/KilnFileStatus.h"
#include "tests/fixtures/ScratchFolder.h"

namespace
{

TEST(KilnPath, JoinAndCopyStopAt259Characters)
{
    char path[Kiln::kKilnPathSize];
    Kiln::ClearKilnPathTooLong();
    Kiln::PathCopy(path, "C:\\Games");
    Kiln::PathJoin(path, "\\\\bin\\x.exe", 100);
    EXPECT_STREQ(path, "C:\\Games/bin\\x.exe");
    Kiln::PathToForwardSlashes(path);
    EXPECT_STREQ(path, "C:/Games/bin/x.exe");
    Kiln::PathCopy(path, "");
    Kiln::PathJoin(path, "/root", 3);
    EXPECT_STREQ(path, "/ro");
    EXPECT_FALSE(Kiln::IsKilnPathTooLong());

    const std::string longest(258, 'a');
    Kiln::PathCopy(path, longest.c_str());
    EXPECT_EQ(std::string(path), longest);
    EXPECT_FALSE(Kiln::IsKilnPathTooLong());
    Kiln::PathCopy(path, (longest + "a").c_str());
    EXPECT_STREQ(path, "");
    EXPECT_TRUE(Kiln::IsKilnPathTooLong());

    Kiln::ClearKilnPathTooLong();
    Kiln::PathCopy(path, std::string(250, 'b').c_str());
    Kiln::PathJoin(path, "1234567", 100);  // 250 + "/" + 7 = 258: fits
    EXPECT_EQ(std::string(path).size(), 258u);
    Kiln::PathJoin(path, "x", 100);
    EXPECT_STREQ(path, "");
    EXPECT_TRUE(Kiln::IsKilnPathTooLong());
    Kiln::ClearKilnPathTooLong();
}

class CountingHandler : public Kiln::FileSystemHandler
{
public:
    explicit CountingHandler(int* asked) : m_asked(asked) {}
    bool Accepts(const char* path) override { return std::string(path).find("skip") == std::string::npos; }
    bool Status(const char* path, Kiln::InternedString* mount, void*) override
    {
        ++*m_asked;
        return std::string(mount->Text()) == "vfs" && std::string(path) == "vfs:there";
    }

private:
    int* m_asked;
};

TEST(KilnFileStatus, MountsAskTheirHandlersAndOtherPathsTheFileSystem)
{
    fixtures::ScratchFolder folder;
    fixtures::WriteFile(folder / "file", "x");
    int asked = 0;
    ASSERT_TRUE(Kiln::RegisterFileSystemHandler("vfs", std::make_unique<CountingHandler>(&asked)));
    EXPECT_FALSE(Kiln::RegisterFileSystemHandler("", std::make_unique<CountingHandler>(&asked)));
    struct
    {
        std::string path;
        int status;
        int asks;
    } rows[] = {
        {"vfs:there", 0, 1},
        {"vfs:missing", 2, 1},
        {"vfs:skip", 2, 0},                  // no handler accepts it
        {"pack:x", 2, 0},                    // no such mount: the file system says
        {"C:\\x", 2, 0},                     // a drive form is never a mount
        {folder / "file", 0, 0},
        {folder / "file/below", 2, 0},       // not a folder
        {folder / "none", 2, 0},
        {std::string(5000, 'n'), 2, 0},      // name too long
    };
    for (const auto& row : rows)
    {
        const int before = asked;
        EXPECT_EQ(Kiln::KilnFileStatus(row.path.c_str()), row.status) << row.path;
        EXPECT_EQ(asked - before, row.asks) << row.path;
    }
}

}  // namespace
