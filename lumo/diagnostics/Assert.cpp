#include "lumo/diagnostics/Assert.h"

#include <cstdint>
#include <cstdlib>

#include "lumo/diagnostics/AnalysisLog.h"
#include "lumo/diagnostics/CallStack.h"
#include "lumo/diagnostics/CrashHandlers.h"
#include "lumo/diagnostics/SystemLog.h"

__attribute__((noinline)) void Assert(bool condition, const char* text)
{
    if (condition)
        return;
    const uint64_t caller = reinterpret_cast<uint64_t>(__builtin_return_address(0));
    // The lock keeps other threads' lines out of the report; it is recursive for this thread.
    LockSystemLog();
    if (AnalysisLog* log = GetAnalysisLog())
        log->SetFlushEachLine(true);
    SystemLogPrintf("Assertion failed: %s", text ? text : "");
    WriteDumpNowFor(CrashDumpReason::Assertion, text, caller);
    LogCallStack(true);
    UnlockSystemLog();
    // Never returns and never reports success: abort ends the process by SIGABRT.
    abort();
}
