// build/bin/patch-run as a user runs it: the chain A->B->C from an archive appended to a copy of
// it, from an HTTP server and from an FTP server that drops a transfer, each on a fresh
// installation; and the whole run killed at random moments, then run again, never leaving
// anything but a whole build.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "BuildConfig.h"
#include "app/run/PatchRun.h"
#include "platform/Spawn.h"
#include "tests/app_run/RunFixture.h"
#include "tests/fixtures/ArchiveWriter.h"
#include "tests/fixtures/FakeSollexUtil.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/TestServers.h"
#include "tests/fixtures/UninstallLogFixture.h"
#include "tests/lumo_net/RepairServerProcess.h"

namespace apprun {
namespace {

struct DriverResult
{
    int exitCode = -1;
    std::string output;  // "<level>\t<text>" lines
};

class DriverTest : public ::testing::Test
{
public:
    // A copy of the driver with A->B and B->C appended.
    std::string PatcherWithChain(const PackageFaults& firstFaults = {})
    {
        const std::string patcher = machine().scratch / "patcher";
        fixtures::WriteFile(patcher, fixtures::ReadFile(std::string(LUMO_BIN_DIR) + "/patch-run"));
        chmod(patcher.c_str(), 0755);
        fixtures::ArchiveEntry ab, bc;
        ab.source = kBuildA, ab.target = kBuildB, ab.payload = MakePackage(kBuildA, kBuildB, firstFaults);
        bc.source = kBuildB, bc.target = kBuildC, bc.payload = MakePackage(kBuildB, kBuildC);
        fixtures::AppendArchive(patcher, {ab, bc});
        return patcher;
    }

    std::unique_ptr<platform::SpawnedChild> Start(const std::string& program, const std::vector<std::string>& arguments)
    {
        platform::SpawnRequest request;
        request.argv = {program};
        request.argv.insert(request.argv.end(), arguments.begin(), arguments.end());
        request.captureOutput = true;
        setenv("TMPDIR", machine().temp.c_str(), 1);
        auto child = platform::SpawnedChild::Spawn(request, nullptr);
        unsetenv("TMPDIR");
        return child;
    }

    DriverResult Finish(platform::SpawnedChild& child)
    {
        DriverResult result;
        char buffer[4096];
        for (ssize_t n; (n = child.ReadOutput(buffer, sizeof buffer)) > 0;)
            result.output.append(buffer, static_cast<size_t>(n));
        child.Wait(0xFFFFFFFF);
        result.exitCode = child.ExitCode();
        return result;
    }

    DriverResult RunDriver(const std::string& program, const std::vector<std::string>& arguments)
    {
        auto child = Start(program, arguments);
        EXPECT_TRUE(child);
        return child ? Finish(*child) : DriverResult();
    }

    // The child's output up to the first text.
    static std::string ReadUntil(platform::SpawnedChild& child, const std::string& text)
    {
        std::string seen;
        for (char byte; seen.find(text) == std::string::npos && child.ReadOutput(&byte, 1) == 1;)
            seen += byte;
        return seen;
    }

    // Per added path, how many delete records the uninstall log holds for it.
    std::map<std::string, int> UninstallDeletes() const
    {
        std::map<std::string, int> counts;
        const auto log = fixtures::ReadUninstallLogBack(fixtures::ReadFile(machine().install + "/unins000.dat"));
        EXPECT_TRUE(log.ok) << log.error;
        for (const fixtures::UninstallRecord& record : log.records)
        {
            std::string path;
            if (fixtures::DecodeDeleteFileRecord(record, path))
                ++counts[path];
        }
        return counts;
    }

    void ExpectCompletedAtC(const DriverResult& result)
    {
        EXPECT_EQ(result.exitCode, 0) << result.output;
        EXPECT_NE(result.output.find("1\tPatching from 43434 to 44088..."), std::string::npos) << result.output;
        EXPECT_NE(result.output.find("1\tPatching from 44088 to 45000..."), std::string::npos);
        EXPECT_EQ(result.output.find("\n3\t"), std::string::npos) << result.output;
        EXPECT_TRUE(result.output.ends_with("\n1\tPatching completed.\n"));
        EXPECT_EQ(machine().DiffFromBuild(kBuildC), "");
        EXPECT_EQ(machine().Leftovers(), std::vector<std::string>{});
        EXPECT_FALSE(LumoPatch::IsPatchingFlagSet());
        EXPECT_EQ(machine().UtilityCalls(),
                  (std::vector<std::string>{"listbuilds " + machine().install + "/bin/buildList.txt norender",
                                            "closeadbdaemon -nostartadbdaemon norender", "repairdatabase patcher owner=1"}));
        for (const auto& [path, count] : UninstallDeletes())
            EXPECT_EQ(count, 1) << path;
        EXPECT_EQ(UninstallDeletes().size(), 5u);
    }


