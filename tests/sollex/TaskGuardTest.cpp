// The task guard: with it set and no debugger attached, a task that faults ends the process at
// once with exit code -100 (156 as the system keeps it), before the crash handlers or the kernel
// threads' guard write anything; without it the fault takes the crash handlers' way. Each case
// runs in a child process with its own working folder and TMPDIR.

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "lumo/diagnostics/CrashHandlers.h"
#include "sollex/SollexLog.h"
#include "sollex/TaskDispatcher.h"
#include "tests/fixtures/ScratchFolder.h"

namespace
{

class FaultingTask : public Task
{
public:
    uint32_t Run(uint32_t) override
    {
        *m_target = 7;  // a write to address 0
        return 0;
    }

private:
    volatile int* volatile m_target = nullptr;
};

struct GuardCase
{
    const char* name;
    bool guard;
    bool debugger;
    bool onWorker;  // posted from the main thread to a worker, else run by the posting thread
    bool guardedExit;
};

// Sets up the child like the program: crash handlers, then the guard as asked; posts the task.
void RunFaultingTaskInChild(const GuardCase& c, const std::string& folder)
{
    if (chdir(folder.c_str()) != 0 || setenv("TMPDIR", folder.c_str(), 1) != 0)
        _exit(120);
    InstallCrashHandlers(true);
    if (c.debugger)
        SetDebuggerProbe([] { return true; });
    SetTaskGuard(c.guard);
    PushMainThread();
    GetTaskDispatcher().Post(c.onWorker ? uint32_t{TASK_WORKER_THREAD} : 0u, new FaultingTask, 0, nullptr);
    _exit(0);  // not reached
}

bool HasDump(const std::string& folder)
{
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        if (entry.path().extension() == ".dmp")
            return true;
    return false;
}

}  // namespace

TEST(TaskGuard, IsOffUntilSet)
{
    EXPECT_FALSE(IsTaskGuardSet());
}

TEST(TaskGuard, FaultingTaskEndsTheProcessOnlyUnderTheGuard)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer of this build handles fault signals itself";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const GuardCase cases[] = {
        {"guarded, posting thread", true, false, false, true},
        {"guarded, worker (past the kernel threads' guard)", true, false, true, true},
        {"unguarded: the crash handlers", false, false, false, false},
        {"guard set, debugger attached: the crash handlers", true, true, false, false},
    };
    // The death tests run this test again in the child: there the folder comes from the parent.
    constexpr const char* kFolderVariable = "LUMO_TASK_GUARD_FOLDER";
    std::optional<fixtures::ScratchFolder> scratch;
    if (!getenv(kFolderVariable))
    {
        scratch.emplace();
        setenv(kFolderVariable, scratch->Path().c_str(), 1);
    }
    const std::string root = getenv(kFolderVariable);
    int index = 0;
    for (const GuardCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::string folder = root + "/case" + std::to_string(index++);
        if (scratch)
            std::filesystem::create_directory(folder);
        if (c.guardedExit)
        {
            EXPECT_EXIT(RunFaultingTaskInChild(c, folder),
                        ::testing::ExitedWithCode(static_cast<uint8_t>(kTaskFaultExitCode)), "");
            EXPECT_FALSE(HasDump(folder));
        }
        else
        {
            EXPECT_EXIT(RunFaultingTaskInChild(c, folder), ::testing::KilledBySignal(SIGSEGV), "CreateMiniDump: ");
            EXPECT_TRUE(HasDump(folder));
        }
    }
    if (scratch)
        unsetenv(kFolderVariable);
}
