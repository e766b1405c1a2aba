// Whole runs of the local chain on an installation at A: A->B->C to the byte, and the ways a chain
// ends early (a damaged file, a cancel while the tool runs, a chain that loops, a damaged
// package), each leaving a whole build behind; the asset-database update with its cancel.
// One step alone: a download's size checks, one package cancelled or without an unpack folder.

#include "app/run/PatchRun.h"
#include "app/run/ProgressThreads.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include <algorithm>

#include "app/core/PatcherOptions.h"
#include "lumo/files/FileUtil.h"
#include "lumo/os/GuardedThread.h"
#include "patch/EmbeddedPatchArchive.h"
#include "sollex/IPCDatabase.h"
#include "platform/NativePath.h"
#include "tests/app_run/RecordingHost.h"
#include "tests/app_run/RunFixture.h"
#include "tests/fixtures/ArchiveWriter.h"
#include "tests/fixtures/FakePatchTool.h"
#include "tests/fixtures/FakeSollexUtil.h"
#include "tests/fixtures/ProcessEnded.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/WaitFor.h"

namespace apprun {
namespace {

fixtures::ArchiveEntry Entry(const std::string& source, const std::string& target, const std::string& payload)
{
    fixtures::ArchiveEntry entry;
    entry.source = source, entry.target = target, entry.payload = payload;
    return entry;
}

class ChainTest : public ::testing::Test
{
public:
    void SetUp() override
    {
        machinePtr = std::make_unique<RunMachine>();
        hostPtr = std::make_unique<ObservedHost>();
        machine().ResetOptions(kBuildA);
        PatcherOptions::Instance().localPatch = true;
        environment.tempParent = FromNativePath(machine().temp);
        environment.progressStepMs = 1;
        environment.filesInUseIntervalMs = 1;
    }
    void TearDown() override { g_embeddedPatchArchive.Close(); }

    // A program file with the archive of these entries appended, opened as the process's archive.
    void Archive(const std::vector<fixtures::ArchiveEntry>& entries)
    {
        const std::string program = machine().scratch / "patcher";
        fixtures::WriteFile(program, std::string(10000, 'p'));
        fixtures::AppendArchive(program, entries);
        ASSERT_EQ(g_embeddedPatchArchive.Open(FromNativePath(program)), LUMORESULT_OK);
    }

    bool Run() { return LumoPatch::PatchRun(host(), environment).Run(); }
    RunMachine& machine() { return *machinePtr; }
    ObservedHost& host() { return *hostPtr; }

