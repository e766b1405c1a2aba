// Applying a package to an installation that holds links: every check is made on the file a listed
// name reaches, a link inside is followed to the file it reaches, and a name the patcher keeps for
// itself (a backup, a replacement, the uninstall log's temporary) is never followed or put in a
// file's place when a link stands there.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <tuple>

#include <gtest/gtest.h>

#include "BuildConfig.h"
#include "lumo/text/StringUtil.h"
#include "patch/AddedFiles.h"
#include "patch/ApplyPatchPackage.h"
#include "patch/DeletedFiles.h"
#include "patch/InstallFileOps.h"
#include "patch/PatchMessages.h"
#include "platform/NativePath.h"
#include "tests/fixtures/FakeInstall.h"
#include "tests/fixtures/FakePatchTool.h"
#include "tests/fixtures/FileListWriter.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/UninstallLogFixture.h"
#include "tests/patch/PatchMessageLog.h"
#include "tests/patch/StageRun.h"

namespace {

using fixtures::Md5Hex;
using fixtures::TreeContent;

// A package: added (list path, content), deleted (list path), patched (list path, old content the
// list claims, new content).
struct Package
{
    std::vector<std::pair<std::string, std::string>> added;
    std::vector<std::string> deleted;
    std::vector<std::tuple<std::string, std::string, std::string>> patched;
};

class LinkedInstallTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        install = scratch / "install";
        package = scratch / "package";
        victim = scratch / "victim.txt";
        fixtures::WriteFile(victim, "victim");
        fixtures::WriteTree(install, {{"data/a.dat", "a v1"}, {"data/b.dat", "b v1"}, {"shared/textures/old.tex", "old"}});
        fixtures::InstallFakePatchTool(install, false);
        fixtures::WriteFile(install + "/unins000.dat", fixtures::WriteUninstallLog(fixtures::FillerUninstallRecords(600)));
        Link("data", "link");
        Link("..", "data/up");
        Link("../shared/textures", "data/textures");
        g_patchInstallDir = FromNativePath(install);
        g_patchPackageDir = FromNativePath(package);
    }

    void Link(const std::string& target, const std::string& name) const
    {
        ASSERT_EQ(symlink(target.c_str(), (install + "/" + name).c_str()), 0) << name;
    }

    void Write(const Package& plan) const
    {
        fixtures::RemoveTree(package);
        std::vector<fixtures::AddedEntry> added;
        std::vector<fixtures::PatchedEntry> patched;
        for (const auto& [path, content] : plan.added) {
            fixtures::WriteFile(package + "/data/" + fixtures::NativeListPath(path), content);
            added.push_back({path, Md5Hex(content)});
        }
        for (const auto& [path, old, content] : plan.patched) {
            fixtures::WriteFile(package + "/data/" + fixtures::NativeListPath(path) + ".diff",
                                fixtures::MakeFakeDiff(old, content));
            patched.push_back({path, Md5Hex(content), Md5Hex(old)});
        }
        fixtures::WritePackageLists(package, added, plan.deleted, patched);
    }

    bool Apply() { return ApplyPatchPackage(FromNativePath(install), FromNativePath(package), L""); }

    TreeContent Snapshot() const { return fixtures::SnapshotTree(install); }

    fixtures::ScratchFolder scratch;
    std::string install, package, victim;
    PatchMessageLog log;
};

