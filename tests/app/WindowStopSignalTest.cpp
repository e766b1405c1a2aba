// The patcher's window asked to stop by the system (a logout or a shutdown: SIGTERM, SIGHUP,
// SIGINT) while it patches: the real program, on this test's display, with a patch from a server
// whose binary-patch tool hangs, so the signal lands while files have been added and backed up.
#include "BuildConfig.h"
#include "tests/app_run/RunFixture.h"
#include "tests/fixtures/FakePatchTool.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/TestServers.h"
#include "tests/fixtures/WaitFor.h"
#include "platform/Spawn.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <string.h>

#include <cerrno>

namespace {

// Its own Cancel, without the question: the run stops, puts back what it changed, and the window
// closes; the process then ends with 128 + the signal. Nothing of the patch is left behind.
TEST(WindowStopSignal, RollsTheRunBackThenEnds)
{
    for (const int stop : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(strsignal(stop));
        apprun::RunMachine machine;
        const std::string www = machine.scratch / "www";
        fixtures::WriteFile(www + "/a-b.pkg", apprun::MakePackage(apprun::kBuildA, apprun::kBuildB, {"", "HANG"}));
        nettest::NginxServer server(www);
        ASSERT_TRUE(server.Ok());
        fixtures::WriteFile(www + "/patches.txt", std::string("source-version: ") + apprun::kBuildA +
                                                      "\r\ntarget-version: " + apprun::kBuildB +
                                                      "\r\npatch-exe-url: x.exe\r\npatch-data-url: " +
                                                      server.Url("a-b.pkg") + "\r\n");
        const std::string home = machine.scratch / "home", toolLog = machine.scratch / "tool.log";
        platform::SpawnRequest request;
        request.argv = {"/usr/bin/env", "TMPDIR=" + machine.temp, "HOME=" + home, "XDG_CACHE_HOME=" + home + "/cache",
                        "XDG_DATA_HOME=" + home + "/data", "LUMO_ELEVATOR=none", "SOLLEX_PAGE_URL=about:blank",
                        "WEBKIT_DISABLE_COMPOSITING_MODE=1", "NO_AT_BRIDGE=1", "GDK_BACKEND=x11",
                        std::string(fixtures::kFakePatchToolLogVariable) + "=" + toolLog,
                        LUMO_BIN_DIR "/sollex-patcher", "--admin", "--server=" + server.Url(""), machine.install};
        request.captureOutput = true;
        const auto patcher = platform::SpawnedChild::Spawn(request, nullptr);
        ASSERT_TRUE(patcher);
        // The tool is called once the files to add are in place with their journal.
        ASSERT_TRUE(fixtures::WaitFor([&] { return !fixtures::ReadFakeToolCalls(toolLog).empty() || patcher->Wait(0); }));
        ASSERT_FALSE(patcher->Wait(0)) << "the window ended before its run reached the patch tool";
        ASSERT_FALSE(machine.Leftovers().empty()) << "the patch is under way: its journal and backups exist";
        ASSERT_EQ(::kill(patcher->Pid(), stop), 0);

        const bool ended = patcher->Wait(60000);
        if (!ended)
            patcher->Terminate(1);
        std::string output;
        char block[4096];
        for (ssize_t n; (n = patcher->ReadOutput(block, sizeof block)) > 0;)
            output.append(block, static_cast<size_t>(n));
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

}  // namespace
