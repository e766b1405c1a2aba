// build/bin/patch-run as a user runs it: the chain A->B->C from an archive appended to a copy of
// it, from an HTTP server and from an FTP server that drops a transfer, each on a fresh
// installation; and the whole run killed at random moments, then run again, never leaving
// anything but a whole build.

#include <signal.h>
#include <sys/stat.h>
#include <string.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "BuildConfig.h"
#include "app/run/PatchRun.h"
#include "lumo/diagnostics/CrashDumpReader.h"
#include "platform/NativePath.h"
#include "platform/Registry.h"
#include "platform/RunOwner.h"
#include "platform/Spawn.h"
#include "tests/app_run/RunFixture.h"
#include "tests/fixtures/ArchiveWriter.h"
#include "tests/fixtures/FakeSollexUtil.h"
#include "tests/fixtures/GroupedChild.h"
#include "tests/fixtures/ScopedEnv.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/TestServers.h"
#include "tests/fixtures/UninstallLogFixture.h"
#include "tests/fixtures/WaitFor.h"
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

    // The program and what it starts end with the test, however the test ends.
    fixtures::GroupedChild Start(const std::string& program, const std::vector<std::string>& arguments)
    {
        platform::SpawnRequest request;
        request.argv = {program};
        request.argv.insert(request.argv.end(), arguments.begin(), arguments.end());
        request.captureOutput = true;
        // The child's TMPDIR only: this process's own goes back as it was, or every later test's
        // scratch folder would land outside the TMPDIR the tests were given.
        const fixtures::ScopedEnv temp("TMPDIR", machine().temp.c_str());
        return fixtures::GroupedChild::Start(request);
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
    SKIP_WITHOUT_ROOM_FOR_A_PATCH(machine());
    const DriverResult result = RunDriver(PatcherWithChain(), {"--admin", machine().install});
    ExpectCompletedAtC(result);
    EXPECT_NE(result.output.find("1\tThere are no more patches for this build."), std::string::npos);
}

// The window's -f and -o are a wrong command line for a run without a window, and so is an empty
// installation folder (an unset variable): the usage that follows names the program and lists
// neither option.
TEST_F(DriverTest, WindowOnlyOptionsAndAnEmptyFolderAreRefused)
{
    // The registry names the installation: an empty argument must not fall back to it.
    platform::RegistryKey edition;
    ASSERT_EQ(edition.Create(platform::RegistryHive::LocalMachine, L"SOFTWARE\\Kestin\\Products\\SollexSimulator\\Demo",
                             platform::kKeyAllAccess), 0u);
    ASSERT_EQ(edition.SetString(L"ProductClass", L"Sollex"), 0u);
    ASSERT_EQ(edition.SetString(L"ProductInstallPath", FromNativePath(machine().install)), 0u);
    edition.Close();
    const struct { std::vector<std::string> arguments; std::string says; } cases[] = {
        {{"-f", "45000", machine().install}, "-f/--final is an option of the patcher's window only"},
        {{"-o", "x", machine().install}, "-o/--onexit is an option of the patcher's window only"},
        {{kBuildA, ""}, "The parameter 'target_directory' must not be empty"},
        {{""}, "The parameter 'target_directory' must not be empty"},
        {{"   "}, "The parameter 'target_directory' must not be only blanks"},
        {{" \t", machine().install}, "The parameter 'current_install_version' must not be only blanks"},
        {{"-s", "", machine().install}, "The option 'server' must name a patch server"},
        {{"--server=http://127.0.0.1:1/", "--server= ", machine().install}, "The option 'server' must name a patch server"},
        {{"-l", " ", machine().install}, "The option 'list' must name a file of patch servers"},
    };
    const std::string patcher = PatcherWithChain();
    for (const auto& c : cases)
    {
        std::vector<std::string> arguments = {"--admin"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        std::string command = "exec '" + patcher + "'";
        for (const std::string& argument : arguments)
            command += " '" + argument + "'";
        const DriverResult result = RunDriver("/bin/sh", {"-c", command + " 2>&1"});
        EXPECT_EQ(result.exitCode, 2) << result.output;
        // What is wrong first, in one line, then the usage.
        const std::string says = "patch-run: wrong command line: " + c.says + "\nusage: patcher [-h] ";
        EXPECT_EQ(result.output.rfind(says, 0), 0u) << result.output;
        EXPECT_EQ(result.output.find("--final", says.size()), std::string::npos) << result.output;
        EXPECT_EQ(result.output.find("--onexit", says.size()), std::string::npos) << result.output;
        EXPECT_EQ(machine().DiffFromBuild(kBuildA), "");
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

// A folder that cannot be read as an installation is said as such, once, and nothing follows about
// patches that do not apply; a run from a server with a build named does not touch such a folder.
TEST_F(DriverTest, AFolderThatHoldsNoInstallationIsSaidAsSuchAndLeftAlone)
{
    fixtures::WriteFile(machine().scratch / "a-file", "x");
    fixtures::WriteFile(machine().scratch / "empty/docs/readme.txt", "not a game");
    const std::string empty = machine().scratch / "empty";
    const struct { std::string folder; std::string says; } cases[] = {
        {"/", "3\tThe folder / holds no Sollex installation: it has no /bin/SollexUtil.exe.\n"},
        {empty, "3\tThe folder " + empty + " holds no Sollex installation: it has no " + empty + "/bin/SollexUtil.exe.\n"},
        {machine().scratch / "gone", "3\tThe installation folder does not exist: " + machine().scratch / "gone\n"},
        {machine().scratch / "a-file", "3\tThe installation folder \"" + machine().scratch / "a-file\" is a file, not a folder.\n"},
    };
    const std::string patcher = PatcherWithChain();
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.folder);
        const DriverResult result = RunDriver(patcher, {"--admin", c.folder});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_TRUE(result.output.ends_with(c.says + "3\tNo valid patch operation was specified. Patching aborted.\n"))
            << result.output;
        const std::regex errorLine("(^|\n)3\t");
        EXPECT_EQ(std::distance(std::sregex_iterator(result.output.begin(), result.output.end(), errorLine),
                                std::sregex_iterator()), 2) << "one reason only:\n" << result.output;
    }
    // A server, and the build to patch from named: the run stops before it asks the server.
    nettest::FaultServer server(machine().scratch / "www");
    ASSERT_TRUE(server.Ok());
    WriteServerFolder(machine().scratch / "www", server.Url("file/a-b.pkg"));
    const fixtures::TreeContent before = fixtures::SnapshotTree(empty);
    const DriverResult result =
        RunDriver(std::string(LUMO_BIN_DIR) + "/patch-run", {"--admin", "--server=" + server.Url("file/"), kBuildA, empty});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.output.ends_with(cases[1].says + "1\tPatching aborted.\n")) << result.output;
    EXPECT_EQ(result.output.find("Searching for patches"), std::string::npos) << result.output;
    EXPECT_EQ(fixtures::DescribeTreeDifference(before, fixtures::SnapshotTree(empty)), "");
}