// Two list names that reach one file, or a name that reaches the uninstall log, are refused before
// anything changes. Before, the delete stage took the add stage's backup of data/a.dat for a stale
// one and removed it, and the rollback left data/a.dat with the package's bytes.
TEST_F(LinkedInstallTest, NamesThatReachOneFileAreRefusedBeforeAnythingChanges)
{
    const auto wrongOld = std::make_tuple(std::string("data\\b.dat"), std::string("not b"), std::string("b v2"));
    const auto rightOld = std::make_tuple(std::string("data\\b.dat"), std::string("b v1"), std::string("b v2"));
    const struct Case { const char* name; Package plan; } cases[] = {
        {"added, and deleted through a link", {{{"data\\a.dat", "a v2"}}, {"link\\a.dat"}, {wrongOld}}},
        {"another case through a link", {{{"DATA\\A.DAT", "a v2"}}, {"Link\\a.dat"}, {}}},
        {"a new file in two spellings through a link", {{{"data\\new.dat", "new"}}, {"LINK\\NEW.DAT"}, {}}},
        {"deleted through a link, and patched", {{}, {"link\\b.dat"}, {rightOld}}},
        {"the uninstall log through a link", {{}, {"data\\up\\unins000.dat"}, {}}},
        {"the uninstall log through a link, in another case", {{{"data\\UP\\Unins000.DAT", "x"}}, {}, {}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Write(c.plan);
        const TreeContent before = Snapshot();
        log.messages.clear();
        EXPECT_FALSE(Apply());
        EXPECT_EQ(fixtures::DescribeTreeDifference(before, Snapshot()), "");
        ASSERT_FALSE(log.messages.empty());
        EXPECT_EQ(log.messages[0].first, PATCH_LEVEL_ERROR);
        EXPECT_TRUE(log.messages[0].second.starts_with(L"Refused an entry of ")) << log.Dump();
    }
}

// A FIFO where a listed file is (also reached through a link) is refused before anything is read:
// before, hashing it for the patched stage waited for a writer for ever.
TEST_F(LinkedInstallTest, AFifoInAFilesPlaceIsRefusedNotWaitedFor)
{
    const std::string pipe = install + "/data/pipe.dat";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0644), 0);
    Link("pipe.dat", "data/alias.dat");
    const Package plans[] = {{{}, {}, {{"data\\pipe.dat", "x", "y"}}}, {{{"data\\alias.dat", "new"}}, {}, {}}};
    for (const Package& plan : plans) {
        Write(plan);
        const pid_t child = fork();
        if (child == 0) {
            alarm(20);  // a run that waits on the FIFO fails instead of holding the suite
            _exit(Apply() ? 0 : log.messages.empty() ? 2 : log.messages[0].second.starts_with(L"Refused an entry") ? 1 : 3);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        // The tree reads a FIFO as a file: it is checked by hand, not read.
        struct stat st;
        EXPECT_TRUE(lstat(pipe.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
        for (const char* left : {"/data/pipe.dat.pbk", "/data/pipe.dat.pbk.new", "/patch.journal"})
            EXPECT_FALSE(fixtures::PathExists(install + left)) << left;
    }
}

// Two names of one file (a hard link) are two entries: each is moved, restored or removed on its
// own, so a failed patch puts both names back, still one file, and a finished one changes only the
// names it lists.
TEST_F(LinkedInstallTest, HardLinkedNamesAreTwoEntriesEachPutBack)
{
    ASSERT_EQ(link((install + "/data/a.dat").c_str(), (install + "/data/hl.dat").c_str()), 0);
    auto sameFile = [&] {
        struct stat a, b;
        return stat((install + "/data/a.dat").c_str(), &a) == 0 && stat((install + "/data/hl.dat").c_str(), &b) == 0 &&
               a.st_ino == b.st_ino;
    };
    Package plan{{{"data\\a.dat", "a v2"}}, {"data\\hl.dat"}, {{"data\\b.dat", "not b", "b v2"}}};
    Write(plan);
    const TreeContent before = Snapshot();
    EXPECT_FALSE(Apply());
    EXPECT_TRUE(log.Has(PATCH_LEVEL_ERROR, PatchMessages::kFileDamaged + FromNativePath(install) + L"/data/b.dat"))
        << log.Dump();
    EXPECT_EQ(fixtures::DescribeTreeDifference(before, Snapshot()), "");
    EXPECT_TRUE(sameFile());

    std::get<1>(plan.patched[0]) = "b v1";
    Write(plan);
    ASSERT_TRUE(Apply()) << log.Dump();
    EXPECT_EQ(fixtures::ReadFile(install + "/data/a.dat"), "a v2");
    EXPECT_FALSE(fixtures::PathExists(install + "/data/hl.dat"));
    EXPECT_EQ(fixtures::ReadFile(install + "/data/b.dat"), "b v2");
}

// A folder link that stays inside is followed: the file it reaches is written, a folder it leads
// to that is missing yet is made, and a failed patch takes both away again. Before, adding through
// data/textures failed with "Not a directory".
TEST_F(LinkedInstallTest, AddingThroughALinkThatStaysInsideWritesTheFileItReaches)
{
    Link("../shared/models", "data/models");  // leads to a folder nobody has made yet
    Package plan{{{"data\\textures\\a.tex", "tex"}, {"data\\textures\\deep\\b.tex", "deep"}, {"DATA\\MODELS\\m.mdl", "m"}},
                 {"data\\textures\\old.tex"},
                 {{"data\\b.dat", "not b", "b v2"}}};
    Write(plan);
    const TreeContent before = Snapshot();
    EXPECT_FALSE(Apply());
    EXPECT_EQ(fixtures::DescribeTreeDifference(before, Snapshot()), "");

    plan.patched.clear();
    Write(plan);
    ASSERT_TRUE(Apply()) << log.Dump();
    TreeContent expected = before;
    expected.erase("shared/textures/old.tex");
    expected["shared/textures/a.tex"] = "tex";
    expected["shared/textures/deep/"] = "";
    expected["shared/textures/deep/b.tex"] = "deep";
    expected["shared/models/"] = "";
    expected["shared/models/m.mdl"] = "m";
    const TreeContent after = Snapshot();
    expected["unins000.dat"] = after.at("unins000.dat");  // three more records
    EXPECT_EQ(fixtures::DescribeTreeDifference(expected, after), "");
}

// Links planted under the names of a patch's own files (stale backups, replacements, the
// uninstall log's backup and replacement) are removed, never followed: the patch goes through and
// the file outside keeps its bytes.
TEST_F(LinkedInstallTest, PlantedLinksUnderThePatchersOwnNamesAreNeverFollowed)
{
    for (const char* name : {"data/a.dat.pbk", "data/a.dat.pbk.new", "data/b.dat.pbk", "data/b.dat.pbk.new",
                             "unins000.dat.pbk", "unins000.dat.pbk.new"}) {
        const std::string depth = std::string(name).find('/') == std::string::npos ? "../" : "../../";
        Link(depth + "victim.txt", name);
    }
    Write({{{"data\\a.dat", "a v2"}}, {}, {{"data\\b.dat", "b v1", "b v2"}}});
    ASSERT_TRUE(Apply()) << log.Dump();
    EXPECT_EQ(fixtures::ReadFile(victim), "victim");
    EXPECT_EQ(fixtures::ReadFile(install + "/data/a.dat"), "a v2");
    EXPECT_EQ(fixtures::ReadFile(install + "/data/b.dat"), "b v2");
    for (const char* name : {"data/a.dat.pbk", "data/a.dat.pbk.new", "data/b.dat.pbk", "data/b.dat.pbk.new",
                             "unins000.dat.pbk", "unins000.dat.pbk.new"})
        EXPECT_FALSE(fixtures::PathExists(install + "/" + name)) << name;
    const fixtures::UninstallLogContents updated = fixtures::ReadUninstallLogBack(fixtures::ReadFile(install + "/unins000.dat"));
    EXPECT_TRUE(updated.ok) << updated.error;
}

// What a patch moves into a file's place must be its own: a replacement that is a link leading
// out, or a second name of a file outside, is refused and removed; a backup that is a link is
// never restored (it is removed, and the failure named). Before, each was renamed into the file's
// place, and the game file became a link to the victim (or one file with it).
TEST_F(LinkedInstallTest, OnlyThePatchersOwnFilesAreMovedIntoAFilesPlace)
{
    fixtures::StageRun run(install);
    ASSERT_TRUE(run.Started()) << ToNativePath(run.Error());
    PatchStageContext context = CurrentPatchStageContext();
    const std::wstring target = FromNativePath(install + "/data/a.dat");
    const std::string replacement = install + "/data/a.dat.pbk.new";
    const struct { const char* name; bool hard; } plants[] = {{"a symbolic link out", false}, {"a hard link", true}};
    for (const auto& plant : plants) {
        SCOPED_TRACE(plant.name);
        ASSERT_EQ(plant.hard ? link(victim.c_str(), replacement.c_str()) : symlink("../../victim.txt", replacement.c_str()),
                  0);
        std::wstring error;
        EXPECT_FALSE(MoveReplacementIn(context, target, error));
        EXPECT_NE(error.find(FromNativePath(replacement)), std::wstring::npos) << std::string(error.begin(), error.end());
        EXPECT_EQ(fixtures::SnapshotTree(install).at("data/a.dat"), "a v1");
        EXPECT_FALSE(fixtures::PathExists(replacement));
        EXPECT_EQ(fixtures::ReadFile(victim), "victim");
    }

    // The rollback of an added file whose backup was swapped for a link, and of a deleted one.
    Link("../../victim.txt", "data/a.dat.pbk");
    Link("../../victim.txt", "data/gone.dat.pbk");
    FinishAddedFiles(false, {{target, target + L".pbk"}});
    const std::wstring gone = FromNativePath(install + "/data/gone.dat");
    FinishDeletedFiles(false, {{gone, gone + L".pbk"}});
    const TreeContent after = Snapshot();
    EXPECT_EQ(after.at("data/a.dat"), "a v1");
    EXPECT_EQ(after.count("data/gone.dat"), 0u);
    EXPECT_EQ(after.count("data/a.dat.pbk"), 0u);
    EXPECT_EQ(after.count("data/gone.dat.pbk"), 0u);
    EXPECT_TRUE(log.Has(PATCH_LEVEL_ERROR, LumoUtil::FormatWString(PatchMessages::kRestoreFailed, target.c_str())))
        << log.Dump();
    EXPECT_TRUE(log.Has(PATCH_LEVEL_ERROR, L"the backup \"" + target + L".pbk\" is a symbolic link, not the file the "
                                           L"patch moved there; it was removed"))
        << log.Dump();
    EXPECT_EQ(fixtures::ReadFile(victim), "victim");
}

}  // namespace
