// A fault on one of the run's own threads ends the process the way a fault on the patch thread
// does: the fatal dump, "Unhandled Exception" and status 255. Each fault happens in a child (this
// binary run again by the death test) with a working folder and TMPDIR of its own.

#include "app/run/PatchRun.h"

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lumo/diagnostics/CrashHandlers.h"
#include "tests/app_run/RecordingHost.h"
#include "tests/app_run/RunFixture.h"
#include "tests/fixtures/StackOverflow.h"
#include "tests/fixtures/ScratchFolder.h"

namespace apprun {
namespace {

__attribute__((noinline)) void WriteThroughNull()
{
    volatile int* volatile target = nullptr;
    *target = 1;
}

using fixtures::RecurseForever;

void OverflowTheStack()
{
    RecurseForever(0);
}

std::vector<std::string> DumpsIn(const std::string& folder)
{
    std::vector<std::string> dumps;
    if (DIR* dir = opendir(folder.c_str()))
    {
        while (dirent* entry = readdir(dir))
        {
            const std::string name = entry->d_name;
            if (name.ends_with(".dmp"))
                dumps.push_back(name);
        }
        closedir(dir);
    }
    return dumps;
}

// The folder of the faulting child. The death test's child runs this test again from its start:
// it finds the folder its parent made through the environment.
std::string ChildFolder(const std::string& name)
{
    constexpr char kVariable[] = "APPRUN_FAULT_FOLDER";
    static std::unique_ptr<fixtures::ScratchFolder> own;
    if (!getenv(kVariable))
    {
        own = std::make_unique<fixtures::ScratchFolder>();
        setenv(kVariable, own->Path().c_str(), 1);
    }
    const std::string folder = std::string(getenv(kVariable)) + "/" + name;
    mkdir(folder.c_str(), 0700);
    return folder;
}

TEST(RunThreadFaultDeathTest, AFaultInTheDatabaseRebuildEndsTheProcessWithTheFatalDump)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Row { const char* name; void (*fault)(); };
    const Row rows[] = {{"null-write", WriteThroughNull}, {"stack-overflow", OverflowTheStack}};
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        const std::string folder = ChildFolder(row.name);
        EXPECT_EXIT(
            {
                if (chdir(folder.c_str()) != 0)
                    _exit(1);
                setenv("TMPDIR", folder.c_str(), 1);
                InstallCrashHandlers(true);
                BuildMinidumpName(L"patcher");
                RunMachine machine;
                machine.ResetOptions(kBuildA);
                ObservedHost host;
                // The utility's output is logged by the rebuild thread.
                host.onLine = [&row](int, const std::wstring& text) {
                    if (text.find(L"repairdatabase line") != std::wstring::npos)
                        row.fault();
                };
                LumoPatch::PatchRun(host).UpdateAssetDatabase();
                _exit(0);
            },
            testing::ExitedWithCode(255), "Unhandled Exception");
        const std::vector<std::string> dumps = DumpsIn(folder);
        ASSERT_EQ(dumps.size(), 1u);
        EXPECT_TRUE(dumps[0].starts_with("patcher-v35673-")) << dumps[0];
    }
}

}  // namespace
}  // namespace apprun
