#pragma once
// The kernel's fatal-error path. Every kernel thread body runs inside two guards:
//  - a fault guard: a fault (SIGSEGV, SIGBUS, SIGFPE, SIGILL) on a guarded thread, or a C++
//    exception nobody caught, writes the error report (ErrorReport.h); when the crash-report
//    program was started the fault counts as handled and the body's result is 0 (the thread
//    ends, the process goes on). Otherwise the fault goes on to the crash handlers as if we had
//    not been there. Going back from a fault skips the destructors of the frames in between and
//    leaves their locks as they were, the price of letting the process live on.
//  - an exception guard: Kiln::AssertEx runs the critical shutdown; Kiln::Exception writes the
//    assertion report (HandleFatalException), then runs the critical shutdown; the result is 0.
// Failures inside the fatal path itself (an exception or a fault in the channel's print, the
// report or a shutdown callback, on any thread) are contained in the step that failed: a failed
// report shows the fatal-error text and sets the abort flag, a failed "Critical Shutdown ..."
// line closes the kernel log at once, a failed callback ends the chain with "Critical Shutdown
// failure!"; the report lock is released and the shutdown chain still runs.
//
// The "ExceptionHandler" log channel is reached through hooks that the kernel log installs;
// without them the channel counts as disabled.

#include <cstdint>

#include "Kiln/Src/Kiln/KernelStandard/KilnException.h"

namespace Kiln
{

class Thread;

uint32_t RunThreadGuarded(Thread& thread);
uint32_t RunThreadCatching(Thread& thread);

// Writes the assertion report for `exception`, one report at a time. 0 when it was written,
// 1 when reporting was not allowed or failed (the fatal-error box then shows, and from then on
// kernel thread bodies no longer run).
uint32_t HandleFatalException(const Exception& exception);

// Runs the shutdown callbacks, from the most recently added one on. A callback that throws
// ends the chain.
void CriticalShutdown();

using ShutdownCallback = void (*)(void* argument);
// Adds a callback to the front of the shutdown chain. Entries stay for the rest of the run.
void AddShutdownCallback(ShutdownCallback callback, void* argument);

// The "ExceptionHandler" channel, as the kernel log offers it.
struct ExceptionChannelHooks
{
    bool (*enabled)() = nullptr;                // running, threshold >= 1, a sink, not suppressed
    void (*print)(const char* text) = nullptr;  // writes at message level 1; may throw
    void (*emergencyClose)() = nullptr;         // closes the kernel log file at once
};
void SetExceptionChannelHooks(const ExceptionChannelHooks& hooks);

bool ExceptionHandlerEnabled();

// The abort flag: set when the fatal-error window could not be shown.
bool IsFatalAbortSet();
void SetFatalAbort(bool set);  // for tests and for the fatal path itself

}  // namespace Kiln
