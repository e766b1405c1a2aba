#include "Kiln/Src/Kiln/KernelStandard/FatalError.h"

#include <cxxabi.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "Kiln/Src/Kiln/KernelStandard/ErrorReport.h"
#include "Kiln/Src/Kiln/KernelStandard/KilnThread.h"
#include "lumo/diagnostics/FaultExit.h"
#include "platform/SignalChain.h"
#include "platform/SignalStack.h"

namespace Kiln
{

namespace
{

std::atomic<bool> g_reportAllowed{true};
std::atomic<bool> g_abort{false};
std::atomic<bool> g_shutdownInProgress{false};
// One lock for every report of the run; never destroyed, so a thread that reports while the
// process exits never finds it gone.
std::mutex& ReportLock()
{
    static std::mutex* lock = new std::mutex;
    return *lock;
}

struct ShutdownNode
{
    void* argument;
    ShutdownCallback callback;
    ShutdownNode* next;
};
std::atomic<ShutdownNode*> g_shutdownChain{nullptr};

std::atomic<bool (*)()> g_channelEnabled{nullptr};
std::atomic<void (*)(const char*)> g_channelPrint{nullptr};
std::atomic<void (*)()> g_channelEmergencyClose{nullptr};

void PrintToChannel(const char* text)
{
    if (auto print = g_channelPrint.load())
        print(text);
}

// ---- the fault guard ----

struct GuardFrame
{
    sigjmp_buf resume;
    GuardFrame* previous;
    volatile sig_atomic_t reporting;
};

thread_local GuardFrame* t_guard = nullptr;

// A step of the fatal path that must not take the path down with it (RunContained).
struct ContainedFrame
{
    sigjmp_buf resume;
    ContainedFrame* previous;
};

thread_local ContainedFrame* t_contained = nullptr;

struct sigaction g_previousActions[NSIG];

// The guard's handlers stay installed for the other kernel threads.
void PassOn(int signalNumber, siginfo_t* info, void* context)
{
    platform::PassSignalOn(signalNumber, info, context, g_previousActions[signalNumber], true);
}

void OnGuardedSignal(int signalNumber, siginfo_t* info, void* context)
{
    // A fault exit guard (a guarded task, say) inside this thread's body ends the process first.
    ExitIfFaultGuarded(signalNumber, info);
    // A fault inside a step of the fatal path fails that step alone (RunContained).
    if (ContainedFrame* contained = t_contained)
        siglongjmp(contained->resume, 1);
    GuardFrame* frame = t_guard;
    if (frame && !frame->reporting)
    {
        frame->reporting = 1;  // a fault inside the report goes on to the crash handlers
        ExceptionPointers pointers;
        MakeExceptionPointers(signalNumber, info, static_cast<const ucontext_t*>(context), pointers);
        pointers.inSignalHandler = true;
        if (WriteExceptionReport(&pointers) == 1)
            siglongjmp(frame->resume, 1);
    }
    PassOn(signalNumber, info, context);
}

void InstallFaultGuard()
{
    static std::once_flag once;
    std::call_once(once, [] {
        PrepareErrorReport();
        platform::InstallFaultHandler(OnGuardedSignal, g_previousActions, SA_NODEFER);
    });
}

// Runs body(argument) on the calling thread; false when it threw or faulted. The fatal path runs
// its steps this way, so that a failure inside one (a print hook that faults, say) fails that
// step and the path goes on: its lock is released and reporting stays possible. A fault jumps
// back here past the frames in between: their destructors do not run, so the steps keep what
// they hold on the stack.
bool RunContained(void (*body)(void*), void* argument)
{
    InstallFaultGuard();
    platform::EnsureSignalStack();
    ContainedFrame frame;
    frame.previous = t_contained;
    if (sigsetjmp(frame.resume, 1) != 0)
    {
        t_contained = frame.previous;
        return false;
    }
    t_contained = &frame;
    try
    {
        body(argument);
    }
    catch (abi::__forced_unwind&)
    {
        t_contained = frame.previous;  // the thread is being ended on purpose
        throw;
    }
    catch (...)
    {
        t_contained = frame.previous;
        return false;
    }
    t_contained = frame.previous;
    return true;
}

struct FatalReportStep
{
    const Exception* exception;
    uint32_t result;
};

// The steps of a fatal report that may fail: the channel's line and the assertion report.
void WriteFatalReport(void* argument)
{
    FatalReportStep& step = *static_cast<FatalReportStep*>(argument);
    if (ExceptionHandlerEnabled())
    {
        // On the stack: a fault in the print leaves nothing on the heap behind.
        char text[sizeof("** EXCEPTION **\n   \n") + 4096];
        snprintf(text, sizeof text, "** EXCEPTION **\n   %s\n", step.exception->CallStack());
        PrintToChannel(text);
    }
    step.result = static_cast<uint32_t>(WriteAssertReport(*step.exception));
}

void PrintShutdownLine(void*)
{
    if (ExceptionHandlerEnabled())
        PrintToChannel("Critical Shutdown ...");
}

void PrintShutdownFailure(void*)
{
    if (ExceptionHandlerEnabled())
        PrintToChannel("Critical Shutdown failure!");
}

void RunShutdownChain(void*)
{
    for (ShutdownNode* node = g_shutdownChain.load(); node; node = node->next)
        node->callback(node->argument);
}

// A C++ exception that no guard caught, reported like a fault of the system's C++ exception code.
int ReportUncaughtException()
{
    ucontext_t context;
    getcontext(&context);
    ExceptionPointers pointers;
    pointers.code = kCppExceptionCode;
    pointers.context = &context;
    return WriteExceptionReport(&pointers);
}

}  // namespace

uint32_t RunThreadGuarded(Thread& thread)
{
    if (g_abort.load())
        return 0;
    InstallFaultGuard();
    platform::EnsureSignalStack();

    GuardFrame frame;
    frame.previous = t_guard;
    frame.reporting = 0;
    if (sigsetjmp(frame.resume, 1) != 0)
    {
        // Back from a reported fault.
        t_guard = frame.previous;
        return 0;
    }
    t_guard = &frame;
    uint32_t result = 0;
    try
    {
        result = RunThreadCatching(thread);
    }
    catch (abi::__forced_unwind&)
    {
        t_guard = frame.previous;  // the thread is being ended on purpose
        throw;
    }
    catch (...)
    {
        frame.reporting = 1;
        if (ReportUncaughtException() != 1)
        {
            t_guard = frame.previous;
            throw;
        }
        result = 0;
    }
    t_guard = frame.previous;
    return result;
}

uint32_t RunThreadCatching(Thread& thread)
{
    try
    {
        return thread.CallRoutine();
    }
    catch (const AssertEx&)
    {
        CriticalShutdown();
        return 0;
    }
    catch (const Exception& exception)
    {
        HandleFatalException(exception);
        CriticalShutdown();
        return 0;
    }
}

uint32_t HandleFatalException(const Exception& exception)
{
    // Only one report at a time: a second fatal error elsewhere returns at once.
    if (!g_reportAllowed.exchange(false))
        return 1;
    std::lock_guard<std::mutex> lock(ReportLock());
    if (g_abort.load())
        return 1;
    FatalReportStep step{&exception, 0};
    uint32_t result = 0;
    if (RunContained(WriteFatalReport, &step))
    {
        result = step.result;
    }
    else
    {
        CloseAbandonedReport();
        ShowFatalMessageBox("An error occurred trying to display the fatal error window! (0)", "Fatal Error");
        g_abort = true;
        result = 1;
    }
    if (!g_abort.load())
        g_reportAllowed = true;
    return result;
}

void CriticalShutdown()
{
    if (g_shutdownInProgress.load() && !g_shutdownChain.load())
        return;
    g_shutdownInProgress = true;
    if (!RunContained(PrintShutdownLine, nullptr))
    {
        if (auto close = g_channelEmergencyClose.load())
            close();
    }
    if (!RunContained(RunShutdownChain, nullptr))
        RunContained(PrintShutdownFailure, nullptr);  // a failure of this line too is left at that
    g_shutdownInProgress = false;
}

void AddShutdownCallback(ShutdownCallback callback, void* argument)
{
    ShutdownNode* node = new ShutdownNode{argument, callback, g_shutdownChain.load()};
    while (!g_shutdownChain.compare_exchange_weak(node->next, node))
    {
    }
}

void SetExceptionChannelHooks(const ExceptionChannelHooks& hooks)
{
    g_channelEnabled = hooks.enabled;
    g_channelPrint = hooks.print;
    g_channelEmergencyClose = hooks.emergencyClose;
}

bool ExceptionHandlerEnabled()
{
    auto enabled = g_channelEnabled.load();
    return enabled && g_channelPrint.load() && enabled();
}

bool IsFatalAbortSet()
{
    return g_abort.load();
}

void SetFatalAbort(bool set)
{
    g_abort = set;
}

}  // namespace Kiln
