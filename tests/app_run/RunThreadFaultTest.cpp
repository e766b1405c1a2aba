// A stack overflow on the run's database-rebuild thread, caught by its crash guard on its own signal
// stack, ends the process as on the patch thread: the fatal dump, "Unhandled Exception", status 255.

#include "app/run/PatchRun.h"

#include <stdlib.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "lumo/diagnostics/CrashHandlers.h"
#include "tests/app_run/RecordingHost.h"
#include "tests/app_run/RunFixture.h"
#include "tests/fixtures/ScopedEnv.h"
#include "tests/fixtures/StackOverflow.h"
#include "tests/fixtures/ScratchFolder.h"

namespace apprun {

TEST(RunThreadFaultDeathTest, AFaultInTheDatabaseRebuildEndsTheProcessWithTheFatalDump)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The death test's child runs this test again from its start: there the folder comes from the parent.
    std::optional<fixtures::ScratchFolder> scratch;
    const std::string folder = getenv("APPRUN_FAULT_FOLDER") ? getenv("APPRUN_FAULT_FOLDER") : scratch.emplace().Path();
    const fixtures::ScopedEnv shared("APPRUN_FAULT_FOLDER", folder.c_str());
    EXPECT_EXIT(
        {
            if (chdir(folder.c_str()) != 0 || setenv("TMPDIR", folder.c_str(), 1) != 0)
                _exit(1);
            InstallCrashHandlers(true);
            BuildMinidumpName(L"patcher");
            RunMachine machine;
            machine.ResetOptions(kBuildA);
            ObservedHost host;
            host.onLine = [](int, const std::wstring& text) {  // called on the rebuild thread
                if (text.find(L"repairdatabase line") != std::wstring::npos)
                    fixtures::RecurseForever(0);
            };
            LumoPatch::PatchRun(host).UpdateAssetDatabase();
        },
        testing::ExitedWithCode(255), "Unhandled Exception");
    EXPECT_THAT(fixtures::ListFolder(folder), testing::Contains(testing::MatchesRegex("patcher-v35673-.*\\.dmp")).Times(1));
}

}  // namespace apprun
