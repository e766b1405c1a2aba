// The whole application of a package: order, refusals before anything changes, rollback from every
// record, and recovery after a kill at every filesystem action.

#include "patch/ApplyPatchPackage.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "BuildConfig.h"
#include "patch/BackupJournal.h"
#include "patch/PatchMessages.h"
#include "platform/NativePath.h"
#include "tests/fixtures/FakeInstall.h"
#include "tests/fixtures/FakePatchTool.h"
#include "tests/fixtures/FileListWriter.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/UninstallLogFixture.h"
#include "tests/fixtures/WaitFor.h"
#include "tests/patch/PatchMessageLog.h"

namespace {

using fixtures::Md5Hex;
using fixtures::TreeContent;

// One patch: what it adds (new or replacing), deletes and patches, with the contents it brings.
struct PatchPlan
{
    std::vector<std::pair<std::string, std::string>> added;   // list path, new content
    std::vector<std::string> deleted;                          // list path
    std::vector<std::pair<std::string, std::string>> patched; // list path, new content
    std::map<std::string, std::string> toolDirectives;        // list path -> directive for the tool
};

class ApplyTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        install = scratch / "install";
        package = scratch / "package";
        tool = fixtures::ReadFile(std::string(LUMO_BIN_DIR) + "/fake-patch-tool");
        source = {{"bin/", ""},        {"bin/game.dll", "game v1"}, {"bin/LumoLauncher.exe", "launcher v1"},
                  {"bin/old.dll", "old"}, {"data/", ""},              {"data/a.ka", std::string(5000, 'a')},
                  {"readme.txt", "readme v1"}};
        ResetInstall();
    }

    void ResetInstall()
    {
        fixtures::RemoveTree(install);
        fixtures::WriteTree(install, source);
        fixtures::WriteFile(install + "/bin/kpatchl-w32.exe", tool);
        chmod((install + "/bin/kpatchl-w32.exe").c_str(), 0755);
    }

    void WritePackage(const PatchPlan& plan)
    {
        fixtures::RemoveTree(package);
        std::vector<fixtures::AddedEntry> added;
        std::vector<fixtures::PatchedEntry> patched;
        for (const auto& [path, content] : plan.added) {
            fixtures::WriteFile(package + "/data/" + fixtures::NativeListPath(path), content);
            added.push_back({path, Md5Hex(content)});
        }
        for (const auto& [path, content] : plan.patched) {
            const std::string old = source.at(fixtures::NativeListPath(path));
            const auto directive = plan.toolDirectives.find(path);
            fixtures::WriteFile(package + "/data/" + fixtures::NativeListPath(path) + ".diff",
                                "OLDMD5 " + Md5Hex(old) + "\n" +
                                    (directive == plan.toolDirectives.end() ? "" : directive->second + "\n") +
                                    "DATA\n" + content);
            patched.push_back({path, Md5Hex(content), Md5Hex(old)});
        }
        fixtures::WritePackageLists(package, added, plan.deleted, patched);
    }

    bool Apply(const std::wstring& launcher = L"LumoLauncher.exe")
    {
        return ApplyPatchPackage(FromNativePath(install), FromNativePath(package), launcher);
    }

    // Applies in a forked child that runs prepare first; the exit status is 0 for success.
    pid_t ApplyInChild(const std::function<void()>& prepare)
    {
        const pid_t child = fork();
        if (child == 0) {
            prepare();
            _exit(Apply() ? 0 : 1);
        }
        return child;
    }
    static int WaitStatus(pid_t child)
    {
        int status = -1;
        return child > 0 && waitpid(child, &status, 0) == child ? status : -1;
    }

    TreeContent Snapshot() const { return fixtures::SnapshotTree(install); }
    std::string Diff(const TreeContent& expected) const
    {
        return fixtures::DescribeTreeDifference(expected, Snapshot());
    }

    fixtures::ScratchFolder scratch;
    std::string install, package, tool;
    TreeContent source;
    PatchMessageLog log;
};

PatchPlan TypicalPlan()
{
    PatchPlan plan;
    plan.added = {{"bin\\new\\deep\\n.dll", "new file"}, {"readme.txt", "readme v2"}, {"extra.txt", "extra"}};
    plan.deleted = {"bin\\old.dll", "bin\\gone-already.dll"};
    plan.patched = {{"bin\\LumoLauncher.exe", "launcher v2"}, {"bin\\game.dll", "game v2"},
                    {"data\\a.ka", std::string(3000, 'b')}};
    return plan;
}

