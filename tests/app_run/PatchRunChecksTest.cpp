// The run's checks: their order and short-circuit, the files-in-use hold against another process on
// the asset database, and the disk-space decision.

#include "app/run/PatchRun.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>

#include <gtest/gtest.h>

#include "app/core/PatcherOptions.h"
#include "patch/EmbeddedPatchArchive.h"
#include "platform/NativePath.h"
#include "sollex/IPCDatabase.h"
#include "BuildConfig.h"
#include "platform/RunOwner.h"
#include "platform/Spawn.h"
#include "tests/app_run/RecordingHost.h"
#include "tests/app_run/RunFixture.h"
#include "tests/fixtures/ScratchFolder.h"

namespace apprun {
namespace {

class ChecksTest : public ::testing::Test
{
public:
    void SetUp() override
    {
        g_embeddedPatchArchive.Close();
        hostPtr = std::make_unique<ObservedHost>();
        sleeps = 0;
        onSleep = nullptr;
        machine.ResetOptions(kBuildA);
        // Nothing to patch: a run that passes its checks goes straight to the database update.
        PatcherOptions::Instance().localPatch = true;
        environment = RoomyRunEnvironment();
        environment.tempParent = FromNativePath(machine.temp);
        environment.progressStepMs = 1;
        environment.filesInUseIntervalMs = 1;
        environment.sleep = [this](uint32_t) { ++sleeps; if (onSleep) onSleep(sleeps); };
    }

    bool Run() { return LumoPatch::PatchRun(host(), environment).Run(); }

    // The game's executable running from the installation: it cannot be replaced (ETXTBSY).
    void StartGame()
    {
        const std::string path = machine.install + "/bin/Sollex.exe";
        fixtures::WriteFile(path, fixtures::ReadFile("/bin/sleep"));
        chmod(path.c_str(), 0755);
        platform::SpawnRequest request;
        request.argv = {path, "30"};
        game = platform::SpawnedChild::Spawn(request, nullptr);
        ASSERT_TRUE(game);
    }
    void StopGame()
    {
        if (game)
            game->Terminate(9), game->Wait(0xFFFFFFFF), unlink((machine.install + "/bin/Sollex.exe").c_str());
        game.reset();
    }

    std::unique_ptr<platform::SpawnedChild> game;

