#include "lumo/diagnostics/DebugAllocatorFilter.h"

#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "lumo/diagnostics/CallStack.h"
#include "lumo/diagnostics/CrashState.h"
#include "lumo/diagnostics/DebugAllocator.h"
#include "lumo/diagnostics/FaultExit.h"
#include "lumo/diagnostics/SignalSafeText.h"
#include "platform/DebugOutput.h"
#include "platform/NativePath.h"
#include "platform/SignalChain.h"
#include "platform/StackCapture.h"

namespace
{

constexpr char kCaption[] = "Memory bound was overwritten";
constexpr size_t kMaximumFrames = kAllocatorMessageStackFrames;
constexpr unsigned kLookUpSeconds = 60;  // far beyond a look-up; only a hang reaches it

struct sigaction g_previous[NSIG];

// 0: no fault yet; the reporting thread's id while it writes; -1 once written.
std::atomic<int> g_reporter{0};

uint64_t g_addresses[kMaximumFrames];  // the reporting thread's alone
char g_text[64 * 1024];

void WriteAll(int fd, const char* text, size_t length)
{
    while (length > 0)
    {
        const ssize_t written = write(fd, text, length);
        if (written <= 0)
            return;
        text += written;
        length -= static_cast<size_t>(written);
    }
}

void Report(const ucontext_t* context)
{
    platform::StackStart start;
    start.pc = static_cast<uint64_t>(context->uc_mcontext.gregs[REG_RIP]);
    start.sp = static_cast<uint64_t>(context->uc_mcontext.gregs[REG_RSP]);
    const size_t count = platform::CaptureReturnAddressesFrom(start, g_addresses, kMaximumFrames);
    // The faulting place is no return address: the look-up steps back one byte from each.
    if (count > 0)
        ++g_addresses[0];

    alarm(kLookUpSeconds);
    DebugAllocator::UntrackedScope untracked;
    const size_t length = FormatFaultCallStack(g_addresses, count, g_text, sizeof g_text);
    alarm(0);

    WriteAll(STDERR_FILENO, kCaption, sizeof kCaption - 1);
    WriteAll(STDERR_FILENO, g_text, length);
    platform::WriteDebugOutput(std::string(kCaption) + g_text);
}

}  // namespace

size_t FormatFaultCallStack(const uint64_t* addresses, size_t count, char* text, size_t capacity)
{
    if (capacity == 0)
        return 0;
    size_t length = 0;
    text[0] = '\0';
    auto add = [&](const char* line, size_t size) {
        if (length + size >= capacity)
            return false;  // full: no further lines
        memcpy(text + length, line, size + 1);
        length += size;
        return true;
    };
    const char header[] = "\nCall stack:\n";
    if (!add(header, sizeof header - 1))
        return length;
    StackWalker::Acquire();
    char line[2048];
    for (size_t i = 0; i < count; ++i)
    {
        StackFrameRecord frame;
        StackWalker::SymboliseFrame(addresses[i], frame);
        const int size = snprintf(line, sizeof line, "%s(%d), %s\n", ToNativePath(frame.file).c_str(),
                                  static_cast<int>(frame.line), ToNativePath(frame.function).c_str());
        if (size < 0 || !add(line, static_cast<size_t>(size) < sizeof line ? static_cast<size_t>(size) : sizeof line - 1))
            break;
    }
    StackWalker::Release(true);
    return length;
}

void DebugAllocatorExceptionFilter(int signalNumber, siginfo_t* info, void* context)
{
    ExitIfFaultGuarded(signalNumber, info);
    // Once the crash handlers are in, they alone answer a fault; they hand it on to us last.
    if (!crash::g_installed.load() && context)
    {
        const int self = static_cast<int>(gettid());
        int expected = 0;
        if (g_reporter.compare_exchange_strong(expected, self))
        {
            Report(static_cast<const ucontext_t*>(context));
            g_reporter.store(-1);
        }
        else
        {
            // Another thread reports: let it finish before this fault ends the process.
            for (int i = 0; i < 100 * static_cast<int>(kLookUpSeconds) && g_reporter.load() > 0; ++i)
            {
                timespec pause{0, 10 * 1000 * 1000};
                nanosleep(&pause, nullptr);
            }
        }
    }
    platform::PassSignalOn(signalNumber, info, context, g_previous[signalNumber]);
}

void InstallDebugAllocatorExceptionFilter()
{
    static std::once_flag once;
    std::call_once(once, [] {
        platform::PrepareStackCapture();
        platform::InstallFaultHandler(DebugAllocatorExceptionFilter, g_previous);
    });
}