// Case variants resolve to what exists, also to a folder made earlier in the same run.
TEST_F(ApplyTest, CaseVariantsShareOneFolder)
{
    PatchPlan plan;
    plan.added = {{"NewDir\\a.txt", "a"}, {"newdir\\b.txt", "b"}, {"BIN\\GAME.DLL", "game v2"}};
    WritePackage(plan);
    ASSERT_TRUE(Apply()) << log.Dump();
    EXPECT_EQ(fixtures::ReadFile(install + "/NewDir/b.txt"), "b");
    EXPECT_FALSE(fixtures::PathExists(install + "/newdir"));
    EXPECT_EQ(fixtures::ReadFile(install + "/bin/game.dll"), "game v2");
    EXPECT_FALSE(fixtures::PathExists(install + "/BIN"));
}

// The installation's tool folder and tool, the package's lists and its data folder: each found
// whatever the case it is spelt in, as long as one entry matches.
TEST_F(ApplyTest, FixedNamesAreFoundWhateverTheirCase)
{
    auto move = [](const std::string& from, const std::string& to) { ASSERT_EQ(rename(from.c_str(), to.c_str()), 0) << from; };
    move(install + "/bin", install + "/Bin");
    move(install + "/Bin/kpatchl-w32.exe", install + "/Bin/KPatchL-W32.EXE");
    WritePackage(TypicalPlan());
    move(package + "/addedFiles.txt", package + "/AddedFiles.txt");
    move(package + "/deletedFiles.txt", package + "/DELETEDFILES.TXT");
    move(package + "/patchedFiles.txt", package + "/patchedfiles.txt");
    move(package + "/data", package + "/Data");
    ASSERT_TRUE(Apply()) << log.Dump();
    EXPECT_EQ(fixtures::ReadFile(install + "/Bin/game.dll"), "game v2");
    EXPECT_EQ(fixtures::ReadFile(install + "/Bin/LumoLauncher.exe"), "launcher v2");
    EXPECT_EQ(fixtures::ReadFile(install + "/Bin/new/deep/n.dll"), "new file");
    EXPECT_EQ(fixtures::ReadFile(install + "/readme.txt"), "readme v2");
    EXPECT_FALSE(fixtures::PathExists(install + "/Bin/old.dll"));
    EXPECT_FALSE(fixtures::PathExists(install + "/bin"));

    // Two spellings and no exact one: which list is meant cannot be told.
    ResetInstall();
    WritePackage(TypicalPlan());
    fixtures::WriteFile(package + "/ADDEDFILES.TXT", "");
    move(package + "/addedFiles.txt", package + "/AddedFiles.txt");
    const TreeContent before = Snapshot();
    log.messages.clear();
    EXPECT_FALSE(Apply());
    EXPECT_EQ(Diff(before), "");
    EXPECT_TRUE(log.HasAtLevel(PATCH_LEVEL_ERROR)) << log.Dump();
    EXPECT_NE(log.Dump().find("ambiguous"), std::string::npos) << log.Dump();
}

TEST_F(ApplyTest, LauncherMovesLastOnlyOnce)
{
    struct Case { std::vector<std::wstring> paths; std::wstring launcher; std::vector<std::wstring> expected; };
    const Case cases[] = {
        {{L"bin\\LumoLauncher.exe", L"a", L"b"}, L"LumoLauncher.exe", {L"a", L"b", L"bin\\LumoLauncher.exe"}},
        {{L"x\\LumoLauncher.exe.cfg", L"a", L"LumoLauncher.exe"}, L"LumoLauncher.exe",
         {L"a", L"LumoLauncher.exe", L"x\\LumoLauncher.exe.cfg"}},
        {{L"bin\\lumolauncher.exe", L"a"}, L"LumoLauncher.exe", {L"bin\\lumolauncher.exe", L"a"}},
        {{L"LumoLauncher.exe", L"a"}, L"", {L"LumoLauncher.exe", L"a"}},
        {{}, L"LumoLauncher.exe", {}},
    };
    for (const Case& c : cases) {
        PatchFileRecordArray records;
        for (const std::wstring& path : c.paths)
            records.push_back({path, L"n", L"o"});
        MoveLauncherLast(records, c.launcher);
        std::vector<std::wstring> paths;
        for (const PatchFileRecord& record : records)
            paths.push_back(record.path);
        EXPECT_EQ(paths, c.expected);
    }
}