// A utility that reports no build: nothing can be looked for on the server, and finding "no patch"
// for an unknown build is no completed run.
TEST_F(DriverTest, ARunFromAServerWithoutAnInstalledBuildFailsAndChangesNothing)
{
    SKIP_WITHOUT_ROOM_FOR_A_PATCH(machine());
    machine().SetUtility({{"builds", ""}});
    nettest::FaultServer server(machine().scratch / "www");
    ASSERT_TRUE(server.Ok());
    WriteServerFolder(machine().scratch / "www", server.Url("file/a-b.pkg"));
    const DriverResult result =
        RunDriver(std::string(LUMO_BIN_DIR) + "/patch-run", {"--admin", "--server=" + server.Url("file/"), machine().install});
    EXPECT_EQ(result.exitCode, 1) << result.output;
    EXPECT_TRUE(result.output.ends_with("3\tThe installation's build could not be read, so no patch can be chosen for "
                                        "it; nothing was changed.\n1\tPatching aborted.\n")) << result.output;
    EXPECT_EQ(result.output.find("No (more) patches"), std::string::npos) << result.output;
    EXPECT_EQ(machine().DiffFromBuild(kBuildA), "");
}

TEST_F(DriverTest, ChainFromPatchServers)
{
    SKIP_WITHOUT_ROOM_FOR_A_PATCH(machine());
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
    SKIP_WITHOUT_ROOM_FOR_A_PATCH(machine());
    fixtures::ScratchFolder serverRoot;
    WriteServerFolder(serverRoot.Path(), "");
    nettest::FaultServer server(serverRoot.Path(), nullptr, serverRoot / "requests.log");
    ASSERT_TRUE(server.Ok());
    // The package's first 100 bytes come, then nothing more.
    WriteServerFolder(serverRoot.Path(), server.Url("stall/100/a-b.pkg"));
    auto child = Start(std::string(LUMO_BIN_DIR) + "/patch-run",
                       {"--admin", "--server=" + server.Url("file/"), machine().install});
    ASSERT_TRUE(child);
    std::string seen;
    for (char byte; seen.find("Downloading patch file...") == std::string::npos && child->ReadOutput(&byte, 1) == 1;)
        seen += byte;
    // Stopped once the download's request has reached the server (the size query asked first).
    const auto requests = [&] {
        const std::string log = server.Log();
        size_t count = 0;
        for (size_t at = log.find("GET /stall/100/a-b.pkg"); at != std::string::npos; at = log.find("GET /stall/100/a-b.pkg", at + 1))
            ++count;
        return count;
    };
    ASSERT_TRUE(fixtures::WaitFor([&] { return requests() >= 2; })) << server.Log();
    const auto cancelled = std::chrono::steady_clock::now();
    ::kill(child->Pid(), SIGTERM);  // as "Cancel" in the window
    const DriverResult result = Finish(*child);
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled, std::chrono::seconds(30));  // not the stall's minute
    EXPECT_EQ(result.exitCode, 1) << seen + result.output;
    // The stop is the reason, not the download or its server.
    EXPECT_TRUE(result.output.ends_with("3\tThe run was stopped by SIGTERM before the patch from 43434 to 44088 "
                                        "changed any file: the installation is at build 43434.\n1\tPatching aborted.\n"))
        << seen + result.output;
    EXPECT_EQ(result.output.find("download"), std::string::npos) << result.output;
    EXPECT_EQ(machine().DiffFromBuild(kBuildA), "");
    EXPECT_EQ(machine().UtilityCalls().size(), 2u) << "the build query only, no database update";
}

