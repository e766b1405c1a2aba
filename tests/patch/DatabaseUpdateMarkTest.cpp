#include "patch/DatabaseUpdateMark.h"

#include <sys/stat.h>

#include <filesystem>
#include <gtest/gtest.h>

#include "lumo/files/InstallDoor.h"
#include "lumo/files/InstallFolder.h"
#include "platform/NativePath.h"
#include "tests/fixtures/ScratchFolder.h"

namespace fs = std::filesystem;

namespace {

// The take of an installation, as the run that holds it has it.
std::unique_ptr<LumoUtil::InstallLock> Take(const std::string& install)
{
    std::wstring error;
    std::unique_ptr<LumoUtil::InstallLock> lock = LumoUtil::InstallLock::Acquire(FromNativePath(install), error);
    EXPECT_TRUE(lock) << ToNativePath(error);
    return lock;
}

}  // namespace

// The note is the patcher's own file: written afresh beside its name whatever was planted there (a
// link leading out is replaced, never written through), and only a file of that name counts as the
// note, not a folder or a link someone else made.
TEST(DatabaseUpdateMark, IsOnlyEverAFileOfItsOwn)
{
    fixtures::ScratchFolder scratch;
    const std::string install = scratch / "inst";
    fixtures::WriteFile(scratch / "victim.txt", "precious");
    fixtures::WriteFile(install + "/bin/keep", "");
    fs::create_directories(install + "/patch.dbstopped");
    fs::create_symlink("../victim.txt", install + "/patch.dbstopped.new");
    const auto lock = Take(install);
    ASSERT_TRUE(lock);
    const LumoUtil::InstallDoor& root = *lock->Door();
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

// What a kill leaves at the note's temporary name is settled when the installation is taken: a
// file of ours there is a note cut off before its rename and becomes the note; anything else goes,
// never followed.
TEST(DatabaseUpdateMark, ATwinLeftByAKillIsSettled)
{
    enum class Twin { None, File, LinkOut, Fifo };
    const struct { const char* name; Twin twin; bool noteBefore; bool noteAfter; } cases[] = {
        {"nothing there", Twin::None, false, false},
        {"a twin alone", Twin::File, false, true},
        {"a twin beside the note", Twin::File, true, true},
        {"a link leading out", Twin::LinkOut, false, false},
        {"a link leading out beside the note", Twin::LinkOut, true, true},
        {"a FIFO", Twin::Fifo, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fixtures::ScratchFolder scratch;
        const std::string install = scratch / "inst";
        const std::string twin = install + "/patch.dbstopped.new";
        fixtures::WriteFile(scratch / "victim.txt", "precious");
        fixtures::WriteFile(install + "/bin/keep", "");
        if (c.noteBefore)
            fixtures::WriteFile(install + "/patch.dbstopped", "asset database update begun\n");
        if (c.twin == Twin::File)
            fixtures::WriteFile(twin, "asset da");  // cut off in its write: only its presence counts
        if (c.twin == Twin::LinkOut)
            fs::create_symlink("../victim.txt", twin);
        if (c.twin == Twin::Fifo) {
            ASSERT_EQ(mkfifo(twin.c_str(), 0644), 0);
        }

        std::wstring error;
        const auto lock = Take(install);
        ASSERT_TRUE(lock);
        ASSERT_TRUE(SettleDatabaseUpdateMarkTwin(*lock->Door(), error)) << ToNativePath(error);
        EXPECT_FALSE(fs::exists(fs::symlink_status(twin)));
        EXPECT_EQ(fixtures::ReadFile(scratch / "victim.txt"), "precious");
        EXPECT_EQ(IsDatabaseUpdateUnfinished(*lock->Door()), c.noteAfter);
        if (c.noteAfter) {
            EXPECT_EQ(fixtures::ReadFile(install + "/patch.dbstopped"), "asset database update begun\n");
        }
    }
    // A folder that holds something is not removed: the error names it.
    fixtures::ScratchFolder scratch;
    const std::string install = scratch / "inst";
    fixtures::WriteFile(install + "/patch.dbstopped.new/x", "");
    std::wstring error;
    const auto lock = Take(install);
    ASSERT_TRUE(lock);
    EXPECT_FALSE(SettleDatabaseUpdateMarkTwin(*lock->Door(), error));
    EXPECT_NE(ToNativePath(error).find(install + "/patch.dbstopped.new"), std::string::npos) << ToNativePath(error);
}