TEST_F(ApplyTest, MissingOrHostileListsAreRefusedBeforeAnythingChanges)
{
    struct Case { const char* name; std::string added; std::optional<std::string> deleted; std::string patched; };
    const std::string ok = fixtures::MakeAddedList({{"extra.txt", "x"}});
    const Case cases[] = {
        {"missing list", ok, std::nullopt, ""},
        {"parent", fixtures::MakeAddedList({{"..\\x.txt", ""}}), "", ""},
        {"absolute", "", fixtures::MakeDeletedList({"\\etc\\x"}), ""},
        {"drive", fixtures::MakeAddedList({{"C:\\x.txt", ""}}), "", ""},
        {"empty path", ok + "\r\n\r\n\r\n", "", ""},
        {"folder", "", fixtures::MakeDeletedList({"bin"}), ""},
        {"backup name", fixtures::MakeAddedList({{"bin\\game.dll.pbk", ""}}), "", ""},
        {"journal name", fixtures::MakeAddedList({{"PATCH.JOURNAL", ""}}), "", ""},
        {"journal name through a dot", "", fixtures::MakeDeletedList({".\\patch.journal"}), ""},
        {"repair summary", fixtures::MakeAddedList({{"Repair.cks", ""}}), "", ""},
        {"run folder", fixtures::MakeAddedList({{".sollex-patcher-u0-ab\\x.txt", ""}}), "", ""},
        {"uninstall log", "", fixtures::MakeDeletedList({"unins000.dat"}), ""},
        {"twice in one list", ok + ok, "", ""},
        {"added and deleted", ok, fixtures::MakeDeletedList({"EXTRA.TXT"}), ""},
        {"deleted and patched", "", fixtures::MakeDeletedList({"bin\\game.dll"}),
         fixtures::MakePatchedList({{"bin/GAME.dll", "n", "o"}})},
    };
    for (const Case& c : cases) {
        fixtures::RemoveTree(package);
        fixtures::WriteFile(package + "/addedFiles.txt", c.added);
        if (c.deleted)
            fixtures::WriteFile(package + "/deletedFiles.txt", *c.deleted);
        fixtures::WriteFile(package + "/patchedFiles.txt", c.patched);
        fixtures::WriteFile(package + "/data/extra.txt", "x");
        const TreeContent before = Snapshot();
        log.messages.clear();
        log.totals.clear();
        EXPECT_FALSE(Apply()) << c.name;
        EXPECT_TRUE(log.HasAtLevel(PATCH_LEVEL_ERROR)) << c.name;
        EXPECT_TRUE(log.totals.empty()) << c.name;
        EXPECT_EQ(Diff(before), "") << c.name;
        const std::wstring missing = PatchMessages::kCouldNotOpen + FromNativePath(package) + L"/deletedFiles.txt" +
                                     PatchMessages::kForReadingMightBeMissing;
        EXPECT_TRUE(c.deleted || log.Has(PATCH_LEVEL_ERROR, missing)) << log.Dump();
    }
}

// A random patch over a random tree, failed at each record in turn: every failure must leave the
// tree exactly as it was, and the run without a failure must reach the target.
TEST_F(ApplyTest, FailureAtAnyRecordRestoresTheTreeExactly)
{
    for (unsigned seed = 1; seed <= 4; ++seed) {
        std::mt19937 random(seed);
        source.clear();
        const char* folders[] = {"", "bin/", "bin/sub/", "data/", "Data2/x/"};
        PatchPlan plan;
        for (int i = 0; i < 12; ++i) {
            const std::string folder = folders[random() % 5];
            const std::string name = folder + "f" + std::to_string(i) + ".dat";
            source[name] = std::string(random() % 3000, static_cast<char>('a' + i));
            std::string listPath = name;
            for (char& c : listPath)
                if (c == '/')
                    c = '\\';
            switch (random() % 4) {
            case 0: plan.added.push_back({listPath, "replaced " + name}); break;
            case 1: plan.deleted.push_back(listPath); break;
            case 2: plan.patched.push_back({listPath, "patched " + name}); break;
            default: break;
            }
        }
        plan.added.push_back({"new\\nested\\n" + std::to_string(seed) + ".dat", "brand new"});
        plan.deleted.push_back("never-there.dat");
        ResetInstall();
        WritePackage(plan);
        const TreeContent before = Snapshot();
        const int records = static_cast<int>(plan.added.size() + plan.deleted.size() + plan.patched.size());
        for (int stop = 0; stop < records; ++stop) {
            log.stopAtCall = stop;
            log.keepGoingCalls = 0;
            EXPECT_FALSE(Apply()) << "seed " << seed << " stop " << stop;
            ASSERT_EQ(Diff(before), "") << "seed " << seed << " stop " << stop;
        }
        log.stopAtCall = -1;
        ASSERT_TRUE(Apply()) << log.Dump();
        TreeContent expected = before;
        for (const auto& [path, content] : plan.added)
            expected[fixtures::NativeListPath(path)] = content;
        expected["new/"] = expected["new/nested/"] = "";
        for (const std::string& path : plan.deleted)
            expected.erase(fixtures::NativeListPath(path));
        for (const auto& [path, content] : plan.patched)
            expected[fixtures::NativeListPath(path)] = content;
        EXPECT_EQ(Diff(expected), "") << "seed " << seed;
    }
}

