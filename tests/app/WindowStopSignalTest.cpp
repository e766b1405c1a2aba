// The patcher's window asked to stop by the system (a logout or a shutdown: SIGTERM, SIGHUP,
// SIGINT) while it patches: the real program, on this test's display, with a patch from a server
// whose binary-patch tool hangs, so the signal lands while files have been added and backed up.
#include "BuildConfig.h"
#include "app/LogToFrame.h"
#include "app/MainFrame.h"
#include "app/PatchMainFrame.h"
#include "app/core/PatcherOptions.h"
#include "patch/PatchCallbacks.h"
#include "platform/ConsoleControl.h"
#include "platform/NativePath.h"
#include "tests/app/GuiTestSupport.h"
#include "tests/app_run/RunFixture.h"
#include "tests/fixtures/ShellCommand.h"
#include "tests/fixtures/FakePatchTool.h"
#include "tests/fixtures/GroupedChild.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/TestServers.h"
#include "tests/fixtures/WaitFor.h"
#include "tests/lumo_net/RepairServerProcess.h"
#include "platform/Spawn.h"

#include <gtest/gtest.h>
#include <wx/textctrl.h>

#include <signal.h>
#include <sys/stat.h>
#include <string.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

// The real patcher on this test's display, with a home, a temporary folder and a registry of the
// machine's own; settings are extra "NAME=value" words, then the program's arguments. It and what
// it starts end with the test, however the test ends.
fixtures::GroupedChild StartPatcher(const apprun::RunMachine& machine, const std::vector<std::string>& settings,
                            const std::vector<std::string>& arguments)
{
    const std::string home = machine.scratch / "home";
    platform::SpawnRequest request;
    request.argv = {"/usr/bin/env", "TMPDIR=" + machine.temp, "HOME=" + home,
                    "XDG_CACHE_HOME=" + home + "/cache", "XDG_DATA_HOME=" + home + "/data", "LUMO_ELEVATOR=none",
                    "SOLLEX_PAGE_URL=about:blank", "WEBKIT_DISABLE_COMPOSITING_MODE=1", "NO_AT_BRIDGE=1",
                    "GDK_BACKEND=x11"};
    request.argv.insert(request.argv.end(), settings.begin(), settings.end());
    request.argv.push_back(LUMO_BIN_DIR "/sollex-patcher");
    request.argv.insert(request.argv.end(), arguments.begin(), arguments.end());
    request.captureOutput = true;
    return fixtures::GroupedChild::Start(request);
}

// The server's "patches.txt": one patch from build A to build B, its package at url.
void WritePatchList(const std::string& www, const std::string& url)
{
    fixtures::WriteFile(www + "/patches.txt", std::string("source-version: ") + apprun::kBuildA + "\r\ntarget-version: " +
                                                  apprun::kBuildB + "\r\npatch-exe-url: x.exe\r\npatch-data-url: " +
                                                  url + "\r\n");
}

// Waits up to a minute for the patcher to end after a signal (then kills it); its output.
std::string WaitForEnd(platform::SpawnedChild& patcher, bool& ended)
{
    ended = patcher.Wait(60000);
    if (!ended)
        patcher.Terminate(1);
    std::string output;
    char block[4096];
    for (ssize_t n; (n = patcher.ReadOutput(block, sizeof block)) > 0;)
        output.append(block, static_cast<size_t>(n));
    return output;
}

