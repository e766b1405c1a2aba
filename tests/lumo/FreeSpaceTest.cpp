#include "lumo/files/FreeSpace.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/NativePath.h"
#include "tests/fixtures/ScratchFolder.h"

namespace
{

// A folder the tests declare full is full at and below it, nowhere else (not in a sibling whose
// name only begins the same), and only in test mode.
TEST(FreeSpace, ATestCanDeclareAFolderFull)
{
    fixtures::ScratchFolder scratch;
    fixtures::WriteFile(scratch / "bin/sub/x", "");
    fixtures::WriteFile(scratch / "binary/x", "");
    struct Case { const char* name; const char* mode; std::string path; bool full; } cases[] = {
        {"the folder", "1", scratch / "bin", true},
        {"below it", "1", scratch / "bin/sub/x", true},
        {"a sibling", "1", scratch / "binary", false},
        {"its parent", "1", scratch.Path(), false},
        {"outside test mode", "0", scratch / "bin", false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        setenv("LUMO_TEST_MODE", c.mode, 1);
        setenv("LUMO_TEST_NO_SPACE", (scratch / "bin/").c_str(), 1);
        uint64_t free = 12345;
        EXPECT_TRUE(LumoUtil::GetFreeDiskSpace(FromNativePath(c.path), free));
        EXPECT_EQ(c.full, LumoUtil::IsDiskFull(FromNativePath(c.path)));
        EXPECT_EQ(c.full, free == 0);
        unsetenv("LUMO_TEST_NO_SPACE");
        setenv("LUMO_TEST_MODE", "1", 1);
    }
    uint64_t free = 1;
    EXPECT_FALSE(LumoUtil::GetFreeDiskSpace(FromNativePath(scratch / "missing"), free));
    EXPECT_EQ(0u, free);
    EXPECT_FALSE(LumoUtil::IsDiskFull(L""));
}

}  // namespace
