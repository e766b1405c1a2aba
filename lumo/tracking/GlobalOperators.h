#pragma once
// The process-wide tracking allocator of a program that links the global operators
// (lumo/tracking/GlobalOperators.cpp), and the free forms of its settings.

#include "lumo/diagnostics/DebugAllocator.h"

DebugAllocator& GlobalDebugAllocator();
void SetOptions(bool siteStatistics, bool siteFrees);
void SetOutputCallback(DebugAllocatorOutputCallback callback);
// For tests: guard pages for the blocks made from now on (nothing in the program turns them on).
void SetGuardPages(GuardPages mode);