    RunMachine machine;
    std::unique_ptr<ObservedHost> hostPtr;
    ObservedHost& host() { return *hostPtr; }
    LumoPatch::RunEnvironment environment;
    int sleeps = 0;
    std::function<void(int)> onSleep;
};

TEST_F(ChecksTest, EachCheckStopsTheRunBeforeTheNext)
{
    // errorLine: the one level-3 line, null when the run passes; box: the message box's caption, null for none.
    struct Row { const char* name; std::function<void(ChecksTest&)> arrange; const wchar_t *errorLine, *box; };
    const Row rows[] = {
        {"passes on this system", [](ChecksTest&) {}, nullptr, nullptr},
        {"XP with SP3 passes", [](ChecksTest& t) { t.environment.osInfo = {true, 5, 1, 3}; }, nullptr, nullptr},
        {"5.2 passes", [](ChecksTest& t) { t.environment.osInfo = {true, 5, 2, 0}; }, nullptr, nullptr},
        {"XP with SP2", [](ChecksTest& t) { t.environment.osInfo = {true, 5, 1, 2}; },
         L"requires at least Service Pack 3", nullptr},
        {"no DirectX helper", [](ChecksTest& t) { t.environment.hasDirectX9Helper = false; },
         L"August 2009 release of DirectX9", nullptr},
        {"SP2 is told before DirectX",
         [](ChecksTest& t) { t.environment.osInfo = {true, 5, 1, 0}, t.environment.hasDirectX9Helper = false; },
         L"Service Pack 3", nullptr},
        {"empty install path", [](ChecksTest&) { PatcherOptions::Instance().installPath.clear(); },
         L"No installation folder is known", nullptr},
        {"missing install folder",
         [](ChecksTest& t) { PatcherOptions::Instance().installPath = FromNativePath(t.machine.install + "/gone"); },
         L"does not exist", nullptr},
        {"install path holding a backslash",
         [](ChecksTest& t) { PatcherOptions::Instance().installPath = FromNativePath(t.machine.install + "\\x"); },
         L"\\", nullptr},
        // What cannot be written comes first, then the privileges line.
        {"the game is running", [](ChecksTest& t) { t.StartGame(); }, L"Sollex.exe cannot be opened for writing",
         L"Requires Administrator Privileges"},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        SetUp();
        row.arrange(*this);
        const bool ok = Run();
        StopGame();

        EXPECT_EQ(ok, row.errorLine == nullptr) << host().Dump();
        const std::vector<std::wstring> errors = host().Texts(3);
        if (row.errorLine)
        {
            ASSERT_FALSE(errors.empty()) << host().Dump();
            EXPECT_NE(errors.front().find(row.errorLine), std::wstring::npos) << host().Dump();
            // Nothing after the failed check ran: no files-in-use attempt, no disk check.
            EXPECT_FALSE(host().Has(L"Checking for available disk space"));
            EXPECT_FALSE(host().Has(L"Updating Sollex asset database"));
        }
        else
            EXPECT_TRUE(errors.empty()) << host().Dump();
        EXPECT_EQ(host().ApplyEnabledCount(), 0);
        const auto boxes = host().Messages();
        ASSERT_EQ(boxes.size(), row.box ? 1u : 0u);
        if (row.box) { EXPECT_EQ(boxes[0].second, row.box); }
        // Exactly one outcome line, last.
        const std::vector<std::wstring> texts = host().Texts(1);
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(texts.back(), ok ? L"Patching completed." : L"Patching aborted.");
        IPCDatabaseBlock block{};
        EXPECT_FALSE(IPCReadBlock(block)) << "the run left the database held";
    }
}

TEST_F(ChecksTest, AnotherProgramOnTheDatabaseKeepsTheRunOutUntilItLeaves)
{
    // A tool that hangs while it holds the block's mutex is given up on like one that stays attached.
    const struct
    {
        int releaseAfter;
        bool hangsHoldingTheMutex;
    } cases[] = {{0, false}, {3, false}, {0, true}};
    for (const auto& c : cases)
    {
        const int releaseAfter = c.releaseAfter;
        SCOPED_TRACE(releaseAfter);
        SCOPED_TRACE(c.hangsHoldingTheMutex);
        SetUp();
        IPCSetLockWait(c.hangsHoldingTheMutex ? 20 : kIPCLockWaitMs);
        // A game tool (adb-peer) attached to the database; it lets go when it dies.
        platform::SpawnRequest request;
        request.argv = {"bash", "-c", "exec '" + std::string(LUMO_BIN_DIR) + "/adb-peer' < <(echo 'attach " +
                                          machine.install + "/assets.sdx'; " +
                                          (c.hangsHoldingTheMutex ? "echo lock; " : "") + "sleep 60)"};
        request.captureOutput = true;
        auto tool = platform::SpawnedChild::Spawn(request, nullptr);
        ASSERT_TRUE(tool);
        std::string answers;
        const char* last = c.hangsHoldingTheMutex ? "locked" : "attach";
        for (char ch; answers.find(last) == std::string::npos && tool->ReadOutput(&ch, 1) == 1;)
            answers += ch;
        onSleep = [&](int n) {
            if (n == releaseAfter)
                tool->Terminate(9), tool->Wait(0xFFFFFFFF);
        };
        EXPECT_EQ(Run(), releaseAfter != 0) << host().Dump();
        EXPECT_EQ(sleeps, releaseAfter ? releaseAfter : 5) << "attempts, each followed by its pause";
        EXPECT_EQ(host().Has(L"Unable to patch - files in use.", 3), releaseAfter == 0);
        EXPECT_EQ(host().ApplyEnabledCount(), releaseAfter ? 0 : 1);
        // The run is not left attached.
        IPCDatabaseBlock block{};
        EXPECT_FALSE(IPCReadBlock(block));
        tool->Terminate(9);
    }
    IPCSetLockWait(kIPCLockWaitMs);
}

TEST_F(ChecksTest, DiskSpaceDecidesWhereUnpackingHappens)
{
    const std::wstring install = PatcherOptions::Instance().installPath;
    const std::wstring temp = FromNativePath(machine.temp);
    constexpr uint64_t kRequired = 4096ull << 20;
    constexpr int64_t kUnknown = -1;
    struct Row { const char* name; int64_t tempFree, installFree; bool passes, warns, unpacksInInstall; };
    const Row rows[] = {
        {"both enough", kRequired, kRequired, true, false, false},
        {"install one byte short", kRequired, kRequired - 1, false, false, false},
        {"temp short", kRequired - 1, kRequired, true, false, true},
        {"install unknown", kRequired, kUnknown, true, true, false},
        {"temp unknown", kUnknown, kRequired, true, true, false},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        SetUp();
        environment.freeDiskSpace = [&](const std::wstring& folder, uint64_t& free) {
            const int64_t value = folder == install ? row.installFree : folder == temp ? row.tempFree : -2;
            EXPECT_NE(value, -2) << "asked about " << ToNativePath(folder);
            free = value < 0 ? 0 : static_cast<uint64_t>(value);
            return value >= 0;
        };
        LumoPatch::PatchRun run(host(), environment);
        EXPECT_EQ(run.CheckDiskSpace(4096), row.passes);
        EXPECT_EQ(host().Has(L"unable to determine whether sufficient disk space", 1), row.warns);
        if (row.passes)
        {
            std::wstring folder;
            ASSERT_TRUE(run.PrepareTempDirectory(folder));
            EXPECT_EQ(folder.rfind((row.unpacksInInstall ? install : temp) + L"/", 0), 0u) << ToNativePath(folder);
        }
    }
    // The message names the size asked for.
    SetUp();
    environment.freeDiskSpace = [](const std::wstring&, uint64_t& free) { return free = 0, true; };
    EXPECT_FALSE(Run());
    EXPECT_TRUE(host().Has(L"at least 4096MB are available.", 3)) << host().Dump();
}

// The next run removes the run folders below the installation whose tagged process has ended.
TEST_F(ChecksTest, RunFoldersThatEndedRunsLeftBelowTheInstallationGo)
{
    const pid_t ended = fork();
    if (ended == 0)
        _exit(0);
    waitpid(ended, nullptr, 0);
    const std::string left = "/.sollex-patcher-" + std::to_string(ended) + "-7-Ab12Cd";
    const std::string running = "/.sollex-patcher-" + platform::OwnerTag() + "-Ef34Gh", untagged = "/.sollex-patcher-Ij56Kl";
    for (const std::string& folder : {left, running, untagged})
        fixtures::WriteFile(machine.install + folder + "/file0/x", "unpacked");
    EXPECT_TRUE(Run()) << host().Dump();
    EXPECT_FALSE(fixtures::PathExists(machine.install + left));
    EXPECT_TRUE(fixtures::PathExists(machine.install + running + "/file0/x"));
    EXPECT_TRUE(fixtures::PathExists(machine.install + untagged + "/file0/x"));
}

TEST_F(ChecksTest, RepairModeSkipsTheDiskCheck)
{
    PatcherOptions::Instance().repair = true;
    int asked = 0;
    environment.freeDiskSpace = [&](const std::wstring&, uint64_t& free) { return ++asked, free = 0, true; };
    Run();
    EXPECT_EQ(asked, 0);
    EXPECT_FALSE(host().Has(L"Checking for available disk space"));
}

// The utility that cannot start for the database update is named with the reason, as every
// other start says it: here a script whose "#!" interpreter is missing, not the utility itself.
TEST_F(ChecksTest, UtilityThatCannotStartForTheDatabaseUpdateIsNamedWithTheReason)
{
    const std::string utility = machine.install + "/bin/SollexUtil.exe";
    host().onLine = [&](int, const std::wstring& text) {
        if (text.find(L"Updating Sollex asset database") != std::wstring::npos)
            fixtures::WriteFile(utility, "#!/nonexistent/sh\nexit 0\n");
    };
    Run();
    EXPECT_TRUE(host().Has(L"Failed to launch SollexUtil to repair the Sollex asset database.", 3)) << host().Dump();
    EXPECT_TRUE(host().Has(L"\"" + FromNativePath(utility) +
                               L"\" cannot be started: its interpreter \"/nonexistent/sh\" (named on its \"#!\" line) "
                               L"does not exist",
                           3))
        << host().Dump();
}

TEST(FreeDiskSpaceTest, AsksTheVolumeOfAnExistingFolderOnly)
{
    uint64_t free = 1;
    EXPECT_TRUE(LumoPatch::GetFreeDiskSpace(L"/tmp", free));
    EXPECT_GT(free, 0u);
    EXPECT_FALSE(LumoPatch::GetFreeDiskSpace(L"/no/such/folder", free));
    EXPECT_EQ(free, 0u);
    EXPECT_FALSE(LumoPatch::GetFreeDiskSpace(L"", free));
}

}  // namespace
}  // namespace apprun