// The disk fills up while a large file is copied in: the copy fails, the error says why (not only
// that the copy failed), and everything goes back.
TEST_F(ApplyTest, FullDiskRollsBackAndIsNamed)
{
    PatchPlan plan = TypicalPlan();
    plan.added.push_back({"bin\\big.pak", std::string(256 * 1024, 'z')});
    WritePackage(plan);
    const TreeContent before = Snapshot();
    const std::string big = package + "/data/bin/big.pak";
    fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN); // a write beyond the limit fails with EFBIG instead
        const rlimit limit = {64 * 1024, 64 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        if (Apply())
            _exit(2);
        const std::wstring cause = L"cannot copy \"" + FromNativePath(big) + L"\" to \"" + FromNativePath(install) +
                                   L"/bin/big.pak.pbk.new\": File too large";
        if (!log.Has(PATCH_LEVEL_ERROR, PatchMessages::kCannotCopyFile + FromNativePath(big)) ||
            !log.Has(PATCH_LEVEL_ERROR, cause)) {
            fprintf(stderr, "%s", log.Dump().c_str());
            _exit(3);
        }
        _exit(1);
    }
    const int status = WaitStatus(child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(Diff(before), "");
}

// A privileged patcher hands new files and folders to the owner of the folder they land in, and
// a replaced file keeps its owner and mode.
TEST_F(ApplyTest, OwnershipFollowsTheInstallation)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only a privileged process can give files away";
    const uid_t user = 65534;
    chown((install + "/bin").c_str(), user, user);
    chown((install + "/readme.txt").c_str(), user + 1, user);
    chmod((install + "/readme.txt").c_str(), 0600);
    PatchPlan plan;
    plan.added = {{"bin\\new\\n.dll", "new"}, {"readme.txt", "readme v2"}};
    WritePackage(plan);
    ASSERT_TRUE(Apply()) << log.Dump();
    struct stat st;
    for (const auto& [path, owner, mode] : {std::tuple{"/bin/new", user, 0u}, {"/bin/new/n.dll", user, 0644u},
                                            {"/readme.txt", user + 1, 0600u}})
    {
        ASSERT_EQ(stat((install + path).c_str(), &st), 0);
        EXPECT_TRUE(st.st_uid == owner && st.st_gid == user) << path;
        EXPECT_TRUE(!mode || (st.st_mode & 07777) == mode) << path;
    }
}

