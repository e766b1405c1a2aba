// The added- and deleted-file stages and their finishing steps, called one by one inside a run
// that has taken the installation (its journal left out of every comparison).

#include <sys/stat.h>
#include <stdio.h>
#include <unistd.h>

#include <functional>
#include <optional>

#include <gtest/gtest.h>

#include "lumo/text/StringUtil.h"
#include "patch/AddedFiles.h"
#include "patch/DeletedFiles.h"
#include "patch/InstallFileOps.h"
#include "patch/PatchFiles.h"
#include "patch/PatchMessages.h"
#include "patch/UninstallLog.h"
#include "platform/NativePath.h"
#include "tests/fixtures/FakeInstall.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/UninstallLogFixture.h"
#include "tests/fixtures/UnprivilegedChild.h"
#include "tests/patch/PatchMessageLog.h"
#include "tests/patch/StageRun.h"

namespace {

using fixtures::TreeContent;

class StageTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        install = scratch / "install";
        package = scratch / "package";
        fixtures::WriteTree(install, {{"bin/x.dll", "old x"}, {"bin/keep.dll", "keep"}, {"pack.ka", "old pack"}});
        fixtures::WriteTree(package, {{"data/bin/x.dll", "new x"}, {"data/bin/sub/new.dll", "new sub"},
                                      {"data/readme.txt", "readme"}});
        g_patchInstallDir = FromNativePath(install);
        g_patchPackageDir = FromNativePath(package);
        original = Snapshot();
        run.emplace(install);
        ASSERT_TRUE(run->Started()) << ToNativePath(run->Error());
    }

    // The installation as the stages left it, without the run's journal.
    TreeContent Snapshot() const
    {
        TreeContent tree = fixtures::SnapshotTree(install);
        tree.erase(ToNativePath(kPatchJournalName));
        return tree;
    }

    std::wstring Full(const std::string& relative) const { return FromNativePath(install + "/" + relative); }
    std::string Diff(const TreeContent& expected) const
    {
        return fixtures::DescribeTreeDifference(expected, Snapshot());
    }

    fixtures::ScratchFolder scratch;
    std::string install, package;
    TreeContent original;
    PatchMessageLog log;
    std::optional<fixtures::StageRun> run;
};

TEST_F(StageTest, AddingCreatesFoldersReplacesAndFinishesCleanly)
{
    BackupPairArray backups;
    ASSERT_TRUE(AddFiles({{L"bin\\sub\\new.dll", L"", L""}, {L"bin\\x.dll", L"", L""}, {L"readme.txt", L"", L""}},
                         backups))
        << log.Dump();
    ASSERT_EQ(backups.size(), 3u);
    EXPECT_EQ(backups[0].file, Full("bin/sub/new.dll"));
    EXPECT_EQ(backups[0].backup, L"");
    EXPECT_EQ(backups[1].backup, Full("bin/x.dll.pbk"));
    EXPECT_EQ(fixtures::ReadFile(install + "/bin/x.dll.pbk"), "old x");

    FinishAddedFiles(true, backups);
    TreeContent expected = original;
    expected["bin/x.dll"] = "new x";
    expected["bin/sub/"] = "";
    expected["bin/sub/new.dll"] = "new sub";
    expected["readme.txt"] = "readme";
    EXPECT_EQ(Diff(expected), "");
    EXPECT_TRUE(log.messages.empty()) << log.Dump();
}

TEST_F(StageTest, FailedRunPutsEveryAddedFileBack)
{
    BackupPairArray backups;
    ASSERT_TRUE(AddFiles({{L"bin\\sub\\new.dll", L"", L""}, {L"bin\\x.dll", L"", L""}}, backups));
    FinishAddedFiles(false, backups);
    TreeContent expected = original;
    expected["bin/sub/"] = ""; // the run removes the folders it made, not the finishing step
    EXPECT_EQ(Diff(expected), "");
    EXPECT_FALSE(log.HasAtLevel(PATCH_LEVEL_ERROR)) << log.Dump();
}

