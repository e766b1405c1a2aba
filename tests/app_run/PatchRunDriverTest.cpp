// build/bin/patch-run as a user runs it: the chain A->B->C from an archive appended to a copy of
// it, from an HTTP server and from an FTP server that drops a transfer, each on a fresh
// installation; and the whole run killed at random moments, then run again, never leaving
// anything but a whole build.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <chrono>
#include <map>
#include <random>
#include <thread>

#include <gtest/gtest.h>
#include <zlib.h>

#include "BuildConfig.h"
#include "app/run/PatchRun.h"
#include "platform/Spawn.h"
#include "tests/app_run/RunFixture.h"
#include "tests/fixtures/ArchiveWriter.h"
#include "tests/fixtures/FakeSollexUtil.h"
#include "tests/fixtures/ScopedEnv.h"
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
    // A copy of the driver with A->B (with its faults) and B->C appended.
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

    std::unique_ptr<platform::SpawnedChild> Start(const std::string& program, const std::vector<std::string>& arguments,
                                                  const std::string& workingFolder = "")
    {
        platform::SpawnRequest request;
        request.workingFolder = workingFolder;
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

    DriverResult RunDriver(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& workingFolder = "")
    {
        auto child = Start(program, arguments, workingFolder);
        EXPECT_TRUE(child);
        return child ? Finish(*child) : DriverResult();
    }

    // The child's output up to and including the first line that holds text (all of it at its end).
    static std::string ReadUntil(platform::SpawnedChild& child, const std::string& text)
    {
        std::string seen;
        for (char byte; seen.find(text) == std::string::npos && child.ReadOutput(&byte, 1) == 1;)
            seen += byte;
        for (char byte = 0; byte != '\n' && child.ReadOutput(&byte, 1) == 1;)
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

// The window's -f and -o mean nothing to a run without a window: a wrong command line, before
// anything is looked at.
TEST_F(DriverTest, WindowOnlyOptionsAreRefused)
{
    const std::string patcher = PatcherWithChain();
    const std::vector<std::vector<std::string>> cases = {
        {"-f", "45000"}, {"--final=45000"}, {"-o", "/bin/true"}, {"--onexit=/bin/true"}};
    for (const std::vector<std::string>& options : cases)
    {
        SCOPED_TRACE(options[0]);
        std::vector<std::string> arguments = {"--admin"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        arguments.push_back(machine().install);
        const DriverResult result = RunDriver(patcher, arguments);
        EXPECT_EQ(result.exitCode, 2) << result.output;
        EXPECT_NE(result.output.find("is an option of the patcher's window only\n"), std::string::npos) << result.output;
        EXPECT_NE(result.output.find("--onexit"), std::string::npos) << "the usage follows: " << result.output;
        EXPECT_EQ(machine().DiffFromBuild(kBuildA), "");
        EXPECT_TRUE(machine().UtilityCalls().empty());
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

// A repair prints nothing but "<level>\t<text>" lines on standard output; the libraries' own lines
// (one per checksummed segment) go to standard error.
TEST_F(DriverTest, RepairKeepsStandardOutputForLogLines)
{
    const std::string reference = machine().scratch / "reference";
    for (int i = 0; i < 4; ++i)
        fixtures::WriteFile(reference + "/f" + std::to_string(i), std::string(size_t(1000 + i), char('a' + i)));
    repairtest::RepairServer server(reference, machine().scratch / "server.log");
    ASSERT_NE(server.Port(), 0);
    fixtures::ScopedEnv address("SOLLEX_REPAIR_SERVER", server.HostPort().c_str());
    const std::string out = machine().scratch / "out.txt", err = machine().scratch / "err.txt";
    platform::SpawnRequest request;
    request.argv = {"/bin/sh", "-c",
                    "exec '" + std::string(LUMO_BIN_DIR) + "/patch-run' --admin -r '" + machine().install + "' >'" +
                        out + "' 2>'" + err + "'"};
    setenv("TMPDIR", machine().temp.c_str(), 1);
    auto child = platform::SpawnedChild::Spawn(request, nullptr);
    unsetenv("TMPDIR");
    ASSERT_TRUE(child);
    child->Wait(0xFFFFFFFF);
    const std::string output = fixtures::ReadFile(out), errors = fixtures::ReadFile(err);
    EXPECT_EQ(child->ExitCode(), 0) << output << errors;
    ASSERT_FALSE(output.empty());
    for (size_t start = 0; start < output.size();) {
        const size_t end = output.find('\n', start);
        ASSERT_NE(end, std::string::npos) << output;
        const std::string line = output.substr(start, end - start);
        EXPECT_TRUE(line.size() >= 2 && line[0] >= '0' && line[0] <= '3' && line[1] == '\t') << line;
        start = end + 1;
    }
    EXPECT_NE(errors.find(" Checksum "), std::string::npos) << errors;
}

// A server that takes the connection and says nothing: a stop signal still ends the run at once,
// whether it waits for the list or for the size of a package.
TEST_F(DriverTest, StopSignalEndsTheRunWhileTheServerSaysNothing)
{
    fixtures::ScratchFolder serverRoot;
    nettest::FaultServer server(serverRoot.Path());
    ASSERT_TRUE(server.Ok());
    WriteServerFolder(serverRoot.Path(), server.Url("silent/a-b.pkg"));
    const struct { const char* name; std::string server; const char* waitsAfter; int signal; } cases[] = {
        {"list, SIGINT", server.Url("silent/"), "Searching for patches...", SIGINT},
        {"list, SIGTERM", server.Url("silent/"), "Searching for patches...", SIGTERM},
        {"package size, SIGTERM", server.Url("file/"), "Getting next version", SIGTERM},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        machinePtr = std::make_unique<RunMachine>();
        auto child = Start(std::string(LUMO_BIN_DIR) + "/patch-run", {"--admin", "--server=" + c.server,
                                                                       machine().install});
        ASSERT_TRUE(child);
        std::string seen;
        for (char byte; seen.find(c.waitsAfter) == std::string::npos && child->ReadOutput(&byte, 1) == 1;)
            seen += byte;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto stopped = std::chrono::steady_clock::now();
        ::kill(child->Pid(), c.signal);
        const bool ended = child->Wait(10000);
        EXPECT_TRUE(ended) << "still running 10 s after the signal";
        EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(5));
        if (!ended)
            child->Terminate(9);
        const DriverResult result = Finish(*child);
        EXPECT_EQ(result.exitCode, 1) << seen + result.output;
        EXPECT_TRUE(result.output.ends_with("\n1\tPatching aborted.\n")) << seen + result.output;
        EXPECT_EQ(machine().DiffFromBuild(kBuildA), "");
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
            // Nothing of the killed run stays, in the installation or in the temporary folder.
            EXPECT_EQ(machine().Leftovers(), std::vector<std::string>{});
            LumoPatch::ClearPatchingFlag();
        }
    }
}

std::string RealPath(const std::string& path)
{
    char* real = ::realpath(path.c_str(), nullptr);
    const std::string resolved = real ? real : "";
    std::free(real);
    return resolved;
}

// A patch run holds the installation from its start to its end, a repair likewise: whichever comes
// second ends at once, names the first, and touches nothing.
TEST_F(DriverTest, APatchAndARepairNeverRunOnOneInstallationAtOnce)
{
    const std::string repairTool = std::string(LUMO_BIN_DIR) + "/repair-tool";
    fixtures::ScratchFolder reference;  // what the repair server holds: one file the installation lacks
    fixtures::WriteFile(reference / "extra.txt", "from the repair server");
    {
        SCOPED_TRACE("the patch first");
        const std::string patcher = PatcherWithChain({"", "HANG"});  // its patch tool never ends
        auto patch = Start(patcher, {"--admin", machine().install});
        ASSERT_TRUE(patch);
        const std::string seen = ReadUntil(*patch, "1\tPatching from 43434 to 44088...");
        repairtest::RepairServer server(reference.Path(), machine().scratch / "server.log");
        ASSERT_NE(server.Port(), 0);
        const DriverResult repair = RunDriver(repairTool, {machine().install, server.HostPort()});
        EXPECT_EQ(repair.exitCode, 1) << repair.output;
        EXPECT_EQ(repair.output, "error: The installation " + RealPath(machine().install) +
                                     " is in use by another process (\"" + patcher + " --admin " + machine().install +
                                     "\", process " + std::to_string(patch->Pid()) +
                                     "), which is patching or repairing it; nothing was changed. Try again when it "
                                     "has ended.\n");
        EXPECT_EQ(server.Log().find("summary"), std::string::npos) << server.Log();
        EXPECT_FALSE(fixtures::PathExists(machine().install + "/extra.txt"));
        EXPECT_FALSE(fixtures::PathExists(machine().install + "/repair.cks"));
        ::kill(patch->Pid(), SIGTERM);
        const DriverResult patched = Finish(*patch);
        EXPECT_EQ(patched.exitCode, 1) << seen + patched.output;
        EXPECT_EQ(machine().DiffFromBuild(kBuildA), "");
    }
    {
        SCOPED_TRACE("the repair first");
        machinePtr = std::make_unique<RunMachine>();
        // The server announces its segment and never sends it: the repair stays in the middle.
        repairtest::RepairServer server(reference.Path(), machine().scratch / "server.log", {"--fault", "stall"});
        ASSERT_NE(server.Port(), 0);
        auto repair = Start(repairTool, {machine().install, server.HostPort()});
        ASSERT_TRUE(repair);
        const std::string seen = ReadUntil(*repair, "Connecting to patch servers.");
        const DriverResult patch = RunDriver(PatcherWithChain(), {"--admin", machine().install});
        EXPECT_EQ(patch.exitCode, 1) << patch.output;
        EXPECT_NE(patch.output.find("3\tThe installation " + RealPath(machine().install) +
                                    " is in use by another process (\"" + repairTool + " " + machine().install + " " +
                                    server.HostPort() + "\", process " + std::to_string(repair->Pid()) + ")"),
                  std::string::npos)
            << seen << patch.output;
        EXPECT_TRUE(patch.output.ends_with("\n1\tPatching aborted.\n")) << patch.output;
        EXPECT_EQ(machine().UtilityCalls(), std::vector<std::string>{}) << "the installation was not even asked";
        // The repair's own summary, written before it connected; nothing of the patch.
        EXPECT_EQ(machine().DiffFromBuild(kBuildA), "unexpected: repair.cks\n");
        ::kill(repair->Pid(), SIGKILL);
        Finish(*repair);
    }
}

// A game kept on another disk and linked into place, named in any spelling: the run patches it and
// records every added file once, under the folder's own name; a repair goes through the link too.
TEST_F(DriverTest, AnInstallationReachedThroughALinkIsPatchedUnderItsOwnName)
{
    const std::string games = machine().scratch / "games";
    ASSERT_EQ(::mkdir(games.c_str(), 0755), 0);
    ASSERT_EQ(::symlink(machine().install.c_str(), (games + "/link").c_str()), 0);
    const std::string real = RealPath(machine().install);
    ASSERT_EQ(real, machine().install) << "the fixture's installation is named as the OS names it";

    const DriverResult result = RunDriver(PatcherWithChain(), {"--admin", kBuildA, "../games/./link//"}, games + "/link");
    ExpectCompletedAtC(result);
    for (const auto& [path, count] : UninstallDeletes())
        EXPECT_EQ(path.rfind(real + "/", 0), 0u) << path;

    // The repair names the folder the same way: short, relative, through the link.
    fixtures::ScratchFolder reference;
    fixtures::WriteFile(reference / "data/restored/extra.txt", "from the repair server");
    repairtest::RepairServer server(reference.Path(), machine().scratch / "server.log");
    ASSERT_NE(server.Port(), 0);
    const DriverResult repair =
        RunDriver(std::string(LUMO_BIN_DIR) + "/repair-tool", {"link", server.HostPort()}, games);
    EXPECT_EQ(repair.exitCode, 0) << repair.output;
    EXPECT_EQ(fixtures::ReadFile(machine().install + "/data/restored/extra.txt"), "from the repair server");
}

// What repair-tool refuses before it connects, and the short relative folder it accepts.
TEST_F(DriverTest, RepairToolRefusesAFolderItCannotRepairBeforeConnecting)
{
    fixtures::ScratchFolder reference;
    fixtures::WriteFile(reference / "keep.txt", "kept");
    fixtures::WriteFile(machine().scratch / "cli/keep.txt", "");
    fixtures::WriteFile(machine().scratch / "a-file", "x");
    const struct { const char* name; std::string folder; int exitCode; const char* says; } cases[] = {
        {"short relative folder", "cli", 0, "(1 / 1 segments updated.)"},
        {"missing folder", "gone", 1, "error: The installation folder does not exist: gone\n"},
        {"a file", "a-file", 1, "error: The installation folder \"a-file\" is a file, not a folder.\n"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        repairtest::RepairServer server(reference.Path(), machine().scratch / "server.log");
        ASSERT_NE(server.Port(), 0);
        const DriverResult repair = RunDriver(std::string(LUMO_BIN_DIR) + "/repair-tool", {c.folder, server.HostPort()},
                                              machine().scratch.Path());
        EXPECT_EQ(repair.exitCode, c.exitCode) << repair.output;
        EXPECT_NE(repair.output.find(c.says), std::string::npos) << repair.output;
        if (c.exitCode != 0) {
            EXPECT_EQ(repair.output, c.says);
            EXPECT_EQ(server.Log().find("summary"), std::string::npos) << server.Log();
        }
    }
    EXPECT_EQ(fixtures::ReadFile(machine().scratch / "cli/keep.txt"), "kept");
}

// A run that cannot patch says why, as an error, before the verdict; a failed patch adds no empty
// error lines.
TEST_F(DriverTest, ARunThatCannotPatchSaysWhyFirst)
{
    fixtures::WriteFile(machine().scratch / "a-file", "x");
    const std::string patcher = PatcherWithChain();
    const std::string notApplicable = "This patch file is not applicable to your current installation version.";
    const std::string nothingToDo = "No valid patch operation was specified. Patching aborted.";
    const struct { const char* name; std::vector<std::string> arguments; std::vector<std::string> errors; } cases[] = {
        {"missing", {"--admin", machine().install + "/gone"},
         {"The installation folder does not exist: " + machine().install + "/gone", notApplicable, nothingToDo}},
        {"a file", {"--admin", machine().scratch / "a-file"},
         {"The installation folder \"" + (machine().scratch / "a-file") + "\" is a file, not a folder.", notApplicable,
          nothingToDo}},
        {"none named, none registered", {"--admin"},
         {"No installation folder is known: none was given and the registry names none. Give the installation folder "
          "on the command line, or install the game first.",
          nothingToDo}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const DriverResult result = RunDriver(patcher, c.arguments);
        EXPECT_EQ(result.exitCode, 1);
        std::vector<std::string> errors;
        for (size_t at = result.output.find("3\t"); at != std::string::npos; at = result.output.find("\n3\t", at + 1))
        {
            const size_t start = result.output.find('\t', at) + 1;
            errors.push_back(result.output.substr(start, result.output.find('\n', start) - start));
        }
        EXPECT_EQ(errors, c.errors) << result.output;
    }

    // A journal damaged before intact records: what recovery could not do is said once, and no
    // patch is tried on top of it.
    machinePtr = std::make_unique<RunMachine>();
    const auto line = [](const std::string& payload) {
        char crc[9];
        snprintf(crc, sizeof crc, "%08lx", crc32(0L, reinterpret_cast<const Bytef*>(payload.data()), payload.size()));
        return std::string(crc) + " " + payload + "\n";
    };
    fixtures::WriteFile(machine().install + "/patch.journal",
                        line("BEGIN") + "deadbeef REPLACE version.txt\n" + line("REPLACE readme.txt"));
    const DriverResult damaged = RunDriver(PatcherWithChain(), {"--admin", machine().install});
    EXPECT_EQ(damaged.exitCode, 1);
    EXPECT_EQ(damaged.output.rfind("3\tA patch of " + machine().install + " was interrupted and its recovery could not "
                                   "finish: the patch journal in " + machine().install + " is damaged (line 2)", 0),
              0u)
        << damaged.output;
    EXPECT_EQ(damaged.output.find("is damaged"), damaged.output.rfind("is damaged")) << "said once: " << damaged.output;
    EXPECT_TRUE(damaged.output.ends_with("\n1\tPatching aborted.\n")) << damaged.output;
    EXPECT_EQ(machine().UtilityCalls(), std::vector<std::string>{});

    machinePtr = std::make_unique<RunMachine>();
    const DriverResult failed = RunDriver(PatcherWithChain({"", "EXIT 1"}), {"--admin", machine().install});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_NE(failed.output.find("\n3\tFailed to apply the patch: 43434_to_44088\n"), std::string::npos) << failed.output;
    EXPECT_EQ(failed.output.find("\n3\t\n"), std::string::npos) << failed.output;
    EXPECT_EQ(machine().DiffFromBuild(kBuildA), "");
}

}  // namespace
}  // namespace apprun