// A typical patch reaches its target and leaves no backups. Then the process applying it dies of
// SIGKILL right after its N-th filesystem action, for every N. Afterwards the installation must be
// the source build or the target build, with its uninstall log; and a new run must always reach the
// target.
TEST_F(ApplyTest, TypicalPatchAndAKillAtEveryActionLeaveSourceOrTarget)
{
    std::vector<fixtures::UninstallRecord> records = fixtures::FillerUninstallRecords(4000);
    source["unins000.dat"] = fixtures::WriteUninstallLog(records);
    ResetInstall();
    WritePackage(TypicalPlan());
    const TreeContent original = Snapshot();
    ASSERT_TRUE(Apply()) << log.Dump();
    const TreeContent target = Snapshot();
    for (const auto& [path, content] : target)
        EXPECT_TRUE(path.find(".pbk") == std::string::npos && path != "patch.journal") << path;
    EXPECT_EQ(target.at("bin/new/deep/n.dll"), "new file");
    EXPECT_EQ(target.at("bin/LumoLauncher.exe"), "launcher v2");
    EXPECT_EQ(target.at("data/a.ka"), std::string(3000, 'b'));
    EXPECT_EQ(target.count("bin/old.dll"), 0u);
    ASSERT_EQ(log.totals, std::vector<int>{8});
    EXPECT_TRUE(log.Has(PATCH_LEVEL_WARNING,
                        PatchMessages::kAlreadyRemoved + FromNativePath(install) + L"/bin/gone-already.dll"));

    bool completed = false;
    for (int n = 1; n < 400 && !completed; ++n) {
        ResetInstall();
        const int status = WaitStatus(ApplyInChild([n] {
            setenv("LUMO_TEST_MODE", "1", 1);
            setenv("LUMO_PATCH_KILL_AFTER", std::to_string(n).c_str(), 1);
        }));
        if (WIFEXITED(status)) {
            ASSERT_EQ(WEXITSTATUS(status), 0) << "action " << n;
            ASSERT_EQ(Diff(target), "") << "action " << n;
            completed = true;
            EXPECT_GT(n, 30); // every backup, copy, rename and journal record counts
            continue;
        }
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "action " << n;
        std::wstring error;
        ASSERT_TRUE(BackupJournal::Recover(FromNativePath(install), error)) << "action " << n;
        const TreeContent after = Snapshot();
        const std::string toOriginal = fixtures::DescribeTreeDifference(original, after);
        const std::string toTarget = fixtures::DescribeTreeDifference(target, after);
        ASSERT_TRUE(toOriginal.empty() || toTarget.empty()) << "action " << n << "\n" << toOriginal;
        if (toOriginal.empty() && n % 4 == 1) {
            // The run that follows an interrupted one reaches the target.
            ASSERT_TRUE(Apply()) << "action " << n << "\n" << log.Dump();
            ASSERT_EQ(Diff(target), "") << "action " << n;
        }
    }
    EXPECT_TRUE(completed);
}

// An installation below a folder named in Cyrillic takes a patch that adds files: the uninstall log
// cannot name them, which one warning says, and the log stays as it was.
TEST_F(ApplyTest, InstallPathOutsideTheInstallersCodePageIsPatched)
{
    install = scratch / "\xd0\x9f\xd1\x91\xd1\x82\xd1\x80/install";
    const std::string uninstallLog = fixtures::WriteUninstallLog(fixtures::FillerUninstallRecords(4000));
    source["unins000.dat"] = uninstallLog;
    ResetInstall();
    WritePackage(TypicalPlan());
    ASSERT_TRUE(Apply()) << log.Dump();
    EXPECT_EQ(fixtures::ReadFile(install + "/bin/new/deep/n.dll"), "new file");
    EXPECT_EQ(fixtures::ReadFile(install + "/unins000.dat"), uninstallLog);
    int warnings = 0;
    for (const auto& [level, text] : log.messages)
        warnings += level == PATCH_LEVEL_WARNING && text.find(L"about 3 files") != std::wstring::npos &&
                    text.find(FromNativePath(install)) != std::wstring::npos;
    EXPECT_EQ(warnings, 1) << log.Dump();
}

// Folders given relative to the current one still reach the patch tool, which runs in "bin".
TEST_F(ApplyTest, RelativeFoldersArePatched)
{
    WritePackage(TypicalPlan());
    char* previous = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(scratch.Path().c_str()), 0);
    const bool applied = ApplyPatchPackage(L"install", L"./package", L"LumoLauncher.exe");
    EXPECT_EQ(chdir(previous), 0);
    free(previous);
    EXPECT_TRUE(applied) << log.Dump();
    EXPECT_EQ(fixtures::ReadFile(install + "/bin/game.dll"), "game v2");
}