    std::unique_ptr<RunMachine> machinePtr;
    std::unique_ptr<ObservedHost> hostPtr;
    LumoPatch::RunEnvironment environment = RoomyRunEnvironment();
};

TEST_F(ChainTest, AppendedChainBringsTheInstallationToTheLastBuild)
{
    Archive({Entry(kBuildA, kBuildB, MakePackage(kBuildA, kBuildB)), Entry(kBuildB, kBuildC, MakePackage(kBuildB, kBuildC))});
    const uint32_t recordsBefore = machine().UninstallRecordCount();

    ASSERT_TRUE(Run()) << host().Dump();

    EXPECT_EQ(machine().DiffFromBuild(kBuildC), "");
    EXPECT_EQ(machine().Leftovers(), std::vector<std::string>{});
    EXPECT_FALSE(LumoPatch::IsPatchingFlagSet());
    // One delete record for each file of the two added lists.
    EXPECT_EQ(machine().UninstallRecordCount(), recordsBefore + 5);
    EXPECT_EQ(machine().UtilityCalls(), std::vector<std::string>{"repairdatabase patcher owner=1"});
    EXPECT_EQ(host().Texts(3), std::vector<std::wstring>{});
    EXPECT_EQ(host().PatchesInstalled(), 2);
    EXPECT_EQ(host().Gauge(), std::make_pair(1, 1));

    // The status lines in their order.
    std::vector<std::wstring> milestones;
    for (const std::wstring& text : host().Texts(1))
        if (text.rfind(L"Patching from", 0) == 0 || text.rfind(L"There are no more", 0) == 0 ||
            text.find(L"Updating Sollex asset database") != std::wstring::npos || text.rfind(L"Patching c", 0) == 0)
            milestones.push_back(text);
    EXPECT_EQ(milestones, (std::vector<std::wstring>{
                              L"Patching from 43434 to 44088...\n", L"Patching from 44088 to 45000...\n",
                              L"There are no more patches for this build.",
                              L"\nUpdating Sollex asset database... (this may take several minutes)",
                              L"Patching completed."}));
    EXPECT_TRUE(host().Has(L"repairdatabase line 2", 1));
    EXPECT_TRUE(host().Has(L"Getting next version (43434 )", 0));
    EXPECT_EQ(PatcherOptions::Instance().builds, std::vector<std::string>{});
}

// Below a folder named in Cyrillic: the uninstall log cannot name the added files, which the run
// says once for its whole chain; the utility's own lines show that folder as it is named.
TEST_F(ChainTest, FolderOutsideTheInstallersCodePageIsWarnedOnceAndShownRight)
{
    machinePtr = std::make_unique<RunMachine>("\xd0\x98\xd0\xb3\xd1\x80\xd0\xb0");  // "Игра"
    machine().ResetOptions(kBuildA);
    PatcherOptions::Instance().localPatch = true;
    environment.tempParent = FromNativePath(machine().temp);
    const std::wstring install = FromNativePath(machine().install);
    ASSERT_NE(install.find(L"\u0418\u0433\u0440\u0430"), std::wstring::npos);
    machine().SetUtility({{"repairdatabase.stderr", "Rebuilding the asset database of " + machine().install + "\\n"}});
    Archive({Entry(kBuildA, kBuildB, MakePackage(kBuildA, kBuildB)), Entry(kBuildB, kBuildC, MakePackage(kBuildB, kBuildC))});

    ASSERT_TRUE(Run()) << host().Dump();
    EXPECT_EQ(machine().DiffFromBuild(kBuildC), "");
    std::vector<std::wstring> warnings;
    for (const std::wstring& text : host().Texts(2))
        if (text.rfind(L"The uninstaller will not know", 0) == 0)
            warnings.push_back(text);
    ASSERT_EQ(warnings.size(), 1u) << host().Dump();
    // Five added, one of them (data\\new-b.txt) deleted again by the second patch.
    EXPECT_NE(warnings[0].find(L"about 4 files"), std::wstring::npos) << host().Dump();
    EXPECT_EQ(warnings[0].find(L"new-b.txt"), std::wstring::npos) << host().Dump();
    EXPECT_NE(warnings[0].find(install), std::wstring::npos) << host().Dump();
    std::wstring output;
    for (const std::wstring& text : host().Texts(1))
        output += text;
    EXPECT_NE(output.find(L"Rebuilding the asset database of " + install + L"\n"), std::wstring::npos) << host().Dump();
}

TEST_F(ChainTest, ChainThatEndsEarlyLeavesAWholeBuild)
{
    // Cancelled once the tool runs on toolCallToCancelAt; the installation ends at build tree.
    struct Row { const char* name; std::vector<fixtures::ArchiveEntry> entries; std::string toolCallToCancelAt;
                 const char* tree; bool patchingFlag; const wchar_t* errorLine; };
    const std::string ab = MakePackage(kBuildA, kBuildB);
    const Row rows[] = {
        {"a damaged file in the second patch",
         {Entry(kBuildA, kBuildB, ab), Entry(kBuildB, kBuildC, MakePackage(kBuildB, kBuildC, {"version.txt", ""}))}, "", kBuildB,
         true, L"Failed to apply the patch: 44088_to_45000"},
        {"cancel while the tool patches in the second patch",
         {Entry(kBuildA, kBuildB, ab), Entry(kBuildB, kBuildC, MakePackage(kBuildB, kBuildC, {"", "HANG"}))}, "LumoLauncher",
         kBuildB, true, L"Failed to apply the patch: 44088_to_45000"},
        {"a chain that leads back", {Entry(kBuildA, kBuildB, ab), Entry(kBuildB, kBuildA, ab)}, "", kBuildB, false,
         L"leads back to build 43434"},
        {"a patch onto its own build", {Entry(kBuildA, kBuildA, ab)}, "", kBuildA, false, L"leads back to build 43434"},
        {"a package that is not one", {Entry(kBuildA, kBuildB, "PK\x03\x04 not a package")}, "", kBuildA, false,
         L"Failed to extract the patch archive."},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        SetUp();
        const std::string toolLog = machine().scratch / "tool.log";
        setenv(fixtures::kFakePatchToolLogVariable, toolLog.c_str(), 1);
        Archive(row.entries);
        std::atomic<bool> done{false};
        std::thread canceller([&] {
            while (!done && !row.toolCallToCancelAt.empty())
            {
                for (const fixtures::FakeToolCall& call : fixtures::ReadFakeToolCalls(toolLog))
                    for (const std::string& arg : call.argv)
                        if (arg.find(row.toolCallToCancelAt) != std::string::npos)
                            host().cancel = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        const auto started = std::chrono::steady_clock::now();
        const bool ok = Run();
        done = true;
        canceller.join();
        unsetenv(fixtures::kFakePatchToolLogVariable);

        EXPECT_FALSE(ok);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
        EXPECT_EQ(machine().DiffFromBuild(row.tree), "");
        EXPECT_EQ(LumoPatch::IsPatchingFlagSet(), row.patchingFlag);
        EXPECT_TRUE(host().Has(row.errorLine, 3)) << host().Dump();
        EXPECT_TRUE(host().Texts(1).back() == L"Patching aborted.");
        // No database update after a failed chain, and nothing left behind but, once a patch went
        // in, the note that the database still needs its update, which the run's log says too.
        const bool patched = std::string(row.tree) != kBuildA;
        EXPECT_EQ(machine().UtilityCalls(), std::vector<std::string>{});
        EXPECT_EQ(machine().Leftovers(), patched ? std::vector<std::string>{"game/patch.dbstopped"} : std::vector<std::string>{});
        EXPECT_EQ(host().Has(L"The asset database still needs an update for the patches this run installed. The asset "
                             L"database has not been rebuilt: please repair it manually from Asset Desk, or run "
                             L"\"SollexUtil.exe repairdatabase patcher\" in " + FromNativePath(machine().install) + L"/bin.",
                             3),
                  patched) << host().Dump();
        IPCDatabaseBlock block{};
        EXPECT_FALSE(IPCReadBlock(block)) << "the database is still held after the run";
        LumoPatch::ClearPatchingFlag();
    }
}

TEST_F(ChainTest, DownloadFileStartsEmptyAndStaysInItsFolder)
{
    LumoPatch::PatchRun run(host(), environment);
    PatcherOptions::Instance().targetVersion = kBuildB;
    std::wstring first, second, third;
    ASSERT_TRUE(run.MakeTempFilePath(first));
    EXPECT_TRUE(first.ends_with(L"/43434_to_44088.zip"));
    // A larger file from an earlier attempt, or a link planted in its place, is never continued.
    fixtures::WriteFile(ToNativePath(first), std::string(100000, 'x'));
    ASSERT_TRUE(run.MakeTempFilePath(second));
    EXPECT_EQ(second, first);
    EXPECT_EQ(fixtures::ReadFile(ToNativePath(second)), "");
    unlink(ToNativePath(second).c_str());
    ASSERT_EQ(symlink((machine().install + "/readme.txt").c_str(), ToNativePath(second).c_str()), 0);
    ASSERT_TRUE(run.MakeTempFilePath(second));
    EXPECT_EQ(fixtures::ReadFile(machine().install + "/readme.txt"), "readme A");
    // A build that would lead out of the folder never becomes a name.
    PatcherOptions::Instance().targetVersion = "../x";
    EXPECT_FALSE(run.MakeTempFilePath(third));
    EXPECT_TRUE(third.empty());
}

TEST_F(ChainTest, FirstBuildWithoutAnEntryIsDropped)
{
    Archive({Entry(kBuildA, kBuildB, MakePackage(kBuildA, kBuildB))});
    PatcherOptions::Instance().builds = {"40000", kBuildA};
    ASSERT_TRUE(Run()) << host().Dump();
    EXPECT_EQ(machine().DiffFromBuild(kBuildB), "");
    EXPECT_EQ(host().PatchesInstalled(), 1);
}

// A utility that ends with an error is reported and the run completes; an update stopped before it
// ended (cancelled, timed out, or the utility killed from outside) leaves the database half rebuilt,
// which no later run would redo: the run ends as not completed and says how to rebuild it.
TEST_F(ChainTest, DatabaseUpdateOutcomes)
{
    enum Stop { kNone, kCancel, kKillUtility, kTimeLimit };
    struct Row { const char* name; std::map<std::string, std::string> utility; Stop stop; const wchar_t* line; bool completes; };
    const Row rows[] = {
        {"utility fails", {{"repairdatabase.exit", "3"}}, kNone, L"SollexUtil ended with exit code 3", true},
        {"cancelled while it works", {{"repairdatabase.hang", "1"}}, kCancel, L"stopped before it ended", false},
        {"utility killed from outside", {{"repairdatabase.hang", "1"}}, kKillUtility, L"ended by signal 9 before it finished", false},
        {"time limit", {{"repairdatabase.hang", "1"}}, kTimeLimit, L"stopped before it ended", false},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        machine().SetUtility(row.utility);
        environment.databaseUpdateLimitSeconds = row.stop == kTimeLimit ? 1 : 3600;
        host().onLine = [&](int, const std::wstring& text) {
            if (text.find(L"repairdatabase line 2") == std::wstring::npos)
                return;
            if (row.stop == kCancel)
                host().cancel = true;
            if (row.stop == kKillUtility)
                ::kill(fixtures::ReadFakeUtilCalls(machine().install).back().pid, SIGKILL);
        };
        // A note an earlier stopped update left goes once an update has ended, however it went.
        const std::string note = machine().install + "/patch.dbstopped";
        fixtures::WriteFile(note, "asset database update begun\n");
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(Run(), row.completes) << host().Dump();
        EXPECT_EQ(fixtures::PathExists(note), !row.completes);
        EXPECT_FALSE(fixtures::PathExists(note + ".new"));
                EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));  // not the hour's limit
        EXPECT_TRUE(host().Has(row.line, 3)) << host().Dump();
        EXPECT_EQ(host().Has(L"please repair it manually from Asset Desk, or run \"SollexUtil.exe repairdatabase "
                             L"patcher\" in " + FromNativePath(machine().install) + L"/bin.", 3),
                  !row.completes) << host().Dump();
        EXPECT_EQ(host().Texts(1).back(), row.completes ? L"Patching completed." : L"Patching aborted.");
        EXPECT_EQ(host().Gauge(), std::make_pair(1, 1));
        SetUp();
    }
}

// A cancelled update ends the utility with everything it started (a script's own children): the
// utility leads a process group of its own, and the whole group is ended.
TEST_F(ChainTest, ACancelledUpdateEndsWhatTheUtilityStarted)
{
    Archive({Entry(kBuildA, kBuildB, MakePackage(kBuildA, kBuildB))});
    const std::string utility = machine().install + "/bin/SollexUtil.exe";
    const std::string pidFile = machine().install + "/bin/helper.pid";
    fixtures::WriteFile(utility, "#!/bin/sh\n"
                                 "sleep 300 &\n"
                                 "echo $! > \"$(dirname \"$0\")/helper.pid\"\n"
                                 "echo rebuilding\n"
                                 "wait\n");
    chmod(utility.c_str(), 0755);
    host().onLine = [&](int, const std::wstring& text) {
        if (text.find(L"rebuilding") != std::wstring::npos)
            host().cancel = true;
    };
    EXPECT_FALSE(Run()) << host().Dump();
    EXPECT_TRUE(host().Has(L"The asset database update was stopped before it ended.", 3)) << host().Dump();
    const pid_t helper = static_cast<pid_t>(std::atoi(fixtures::ReadFile(pidFile).c_str()));
    ASSERT_GT(helper, 0);
    const bool ended = fixtures::WaitFor([helper] { return fixtures::ProcessEnded(helper); });
    if (!ended)
        ::kill(helper, SIGKILL);
    EXPECT_TRUE(ended) << "the utility's own child " << helper << " still runs";
    std::remove(pidFile.c_str());
}

// The run finds the utility as every fixed name of the installation is found: its one other
// spelling is used, by the database update too; two other spellings are said as ambiguous, not as a
// missing file, and the run stops before it changes anything.
TEST_F(ChainTest, TheDatabaseUpdateFindsTheUtilityByTheCaseRule)
{
    const struct { const char* name; std::vector<const char*> spellings; bool completes; } cases[] = {
        {"one spelling", {"SOLLEXUTIL.EXE"}, true},
        {"two spellings", {"SOLLEXUTIL.EXE", "sollexutil.exe"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Archive({Entry(kBuildA, kBuildB, MakePackage(kBuildA, kBuildB))});
        const std::string bin = machine().install + "/bin/";
        for (const char* spelling : c.spellings)
            fixtures::WriteFile(bin + spelling, fixtures::ReadFile(bin + "SollexUtil.exe"));
        for (const char* spelling : c.spellings)
            chmod((bin + spelling).c_str(), 0755);
        std::remove((bin + "SollexUtil.exe").c_str());
        EXPECT_EQ(Run(), c.completes) << host().Dump();
        EXPECT_EQ(host().Has(L"repairdatabase line 2", 1), c.completes) << host().Dump();
        EXPECT_EQ(host().Has(L"ambiguous path", 3), !c.completes) << host().Dump();
        EXPECT_FALSE(host().Has(L"No such file")) << host().Dump();
        if (!c.completes) {  // the game's files are as build A left them; only the utility is spelt otherwise
            EXPECT_EQ(machine().DiffFromBuild(kBuildA),
                      "unexpected: bin/SOLLEXUTIL.EXE\nunexpected: bin/sollexutil.exe\n") << host().Dump();
        }
        SetUp();
    }
}

// The installation notes that the database needs its update from the moment the first patch of a
// run has gone in: a kill at any later moment (before the second patch, or after the last patch
// and before the update) leaves the note for the next start. An update that ends removes it.
TEST_F(ChainTest, TheDatabaseNoteIsWrittenOnceTheFirstPatchHasGoneIn)
{
    Archive({Entry(kBuildA, kBuildB, MakePackage(kBuildA, kBuildB)), Entry(kBuildB, kBuildC, MakePackage(kBuildB, kBuildC))});
    const std::string note = machine().install + "/patch.dbstopped";
    // Whether the note is there when a line starting with this text is logged (a kill there).
    const std::vector<std::pair<std::wstring, bool>> moments = {
        {L"Patching from 43434 to 44088", false},
        {L"Patching from 44088 to 45000", true},
        {L"There are no more patches for this build.", true},
        {L"\nUpdating Sollex asset database", true},
    };
    std::map<std::wstring, bool> seen;
    host().onLine = [&](int, const std::wstring& text) {
        for (const auto& [start, expected] : moments)
            if (text.rfind(start, 0) == 0)
                seen[start] = fixtures::PathExists(note);
    };
    ASSERT_TRUE(Run()) << host().Dump();
    for (const auto& [start, expected] : moments) {
        ASSERT_TRUE(seen.count(start)) << ToNativePath(start);
        EXPECT_EQ(seen[start], expected) << ToNativePath(start);
    }
    EXPECT_FALSE(fixtures::PathExists(note));
}

// The advice names the utility as the installation spells it, so the user can find the file.
TEST_F(ChainTest, TheDatabaseAdviceNamesTheUtilityAsItIsSpelt)
{
    const std::string bin = machine().install + "/bin/";
    ASSERT_EQ(rename((bin + "SollexUtil.exe").c_str(), (bin + "sollexutil.exe").c_str()), 0);
    Archive({Entry(kBuildA, kBuildB, MakePackage(kBuildA, kBuildB)),
             Entry(kBuildB, kBuildC, MakePackage(kBuildB, kBuildC, {"version.txt", ""}))});
    EXPECT_FALSE(Run());
    EXPECT_TRUE(host().Has(L"or run \"sollexutil.exe repairdatabase patcher\" in " + FromNativePath(machine().install) +
                               L"/bin.", 3)) << host().Dump();
    EXPECT_FALSE(host().Has(L"SollexUtil.exe")) << host().Dump();
}

TEST_F(ChainTest, ASystemThatGivesNoThreadsStillCompletesTheRun)
{
    Archive({Entry(kBuildA, kBuildB, MakePackage(kBuildA, kBuildB))});
    OS::SetThreadRefusal([] { return true; });
    EXPECT_TRUE(Run()) << host().Dump();
    OS::SetThreadRefusal(nullptr);
    EXPECT_EQ(machine().DiffFromBuild(kBuildB), "");
    EXPECT_TRUE(host().Has(L"Please repair the database manually", 3)) << host().Dump();  // no thread for the utility
}

// Serves "patches.txt" for A->B and the package's first `delivered` bytes; announces `announced` as
// its size, or no size when negative.
struct ScriptedDownloader : PatchDownloader
{
    ScriptedDownloader(std::string package, int64_t announced, size_t delivered)
        : package(std::move(package)), announced(announced), delivered(delivered) {}
    LUMORESULT Download(const std::string& url, LumoDataBuffer* destination, uint32_t, DownloadURLCallback*) override
    {
        const std::string bytes = url.ends_with("patches.txt") ? std::string("source-version: ") + kBuildA + "\r\ntarget-version: " +
            kBuildB + "\r\npatch-exe-url: x.exe\r\npatch-data-url: a-b.pkg\r\n" : package.substr(0, delivered);
        return destination->WriteData(bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
    LUMORESULT GetSize(const std::string&, uint64_t* size, DownloadURLCallback*) override
    {
        *size = static_cast<uint64_t>(announced);
        return announced < 0 ? LUMORESULT_NOT_SUPPORTED : LUMORESULT_OK;
    }
    std::string package;
    int64_t announced;
    size_t delivered;
};

TEST_F(ChainTest, DownloadSizeChecks)
{
    const std::string package = MakePackage(kBuildA, kBuildB);
    const struct { int64_t announced; size_t delivered; const wchar_t* line; int level; } rows[] = {
        {-1, package.size(), L"Unable to determine the size", 2},  // and applied all the same
        {int64_t(package.size()), package.size() / 2, L"Patch download failed.", 3},
        {int64_t(package.size()) - 10, package.size(), L"Patch download failed.", 3},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.announced);
        SetUp();
        PatcherOptions::Instance().localPatch = false;
        PatcherOptions::Instance().patchServers = {L"http://patches.test/"};
        ScriptedDownloader downloader(package, row.announced, row.delivered);
        LumoPatch::PatchRun run(host(), environment);
        run.SetDownloader(&downloader);
        EXPECT_EQ(run.Run(), row.level == 2) << host().Dump();
        EXPECT_TRUE(host().Has(row.line, row.level)) << host().Dump();
        EXPECT_EQ(machine().DiffFromBuild(row.level == 2 ? kBuildB : kBuildA), "");
        EXPECT_EQ(machine().Leftovers(), std::vector<std::string>{});
    }
}

// A download that arrived whole but does not unpack names the URL it came from: the run's temporary
// file is gone by the time the user reads the line.
TEST_F(ChainTest, ADamagedDownloadIsNamedByItsUrl)
{
    const std::string package = MakePackage(kBuildA, kBuildB);
    const struct { const char* name; std::string bytes; } rows[] = {
        {"not a package", std::string(4000, 'x')},
        {"cut inside an item", package.substr(0, package.size() - 7)},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        SetUp();
        PatcherOptions::Instance().localPatch = false;
        PatcherOptions::Instance().patchServers = {L"http://patches.test/"};
        // What arrives is what was announced: only unpacking finds the damage.
        ScriptedDownloader downloader(row.bytes, int64_t(row.bytes.size()), row.bytes.size());
        LumoPatch::PatchRun run(host(), environment);
        run.SetDownloader(&downloader);
        EXPECT_FALSE(run.Run()) << host().Dump();
        EXPECT_TRUE(host().Has(L"Failed to extract the patch archive.", 3)) << host().Dump();
        const std::vector<std::wstring> errors = host().Texts(3);
        EXPECT_TRUE(std::any_of(errors.begin(), errors.end(), [](const std::wstring& line) {
            return line.starts_with(L"the patch downloaded from http://patches.test/a-b.pkg: ");
        })) << host().Dump();
        for (const std::wstring& line : host().Texts())
        {
            EXPECT_EQ(line.find(FromNativePath(machine().temp)), std::wstring::npos) << host().Dump();
        }
        EXPECT_EQ(machine().DiffFromBuild(kBuildA), "");
    }
}

// cancelAt: the line that cancels ("" before any), null for no cancel.
TEST_F(ChainTest, OnePackageCancelledOrWithoutAnUnpackFolder)
{
    const std::string packagePath = machine().scratch / "a-b.zip";
    fixtures::WriteFile(packagePath, MakePackage(kBuildA, kBuildB));
    const struct { const char* cancelAt; std::string tempParent; int result; std::pair<int, int> gauge; } rows[] = {
        {"", machine().temp, 10, {1, 1}},
        {"Unpacking patch file...", machine().temp, 10, {1, 1}},
        {nullptr, packagePath + "/below", 2, {0, 0}},
    };
    PatcherOptions::Instance().targetVersion = kBuildB;
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.tempParent + " cancel at " + (row.cancelAt ? row.cancelAt : "none"));
        environment.tempParent = FromNativePath(row.tempParent);
        LumoPatch::PatchRun run(host(), environment);
        run.CheckDiskSpace(0);  // takes the temporary parent over
        host().Reset();
        host().cancel = row.cancelAt && !*row.cancelAt;
        host().onLine = [&](int, const std::wstring& text) { if (row.cancelAt && text == FromNativePath(row.cancelAt)) host().cancel = true; };
        EXPECT_EQ(run.ApplyPatch(FromNativePath(packagePath)), row.result);
        EXPECT_EQ(host().Texts(3).size(), row.cancelAt ? 0u : 1u) << host().Dump();
        EXPECT_EQ(host().Gauge(), row.gauge);
        EXPECT_EQ(machine().DiffFromBuild(kBuildA), "");
        std::vector<std::wstring> left;  // the unpack folder is gone again
        EXPECT_TRUE(run.TempBase().empty() || (LumoUtil::ListDirectory(run.TempBase(), left) == LUMORESULT_OK && left.empty()));
    }
}

TEST(ProgressTest, PatchEstimateAndItsGauge)
{
    EXPECT_EQ(LumoPatch::EstimatePatchMinutes(300 << 10), 0u);
    EXPECT_EQ(LumoPatch::EstimatePatchMinutes(1 << 20), 2u);
    EXPECT_EQ(LumoPatch::EstimatePatchMinutes(20 << 20), 10u);
    ObservedHost host;
    {
        LumoPatch::ADBHackProgressThread progress(host, 1, 0);
        progress.Start();
    }
    EXPECT_EQ(host.Gauge(), std::make_pair(2, 1));
    {
        LumoPatch::ADBHackProgressThread progress(host, 100000, 10);
        progress.Start();
        const auto started = std::chrono::steady_clock::now();
        progress.Stop();
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));  // not the 100 s step
    }
    EXPECT_EQ(host.Gauge(), std::make_pair(1200000, 600000));
}

// After its ten minutes the database update's bar stands just short of full for as long as the
// update goes on; full only once it has ended.
TEST(ProgressTest, ALongDatabaseUpdateIsNeverShownFullWhileItRuns)
{
    using LumoPatch::ADBRepairProgressThread;
    const std::pair<int, int> standing(ADBRepairProgressThread::kRange, 1200000);
    ObservedHost host;
    {
        ADBRepairProgressThread progress(host, 1);  // 1 ms of real time a 500 ms step
        ASSERT_TRUE(progress.Start());
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (host.Gauge() != standing && host.Gauge().first != 1 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(host.Gauge(), standing);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a hundred more steps of its clock
        EXPECT_EQ(host.Gauge(), standing);
    }
    EXPECT_EQ(host.Gauge(), std::make_pair(1, 1));
}

}  // namespace
}  // namespace apprun