TEST_F(StageTest, StaleBackupIsReplacedAndNewFileKeepsTheOldMode)
{
    fixtures::WriteFile(install + "/bin/x.dll.pbk", "stale");
    chmod((install + "/bin/x.dll").c_str(), 0751);
    BackupPairArray backups;
    ASSERT_TRUE(AddFiles({{L"BIN\\X.DLL", L"", L""}}, backups)) << log.Dump();
    EXPECT_EQ(fixtures::ReadFile(install + "/bin/x.dll.pbk"), "old x");
    EXPECT_EQ(fixtures::ReadFile(install + "/bin/x.dll"), "new x"); // the case-folded match, no sibling
    struct stat st;
    ASSERT_EQ(stat((install + "/bin/x.dll").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0751u);
    FinishAddedFiles(true, backups);
    EXPECT_FALSE(fixtures::PathExists(install + "/bin/x.dll.pbk"));
    EXPECT_FALSE(fixtures::PathExists(install + "/BIN"));
}

TEST_F(StageTest, CopyAndFolderFailuresNameTheirCause)
{
    fixtures::WriteFile(install + "/blocker", "a file where a folder is wanted");
    fixtures::WriteFile(package + "/data/blocker/in.dll", "x");
    original = Snapshot();
    BackupPairArray backups;
    EXPECT_FALSE(AddFiles({{L"bin\\missing.dll", L"", L""}}, backups));
    EXPECT_TRUE(log.Has(PATCH_LEVEL_ERROR, PatchMessages::kCannotCopyFile + FromNativePath(package) +
                                               L"/data/bin/missing.dll")) << log.Dump();
    EXPECT_TRUE(log.Has(PATCH_LEVEL_STATUS, PatchMessages::kFailedAdding + std::wstring(L"bin\\missing.dll..."))) << log.Dump();
    FinishAddedFiles(false, backups);
    EXPECT_EQ(Diff(original), "");
    // A folder level that is a file: the path is refused before anything is made.
    log.messages.clear();
    EXPECT_FALSE(AddFiles({{L"blocker\\in.dll", L"", L""}}, backups));
    EXPECT_TRUE(log.HasAtLevel(PATCH_LEVEL_ERROR)) << log.Dump();
    EXPECT_EQ(Diff(original), "");
}

// Below a folder the user may not write, each failed step says its own reason as an error: the
// folder that could not be made, the copy that could not be created, the backup that could not be
// moved. Run as a user without root's rights, who is refused as any user would be.
TEST_F(StageTest, FailuresBelowAFolderTheUserCannotWriteSayWhy)
{
    fixtures::WriteFile(install + "/locked/old.dll", "old");
    fixtures::WriteFile(package + "/data/locked/newdir/new.dll", "new");
    fixtures::WriteFile(package + "/data/locked/new.dll", "new");
    fixtures::WriteFile(package + "/data/locked/old.dll", "new");
    chmod(scratch.Path().c_str(), 0755);
    chmod(install.c_str(), 0777);
    chmod((install + "/locked").c_str(), 0555);
    original = Snapshot();
    const std::string locked = install + "/locked";
    struct Case { const char* name; bool add; const wchar_t* path; std::wstring first; std::wstring reason; };
    const Case cases[] = {
        {"new folder", true, L"locked\\newdir\\new.dll",
         PatchMessages::kCannotCreateDirectory + FromNativePath(locked + "/newdir"),
         L"cannot make the folder \"" + FromNativePath(locked + "/newdir") + L"\": Permission denied"},
        {"new file", true, L"locked\\new.dll", PatchMessages::kCannotCopyFile + FromNativePath(package) + L"/data/locked/new.dll",
         L"cannot create \"" + FromNativePath(locked + "/new.dll.pbk.new") + L"\": Permission denied"},
        {"replaced file", true, L"locked\\old.dll",
         LumoUtil::FormatWString(PatchMessages::kBackupFailed, Full("locked/old.dll.pbk").c_str()),
         L"cannot rename \"" + FromNativePath(locked + "/old.dll") + L"\" to"},
        {"deleted file", false, L"locked\\old.dll", PatchMessages::kCannotDelete + Full("locked/old.dll"),
         L"cannot rename \"" + FromNativePath(locked + "/old.dll") + L"\" to"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log.messages.clear();
        std::string whyNot;
        const PatchFileRecordArray records = {{c.path, L"", L""}};
        const std::function<int()> body = [&] {
                BackupPairArray backups;
                if (c.add ? AddFiles(records, backups) : DeleteFiles(records, backups))
                    return 2;
                std::vector<std::wstring> errors;
                for (const auto& [level, text] : log.messages)
                    if (level == PATCH_LEVEL_ERROR)
                        errors.push_back(text);
                const bool said = errors.size() >= 2 && errors[0] == c.first && errors[1].starts_with(c.reason);
                if (!said)
                    fprintf(stderr, "%s", log.Dump().c_str());
                return said ? 0 : 3;
            };
        const int status = fixtures::RunUnprivileged(body, &whyNot);
        if (status < 0)
            GTEST_SKIP() << whyNot;
        EXPECT_EQ(status, 0);
        EXPECT_EQ(Diff(original), "");
    }
}

TEST_F(StageTest, HostilePathsAreRefusedByEveryStage)
{
    fixtures::WriteFile(scratch / "outside.txt", "outside");
    symlink((scratch / "").c_str(), (install + "/escape").c_str());
    symlink(install.c_str(), (install + "/self").c_str());
    original = Snapshot();
    const wchar_t* paths[] = {L"", L"..\\outside.txt", L"\\etc\\passwd", L"C:\\x.dll", L"bin", L".",
                              L"bin\\x.dll.pbk", L"bin\\x.dll.PBK", L"bin\\x.dll.pbk.new", L"patch.journal",
                              L"escape\\outside.txt", L"bin\\a:b", L"repair.cks", L"PATCH.DBSTOPPED", L".sollex-patcher-u0-ab\\x.dll",
                              L"self\\patch.journal", L"SELF\\Patch.Journal", L"self\\bin\\x.dll.pbk"};
    for (const wchar_t* path : paths) {
        log.messages.clear();
        BackupPairArray added, deleted;
        EXPECT_FALSE(AddFiles({{path, L"", L""}}, added)) << std::string(path, path + wcslen(path));
        EXPECT_FALSE(DeleteFiles({{path, L"", L""}}, deleted));
        EXPECT_TRUE(added.empty());
        EXPECT_TRUE(deleted.empty());
        EXPECT_TRUE(log.HasAtLevel(PATCH_LEVEL_ERROR));
        EXPECT_EQ(Diff(original), "");
    }
    EXPECT_EQ(fixtures::ReadFile(scratch / "outside.txt"), "outside");
}

TEST_F(StageTest, DeletingMovesToBackupUntilFinished)
{
    BackupPairArray backups;
    ASSERT_TRUE(DeleteFiles({{L"bin\\x.dll", L"", L""}, {L"gone.dll", L"", L""}, {L"Pack.KA", L"", L""}}, backups));
    EXPECT_TRUE(log.Has(PATCH_LEVEL_WARNING, PatchMessages::kAlreadyRemoved + Full("gone.dll"))) << log.Dump();
    ASSERT_EQ(backups.size(), 3u);
    EXPECT_FALSE(fixtures::PathExists(install + "/bin/x.dll"));
    EXPECT_EQ(fixtures::ReadFile(install + "/pack.ka.pbk"), "old pack");

    FinishDeletedFiles(false, backups);
    EXPECT_EQ(Diff(original), "");
    EXPECT_FALSE(log.HasAtLevel(PATCH_LEVEL_ERROR)) << log.Dump();

    backups.clear();
    ASSERT_TRUE(DeleteFiles({{L"bin\\x.dll", L"", L""}}, backups));
    FinishDeletedFiles(true, backups);
    TreeContent expected = original;
    expected.erase("bin/x.dll");
    EXPECT_EQ(Diff(expected), "");
}

TEST_F(StageTest, StaleBackupOfAMissingFileNeverComesBack)
{
    fixtures::WriteFile(install + "/gone.dll.pbk", "stale");
    BackupPairArray backups;
    ASSERT_TRUE(DeleteFiles({{L"gone.dll", L"", L""}}, backups));
    FinishDeletedFiles(false, backups);
    EXPECT_FALSE(fixtures::PathExists(install + "/gone.dll"));
    EXPECT_FALSE(log.HasAtLevel(PATCH_LEVEL_ERROR));
}

// A restore that cannot happen (something now stands in the file's place, or its backup vanished)
// is reported with the listed file, and what is left stays for the next try.
TEST_F(StageTest, FailedRestoresAreReported)
{
    fixtures::WriteFile(package + "/data/bin/keep.dll", "new keep");
    BackupPairArray added, deleted;
    ASSERT_TRUE(AddFiles({{L"bin\\x.dll", L"", L""}, {L"bin\\keep.dll", L"", L""}}, added));
    unlink((install + "/bin/keep.dll.pbk").c_str());
    ASSERT_TRUE(DeleteFiles({{L"pack.ka", L"", L""}}, deleted));
    for (const char* blocked : {"/bin/x.dll", "/pack.ka"}) {
        unlink((install + blocked).c_str());
        fixtures::WriteFile(install + blocked + "/inside", "a folder now");
    }
    FinishAddedFiles(false, added);
    FinishDeletedFiles(false, deleted);
    for (const char* blocked : {"bin/x.dll", "pack.ka", "bin/keep.dll"}) {
        EXPECT_TRUE(log.Has(PATCH_LEVEL_ERROR, LumoUtil::FormatWString(PatchMessages::kRestoreFailed, Full(blocked).c_str())))
            << log.Dump();
        EXPECT_TRUE(blocked == std::string("bin/keep.dll") || fixtures::PathExists(install + "/" + blocked + ".pbk"));
    }
    EXPECT_EQ(fixtures::ReadFile(install + "/bin/keep.dll"), "new keep");
}

// A stop ends a long copy: asked after each 64 MiB, the copy ends, and nothing of it stays.
TEST_F(StageTest, AStopEndsALongCopyAndLeavesNothing)
{
    const std::string big = package + "/data/big.pak";
    fixtures::WriteFile(big, "");
    ASSERT_EQ(truncate(big.c_str(), (off_t(64) << 20) + 1), 0) << "a sparse file: no disk is filled";
    int asked = 0;
    std::wstring error;
    EXPECT_FALSE(WriteReplacement(CurrentPatchStageContext(), FromNativePath(big), Full("big.pak"), L"", error,
                                  [&] { return ++asked > 1; }));
    EXPECT_EQ(asked, 1);
    EXPECT_NE(error.find(L"was stopped"), std::wstring::npos) << ToNativePath(error);
    EXPECT_EQ(Diff(original), "");
}

// A stage works only in a run that has taken the installation, through that take's door: called
// with no patch under way, each refuses, naming the installation, and changes nothing (the backups
// a finishing step is handed stay where they are).
TEST_F(StageTest, AStageWithNoPatchUnderWayRefusesAndChangesNothing)
{
    fixtures::WriteFile(install + "/bin/x.dll.pbk", "backed up x");
    fixtures::WriteFile(install + "/unins000.dat", fixtures::WriteUninstallLog(fixtures::FillerUninstallRecords(600)));
    original = Snapshot();
    run.reset();
    const BackupPairArray pairs = {{Full("bin/x.dll"), Full("bin/x.dll.pbk")}};
    const PatchFileRecordArray records = {{L"bin\\x.dll", L"", L""}, {L"readme.txt", L"", L""}};
    const struct { const char* name; std::function<bool()> act; } stages[] = {
        {"add", [&] { BackupPairArray backups; return AddFiles(records, backups) || !backups.empty(); }},
        {"delete", [&] { BackupPairArray backups; return DeleteFiles(records, backups) || !backups.empty(); }},
        {"patch", [&] { BackupPairArray backups; return PatchFiles(records, backups) || !backups.empty(); }},
        {"uninstall log", [&] { return UpdateUninstallLogWith(CurrentPatchStageContext(), {L"readme.txt"}, nullptr); }},
        {"finish added, failed", [&] { FinishAddedFiles(false, pairs); return false; }},
        {"finish added, done", [&] { FinishAddedFiles(true, pairs); return false; }},
        {"finish deleted, failed", [&] { FinishDeletedFiles(false, pairs); return false; }},
        {"finish patched, done", [&] { FinishPatchedFiles(true, pairs); return false; }},
    };
    const std::wstring refusal = L"No patch is being applied to \"" + FromNativePath(install) +
                                 L"\": a stage of a patch runs only inside one";
    for (const auto& stage : stages) {
        SCOPED_TRACE(stage.name);
        log.messages.clear();
        EXPECT_FALSE(stage.act());
        ASSERT_EQ(log.messages.size(), 1u) << log.Dump();
        EXPECT_TRUE(log.Has(PATCH_LEVEL_ERROR, refusal)) << log.Dump();
        EXPECT_EQ(Diff(original), "");
    }
}

} // namespace
