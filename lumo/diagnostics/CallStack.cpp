#include "lumo/diagnostics/CallStack.h"

#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include "platform/NativePath.h"
#include "platform/SymbolLookup.h"
#include "lumo/diagnostics/SystemLog.h"

namespace
{

// Created on first use and never destroyed: crash reports may walk during exit.
std::recursive_mutex& WalkerLock()
{
    static std::recursive_mutex* lock = new std::recursive_mutex;
    return *lock;
}

uint32_t g_users = 0;      // under the walker lock
bool g_symbolsReady = false;  // under the walker lock

// Keeps the system-log lock for a scope, so the lines of one stack stay together.
class SystemLogScope
{
public:
    SystemLogScope() { LockSystemLog(); }
    ~SystemLogScope() { UnlockSystemLog(); }
    SystemLogScope(const SystemLogScope&) = delete;
    SystemLogScope& operator=(const SystemLogScope&) = delete;
};

}  // namespace

void StackWalker::Acquire()
{
    std::lock_guard<std::recursive_mutex> guard(WalkerLock());
    if (g_users++ == 0 && !g_symbolsReady)
        g_symbolsReady = platform::InitialiseSymbolLookup();
}

void StackWalker::Release(bool /*keep*/)
{
    std::lock_guard<std::recursive_mutex> guard(WalkerLock());
    if (g_users > 0)
        --g_users;
}

bool StackWalker::SymbolsReady()
{
    std::lock_guard<std::recursive_mutex> guard(WalkerLock());
    return g_symbolsReady;
}

void StackWalker::CaptureContext(StackContext& context)
{
    context = StackContext{};
    // Our own CFA is the caller's stack pointer at this call; the return address is its place.
    context.pc = reinterpret_cast<uint64_t>(__builtin_extract_return_addr(__builtin_return_address(0)));
    context.sp = reinterpret_cast<uint64_t>(__builtin_dwarf_cfa());
}

bool StackWalker::CaptureContext(StackContext& context, pid_t thread, std::string& error, int timeoutMs)
{
    context = StackContext{};
    error.clear();
    if (thread == static_cast<pid_t>(syscall(SYS_gettid)))
    {
        context.pc = reinterpret_cast<uint64_t>(__builtin_extract_return_addr(__builtin_return_address(0)));
        context.sp = reinterpret_cast<uint64_t>(__builtin_dwarf_cfa());
        return true;
    }
    platform::ThreadCapture capture;
    if (platform::CaptureThread(thread, timeoutMs, capture, error) != platform::ThreadCaptureResult::Captured)
        return false;
    context.pc = capture.place.pc;
    context.sp = capture.place.sp;
    context.thread = thread;
    context.frames = std::make_shared<const std::vector<uint64_t>>(std::move(capture.frames));
    return true;
}

uint16_t StackWalker::Walk(uint64_t* addresses, const StackContext& start, uint32_t limit)
{
    if (limit > 0xFFFF)
        limit = 0xFFFF;
    if (start.frames)
    {
        const size_t count = start.frames->size() < limit ? start.frames->size() : limit;
        std::copy(start.frames->begin(), start.frames->begin() + static_cast<std::ptrdiff_t>(count), addresses);
        return static_cast<uint16_t>(count);
    }
    std::lock_guard<std::recursive_mutex> guard(WalkerLock());
    return static_cast<uint16_t>(platform::CaptureReturnAddressesFrom(start, addresses, limit));
}

bool StackWalker::SymboliseFrame(uint64_t address, StackFrameRecord& frame)
{
    std::lock_guard<std::recursive_mutex> guard(WalkerLock());
    if (!g_symbolsReady)
        return false;
    platform::SymbolInfo info;
    if (!platform::LookUpSymbol(address, info))
        return false;
    // Names come from the images as UTF-8, like every text the OS hands us.
    frame.function = FromNativePath(info.function);
    if (!info.file.empty())
    {
        frame.file = FromNativePath(info.file);
        frame.line = info.line;
    }
    if (!info.image.empty())
        frame.image = FromNativePath(info.image);
    return true;
}

void StackWalker::Symbolise(const uint64_t* addresses, uint16_t count, std::vector<StackFrameRecord>& frames)
{
    std::lock_guard<std::recursive_mutex> guard(WalkerLock());
    frames.clear();
    frames.reserve(count);
    for (uint16_t i = 0; i < count; ++i)
    {
        StackFrameRecord frame;
        SymboliseFrame(addresses[i], frame);
        frames.push_back(std::move(frame));
    }
}

void StackWalker::CaptureAndSymbolise(std::vector<StackFrameRecord>& frames, const StackContext& start,
                                      uint32_t limit)
{
    if (limit > 0xFFFF)
        limit = 0xFFFF;
    std::unique_ptr<uint64_t[]> addresses(new uint64_t[limit ? limit : 1]);
    const uint16_t count = Walk(addresses.get(), start, limit);
    Symbolise(addresses.get(), count, frames);
}

void LogCallStack(bool withSymbols)
{
    SystemLogScope logScope;
    StackWalker::Acquire();

    StackContext context;
    StackWalker::CaptureContext(context);
    uint64_t addresses[kLogCallStackFrames];
    const uint16_t count = StackWalker::Walk(addresses, context, kLogCallStackFrames);

    // Addresses that fit whole in 510 characters; the next one is left out rather than cut.
    char text[512];
    size_t length = 0;
    text[0] = '\0';
    for (uint16_t i = 0; i < count; ++i)
    {
        char item[24];
        const int n = snprintf(item, sizeof item, "%llx ", static_cast<unsigned long long>(addresses[i]));
        if (n <= 0 || length + static_cast<size_t>(n) >= 511)
            break;
        memcpy(text + length, item, static_cast<size_t>(n) + 1);
        length += static_cast<size_t>(n);
    }
    SystemLogPrintf("callstack: %s", text);

    if (withSymbols)
    {
        std::vector<StackFrameRecord> frames;
        StackWalker::Symbolise(addresses, count, frames);
        for (const StackFrameRecord& frame : frames)
            SystemLogPrintfW(L"  %s %s [%s:%d]", frame.image.c_str(), frame.function.c_str(), frame.file.c_str(),
                             static_cast<int>(frame.line));
    }
    StackWalker::Release(true);
}
