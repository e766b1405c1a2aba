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

}  // namespace
