#pragma once
// Memory for the kernel's string texts: pieces of up to 160 bytes come from the "#StringData"
// packed heap, larger ones from Alloc::New. Sizes are rounded up to a multiple of 8; the caller
// gives the same size back when it frees. Pieces are only 4-byte aligned (packed heap).
//
// One process-wide lock, never destroyed, guards creating the heap and every piece taken from
// or given back to it. The heap lives until the kernel shuts down (and longer while pieces of it
// are still held), so no thread can find it gone between looking it up and using it.

#include <cstddef>

namespace Kiln
{

void* StringDataAlloc(size_t size);
void StringDataFree(void* pointer, size_t size);
// Part of the kernel shut-down: destroys the heap when nothing of it is held any more.
void StringDataShutdown();
// Whether the "#StringData" heap exists (for tests).
bool StringDataHeapExists();

}  // namespace Kiln
