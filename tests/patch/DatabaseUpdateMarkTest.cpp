#include "patch/DatabaseUpdateMark.h"

#include <filesystem>
#include <gtest/gtest.h>

#include "platform/NativePath.h"
#include "tests/fixtures/ScratchFolder.h"

namespace fs = std::filesystem;

// The note is the patcher's own file: written afresh beside its name whatever was planted there (a
// link leading out is replaced, never written through), and only a file of that name counts as the
// note, not a folder or a link someone else made.
TEST(DatabaseUpdateMark, IsOnlyEverAFileOfItsOwn)
{
    fixtures::ScratchFolder scratch;
    const std::string install = scratch / "inst";
    const std::wstring root = FromNativePath(install);
    fixtures::WriteFile(scratch / "victim.txt", "precious");
    fixtures::WriteFile(install + "/bin/keep", "");
    fs::create_directories(install + "/patch.dbstopped");
    fs::create_symlink("../victim.txt", install + "/patch.dbstopped.new");
    EXPECT_FALSE(IsDatabaseUpdateUnfinished(root));

    std::wstring error;
    ASSERT_TRUE(MarkDatabaseUpdateBegun(root, error)) << ToNativePath(error);
    EXPECT_EQ(fixtures::ReadFile(scratch / "victim.txt"), "precious");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(install + "/patch.dbstopped")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(install + "/patch.dbstopped.new")));
    EXPECT_TRUE(IsDatabaseUpdateUnfinished(root));
    ASSERT_TRUE(ClearDatabaseUpdateMark(root, error)) << ToNativePath(error);
    EXPECT_FALSE(IsDatabaseUpdateUnfinished(root));

    // A link planted as the note itself is not the note, and the next note replaces it.
    fs::create_symlink("../victim.txt", install + "/patch.dbstopped");
    EXPECT_FALSE(IsDatabaseUpdateUnfinished(root));
    ASSERT_TRUE(MarkDatabaseUpdateBegun(root, error)) << ToNativePath(error);
    EXPECT_EQ(fixtures::ReadFile(scratch / "victim.txt"), "precious");
    EXPECT_TRUE(IsDatabaseUpdateUnfinished(root));
}
