#pragma once
// Return addresses of the calling thread's stack, innermost first, through the compiler's
// unwinder (DWARF call-frame information, so it needs no frame pointers).
//
// The capture functions allocate nothing and take no lock of ours, so crash handlers may call
// them from a signal handler once PrepareStackCapture has run outside signal context (the
// unwinder sets itself up on first use). They only record addresses: turning them into names
// is SymbolLookup's work, which is not for signal context.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace platform
{

// Where a walk begins: an instruction address and the stack pointer of the frame it lies in.
struct StackStart
{
    uint64_t pc = 0;
    uint64_t sp = 0;
};

// Runs the unwinder once so that its first-use set-up does not happen inside a signal handler.
void PrepareStackCapture();

// Records up to `capacity` return addresses of the current stack, beginning with the caller of
// this function, after skipping `skip` more frames. Returns the count.
__attribute__((noinline)) size_t CaptureReturnAddresses(uint64_t* addresses, size_t capacity, size_t skip);

// Records the frames from `start` outwards: start.pc first, then the return addresses of the
// frames that called it. `start` must lie on the current thread's stack (a place in a function
// that is still running with that function's stack pointer, or the program counter and stack pointer
// of a signal's context); otherwise nothing is recorded.
__attribute__((noinline)) size_t CaptureReturnAddressesFrom(const StackStart& start, uint64_t* addresses,
                                                            size_t capacity);

// The frames of code this thread was running when it was interrupted (a signal handler's view of
// its interrupted code) or of a caller of the current function: the walk of the current stack from
// the frame at `first` (an interrupted instruction or a return address that the walk passes)
// outwards, the frames in between (the handler's, the walker's) left out. When the walk never
// reaches `first` (a jump to a bad address, a damaged stack): `first`, then what a walk from
// `first` and its stack pointer `sp` yields (sp 0: `first` alone). `frames` is also the walk's
// scratch space, so give it room for the frames in between too. Returns the count.
__attribute__((noinline)) size_t CaptureFramesFrom(uint64_t first, uint64_t sp, uint64_t* frames, size_t capacity);

// The window of a stack that dumps keep: from 128 bytes below the stack pointer (the red zone,
// which leaf functions use) upwards.
uint64_t StackWindowStart(uint64_t stackPointer);

// Reads at most `size` bytes of memory from `start` upwards, in the memory of `thread` (0: this
// process), without faulting on an address that is not mapped: the reading stops where the
// mapping ends (or the memory cannot be read). Each piece read goes to `sink` in order. Returns
// the count of bytes read. Async-signal-safe.
using MemoryChunkSink = void (*)(const void* bytes, size_t size, void* context);
size_t ReadMappedMemory(pid_t thread, uint64_t start, size_t size, MemoryChunkSink sink, void* context);

}  // namespace platform