// A patcher killed while its tool works: the tool dies with it, and what it would have written
// never reaches the installation that recovery has restored.
TEST_F(ApplyTest, ToolDiesWithAKilledPatcherAndNeverTouchesTheRestoredInstall)
{
    PatchPlan plan = TypicalPlan();
    plan.toolDirectives["bin\\game.dll"] = "DELAY 1000";
    WritePackage(plan);
    const TreeContent original = Snapshot();
    const std::string calls = scratch / "calls.log";
    const pid_t child = ApplyInChild([&] { setenv(fixtures::kFakePatchToolLogVariable, calls.c_str(), 1); });
    ASSERT_GT(child, 0);
    // The first tool call is game.dll's (the launcher goes last).
    int toolPid = 0;
    ASSERT_TRUE(fixtures::WaitFor([&] {
        const std::vector<fixtures::FakeToolCall> seen = fixtures::ReadFakeToolCalls(calls);
        toolPid = seen.empty() ? 0 : seen.back().pid;
        return !seen.empty();
    }));
    kill(child, SIGKILL);
    ASSERT_NE(WaitStatus(child), -1);
    std::wstring error;
    ASSERT_TRUE(BackupJournal::Recover(FromNativePath(install), error)) << ToNativePath(error);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // past the tool's delay
    EXPECT_EQ(Diff(original), "");
    const std::string stat = "/proc/" + std::to_string(toolPid) + "/stat";
    const std::string state = fixtures::PathExists(stat) ? fixtures::ReadFile(stat) : "";
    EXPECT_TRUE(state.empty() || state.find(") Z ") != std::string::npos) << "the tool still runs: " << state;
}

// Another program puts a FIFO (or a socket) where a file listed to be patched was, once the add
// stage has begun: the run is never held by it (the child's alarm would end a run that waits),
// says what stands there, and puts every other file back; the installation takes the next run.
TEST_F(ApplyTest, AFifoSwappedInForAListedFileEndsTheRunWithoutWaiting)
{
    source["data/sub/"] = "";
    source["data/sub/f0.dat"] = "f0 v1";
    struct Case { const char* kind; mode_t mode; } cases[] = {{"a FIFO (named pipe)", S_IFIFO}, {"a socket", S_IFSOCK}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        ResetInstall();
        PatchPlan plan = TypicalPlan();
        plan.patched.push_back({"data\\sub\\f0.dat", "f0 v2"});
        WritePackage(plan);
        const TreeContent before = Snapshot();
        const std::string swapped = install + "/data/sub/f0.dat";
        const pid_t child = ApplyInChild([&] {
            alarm(120);  // a run held for good ends here, failing the test instead of hanging it
            log.keepGoingCalls = 0;
            // The check asks once per listed file; the next call is the add stage's first.
            const int listed = static_cast<int>(plan.added.size() + plan.deleted.size() + plan.patched.size());
            log.onKeepGoing = [&, listed](int call) {
                if (call == listed && (unlink(swapped.c_str()) != 0 || mknod(swapped.c_str(), c.mode | 0644, 0) != 0))
                    _exit(4);
            };
            setenv("LUMO_TEST_MODE", "1", 1);
        });
        ASSERT_GT(child, 0);
        const int status = WaitStatus(child);
        ASSERT_TRUE(WIFEXITED(status)) << "the run was held: " << status;
        EXPECT_EQ(WEXITSTATUS(status), 1);
        struct stat st;
        ASSERT_EQ(lstat(swapped.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & S_IFMT, c.mode) << "what the other program put there stays";
        ASSERT_EQ(unlink(swapped.c_str()), 0);
        fixtures::WriteFile(swapped, "f0 v1");
        EXPECT_EQ(Diff(before), "");
        EXPECT_TRUE(Apply()) << log.Dump();  // nothing of the stopped run holds the installation
    }
}

// The error says what stands in the listed file's place.
TEST_F(ApplyTest, AFifoInAListedFilesPlaceIsNamed)
{
    source["data/sub/"] = "";
    source["data/sub/f0.dat"] = "f0 v1";
    ResetInstall();
    PatchPlan plan;
    plan.added = {{"extra.txt", "extra"}};
    plan.patched = {{"data\\sub\\f0.dat", "f0 v2"}};
    WritePackage(plan);
    const std::string swapped = install + "/data/sub/f0.dat";
    // The check asks once per listed file; the next call is the add stage's first.
    const int listed = static_cast<int>(plan.added.size() + plan.patched.size());
    log.onKeepGoing = [&, listed](int call) {
        if (call == listed) {
            unlink(swapped.c_str());
            mkfifo(swapped.c_str(), 0644);
        }
    };
    alarm(120);
    EXPECT_FALSE(Apply());
    alarm(0);
    log.onKeepGoing = nullptr;
    EXPECT_TRUE(log.Has(PATCH_LEVEL_ERROR, L"\"" + FromNativePath(swapped) + L"\" is a FIFO (named pipe), not a file"))
        << log.Dump();
    EXPECT_FALSE(fixtures::PathExists(install + "/extra.txt"));
    unlink(swapped.c_str());
}

} // namespace
