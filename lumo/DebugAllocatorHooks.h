#pragma once
// What the process-wide tracking allocator uses: the unwinder for stacks, the symbol look-up for
// report lines, the debugger output for the report.

#include "lumo/DebugAllocator.h"

// 18 frames starting with the caller of the function that calls this (Alloc's own frame first,
// as the record layout expects). Allocates nothing.
__attribute__((noinline)) size_t CaptureAllocationStack(uint64_t* frames, size_t capacity);
bool SymboliseAllocationFrame(uint64_t address, std::string& file, int& line);
void WriteAllocatorOutput(const char* line);

inline constexpr DebugAllocator::Hooks kSystemDebugAllocatorHooks{&CaptureAllocationStack, &SymboliseAllocationFrame,
                                                                  &WriteAllocatorOutput};
