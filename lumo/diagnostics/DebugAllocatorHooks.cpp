#include "lumo/diagnostics/DebugAllocatorHooks.h"

#include <link.h>
#include <sys/auxv.h>
#include <unwind.h>

#include <atomic>
#include <cstring>

#include "lumo/diagnostics/CallStack.h"
#include "platform/DebugOutput.h"
#include "platform/NativePath.h"

namespace
{

// The unwinder costs well over 100 ns a frame, and programs allocate in loops: the same few call
// chains ask again and again. Each thread remembers its last few walks (the return addresses and
// the stack slots they were found in). When the capture starts from the same place on the stack and
// every remembered slot still holds its remembered return address, the chain is the same one:
// each of those functions is running at the same place with the same frame, so the walk would
// find exactly these addresses. Any difference sends the capture to the unwinder.
constexpr size_t kMemoFrames = kAllocationFrames + 8;

struct StackMemo
{
    uint64_t cfa = 0;  // the capture function's own frame address
    size_t capacity = 0;
    size_t count = 0;
    uint64_t addresses[kMemoFrames] = {};
    uint64_t slots[kMemoFrames] = {};  // where addresses[i] lies on the stack (unused for i = 0)
};

// Enough for the chains a loop takes turns between (a container and its elements, a parser's
// node kinds); a new walk replaces the oldest.
constexpr size_t kMemos = 4;

struct StackMemos
{
    StackMemo memo[kMemos];
    size_t next = 0;  // the one the next walk replaces
};

__attribute__((tls_model("initial-exec"))) thread_local StackMemos t_memos;

struct Walk
{
    uint64_t* addresses;
    uint64_t* frameAddresses;
    size_t capacity;
    size_t count;
};

_Unwind_Reason_Code RecordFrame(struct _Unwind_Context* context, void* argument)
{
    Walk& walk = *static_cast<Walk*>(argument);
    if (walk.count >= walk.capacity)
        return _URC_END_OF_STACK;
    int beforeInstruction = 0;
    const uint64_t address = static_cast<uint64_t>(_Unwind_GetIPInfo(context, &beforeInstruction));
    if (address == 0)
        return _URC_END_OF_STACK;
    walk.addresses[walk.count] = address;
    walk.frameAddresses[walk.count] = static_cast<uint64_t>(_Unwind_GetCFA(context));
    ++walk.count;
    return _URC_NO_REASON;
}

bool MemoStillHolds(const StackMemo& memo, uint64_t cfa, size_t capacity)
{
    if (memo.count == 0 || memo.cfa != cfa || memo.capacity != capacity)
        return false;
    for (size_t i = 1; i < memo.count; ++i)
    {
        uint64_t value;
        memcpy(&value, reinterpret_cast<const void*>(memo.slots[i]), sizeof(value));
        if (value != memo.addresses[i])
            return false;
    }
    return true;
}

}  // namespace

size_t CaptureAllocationStack(uint64_t* frames, size_t capacity)
{
    if (capacity > kMemoFrames)
        capacity = kMemoFrames;
    const uint64_t cfa = reinterpret_cast<uint64_t>(__builtin_dwarf_cfa());
    StackMemos& memos = t_memos;
    for (const StackMemo& known : memos.memo)
    {
        if (MemoStillHolds(known, cfa, capacity))
        {
            memcpy(frames, known.addresses, known.count * sizeof(uint64_t));
            return known.count;
        }
    }
    StackMemo& memo = memos.memo[memos.next];
    memos.next = (memos.next + 1) % kMemos;

    // The first frame is this function's own (the return point of the call below), then its
    // caller (Alloc), operator new and the code that allocated.
    uint64_t frameAddresses[kMemoFrames];
    Walk walk{frames, frameAddresses, capacity, 0};
    _Unwind_Backtrace(RecordFrame, &walk);
    memo.count = 0;
    // The unwinder gives, with each return address, the frame address of the function it
    // returns from: the address lies in the 8 bytes below it. The second one is therefore this
    // function's own frame address.
    if (walk.count < 2 || frameAddresses[1] != cfa)
        return walk.count;  // not the walk this function expects: nothing to remember
    for (size_t i = 1; i < walk.count; ++i)
        memo.slots[i] = frameAddresses[i] - sizeof(uint64_t);
    memcpy(memo.addresses, frames, walk.count * sizeof(uint64_t));
    memo.cfa = cfa;
    memo.capacity = capacity;
    memo.count = walk.count;
    return walk.count;
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

bool AllocatorOutputRead()
{
    return platform::DebugOutputHasReader();
}

namespace
{

struct LoaderSearch
{
    uintptr_t base;
    uint64_t begin;
    uint64_t end;
};

int FindLoaderCode(struct dl_phdr_info* info, size_t, void* argument)
{
    LoaderSearch& search = *static_cast<LoaderSearch*>(argument);
    if (info->dlpi_addr != search.base)
        return 0;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i)
    {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD || !(segment.p_flags & PF_X))
            continue;
        const uint64_t begin = info->dlpi_addr + segment.p_vaddr;
        const uint64_t end = begin + segment.p_memsz;
        if (search.begin == search.end || begin < search.begin)
            search.begin = begin;
        if (end > search.end)
            search.end = end;
    }
    return 1;
}

}  // namespace

bool DynamicLoaderCode(uint64_t& begin, uint64_t& end)
{
    // The kernel tells every dynamically linked program where it put the loader.
    LoaderSearch search{static_cast<uintptr_t>(getauxval(AT_BASE)), 0, 0};
    if (search.base == 0)
        return false;
    dl_iterate_phdr(FindLoaderCode, &search);
    if (search.begin == search.end)
        return false;
    begin = search.begin;
    end = search.end;
    return true;
}
