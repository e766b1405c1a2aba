#pragma once
// The product services' packed heap "#BlockArray", for the byte blocks of growing arrays: built
// at start-up (before main) and destroyed at exit. It carries its lock, so any thread may use it.
// At exit only its empty blocks are released; chunks still held keep their block.

#include "Kiln/Src/Kiln/KernelStandard/PackedHeap.h"

Kiln::PackedHeap& BlockArrayHeap();
