#include "lumo/DebugAllocatorHooks.h"

#include <atomic>

#include "lumo/CallStack.h"
#include "platform/DebugOutput.h"
#include "platform/NativePath.h"
#include "platform/StackCapture.h"

size_t CaptureAllocationStack(uint64_t* frames, size_t capacity)
{
    // skip 0: the first frame is this function's caller (Alloc), then operator new, then the
    // code that allocated.
    const size_t count = platform::CaptureReturnAddresses(frames, capacity, 0);
    // Keeps the call above from becoming a jump that would drop this frame.
    asm volatile("" ::: "memory");
    return count;
}

bool SymboliseAllocationFrame(uint64_t address, std::string& file, int& line)
{
    static std::atomic<bool> acquired{false};
    if (!acquired.exchange(true))
        StackWalker::Acquire();
    StackFrameRecord frame;
    if (!StackWalker::SymboliseFrame(address, frame))
        return false;
    file = ToNativePath(frame.file);
    line = static_cast<int>(frame.line);
    return true;
}

void WriteAllocatorOutput(const char* line)
{
    platform::WriteDebugOutput(line);
}