// Its own Cancel, without the question: the run stops, puts back what it changed, and the window
// closes; the process then ends with 128 + the signal. Nothing of the patch is left behind.
TEST(WindowStopSignal, RollsTheRunBackThenEnds)
{
    for (const int stop : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) {
        SCOPED_TRACE(strsignal(stop));
        apprun::RunMachine machine;
        SKIP_WITHOUT_ROOM_FOR_A_PATCH(machine);
        const std::string www = machine.scratch / "www";
        fixtures::WriteFile(www + "/a-b.pkg", apprun::MakePackage(apprun::kBuildA, apprun::kBuildB, {"", "HANG"}));
        nettest::NginxServer server(www);
        ASSERT_TRUE(server.Ok());
        WritePatchList(www, server.Url("a-b.pkg"));
        const std::string toolLog = machine.scratch / "tool.log";
        const auto patcher = StartPatcher(machine, {std::string(fixtures::kFakePatchToolLogVariable) + "=" + toolLog},
                                          {"--admin", "--server=" + server.Url(""), machine.install});
        ASSERT_TRUE(patcher);
        // The tool is called once the files to add are in place with their journal.
        ASSERT_TRUE(fixtures::WaitFor([&] { return !fixtures::ReadFakeToolCalls(toolLog).empty() || patcher->Wait(0); }));
        ASSERT_FALSE(patcher->Wait(0)) << "the window ended before its run reached the patch tool";
        ASSERT_FALSE(machine.Leftovers().empty()) << "the patch is under way: its journal and backups exist";
        ASSERT_EQ(::kill(patcher->Pid(), stop), 0);

        bool ended = false;
        const std::string output = WaitForEnd(*patcher, ended);
        ASSERT_TRUE(ended) << "still running (now killed) a minute after the signal\n" << output;
        EXPECT_EQ(patcher->ExitCode(), 128 + stop) << output;
        EXPECT_EQ(machine.DiffFromBuild(apprun::kBuildA), "") << output;
        EXPECT_EQ(machine.Leftovers(), std::vector<std::string>{}) << output;
        const int tool = fixtures::ReadFakeToolCalls(toolLog).front().pid;
        EXPECT_TRUE(::kill(tool, 0) != 0 && errno == ESRCH) << "the patch tool was left running";
        if (::kill(tool, 0) == 0)
            ::kill(tool, SIGKILL);
    }
}

// A repair stopped by the system after it made a file 4 TB long (a server that announces 4294967295
// records, sends a segment far into the file and holds the connection): the file is cut back before
// the window ends, and the journal left says that the repair did not finish.
TEST(WindowStopSignal, ARepairCutsBackWhatItMadeLongerThenEnds)
{
    apprun::RunMachine machine;
    const std::string file = machine.install + "/stop/a.txt";
    fixtures::WriteFile(file, "old");
    repairtest::RepairServer server(machine.install, machine.scratch / "server.log",
                                    {"--fault", "huge-hold", "--bad-name", "stop\\a.txt#1000000"});
    ASSERT_NE(server.Port(), 0);
    const auto patcher = StartPatcher(machine, {"SOLLEX_REPAIR_SERVER=" + server.HostPort()}, {"--admin", "-r", machine.install});
    ASSERT_TRUE(patcher);
    const auto size = [&] {
        struct stat status{};
        return ::stat(file.c_str(), &status) == 0 ? int64_t(status.st_size) : -1;
    };
    ASSERT_TRUE(fixtures::WaitFor([&] { return size() > 3 || patcher->Wait(0); }));
    ASSERT_FALSE(patcher->Wait(0)) << "the window ended before the far segment was written";
    ASSERT_EQ(::kill(patcher->Pid(), SIGHUP), 0);

    bool ended = false;
    const std::string output = WaitForEnd(*patcher, ended);
    ASSERT_TRUE(ended) << "still running (now killed) a minute after the signal\n" << output;
    EXPECT_EQ(patcher->ExitCode(), 128 + SIGHUP) << output;
    EXPECT_EQ(size(), 3) << output;
    EXPECT_TRUE(fixtures::ReadFile(machine.install + "/repair.journal").ends_with(" STOPPED\n"));
}

