// A folder moved away while a patch works (and perhaps a link left in its place) is still the
// folder the run holds: a patch that fails afterwards puts the file back in it, nothing is written
// where the link leads, and a journal naming a folder that is gone is kept, never taken for done.

#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "patch/ApplyPatchPackage.h"
#include "patch/BackupJournal.h"
#include "patch/InstallFileOps.h"
#include "patch/PatchFileNames.h"
#include "platform/NativePath.h"
#include "tests/fixtures/FakeInstall.h"
#include "tests/fixtures/FakePatchTool.h"
#include "tests/fixtures/FileListWriter.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/patch/PatchMessageLog.h"

namespace fs = std::filesystem;

namespace {

class MovedFolderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        install = scratch / "install";
        package = scratch / "package";
        moved = scratch / "moved";
        outside = scratch / "outside";
        fixtures::WriteTree(install, {{"data/sub/f1.dat", "f1 v1"}, {"data/b.dat", "b v1"}});
        fixtures::WriteTree(outside, {{"keep.txt", "outside"}});
        fixtures::InstallFakePatchTool(install, false);
        // Deletes data/sub/f1.dat, then fails to patch data/b.dat (the list claims other old bytes).
        fixtures::WriteFile(package + "/data/data/b.dat.diff", fixtures::MakeFakeDiff("not b", "b v2"));
        fixtures::WritePackageLists(package, {}, {"data\\sub\\f1.dat"},
                                    {{"data\\b.dat", fixtures::Md5Hex("b v2"), fixtures::Md5Hex("not b")}});
        g_patchInstallDir = FromNativePath(install);
        g_patchPackageDir = FromNativePath(package);
    }

    void TearDown() override { SetInstallActionHook(nullptr); }

    // Moves data/sub away the moment its file's backup appears, leaving a link to an outside
    // folder in its place when asked.
    void MoveOnceBackedUp(bool leaveLink)
    {
        hook = [this, leaveLink] {
            if (done || !fs::exists(install + "/data/sub/f1.dat" + ToNativePath(kBackupExt)))
                return;
            done = true;
            fs::rename(install + "/data/sub", moved);
            if (leaveLink)
                fs::create_directory_symlink(outside, install + "/data/sub");
        };
        SetInstallActionHook(&hook);
    }

    bool Apply() { return ApplyPatchPackage(FromNativePath(install), FromNativePath(package), L""); }

    fixtures::ScratchFolder scratch;
    std::string install, package, moved, outside;
    std::function<void()> hook;
    bool done = false;
    PatchMessageLog log;
};

}  // namespace

TEST_F(MovedFolderTest, AFailedPatchPutsTheFileBackInTheFolderItHolds)
{
    for (const bool leaveLink : {false, true}) {
        SCOPED_TRACE(leaveLink ? "a link left in its place" : "moved away");
        done = false;
        MoveOnceBackedUp(leaveLink);
        EXPECT_FALSE(Apply());
        ASSERT_TRUE(done);
        SetInstallActionHook(nullptr);

        EXPECT_EQ(fixtures::ReadFile(moved + "/f1.dat"), "f1 v1") << log.Dump();
        EXPECT_EQ(fixtures::DescribeTreeDifference({{"keep.txt", "outside"}}, fixtures::SnapshotTree(outside)), "");
        EXPECT_FALSE(fs::exists(moved + "/f1.dat" + ToNativePath(kBackupExt)));
        EXPECT_FALSE(fs::exists(install + "/" + ToNativePath(kPatchJournalName)));
        EXPECT_EQ(fixtures::ReadFile(install + "/data/b.dat"), "b v1");

        fs::remove(install + "/data/sub");
        fs::rename(moved, install + "/data/sub");
        log.messages.clear();
    }
}

// At the next start the folder is still away: the journal cannot be followed for it, says so and
// stays, so the original is put back once the folder is.
TEST_F(MovedFolderTest, RecoveryKeepsTheJournalWhileTheFolderOfABackupIsGone)
{
    std::wstring error;
    std::unique_ptr<BackupJournal> journal = BackupJournal::Begin(FromNativePath(install), error);
    ASSERT_TRUE(journal) << ToNativePath(error);
    const std::wstring target = FromNativePath(install + "/data/sub/f1.dat");
    ASSERT_TRUE(journal->Record(JournalEntry::kDeleted, target, error)) << ToNativePath(error);
    fs::rename(install + "/data/sub/f1.dat", install + "/data/sub/f1.dat" + ToNativePath(kBackupExt));
    journal.reset();  // killed here: the journal stays
    fs::rename(install + "/data/sub", moved);

    for (const bool leaveLink : {false, true}) {
        SCOPED_TRACE(leaveLink ? "a link in its place" : "gone");
        if (leaveLink)
            fs::create_directory_symlink(outside, install + "/data/sub");
        EXPECT_FALSE(BackupJournal::Recover(FromNativePath(install), error));
        EXPECT_NE(error.find(leaveLink ? L"leads out of the installation" : L"is gone (moved or renamed"),
                  std::wstring::npos) << ToNativePath(error);
        EXPECT_TRUE(fs::exists(install + "/" + ToNativePath(kPatchJournalName)));
        EXPECT_TRUE(fs::exists(moved + "/f1.dat" + ToNativePath(kBackupExt)));
    }
    fs::remove(install + "/data/sub");
    fs::rename(moved, install + "/data/sub");
    ASSERT_TRUE(BackupJournal::Recover(FromNativePath(install), error)) << ToNativePath(error);
    EXPECT_EQ(fixtures::ReadFile(install + "/data/sub/f1.dat"), "f1 v1");
    EXPECT_FALSE(fs::exists(install + "/" + ToNativePath(kPatchJournalName)));
}
