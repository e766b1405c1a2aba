// The task guard: set, and with no debugger attached, a task that faults ends the process at once
// with exit code -100 (156 as the system keeps it) and no dump; else the crash handlers answer.

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

bool HasDump(const std::string& folder)
{
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        if (entry.path().extension() == ".dmp")
            return true;
    return false;
}

}  // namespace

TEST(TaskGuard, FaultingTaskEndsTheProcessOnlyUnderTheGuard)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer of this build handles fault signals itself";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_FALSE(IsTaskGuardSet());
    const struct
    {
        const char* name;
        bool guard, debugger, onWorker;  // posted to a worker, else run by the posting thread
    } cases[] = {
        {"guarded, posting thread", true, false, false},
        {"guarded, worker (past the kernel threads' guard)", true, false, true},
        {"unguarded", false, false, false},
        {"guard set, debugger attached", true, true, false},
    };
    // The death tests' children run this test again: there the folder comes from the parent.
    std::optional<fixtures::ScratchFolder> scratch;
    if (!getenv("LUMO_TASK_GUARD_FOLDER"))
        setenv("LUMO_TASK_GUARD_FOLDER", scratch.emplace().Path().c_str(), 1);
    const std::string root = getenv("LUMO_TASK_GUARD_FOLDER");
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::string folder = root + "/case" + std::to_string(&c - cases);
        std::filesystem::create_directories(folder);
        // Set up like the program: crash handlers, then the guard as asked; then the task is posted.
        const auto postFaultingTask = [&] {
            if (chdir(folder.c_str()) != 0 || setenv("TMPDIR", folder.c_str(), 1) != 0)
                _exit(120);
            InstallCrashHandlers(true);
            if (c.debugger)
                SetDebuggerProbe([] { return true; });
            SetTaskGuard(c.guard);
            PushMainThread();
            GetTaskDispatcher().Post(c.onWorker ? uint32_t{TASK_WORKER_THREAD} : 0u, new FaultingTask, 0, nullptr);
            _exit(0);  // not reached
        };
        const bool guardedExit = c.guard && !c.debugger;
        if (guardedExit)
            EXPECT_EXIT(postFaultingTask(), ::testing::ExitedWithCode(static_cast<uint8_t>(kTaskFaultExitCode)), "");
        else
            EXPECT_EXIT(postFaultingTask(), ::testing::KilledBySignal(SIGSEGV), "CreateMiniDump: ");
        EXPECT_EQ(HasDump(folder), !guardedExit);
    }
    if (scratch)
        unsetenv("LUMO_TASK_GUARD_FOLDER");
}
