#include "platform/StackCapture.h"

#include <sys/uio.h>
#include <unistd.h>
#include <unwind.h>

namespace platform
{
namespace
{

struct WalkState
{
    uint64_t* addresses;
    size_t capacity;
    size_t count;
    size_t skip;         // frames still to pass over before recording
    StackStart start;    // with sp != 0: record from the frame whose stack pointer is start.sp
    bool exact;          // that frame's stack pointer must equal start.sp (else: the first at or above it)
    bool started;
};

_Unwind_Reason_Code RecordFrame(struct _Unwind_Context* context, void* argument)
{
    WalkState& state = *static_cast<WalkState*>(argument);
    int beforeInstruction = 0;
    uint64_t pc = static_cast<uint64_t>(_Unwind_GetIPInfo(context, &beforeInstruction));
    if (pc == 0)
        return _URC_END_OF_STACK;

    if (state.start.sp != 0 && !state.started)
    {
        // For a frame reached by unwinding, the unwinder's CFA is the CFA of the frame it came
        // from: the stack pointer this frame had at its call. The frame that holds start.pc has
        // start.sp there; the walk's own frames lie elsewhere (below it, or on a signal stack).
        const uint64_t sp = static_cast<uint64_t>(_Unwind_GetCFA(context));
        if (state.exact ? sp != state.start.sp : sp < state.start.sp)
            return _URC_NO_REASON;
        state.started = true;
        pc = state.start.pc;
    }
    else if (state.skip > 0)
    {
        --state.skip;
        return _URC_NO_REASON;
    }

    if (state.count >= state.capacity)
        return _URC_END_OF_STACK;
    state.addresses[state.count++] = pc;
    return state.count >= state.capacity ? _URC_END_OF_STACK : _URC_NO_REASON;
}

}  // namespace

void PrepareStackCapture()
{
    uint64_t addresses[4];
    CaptureReturnAddresses(addresses, 4, 0);
}

size_t CaptureReturnAddresses(uint64_t* addresses, size_t capacity, size_t skip)
{
    if (addresses == nullptr || capacity == 0)
        return 0;
    // +1: this function's own frame.
    WalkState state{addresses, capacity, 0, skip + 1, StackStart{}, false, false};
    _Unwind_Backtrace(RecordFrame, &state);
    return state.count;
}

size_t CaptureReturnAddressesFrom(const StackStart& start, uint64_t* addresses, size_t capacity)
{
    if (addresses == nullptr || capacity == 0 || start.sp == 0)
        return 0;
    WalkState state{addresses, capacity, 0, 0, start, true, false};
    _Unwind_Backtrace(RecordFrame, &state);
    if (!state.started)
    {
        // The caller's stack pointer moved between capture and walk (or the unwinder reports it
        // differently): take the first frame at or above it.
        state = WalkState{addresses, capacity, 0, 0, start, false, false};
        _Unwind_Backtrace(RecordFrame, &state);
    }
    return state.count;
}

uint64_t StackWindowStart(uint64_t stackPointer)
{
    return stackPointer > 128 ? stackPointer - 128 : 0;
}

size_t ReadMappedMemory(pid_t thread, uint64_t start, size_t size, MemoryChunkSink sink, void* context)
{
    uint8_t chunk[512];
    const uint64_t end = start + size;
    uint64_t at = start;
    while (at < end)
    {
        // Chunks end on 512-byte boundaries, so the reading ends exactly where the mapping ends.
        size_t length = static_cast<size_t>(sizeof(chunk) - at % sizeof(chunk));
        if (at + length > end)
            length = static_cast<size_t>(end - at);
        // The kernel reports EFAULT for memory that is not there instead of faulting.
        iovec local{chunk, length};
        iovec remote{reinterpret_cast<void*>(at), length};
        if (process_vm_readv(thread ? thread : getpid(), &local, 1, &remote, 1, 0) != static_cast<ssize_t>(length))
            break;
        sink(chunk, length, context);
        at += length;
    }
    return static_cast<size_t>(at - start);
}

size_t CaptureFramesFrom(uint64_t first, uint64_t sp, uint64_t* frames, size_t capacity)
{
    if (frames == nullptr || capacity == 0)
        return 0;
    const size_t walked = CaptureReturnAddresses(frames, capacity, 0);
    for (size_t i = 0; i < walked; ++i)
    {
        if (frames[i] != first)
            continue;
        // Moved down in place (no memmove: this runs in signal handlers).
        for (size_t j = i; j < walked; ++j)
            frames[j - i] = frames[j];
        return walked - i;
    }
    StackStart from;
    from.pc = first;
    from.sp = sp;
    size_t count = CaptureReturnAddressesFrom(from, frames, capacity);
    if (count == 0 && first != 0)
        frames[count++] = first;
    return count;
}

}  // namespace platform