// A stop signal while the patch tool works, in the chain's second patch: the tool is ended, every
// file of that patch is put back, and the run says which signal stopped it and where the
// installation stands, not that the patch failed.
TEST_F(DriverTest, AStopSignalDuringThePatchToolIsSaidAsSuch)
{
    SKIP_WITHOUT_ROOM_FOR_A_PATCH(machine());
    for (const int signal : {SIGTERM, SIGQUIT, SIGHUP})
    {
        SCOPED_TRACE(strsignal(signal));
        machinePtr = std::make_unique<RunMachine>();
        const std::string patcher = machine().scratch / "patcher";
        fixtures::ArchiveEntry ab, bc;
        ab.source = kBuildA, ab.target = kBuildB, ab.payload = MakePackage(kBuildA, kBuildB);
        bc.source = kBuildB, bc.target = kBuildC, bc.payload = MakePackage(kBuildB, kBuildC, {"", "HANG"});
        fixtures::WriteFile(patcher, fixtures::ReadFile(std::string(LUMO_BIN_DIR) + "/patch-run"));
        chmod(patcher.c_str(), 0755);
        fixtures::AppendArchive(patcher, {ab, bc});
        auto child = Start(patcher, {"--admin", machine().install});
        ASSERT_TRUE(child);
        const std::string seen = ReadUntil(*child, "1\tPatching from 44088 to 45000...");
        // Stopped once the second patch has changed files (its journal and backups are there).
        ASSERT_TRUE(fixtures::WaitFor([&] { return fixtures::PathExists(machine().install + "/patch.journal"); }));
        ::kill(child->Pid(), signal);
        const DriverResult result = Finish(*child);
        EXPECT_EQ(result.exitCode, 1) << seen + result.output;
        // The first patch went in: the database still needs its update, and the installation keeps
        // that fact for the next start.
        EXPECT_TRUE(result.output.ends_with(std::string("3\tThe run was stopped by ") + SignalName(signal) +
                                            "; every file the patch from 44088 to 45000 had changed was put back: "
                                            "the installation is at build 44088.\n3\tThe asset database still needs "
                                            "an update for the patches this run installed. The asset database has not "
                                            "been rebuilt: please repair it manually from Asset Desk, or run "
                                            "\"SollexUtil.exe repairdatabase patcher\" in " + machine().install +
                                            "/bin.\n1\tPatching aborted.\n"))
            << seen + result.output;
        EXPECT_EQ(result.output.find("Failed to apply the patch"), std::string::npos) << result.output;
        EXPECT_EQ(machine().DiffFromBuild(kBuildB), "");
        EXPECT_EQ(machine().Leftovers(), std::vector<std::string>{"game/patch.dbstopped"});
    }
}

// A repair's standard output holds only "<level>\t<text>" lines; the libraries' lines go to standard error.
// The scan's line for each segment is a developer's trace: only on the debug channel
// (LUMO_DEBUG_OUTPUT), naming the segment with "/" between its parts.
TEST_F(DriverTest, RepairKeepsStandardOutputForLogLines)
{
    repairtest::RepairServer server(machine().install, machine().scratch / "server.log");  // the installation as it is
    for (const char* debug : {"0", "1"})
    {
        SCOPED_TRACE(debug);
        ::unlink((machine().install + "/repair.cks").c_str());  // every segment is read again
        const DriverResult repair = RunDriver("/bin/sh", {"-c", "LUMO_DEBUG_OUTPUT=" + std::string(debug) +
            " SOLLEX_REPAIR_SERVER=" + server.HostPort() + " exec '" LUMO_BIN_DIR "/patch-run' --admin -r '" +
            machine().install + "' 2>'" + machine().scratch / "err.txt'"});
        EXPECT_EQ(repair.exitCode, 0) << repair.output;
        EXPECT_TRUE(std::regex_match(repair.output, std::regex("([0-3]\t[^\n]*\n)+"))) << repair.output;
        const std::string err = fixtures::ReadFile(machine().scratch / "err.txt");
        if (std::string(debug) == "0")
        {
            EXPECT_EQ(err.find(" Checksum "), std::string::npos) << err;
            continue;
        }
        EXPECT_NE(err.find(" Checksum " + machine().install + "/bin/SollexUtil.exe#000 ..\n"), std::string::npos) << err;
        EXPECT_EQ(err.find('\\'), std::string::npos) << err;
    }
}

// A server that takes the connection and says nothing: a stop signal still ends the run at once.
TEST_F(DriverTest, StopSignalEndsTheRunWhileTheServerSaysNothing)
{
    SKIP_WITHOUT_ROOM_FOR_A_PATCH(machine());
    nettest::FaultServer server(machine().scratch / "www", nullptr, machine().scratch / "requests.log");
    ASSERT_TRUE(server.Ok());
    WriteServerFolder(machine().scratch / "www", server.Url("silent/a-b.pkg"));
    const struct { std::string server; const char* waitsAfter; int signal; } cases[] = {
        {server.Url("silent/"), "Searching for patches...", SIGINT},  // waits for the list
        {server.Url("file/"), "Getting next version", SIGTERM},       // waits for a package's size
    };
    // How many requests the server never answers it has had.
    const auto unanswered = [&] {
        const std::string log = server.Log();
        size_t count = 0;
        for (size_t at = log.find("GET /silent/"); at != std::string::npos; at = log.find("GET /silent/", at + 1))
            ++count;
        return count;
    };
    for (const auto& c : cases)
    {
        const size_t before = unanswered();
        auto child = Start(std::string(LUMO_BIN_DIR) + "/patch-run", {"--admin", "--server=" + c.server, machine().install});
        ASSERT_TRUE(child);
        const std::string seen = ReadUntil(*child, c.waitsAfter);
        // Stopped once this run's request that is never answered has reached the server: the run waits then.
        ASSERT_TRUE(fixtures::WaitFor([&] { return unanswered() > before; })) << server.Log();
        ::kill(child->Pid(), c.signal);
        EXPECT_TRUE(child->Wait(10000) || !child->Terminate(9)) << "still running (now killed) 10 s after the signal";
        const DriverResult result = Finish(*child);
        EXPECT_TRUE(result.output.ends_with("\n1\tPatching aborted.\n")) << seen + result.output;
        EXPECT_EQ(machine().Leftovers(), std::vector<std::string>{});
    }
}