    RunMachine& machine() const { return *machinePtr; }

    std::unique_ptr<RunMachine> machinePtr = std::make_unique<RunMachine>();
};

TEST_F(DriverTest, AppendedChainOnItsOwnExecutable)
{
    const DriverResult result = RunDriver(PatcherWithChain(), {"--admin", machine().install});
    ExpectCompletedAtC(result);
    EXPECT_NE(result.output.find("1\tThere are no more patches for this build."), std::string::npos);
}

// The window's -f and -o are a wrong command line for a run without a window.
TEST_F(DriverTest, WindowOnlyOptionsAreRefused)
{
    for (const std::string option : {"-f", "-o"})
    {
        const DriverResult result = RunDriver(PatcherWithChain(), {"--admin", option, "45000", machine().install});
        EXPECT_EQ(result.exitCode, 2) << result.output;
        EXPECT_NE(result.output.find("patch-run: " + option + "/--"), std::string::npos) << result.output;  // ... window only
    }
}

// "patches.txt" with the second data URL relative to the server.
void WriteServerFolder(const std::string& root, const std::string& absoluteFirstUrl)
{
    fixtures::WriteFile(root + "/a-b.pkg", MakePackage(kBuildA, kBuildB));
    fixtures::WriteFile(root + "/b-c.pkg", MakePackage(kBuildB, kBuildC));
    fixtures::WriteFile(root + "/patches.txt",
                        std::string("source-version: ") + kBuildA + "\r\ntarget-version: " + kBuildB +
                            "\r\npatch-exe-url: x.exe\r\npatch-data-url: " + absoluteFirstUrl +
                            "\r\n\r\nsource-version: " + kBuildB + "\r\ntarget-version: " + kBuildC +
                            "\r\npatch-exe-url: x.exe\r\npatch-data-url: b-c.pkg\r\n");
}

TEST_F(DriverTest, ChainFromPatchServers)
{
    const std::string plainDriver = std::string(LUMO_BIN_DIR) + "/patch-run";
    {
        SCOPED_TRACE("http");
        const std::string root = machine().scratch / "www";
        fixtures::WriteFile(root + "/keep", "");
        nettest::NginxServer server(root);
        ASSERT_TRUE(server.Ok());
        WriteServerFolder(root, server.Url("a-b.pkg"));
        const DriverResult result = RunDriver(plainDriver, {"--admin", "--server=" + server.Url(""), machine().install});
        ExpectCompletedAtC(result);
        EXPECT_NE(result.output.find("1\tNo (more) patches at server for version: 45000"), std::string::npos);
    }
    {
        SCOPED_TRACE("ftp, one transfer dropped");
        machinePtr = std::make_unique<RunMachine>();
        const std::string root = machine().scratch / "ftp";
        fixtures::WriteFile(root + "/keep", "");
        nettest::FtpServer server(root, machine().scratch / "ftp.log", {"--cut-after", "5000", "--cut-times", "2"});
        ASSERT_TRUE(server.Ok());
        WriteServerFolder(root, server.Url("a-b.pkg"));
        const DriverResult result = RunDriver(plainDriver, {"--admin", "--server=" + server.Url(""), machine().install});
        ExpectCompletedAtC(result);
        EXPECT_NE(server.Log().find("REST 5000"), std::string::npos) << server.Log();
    }
}

TEST_F(DriverTest, CancelDuringADownloadEndsTheRunAtOnceWithTheInstallationUntouched)
{
    fixtures::ScratchFolder serverRoot;
    WriteServerFolder(serverRoot.Path(), "");
    nettest::FaultServer server(serverRoot.Path());
    ASSERT_TRUE(server.Ok());
    // The package's first 100 bytes come, then nothing more.
    WriteServerFolder(serverRoot.Path(), server.Url("stall/100/a-b.pkg"));
    auto child = Start(std::string(LUMO_BIN_DIR) + "/patch-run",
                       {"--admin", "--server=" + server.Url("file/"), machine().install});
    ASSERT_TRUE(child);
    std::string seen;
    for (char byte; seen.find("Downloading patch file...") == std::string::npos && child->ReadOutput(&byte, 1) == 1;)
        seen += byte;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto cancelled = std::chrono::steady_clock::now();
    ::kill(child->Pid(), SIGTERM);  // as "Cancel" in the window
    const DriverResult result = Finish(*child);
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled, std::chrono::seconds(3));
    EXPECT_EQ(result.exitCode, 1) << seen + result.output;
    EXPECT_NE(result.output.find("3\tPatch download failed."), std::string::npos) << seen + result.output;
    EXPECT_TRUE(result.output.ends_with("\n1\tPatching aborted.\n"));
    EXPECT_EQ(machine().DiffFromBuild(kBuildA), "");
    EXPECT_EQ(machine().UtilityCalls().size(), 2u) << "the build query only, no database update";
}

// A repair's standard output holds only "<level>\t<text>" lines; the libraries' lines go to standard error.
TEST_F(DriverTest, RepairKeepsStandardOutputForLogLines)
{
    repairtest::RepairServer server(machine().install, machine().scratch / "server.log");  // the installation as it is
    const DriverResult repair = RunDriver("/bin/sh", {"-c", "SOLLEX_REPAIR_SERVER=" + server.HostPort() + " exec '" LUMO_BIN_DIR
        "/patch-run' --admin -r '" + machine().install + "' 2>'" + machine().scratch / "err.txt'"});
    EXPECT_EQ(repair.exitCode, 0) << repair.output;
    EXPECT_TRUE(std::regex_match(repair.output, std::regex("([0-3]\t[^\n]*\n)+"))) << repair.output;
    EXPECT_NE(fixtures::ReadFile(machine().scratch / "err.txt").find(" Checksum "), std::string::npos);
}

// A server that takes the connection and says nothing: a stop signal still ends the run at once.
TEST_F(DriverTest, StopSignalEndsTheRunWhileTheServerSaysNothing)
{
    nettest::FaultServer server(machine().scratch / "www");
    ASSERT_TRUE(server.Ok());
    WriteServerFolder(machine().scratch / "www", server.Url("silent/a-b.pkg"));
    const struct { std::string server; const char* waitsAfter; int signal; } cases[] = {
        {server.Url("silent/"), "Searching for patches...", SIGINT},  // waits for the list
        {server.Url("file/"), "Getting next version", SIGTERM},       // waits for a package's size
    };
    for (const auto& c : cases)
    {
        auto child = Start(std::string(LUMO_BIN_DIR) + "/patch-run", {"--admin", "--server=" + c.server, machine().install});
        ASSERT_TRUE(child);
        const std::string seen = ReadUntil(*child, c.waitsAfter);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ::kill(child->Pid(), c.signal);
        EXPECT_TRUE(child->Wait(10000) || !child->Terminate(9)) << "still running (now killed) 10 s after the signal";
        const DriverResult result = Finish(*child);
        EXPECT_TRUE(result.output.ends_with("\n1\tPatching aborted.\n")) << seen + result.output;
        EXPECT_EQ(machine().Leftovers(), std::vector<std::string>{});
    }
}

TEST_F(DriverTest, KilledAnywhereLeavesAWholeBuildAndTheNextRunFinishes)
{
    const std::string patcherBytes = fixtures::ReadFile(PatcherWithChain());
    fixtures::ScratchFolder serverRoot;
    fixtures::WriteFile(serverRoot / "keep", "");
    nettest::NginxServer server(serverRoot.Path());
    ASSERT_TRUE(server.Ok());
    WriteServerFolder(serverRoot.Path(), server.Url("a-b.pkg"));
    struct Road { const char* name; bool appended /* else from the server */; int kills; };
    // Slow enough that kills land in every phase: a utility that takes its time.
    const std::map<std::string, std::string> slowUtility = {{"repairdatabase.lines", "4"},
                                                            {"repairdatabase.delay_ms", "40"}};
    for (const Road& road : {Road{"appended", true, 30}, Road{"http", false, 10}})
    {
        SCOPED_TRACE(road.name);
        // A fresh machine and its patcher; the arguments of a run on it.
        auto prepare = [&] {
            machinePtr = std::make_unique<RunMachine>();
            machine().SetUtility(slowUtility);
            const std::string copy = machine().scratch / "patcher";
            fixtures::WriteFile(copy, road.appended ? patcherBytes
                                                    : fixtures::ReadFile(std::string(LUMO_BIN_DIR) + "/patch-run"));
            chmod(copy.c_str(), 0755);
            return road.appended ? std::vector<std::string>{"--admin", machine().install}
                                 : std::vector<std::string>{"--admin", "--server=" + server.Url(""), machine().install};
        };
        std::vector<std::string> arguments = prepare();
        const DriverResult full = RunDriver(machine().scratch / "patcher", arguments);
        ASSERT_EQ(full.exitCode, 0) << full.output;
        const size_t lines = std::count(full.output.begin(), full.output.end(), '\n');

        // Each kill lands after a chosen line of the run's output (spread over the whole run, so
        // every phase is met) and a few random milliseconds more.
        std::mt19937 random(20261207);
        for (int kill = 0; kill < road.kills; ++kill)
        {
            arguments = prepare();
            const std::string patcher = machine().scratch / "patcher";
            const size_t afterLine = lines * kill / road.kills;
            const auto delay = std::chrono::microseconds(random() % 4000);
            SCOPED_TRACE("kill after line " + std::to_string(afterLine) + " and " + std::to_string(delay.count()) + " us");
            auto child = Start(patcher, arguments);
            ASSERT_TRUE(child);
            size_t seen = 0;
            for (char byte = 0; seen < afterLine && child->ReadOutput(&byte, 1) == 1;)
                seen += byte == '\n';
            std::this_thread::sleep_for(delay);
            ::kill(child->Pid(), SIGKILL);
            Finish(*child);

            bool whole = false;
            for (const char* build : {kBuildA, kBuildB, kBuildC})
                whole = whole || machine().DiffFromBuild(build).empty();
            // A kill inside a patch leaves its journal: the next start puts the build back first.
            EXPECT_TRUE(whole || fixtures::PathExists(machine().install + "/patch.journal"))
                << "neither a whole build nor a journal; against A:\n" << machine().DiffFromBuild(kBuildA);

            const DriverResult again = RunDriver(patcher, arguments);
            EXPECT_EQ(machine().DiffFromBuild(kBuildC), "") << again.output;
            // At C already, no appended patch applies any more; otherwise the run completes.
            if (again.exitCode != 0) {
                EXPECT_TRUE(road.appended);
                EXPECT_NE(again.output.find("This patch file is not applicable"), std::string::npos) << again.output;
            }
            EXPECT_FALSE(LumoPatch::IsPatchingFlagSet() && again.exitCode == 0);
            for (const auto& [path, count] : UninstallDeletes())
                EXPECT_EQ(count, 1) << path;
            EXPECT_EQ(machine().Leftovers(), std::vector<std::string>{});
            LumoPatch::ClearPatchingFlag();
        }
    }
}

// A game linked into place and named in any spelling is patched, and recorded, under its own name.
TEST_F(DriverTest, AnInstallationReachedThroughALinkIsPatchedUnderItsOwnName)
{
    ASSERT_EQ(::symlink(machine().install.c_str(), (machine().scratch / "link").c_str()), 0);
    ExpectCompletedAtC(RunDriver("/bin/sh", {"-c", "cd '" + machine().scratch / "link' && exec '" + PatcherWithChain() +
                                                       "' --admin " + kBuildA + " ../link/./"}));
    for (const auto& [path, count] : UninstallDeletes())
        EXPECT_EQ(path.rfind(machine().install + "/", 0), 0u) << path;
}

// repair-tool repairs a short relative folder, and refuses before it connects a missing one, a file, or
// an installation a patch runs on (naming the patch, so the two never run on one installation at once).
TEST_F(DriverTest, RepairToolRefusesAFolderItCannotRepairBeforeConnecting)
{
    fixtures::WriteFile(machine().scratch / "cli/keep.txt", "");
    const std::string patcher = PatcherWithChain({"", "HANG"});  // its patch tool never ends
    auto patch = Start(patcher, {"--admin", machine().install});
    ASSERT_TRUE(patch);
    ReadUntil(*patch, "1\tPatching from 43434 to 44088...");
    const struct { std::string folder; int exitCode; std::string says; } cases[] = {
        {"cli", 0, " segments updated.)"},
        {"gone", 1, "error: The installation folder does not exist: gone\n"},
        {"patcher", 1, "error: The installation folder \"patcher\" is a file, not a folder.\n"},
        {machine().install, 1, " is in use by another process (\"" + patcher + " --admin " + machine().install +
                                   "\", process " + std::to_string(patch->Pid()) + ")"},
    };
    for (const auto& c : cases)
    {
        repairtest::RepairServer server(machine().install, machine().scratch / "server.log");  // serves the installation
        const DriverResult repair = RunDriver("/bin/sh", {"-c", "cd '" + machine().scratch.Path() + "' && exec '" LUMO_BIN_DIR
                                                                "/repair-tool' '" + c.folder + "' " + server.HostPort()});
        EXPECT_EQ(repair.exitCode, c.exitCode) << repair.output;
        EXPECT_NE(repair.output.find(c.says), std::string::npos) << repair.output;
        EXPECT_EQ(server.Log().find("summary") != std::string::npos, c.exitCode == 0) << "connected: " << server.Log();
    }
    ::kill(patch->Pid(), SIGTERM);
    Finish(*patch);
}

// The installation's tool folder spelt "Bin": the utility, the patch tool and the converter are
// found in it, and the chain completes.
TEST_F(DriverTest, AToolFolderInAnotherCaseIsUsed)
{
    ASSERT_EQ(rename((machine().install + "/bin").c_str(), (machine().install + "/Bin").c_str()), 0);
    const DriverResult result = RunDriver(PatcherWithChain(), {"--admin", machine().install});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(result.output.find("\n3\t"), std::string::npos) << result.output;
    EXPECT_TRUE(result.output.ends_with("\n1\tPatching completed.\n")) << result.output;
    EXPECT_FALSE(fixtures::PathExists(machine().install + "/bin"));
    ASSERT_EQ(rename((machine().install + "/Bin").c_str(), (machine().install + "/bin").c_str()), 0);
    EXPECT_EQ(machine().DiffFromBuild(kBuildC), "");
    const std::vector<std::string> calls = machine().UtilityCalls();
    ASSERT_FALSE(calls.empty()) << "the utility was not found";
    EXPECT_EQ(calls.back(), "repairdatabase patcher owner=1");
}

// A Windows program where the patch tool should be (a file that starts with "MZ" and goes on with
// shell lines) is not run, by the kernel or a shell: the patch fails with that reason and is
// rolled back.
TEST_F(DriverTest, AWindowsProgramAsThePatchToolIsNotRun)
{
    const std::string marker = machine().scratch / "marker";
    const std::string tool = machine().install + "/bin/kpatchl-w32.exe";
    fixtures::WriteFile(tool, std::string("MZ\x90\x00\x03\x00\ntouch '", 14) + marker + "'; exit 0\n");
    chmod(tool.c_str(), 0755);
    const DriverResult result = RunDriver(PatcherWithChain(), {"--admin", machine().install});
    EXPECT_EQ(result.exitCode, 1) << result.output;
    EXPECT_FALSE(fixtures::PathExists(marker)) << "the tool was run as a shell script";
    EXPECT_NE(result.output.find("\n3\t\"" + tool + "\" is not a Linux program (Exec format error)\n"), std::string::npos)
        << result.output;
    EXPECT_EQ(result.output.find("Failed to compute the checksum"), std::string::npos) << result.output;
    EXPECT_EQ(machine().DiffFromBuild(kBuildA), "");
}

// A run that cannot patch says why as its first error, before "not applicable".
TEST_F(DriverTest, ARunThatCannotPatchSaysWhyFirst)
{
    const std::string output = RunDriver(PatcherWithChain(), {"--admin", machine().install + "/gone"}).output;
    ASSERT_NE(output.find("3\t"), std::string::npos) << output;
    EXPECT_EQ(output.find("3\t"), output.find("3\tThe installation folder does not exist: " + machine().install + "/gone\n"));
}

}  // namespace
}  // namespace apprun