// A stop during the asset-database update (the patches are in, the utility rebuilds the database)
// leaves the database half rebuilt: the window ends with 128 + the signal, and the installation
// keeps the note that every later start reads (patch/DatabaseUpdateMark.h).
TEST(WindowStopSignal, AStopDuringTheDatabaseUpdateIsKeptInTheInstallation)
{
    apprun::RunMachine machine;
    SKIP_WITHOUT_ROOM_FOR_A_PATCH(machine);
    machine.SetUtility({{"repairdatabase.hang", "1"}});
    const std::string www = machine.scratch / "www";
    fixtures::WriteFile(www + "/a-b.pkg", apprun::MakePackage(apprun::kBuildA, apprun::kBuildB));
    nettest::NginxServer server(www);
    ASSERT_TRUE(server.Ok());
    WritePatchList(www, server.Url("a-b.pkg"));
    const auto patcher = StartPatcher(machine, {}, {"--admin", "--server=" + server.Url(""), machine.install});
    ASSERT_TRUE(patcher);
    const auto updating = [&] {
        const std::vector<std::string> calls = machine.UtilityCalls();
        return std::any_of(calls.begin(), calls.end(),
                           [](const std::string& call) { return call.rfind("repairdatabase", 0) == 0; });
    };
    ASSERT_TRUE(fixtures::WaitFor([&] { return updating() || patcher->Wait(0); }));
    ASSERT_FALSE(patcher->Wait(0)) << "the window ended before its run reached the database update";
    ASSERT_EQ(::kill(patcher->Pid(), SIGTERM), 0);

    bool ended = false;
    const std::string output = WaitForEnd(*patcher, ended);
    ASSERT_TRUE(ended) << "still running (now killed) a minute after the signal\n" << output;
    EXPECT_EQ(patcher->ExitCode(), 128 + SIGTERM) << output;
    EXPECT_EQ(machine.DiffFromBuild(apprun::kBuildB), "") << "the patch stays: " << output;
    EXPECT_TRUE(fixtures::PathExists(machine.install + "/patch.dbstopped")) << output;
}

// The window's log says which signal stopped the run and where the installation stands, where it
// said the patch had failed; the terminal's Ctrl-\ (SIGQUIT) stops the run as the others do.
TEST(WindowStopSignal, TheLogNamesTheSignalAndWhatItLeft)
{
    using namespace LumoPatch;
    apprun::RunMachine machine;
    SKIP_WITHOUT_ROOM_FOR_A_PATCH(machine);
    const std::string www = machine.scratch / "www";
    fixtures::WriteFile(www + "/a-b.pkg", apprun::MakePackage(apprun::kBuildA, apprun::kBuildB, {"", "HANG"}));
    nettest::NginxServer server(www);
    ASSERT_TRUE(server.Ok());
    WritePatchList(www, server.Url("a-b.pkg"));
    machine.ResetOptions("");
    AddPatchServer(FromNativePath(server.Url("")));
    SetPatchCallbacks(nullptr, KeepPatchingCallback, LogToFrame);
    auto* frame = new PatchMainFrame(apptest::FakePageSeams());  // the real run as its worker
    frame->Show();
    apptest::Pump();
    wxString log;  // the log view as the run ends, before the window closes
    frame->Bind(wxEVT_THREAD, [&](wxThreadEvent& event) {
        log = frame->LogView()->GetValue();
        event.Skip();
    }, kEventWorkerFinished);
    wxCommandEvent none;
    frame->OnApply(none);
    // Stopped once the patch has begun to change files (its journal is there; its tool never ends).
    ASSERT_TRUE(apptest::PumpUntil([&] { return fixtures::PathExists(machine.install + "/patch.journal"); }, 60000));
    EXPECT_TRUE(StopWindowOnSignal(platform::kCtrlBreakEvent));
    ASSERT_TRUE(apptest::PumpUntil([] { return g_mainFrame.load() == nullptr; }, 60000)) << log;
    EXPECT_EQ(WindowStopSignal(), SIGQUIT);
    EXPECT_NE(log.find("Cancelling patch process...\nThe run was stopped by SIGQUIT; every file the patch from 43434 to "
                       "44088 had changed was put back: the installation is at build 43434.\nPatching aborted."),
              wxString::npos) << log;
    EXPECT_EQ(log.find("Failed to apply the patch"), wxString::npos) << log;
    EXPECT_EQ(machine.DiffFromBuild(apprun::kBuildA), "");
    std::vector<std::string> left = machine.Leftovers();
    std::erase_if(left, [](const std::string& path) { return path.starts_with("tmp/"); });  // this process's own
    EXPECT_EQ(left, std::vector<std::string>{});
}