TEST_F(DriverTest, KilledAnywhereLeavesAWholeBuildAndTheNextRunFinishes)
{
    SKIP_WITHOUT_ROOM_FOR_A_PATCH(machine());
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
            // A kill after a patch went in and before the database update ended leaves its note
            // (said by the next start) until an update has ended: a run that completes has ended one.
            std::vector<std::string> left = machine().Leftovers();
            const bool noted = std::erase_if(left, [](const std::string& path) {
                                   return path.rfind("game/patch.dbstopped", 0) == 0;
                               }) > 0;
            EXPECT_EQ(left, std::vector<std::string>{});
            EXPECT_FALSE(noted && again.exitCode == 0) << again.output;
            if (noted) {
                EXPECT_NE(again.output.find("3\tAn earlier patch run ended before its asset database update did."),
                          std::string::npos) << again.output;
            }
            LumoPatch::ClearPatchingFlag();
        }
    }
}

// A kill after any action of the first patch (the test-mode kill hook, so every step from the
// journal's first record to its removal is met, the COMMIT record and the backups' removal
// included): whenever the next take of the installation finds the patch in, it says that the
// database still needs its update, and no temporary twin of the note stays.
TEST_F(DriverTest, AKillOnceThePatchIsInAlwaysLeavesTheDatabaseNote)
{
    SKIP_WITHOUT_ROOM_FOR_A_PATCH(machine());
    // The one patch A->B appended: every kill lands in it.
    std::string patcherBytes = fixtures::ReadFile(std::string(LUMO_BIN_DIR) + "/patch-run");
    {
        const std::string patcher = machine().scratch / "patcher";
        fixtures::WriteFile(patcher, patcherBytes);
        fixtures::ArchiveEntry ab;
        ab.source = kBuildA, ab.target = kBuildB, ab.payload = MakePackage(kBuildA, kBuildB);
        fixtures::AppendArchive(patcher, {ab});
        patcherBytes = fixtures::ReadFile(patcher);
    }
    const std::string notice = "3\tAn earlier patch run ended before its asset database update did.";
    int patchedKills = 0;
    bool completed = false;
    for (int n = 1; n < 400 && !completed; ++n)
    {
        SCOPED_TRACE("killed after action " + std::to_string(n));
        machinePtr = std::make_unique<RunMachine>();
        const std::string patcher = machine().scratch / "patcher";
        fixtures::WriteFile(patcher, patcherBytes);
        chmod(patcher.c_str(), 0755);
        DriverResult killed;
        {
            const fixtures::ScopedEnv mode("LUMO_TEST_MODE", "1");
            const fixtures::ScopedEnv after("LUMO_PATCH_KILL_AFTER", std::to_string(n).c_str());
            killed = RunDriver(patcher, {"--admin", machine().install});
        }
        if (killed.exitCode == 0) {  // past the chain's last action: the run ended by itself
            completed = true;
            break;
        }
        ASSERT_EQ(killed.exitCode, 128 + SIGKILL) << killed.output;
        // The next take (a run with nothing to apply) puts the patch right first, then speaks.
        const DriverResult next = RunDriver(LUMO_BIN_DIR "/patch-run", {"--admin", machine().install});
        const bool atA = machine().DiffFromBuild(kBuildA).empty();
        const bool patched = machine().DiffFromBuild(kBuildB).empty();
        ASSERT_TRUE(atA || patched) << next.output;
        patchedKills += patched;
        if (patched) {
            EXPECT_NE(next.output.find(notice), std::string::npos) << next.output;
        }
        EXPECT_FALSE(fixtures::PathExists(machine().install + "/patch.dbstopped.new"));
        std::vector<std::string> left = machine().Leftovers();
        std::erase(left, std::string("game/patch.dbstopped"));
        EXPECT_EQ(left, std::vector<std::string>{});
        LumoPatch::ClearPatchingFlag();
    }
    EXPECT_TRUE(completed);
    EXPECT_GT(patchedKills, 0);

    // A kill between the note's bytes and its rename leaves only its temporary twin: the next take
    // makes it the note (the update it stood for had begun), and it is said.
    machinePtr = std::make_unique<RunMachine>();
    fixtures::WriteFile(machine().install + "/patch.dbstopped.new", "asset data");
    const DriverResult next = RunDriver(LUMO_BIN_DIR "/patch-run", {"--admin", machine().install});
    EXPECT_NE(next.output.find(notice), std::string::npos) << next.output;
    EXPECT_FALSE(fixtures::PathExists(machine().install + "/patch.dbstopped.new"));
    EXPECT_EQ(machine().Leftovers(), std::vector<std::string>{"game/patch.dbstopped"});
}

// A game linked into place and named in any spelling is patched, and recorded, under its own name.
TEST_F(DriverTest, AnInstallationReachedThroughALinkIsPatchedUnderItsOwnName)
{
    SKIP_WITHOUT_ROOM_FOR_A_PATCH(machine());
    ASSERT_EQ(::symlink(machine().install.c_str(), (machine().scratch / "link").c_str()), 0);
    ExpectCompletedAtC(RunDriver("/bin/sh", {"-c", "cd '" + machine().scratch / "link' && exec '" + PatcherWithChain() +
                                                       "' --admin " + kBuildA + " ../link/./"}));
    for (const auto& [path, count] : UninstallDeletes())
        EXPECT_EQ(path.rfind(machine().install + "/", 0), 0u) << path;
}

