// A removal the finishing steps cannot make is named for what it is, and what a finished patch
// leaves behind is removed by the next start. Run as a user without root's rights, who is refused
// by a read-only folder as any user would be.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include <gtest/gtest.h>

#include "lumo/text/StringUtil.h"
#include "patch/AddedFiles.h"
#include "patch/BackupJournal.h"
#include "patch/PatchFiles.h"
#include "patch/PatchMessages.h"
#include "platform/NativePath.h"
#include "tests/fixtures/FakeInstall.h"
#include "tests/fixtures/FakePatchTool.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/UnprivilegedChild.h"
#include "tests/patch/PatchMessageLog.h"
#include "tests/patch/StageRun.h"

namespace {

using fixtures::Md5Hex;

class FailedRemovalTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The child makes everything below work itself, so it owns what it makes read-only.
        work = scratch / "work";
        fixtures::WriteFile(work + "/.keep", "");
        chmod(scratch.Path().c_str(), 0755);
        chmod(work.c_str(), 0777);
        install = work + "/install";
        package = work + "/package";
    }

    // Runs body as an unprivileged user: 0 when it saw what it should, else its log on stderr.
    void RunChecked(const std::function<bool(PatchMessageLog&)>& body)
    {
        std::string whyNot;
        const int status = fixtures::RunUnprivileged(
            [&] {
                PatchMessageLog log;
                g_patchInstallDir = FromNativePath(install);
                g_patchPackageDir = FromNativePath(package);
                const bool ok = body(log);
                if (!ok)
                    fprintf(stderr, "%s", log.Dump().c_str());
                return ok ? 0 : 1;
            },
            &whyNot);
        if (status < 0)
            GTEST_SKIP() << whyNot;
        EXPECT_EQ(status, 0);
    }

    fixtures::ScratchFolder scratch;
    std::string work, install, package;
};

// A new file that cannot be taken back: the error says that, names it, and claims no backup.
TEST_F(FailedRemovalTest, ANewFileThatCannotBeRemovedIsNamedAsSuch)
{
    RunChecked([&](PatchMessageLog& log) {
        fixtures::WriteFile(install + "/bin/keep.dll", "keep");
        fixtures::WriteFile(package + "/data/bin/new.dll", "new");
        fixtures::StageRun run(install);
        BackupPairArray backups;
        if (!run.Started() || !AddFiles({{L"bin\\new.dll", L"", L""}}, backups))
            return false;
        chmod((install + "/bin").c_str(), 0555);
        FinishAddedFiles(false, backups);
        chmod((install + "/bin").c_str(), 0755);
        const std::wstring file = FromNativePath(install + "/bin/new.dll");
        return log.Has(PATCH_LEVEL_ERROR, L"Could not remove the file this patch added: cannot remove \"" + file +
                                              L"\": Permission denied") &&
               !log.Has(PATCH_LEVEL_ERROR, LumoUtil::FormatWString(PatchMessages::kRestoreFailed, file.c_str()));
    });
}

// The backups of a finished patch that cannot be removed: each named in a warning, the journal kept,
// and the next start's recovery removes them.
TEST_F(FailedRemovalTest, BackupsAFinishedPatchCouldNotRemoveGoAtTheNextStart)
{
    RunChecked([&](PatchMessageLog& log) {
        fixtures::InstallFakePatchTool(install, false);
        PatchFileRecordArray records;
        for (const char* name : {"game.dll", "render.dll"}) {
            const std::string old = std::string("old ") + name, updated = std::string("new ") + name;
            fixtures::WriteFile(install + "/bin/" + name, old);
            fixtures::WriteFile(package + "/data/bin/" + name + ".diff", fixtures::MakeFakeDiff(old, updated));
            records.push_back({L"bin\\" + FromNativePath(name), FromNativePath(Md5Hex(updated)), FromNativePath(Md5Hex(old))});
        }
        std::wstring error;
        std::unique_ptr<BackupJournal> journal = BackupJournal::Begin(FromNativePath(install), error);
        if (!journal)
            return false;
        SetCurrentPatchJournal(journal.get());
        BackupPairArray backups;
        const bool patched = PatchFiles(records, backups) && journal->Commit(error);
        chmod((install + "/bin").c_str(), 0555);
        FinishPatchedFiles(patched, backups);
        SetCurrentPatchJournal(nullptr);
        const bool kept = !journal->Finish(error) && error.find(L"is kept") != std::wstring::npos;
        journal.reset();
        chmod((install + "/bin").c_str(), 0755);
        bool named = true;
        for (const char* name : {"game.dll.pbk", "render.dll.pbk"})
            named = named && log.Has(PATCH_LEVEL_WARNING, L"Could not remove the backup of a finished patch (the next "
                                                          L"start removes it): cannot remove \"" +
                                                              FromNativePath(install + "/bin/" + name) +
                                                              L"\": Permission denied");
        const bool recovered = BackupJournal::Recover(FromNativePath(install), error);
        return patched && kept && named && recovered && !fixtures::PathExists(install + "/bin/game.dll.pbk") &&
               !fixtures::PathExists(install + "/bin/render.dll.pbk") &&
               !fixtures::PathExists(install + "/patch.journal") &&
               fixtures::ReadFile(install + "/bin/game.dll") == "new game.dll";
    });
}

}  // namespace
