// A fault on the run's database-rebuild thread ends the process the way a fault on the patch thread
// does: the fatal dump, "Unhandled Exception" and status 255.

#include "app/run/PatchRun.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "lumo/diagnostics/CrashHandlers.h"
#include "tests/app_run/RecordingHost.h"
#include "tests/app_run/RunFixture.h"
#include "tests/fixtures/StackOverflow.h"
#include "tests/fixtures/ScratchFolder.h"

namespace apprun {
namespace {

TEST(RunThreadFaultDeathTest, AFaultInTheDatabaseRebuildEndsTheProcessWithTheFatalDump)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The death test's child runs this test again from its start: there the folder comes from the parent.
    std::unique_ptr<fixtures::ScratchFolder> scratch;
    if (!getenv("APPRUN_FAULT_FOLDER"))
    {
        scratch = std::make_unique<fixtures::ScratchFolder>();
        setenv("APPRUN_FAULT_FOLDER", scratch->Path().c_str(), 1);
    }
    struct Row { const char* name; void (*fault)(); };
    const Row rows[] = {{"null-write", [] { volatile int* volatile target = nullptr; *target = 1; }},
                        {"stack-overflow", [] { fixtures::RecurseForever(0); }}};
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        const std::string folder = std::string(getenv("APPRUN_FAULT_FOLDER")) + "/" + row.name;
        mkdir(folder.c_str(), 0700);
        EXPECT_EXIT(
            {
                if (chdir(folder.c_str()) != 0 || setenv("TMPDIR", folder.c_str(), 1) != 0)
                    _exit(1);
                InstallCrashHandlers(true);
                BuildMinidumpName(L"patcher");
                RunMachine machine;
                machine.ResetOptions(kBuildA);
                ObservedHost host;
                host.onLine = [&row](int, const std::wstring& text) {  // called on the rebuild thread
                    if (text.find(L"repairdatabase line") != std::wstring::npos)
                        row.fault();
                };
                LumoPatch::PatchRun(host).UpdateAssetDatabase();
                _exit(0);
            },
            testing::ExitedWithCode(255), "Unhandled Exception");
        std::vector<std::string> dumps = fixtures::ListFolder(folder);
        std::erase_if(dumps, [](const std::string& name) { return !name.ends_with(".dmp"); });
        ASSERT_EQ(dumps.size(), 1u);
        EXPECT_TRUE(dumps[0].starts_with("patcher-v35673-")) << dumps[0];
    }
    if (scratch)
        unsetenv("APPRUN_FAULT_FOLDER");
}

}  // namespace
}  // namespace apprun