// Each thread a driver starts is refused in turn (the first, the second, ... until a run asks for no
// more), as the system refuses one when it has none to give. The driver never ends through
// std::terminate: a thread the work needs ends the run with a line naming the refusal and status 1;
// one it can do without (a gauge, a watchdog, one more helper) lets the run finish, and a patch
// ends at a whole build either way. The library preloaded refuses the Nth pthread_create.
TEST_F(DriverTest, EveryThreadADriverStartsMayBeRefused)
{
    SKIP_WITHOUT_ROOM_FOR_A_PATCH(machine());
    fixtures::ScratchFolder servers;
    WriteServerFolder(servers / "www", "");
    nettest::NginxServer web(servers / "www");
    ASSERT_TRUE(web.Ok());
    WriteServerFolder(servers / "www", web.Url("a-b.pkg"));
    fixtures::WriteTree(servers / "newest", BuildTree(kBuildC));
    repairtest::RepairServer repairs(servers / "newest", servers / "repair.log");
    ASSERT_NE(repairs.Port(), 0);
    const std::string bin = LUMO_BIN_DIR;
    // A refusal is named by the system's text, the stop-signal handler's included.
    const std::regex namesTheRefusal("Resource temporarily unavailable");
    const struct { const char* name; std::function<std::string()> command; bool patches; } cases[] = {
        {"patch-run, chain from a server",
         [&] { return "'" + bin + "/patch-run' --admin --server=" + web.Url("") + " '" + machine().install + "'"; }, true},
        {"patch-run -r", [&] {
             return "SOLLEX_REPAIR_SERVER=" + repairs.HostPort() + " '" + bin + "/patch-run' --admin -r '" + machine().install + "'";
         }, false},
        {"repair-tool", [&] { return "'" + bin + "/repair-tool' '" + machine().install + "' " + repairs.HostPort(); }, false},
        {"fetch-tool", [&] { return "'" + bin + "/fetch-tool' " + web.Url("a-b.pkg") + " '" + machine().scratch / "a-b.pkg'"; },
         false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        int refused = 1;
        for (; refused < 100; ++refused)
        {
            SCOPED_TRACE("thread " + std::to_string(refused) + " refused");
            machinePtr = std::make_unique<RunMachine>();
            const std::string mark = machine().scratch / "refused";
            const DriverResult result = RunDriver("/bin/sh", {"-c",
                "LD_PRELOAD='" LUMO_REFUSE_THREAD_LIBRARY "' LUMO_REFUSE_THREAD=" + std::to_string(refused) +
                " LUMO_REFUSE_THREAD_MARK='" + mark + "' " + c.command() + " 2>&1"});
            const bool wasRefused = fixtures::PathExists(mark);
            if (wasRefused && result.exitCode == 1)
                EXPECT_TRUE(std::regex_search(result.output, namesTheRefusal)) << result.output;
            else
                EXPECT_EQ(result.exitCode, 0) << result.output;
            if (c.patches)
            {
                const std::string atA = machine().DiffFromBuild(kBuildA), atC = machine().DiffFromBuild(kBuildC);
                EXPECT_TRUE(result.exitCode == 0 ? atC.empty() : atA.empty() || atC.empty()) << atA << "\n" << atC;
            }
            if (!wasRefused || HasFailure())
                break;  // the run asked for fewer threads; or one broken round is enough to read
        }
        EXPECT_GT(refused, 1) << "no thread was refused";
    }
}

// repair-tool repairs a short relative folder, and refuses before it connects a missing one, a file, or
// an installation a patch runs on (naming the patch, so the two never run on one installation at once).
TEST_F(DriverTest, RepairToolRefusesAFolderItCannotRepairBeforeConnecting)
{
    SKIP_WITHOUT_ROOM_FOR_A_PATCH(machine());
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

// A stop signal while the utility lists the builds ends it at once, not when the utility is done
// (it never is here) or the query's time limit (300 s) runs out; nothing has been changed.
TEST_F(DriverTest, AStopSignalDuringTheBuildQueryEndsItAtOnce)
{
    machine().SetUtility({{"listbuilds.hang", "1"}});
    auto child = Start(PatcherWithChain(), {"--admin", machine().install});
    ASSERT_TRUE(child);
    ASSERT_TRUE(fixtures::WaitFor([&] { return !machine().UtilityCalls().empty(); }));
    const auto stopped = std::chrono::steady_clock::now();
    ::kill(child->Pid(), SIGTERM);
    const DriverResult result = Finish(*child);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(120));
    EXPECT_EQ(result.exitCode, 1) << result.output;
    EXPECT_TRUE(result.output.ends_with("1\t" + machine().install + "/bin/SollexUtil.exe listbuilds was stopped: the "
                                        "run is ending.\n3\tThe run was stopped by SIGTERM before it changed "
                                        "anything.\n1\tPatching aborted.\n")) << result.output;
    EXPECT_EQ(result.output.find("not applicable"), std::string::npos) << result.output;
    EXPECT_EQ(machine().DiffFromBuild(kBuildA), "");
    const int utility = fixtures::ReadFakeUtilCalls(machine().install).front().pid;
    EXPECT_TRUE(fixtures::WaitFor([&] { return ::kill(utility, 0) != 0; })) << "the utility still runs";
}

// A stop signal during the asset-database update leaves the database half rebuilt: the run is not
// completed, and says how to rebuild the database (no later run would redo the update).
TEST_F(DriverTest, AStopDuringTheDatabaseUpdateIsNotACompletedRun)
{
    SKIP_WITHOUT_ROOM_FOR_A_PATCH(machine());
    machine().SetUtility({{"repairdatabase.hang", "1"}});
    auto child = Start(PatcherWithChain(), {"--admin", machine().install});
    ASSERT_TRUE(child);
    const std::string seen = ReadUntil(*child, "repairdatabase line 1");
    ::kill(child->Pid(), SIGTERM);
    const DriverResult result = Finish(*child);
    EXPECT_EQ(result.exitCode, 1) << seen + result.output;
    EXPECT_NE(result.output.find("3\tThe asset database update was stopped before it ended. The asset database has not "
                                 "been rebuilt: please repair it manually from Asset Desk, or run \"SollexUtil.exe "
                                 "repairdatabase patcher\" in " + machine().install + "/bin.\n"),
              std::string::npos) << seen + result.output;
    EXPECT_TRUE(result.output.ends_with("\n1\tPatching aborted.\n")) << result.output;
    EXPECT_EQ(machine().DiffFromBuild(kBuildC), "");

    // The installation keeps the fact: every later start says it, until an update has ended (a
    // run from a server ends with one even when no patch applies any more).
    const std::string notice = "3\tAn earlier patch run ended before its asset database update did. The "
                               "asset database has not been rebuilt: please repair it manually from Asset Desk, or run "
                               "\"SollexUtil.exe repairdatabase patcher\" in " + machine().install + "/bin.";
    EXPECT_TRUE(fixtures::PathExists(machine().install + "/patch.dbstopped"));
    machine().SetUtility({});
    const std::string plainDriver = std::string(LUMO_BIN_DIR) + "/patch-run";
    const std::string root = machine().scratch / "www";
    fixtures::WriteFile(root + "/keep", "");
    nettest::NginxServer server(root);
    ASSERT_TRUE(server.Ok());
    WriteServerFolder(root, server.Url("a-b.pkg"));
    const struct { const char* name; std::vector<std::string> arguments; bool says; int exitCode; } starts[] = {
        {"nothing to do", {"--admin", machine().install}, true, 1},
        {"an update from a server", {"--admin", "--server=" + server.Url(""), machine().install}, true, 0},
        {"after the update", {"--admin", machine().install}, false, 1},
    };
    for (const auto& start : starts) {
        SCOPED_TRACE(start.name);
        const DriverResult again = RunDriver(plainDriver, start.arguments);
        EXPECT_EQ(again.exitCode, start.exitCode) << again.output;
        EXPECT_EQ(again.output.find(notice) != std::string::npos, start.says) << again.output;
    }
    EXPECT_FALSE(fixtures::PathExists(machine().install + "/patch.dbstopped"));
}

// A patch killed halfway leaves its journal and backups. A repair finishes or rolls that patch back
// first, then repairs: nothing is left for the next start to put back over the repaired files.
TEST_F(DriverTest, ARepairFirstRecoversAPatchThatAKillInterrupted)
{
    SKIP_WITHOUT_ROOM_FOR_A_PATCH(machine());
    auto patch = Start(PatcherWithChain({"", "HANG"}), {"--admin", machine().install});  // its patch tool never ends
    ASSERT_TRUE(patch);
    ReadUntil(*patch, "1\tPatching from 43434 to 44088...");
    const auto halfApplied = [&] {
        for (const auto& [path, content] : fixtures::SnapshotTree(machine().install))
            if (path.ends_with(".pbk"))
                return fixtures::PathExists(machine().install + "/patch.journal");
        return false;
    };
    ASSERT_TRUE(fixtures::WaitFor(halfApplied));  // the tool never ends: the state stays once reached
    ::kill(patch->Pid(), SIGKILL);
    Finish(*patch);

    // The server holds the newest build.
    fixtures::WriteTree(machine().scratch / "newest", BuildTree(kBuildC));
    repairtest::RepairServer server(machine().scratch / "newest", machine().scratch / "server.log");
    const DriverResult repair = RunDriver(LUMO_BIN_DIR "/repair-tool", {machine().install, server.HostPort()});
    EXPECT_EQ(repair.exitCode, 0) << repair.output;
    EXPECT_LT(repair.output.find("was interrupted; the installation has been brought back to a complete build."),
              repair.output.find("Scanning installed files.")) << repair.output;
    const auto newestHeld = [&] {
        const fixtures::TreeContent installed = fixtures::SnapshotTree(machine().install);
        for (const auto& [path, content] : BuildTree(kBuildC))
            if (!installed.count(path) || installed.at(path) != content)
                return "differs: " + path;
        for (const std::string& left : machine().Leftovers())
            if (left.starts_with("game/"))
                return "left: " + left;
        return std::string();
    };
    EXPECT_EQ(newestHeld(), "");

    // The next start finds nothing to put back.
    const DriverResult next = RunDriver(LUMO_BIN_DIR "/patch-run", {"--admin", machine().install});
    EXPECT_EQ(next.output.find("Restored from its backup"), std::string::npos) << next.output;
    EXPECT_EQ(newestHeld(), "");
}

// When an interrupted patch cannot be recovered (its journal is damaged), neither repair-tool nor
// patch-run -r repairs: each stops with the reason before it connects, and the journal stays.
TEST_F(DriverTest, NoRepairOverAPatchThatCannotBeRecovered)
{
    // A damaged record before an intact one: what is missing cannot be known.
    fixtures::WriteFile(machine().install + "/patch.journal", "00000000 BEGIN\n8dd157a5 BEGIN\n");
    repairtest::RepairServer server(machine().install, machine().scratch / "server.log");
    const struct { const char* name; std::string command; const char* says; } cases[] = {
        {"repair-tool", "exec '" LUMO_BIN_DIR "/repair-tool' '" + machine().install + "' " + server.HostPort(),
         "error: A patch of "},
        {"patch-run -r", "SOLLEX_REPAIR_SERVER=" + server.HostPort() + " exec '" LUMO_BIN_DIR "/patch-run' --admin -r '" +
                             machine().install + "'", "3\tA patch of "},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        // repair-tool says its failures on standard error, patch-run on standard output.
        const bool tool = std::string(c.name) == "repair-tool";
        const DriverResult result = RunDriver("/bin/sh", {"-c", c.command + (tool ? " 2>&1 >/dev/null" : " 2>/dev/null")});
        EXPECT_EQ(result.exitCode, 1) << result.output;
        EXPECT_NE(result.output.find(std::string(c.says) + machine().install +
                                     " was interrupted and its recovery could not finish: "), std::string::npos)
            << result.output;
        EXPECT_EQ(result.output.find("Scanning installed files."), std::string::npos) << result.output;
        EXPECT_EQ(server.Log().find("summary"), std::string::npos) << server.Log();
        EXPECT_TRUE(fixtures::PathExists(machine().install + "/patch.journal"));
    }
}

// An installation this process cannot write is refused before the repair server is contacted,
// with the reason: its own folder, or any folder below it, named. Root writes a folder without
// write bits, so root runs the programs without that right.
TEST_F(DriverTest, ARepairOfAnInstallationThatCannotBeWrittenNeverConnects)
{
    const std::string withoutOverride =
        geteuid() == 0 ? "exec /usr/bin/setpriv --bounding-set -dac_override,-dac_read_search -- " : "exec ";
    repairtest::RepairServer server(machine().install, machine().scratch / "server.log");
    const std::string install = machine().install;
    const std::string reason = "The installation " + install + " cannot be written: Permission denied; nothing was repaired.\n";
    const std::string binReason =
        "The installation " + install + " cannot be written: " + install + "/bin: Permission denied; nothing was repaired.\n";
    const struct { const char* name; std::string locked; std::string command; std::string says; } cases[] = {
        {"repair-tool", install, "'" LUMO_BIN_DIR "/repair-tool' '" + install + "' " + server.HostPort(), "error: " + reason},
        // The run's own write check comes first.
        {"patch-run -r", install, "'" LUMO_BIN_DIR "/patch-run' --admin -r '" + install + "'",
         "3\tThe installation folder " + install + " cannot be written: Permission denied\n"},
        // Only a folder below: the repair's check names it.
        {"repair-tool, bin locked", install + "/bin", "'" LUMO_BIN_DIR "/repair-tool' '" + install + "' " + server.HostPort(),
         "error: " + binReason},
        {"patch-run -r, bin locked", install + "/bin", "'" LUMO_BIN_DIR "/patch-run' --admin -r '" + install + "'",
         "3\t" + binReason},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(::chmod(c.locked.c_str(), 0555), 0);
        // repair-tool says its failures on standard error, patch-run on standard output.
        const bool tool = std::string(c.name).starts_with("repair-tool");
        const DriverResult result =
            RunDriver("/bin/sh", {"-c", "SOLLEX_REPAIR_SERVER=" + server.HostPort() + " " + withoutOverride + c.command +
                                            (tool ? " 2>&1 >/dev/null" : " 2>/dev/null")});
        ::chmod(c.locked.c_str(), 0755);
        EXPECT_EQ(result.exitCode, 1) << result.output;
        EXPECT_NE(result.output.find(c.says), std::string::npos) << result.output;
        EXPECT_EQ(server.Log().find("summary"), std::string::npos) << server.Log();
    }
}

// Every program that takes the installation first removes the unpack folders that killed runs left
// below it, whatever it goes on to do (here: nothing to apply, a repair, a patch whose package is
// missing); a folder of a running process stays, and a repair never counts it as the game's.
TEST_F(DriverTest, FoldersOfEndedRunsGoWhoeverTakesTheInstallation)
{
    const pid_t ended = fork();
    if (ended == 0)
        _exit(0);
    waitpid(ended, nullptr, 0);
    const std::string left = machine().install + "/.sollex-patcher-" + std::to_string(ended) + "-7-Ab12Cd";
    const std::string running = machine().install + "/.sollex-patcher-" + platform::OwnerTag() + "-Ef34Gh";
    repairtest::RepairServer server(machine().install, machine().scratch / "server.log");  // the installation as it is
    const struct { const char* name; std::string command; int exitCode; } cases[] = {
        {"patch-run with nothing to apply", "'" LUMO_BIN_DIR "/patch-run' --admin '" + machine().install + "'", 1},
        {"repair-tool", "'" LUMO_BIN_DIR "/repair-tool' '" + machine().install + "' " + server.HostPort(), 0},
        {"patch-apply", "'" LUMO_BIN_DIR "/patch-apply' '" + machine().install + "' '" + machine().scratch / "none'", 1},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        for (const std::string& folder : {left, running})
            fixtures::WriteFile(folder + "/file0/data/x.bin", "unpacked");
        const DriverResult result = RunDriver("/bin/sh", {"-c", "exec " + c.command + " 2>&1"});
        EXPECT_EQ(result.exitCode, c.exitCode) << result.output;
        EXPECT_FALSE(fixtures::PathExists(left)) << result.output;
        EXPECT_TRUE(fixtures::PathExists(running + "/file0/data/x.bin"));
    }
    // The summary names no file of ours ("." in UTF-16LE, then "s").
    const std::string summary = fixtures::ReadFile(machine().install + "/repair.cks");
    EXPECT_NE(summary.find(std::string("v\0e\0r\0s\0i\0o\0n\0", 14)), std::string::npos);  // version.txt is there
    EXPECT_EQ(summary.find(std::string(".\0s\0o\0l\0l\0e\0x\0", 14)), std::string::npos);
}

// The installation's tool folder spelt "Bin": the utility, the patch tool and the converter are
// found in it, and the chain completes.
TEST_F(DriverTest, AToolFolderInAnotherCaseIsUsed)
{
    SKIP_WITHOUT_ROOM_FOR_A_PATCH(machine());
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
    SKIP_WITHOUT_ROOM_FOR_A_PATCH(machine());
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

// A repair server that announces 4294967295 records, sends a segment 4 TB into "stop/a.txt" and
// three small new files, and holds the connection: what a stopped repair made longer is cut back.
class StoppedRepairTest : public DriverTest
{
public:
    std::string File() const { return machine().install + "/stop/a.txt"; }
    int64_t Size() const
    {
        struct stat status{};
        return ::stat(File().c_str(), &status) == 0 ? int64_t(status.st_size) : -1;
    }
    std::unique_ptr<repairtest::RepairServer> HoldingServer()
    {
        fixtures::WriteFile(File(), "old");
        auto server = std::make_unique<repairtest::RepairServer>(
            machine().install, machine().scratch / "server.log",
            std::vector<std::string>{"--fault", "huge-hold", "--bad-name", "stop\\a.txt#1000000"});
        EXPECT_NE(server->Port(), 0);
        return server;
    }
    // A repair started with command (a shell line), once it has made the file 4 TB long.
    fixtures::GroupedChild RepairGrowingTheFile(const std::string& command)
    {
        // Standard error too: repair-tool says its failures there.
        auto child = Start("/bin/sh", {"-c", command});
        EXPECT_TRUE(child);
        EXPECT_TRUE(fixtures::WaitFor([&] { return Size() > 3; })) << "the far segment was never written";
        return child;
    }
    std::string Journal() const { return machine().install + "/repair.journal"; }
};

TEST_F(StoppedRepairTest, AStopSignalCutsBackWhatTheRepairMadeLongerAndTheNextStartSaysToRunItAgain)
{
    const struct { const char* driver; int signal; const char* says; } cases[] = {
        {"repair-tool", SIGTERM, "error: The repair was stopped before it finished; run it again.\n"},
        {"repair-tool", SIGINT, "error: The repair was stopped before it finished; run it again.\n"},
        {"repair-tool", SIGHUP, "error: The repair was stopped before it finished; run it again.\n"},
        {"patch-run -r", SIGTERM, "1\tPatching aborted.\n"},
        {"patch-run -r", SIGHUP, "1\tPatching aborted.\n"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::string(c.driver) + " " + std::to_string(c.signal));
        const auto server = HoldingServer();
        const std::string command =
            std::string(c.driver) == "repair-tool"
                ? "exec '" LUMO_BIN_DIR "/repair-tool' '" + machine().install + "' " + server->HostPort()
                : "SOLLEX_REPAIR_SERVER=" + server->HostPort() + " exec '" LUMO_BIN_DIR "/patch-run' --admin -r '" +
                      machine().install + "'";
        auto child = RepairGrowingTheFile(command);
        ASSERT_TRUE(child);
        ::kill(child->Pid(), c.signal);
        const DriverResult stopped = Finish(*child);
        EXPECT_EQ(stopped.exitCode, 1) << stopped.output;
        EXPECT_NE(stopped.output.find(c.says), std::string::npos) << stopped.output;
        EXPECT_EQ(Size(), 3);
        EXPECT_EQ(fixtures::ReadFile(File()), "old");
        // What the server sent whole stays.
        EXPECT_EQ(fixtures::ReadFile(machine().install + "/data/small0.txt"), "s0");

        const DriverResult next = RunDriver(LUMO_BIN_DIR "/repair-tool", {machine().install, "127.0.0.1:1"});
        EXPECT_NE(next.output.find("A repair of " + machine().install + " was stopped before it finished: files it "
                                   "was mending may be part old, part new. Run the repair again.\n"),
                  std::string::npos) << next.output;
        EXPECT_EQ(next.output.find("Cut back"), std::string::npos) << next.output;
        EXPECT_FALSE(fixtures::PathExists(Journal()));
    }
}

// A repair killed after it made a file 4 TB long: the next start of every driver cuts it back (and
// removes the files the repair had begun) before anything scans it, and says the repair must be run again.
TEST_F(StoppedRepairTest, AKilledRepairIsPutRightAtTheNextStartOfEveryDriver)
{
    const struct { const char* driver; std::vector<std::string> arguments; const char* prefix; } cases[] = {
        {"repair-tool", {LUMO_BIN_DIR "/repair-tool", machine().install, "127.0.0.1:1"}, ""},
        {"patch-run", {LUMO_BIN_DIR "/patch-run", "--admin", machine().install}, "2\t"},
        {"patch-run -r", {"/usr/bin/env", "SOLLEX_REPAIR_SERVER=127.0.0.1:1", LUMO_BIN_DIR "/patch-run", "--admin", "-r",
                          machine().install}, "2\t"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.driver);
        {
            const auto server = HoldingServer();
            auto child = RepairGrowingTheFile("exec '" LUMO_BIN_DIR "/repair-tool' '" + machine().install + "' " +
                                              server->HostPort());
            ASSERT_TRUE(child);
            ::kill(child->Pid(), SIGKILL);
            Finish(*child);
        }
        ASSERT_GT(Size(), 3);
        ASSERT_TRUE(fixtures::PathExists(Journal()));

        const DriverResult next = RunDriver(c.arguments[0], {c.arguments.begin() + 1, c.arguments.end()});
        EXPECT_NE(next.output.find(std::string(c.prefix) + "A repair of " + machine().install +
                                   " was stopped before it finished"),
                  std::string::npos) << next.output;
        EXPECT_NE(next.output.find("Cut back to the 3 bytes it had before the stopped repair: " + File() + "\n"),
                  std::string::npos) << next.output;
        EXPECT_LT(next.output.find("Cut back"), next.output.find("Scanning installed files.")) << next.output;
        EXPECT_EQ(Size(), 3);
        EXPECT_EQ(fixtures::ReadFile(File()), "old");
        for (const char* begun : {"small0.txt", "small1.txt", "small2.txt"}) // never written, or removed again
            EXPECT_FALSE(fixtures::PathExists(machine().install + "/data/" + begun)) << begun;
        EXPECT_FALSE(fixtures::PathExists(Journal()));
    }
}

}  // namespace
}  // namespace apprun
