// The task guard: set, and with no debugger attached, a task that faults ends the process at once
// with exit code -100 (156 as the system keeps it) and no dump; else the crash handlers answer.

#include <signal.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "lumo/diagnostics/CrashHandlers.h"
#include "sollex/SollexLog.h"
#include "sollex/TaskDispatcher.h"
#include "tests/fixtures/ScopedEnv.h"
#include "tests/fixtures/ScratchFolder.h"

TEST(TaskGuard, FaultingTaskEndsTheProcessOnlyUnderTheGuard)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer of this build handles fault signals itself";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_FALSE(IsTaskGuardSet());
    struct FaultingTask : Task
    {
        uint32_t Run(uint32_t) override { *target = 7; return 0; }  // a write to address 0
        volatile int* volatile target = nullptr;
    };
    const struct { const char* name; bool guard, debugger, onWorker; } cases[] = {
        {"guarded", true, false, false}, {"guarded, on the worker, past its thread's guard", true, false, true},
        {"unguarded", false, false, false}, {"guard set, debugger attached", true, true, false}};
    // Dumps land in a scratch folder; the death tests' children, which run this test again, make theirs inside it.
    const fixtures::ScratchFolder folder;
    const fixtures::ScopedEnv temp("TMPDIR", folder.Path().c_str());
    for (const auto& c : cases)
    {
        const auto postFaultingTask = [&] {  // set up like the program, then post the task
            if (chdir(folder.Path().c_str()) != 0)
                _exit(120);
            InstallCrashHandlers(true);
            SetDebuggerProbe(c.debugger ? [] { return true; } : DebuggerProbe(nullptr));
            SetTaskGuard(c.guard);
            PushMainThread();
            GetTaskDispatcher().Post(c.onWorker ? uint32_t{TASK_WORKER_THREAD} : 0u, new FaultingTask, 0, nullptr);
        };
        if (c.guard && !c.debugger)
            EXPECT_EXIT(postFaultingTask(), ::testing::ExitedWithCode(static_cast<uint8_t>(kTaskFaultExitCode)),
                        ::testing::Not(::testing::HasSubstr("CreateMiniDump"))) << c.name;
        else
            EXPECT_EXIT(postFaultingTask(), ::testing::KilledBySignal(SIGSEGV), "CreateMiniDump: ") << c.name;
    }
}
