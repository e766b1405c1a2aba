#pragma once
// What the process-wide tracking allocator uses: the unwinder for stacks, the symbol look-up for
// report lines, the debugger output for the report.

#include "lumo/diagnostics/DebugAllocator.h"

// Up to `capacity` return addresses, innermost first: this function's own place, its caller
// (Alloc), operator new, the code that allocated, and outwards. Allocates nothing and takes no
// lock of ours; a thread that asks again from an unchanged call chain gets its last walk back
// after checking it against the stack (see the .cpp).
__attribute__((noinline)) size_t CaptureAllocationStack(uint64_t* frames, size_t capacity);
bool SymboliseAllocationFrame(uint64_t address, std::string& file, int& line);
void WriteAllocatorOutput(const char* line);
bool AllocatorOutputRead();
// The dynamic loader's executable code, [begin, end); false when it cannot be found (a static
// program). Allocates nothing: callable before any static initialiser has run.
bool DynamicLoaderCode(uint64_t& begin, uint64_t& end);

inline constexpr DebugAllocator::Hooks kSystemDebugAllocatorHooks{&CaptureAllocationStack, &SymboliseAllocationFrame,
                                                                  &WriteAllocatorOutput, &AllocatorOutputRead};