// How many windows of the display carry a title that starts with title.
size_t WindowsNamed(const std::string& title)
{
    const std::string ids = fixtures::RunShell("xdotool search --name '^" + title + "' 2>/dev/null");
    return static_cast<size_t>(std::count(ids.begin(), ids.end(), '\n'));
}

// A run that asks the user something (a box the window shows) before it ends.
class AskingWorker : public LumoPatch::APThread {
public:
    using APThread::APThread;

protected:
    ExitCode GuardedEntry() override
    {
        Owner()->Host().ShowMessage(L"A question of the run", L"Sollex stop test");
        while (LumoPatch::KeepPatchingCallback())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return APThread::GuardedEntry();
    }
};

// A box open when the stop comes is answered for the user, so that the run can end and the window
// close: the run's own box, and the question "Cancel" asks.
TEST(WindowStopSignal, AnOpenBoxDoesNotHoldTheStopUp)
{
    using namespace LumoPatch;
    fixtures::ScratchFolder scratch;
    const struct { const char* name; bool runAsks; const char* boxTitle; } cases[] = {
        {"the run's box", true, "Sollex stop test"},
        {"Cancel's question", false, "Kestin Patcher"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PatcherOptions::Instance() = PatcherOptions();
        PatcherOptions::Instance().installPath = FromNativePath(scratch.Path());
        SetPatchCallbacks(nullptr, KeepPatchingCallback, LogToFrame);
        apptest::FakeWorker* fake = nullptr;
        auto* frame = new PatchMainFrame(apptest::FakePageSeams([&](MainFrame* owner) -> APThread* {
            if (c.runAsks)
                return new AskingWorker(owner);
            return fake = new apptest::FakeWorker(owner);
        }));
        frame->Show();
        apptest::Pump();
        const size_t before = WindowsNamed(c.boxTitle);
        wxCommandEvent none;
        frame->OnApply(none);
        ASSERT_TRUE(frame->HasActiveRun());

        bool taken = false;
        std::thread reader([&] {  // as the signal-reading thread, once the box is on the screen
            if (fixtures::WaitFor([&] { return WindowsNamed(c.boxTitle) > before; }))
                taken = StopWindowOnSignal(platform::kCtrlShutdownEvent);
            // A box nobody answers holds this test's own thread in its loop for ever: fail instead.
            if (!fixtures::WaitFor([] { return g_mainFrame.load() == nullptr; })) {
                std::fprintf(stderr, "FAILED: %s stayed open after the stop; the window did not close\n", c.name);
                std::_Exit(1);
            }
        });
        if (!c.runAsks)
            frame->Close();  // asks, and stays in the question until the stop answers it
        EXPECT_TRUE(apptest::PumpUntil([] { return g_mainFrame.load() == nullptr; }, 30000));
        reader.join();
        EXPECT_TRUE(taken);
        EXPECT_EQ(WindowStopSignal(), SIGTERM);
        if (g_mainFrame.load()) {  // a failed case: end its run and its window
            if (fake)
                fake->Release();
            frame->Destroy();
            apptest::PumpUntil([] { return g_mainFrame.load() == nullptr; });
        }
    }
    EXPECT_FALSE(StopWindowOnSignal(platform::kCtrlShutdownEvent)) << "without a window the signal ends the process";
}

}  // namespace
