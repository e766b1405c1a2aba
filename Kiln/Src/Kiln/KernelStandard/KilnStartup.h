#pragma once
// Kernel start-up and the kernel exit table.
//
// KilnLibraryInit runs once per process, on the first call: it runs the start-up list (which
// registers the exit-table runner with the C library's exit functions), sets the character-type
// locale, records the main thread's id, creates the interned-string table, registers
// KilnShutdown as the table's first entry, creates the kernel's log channels, and interns "/"
// (released again by an exit function). A start-up object in the kernel library calls it during
// static initialisation, and every kernel facility that needs it calls it first, so nothing
// depends on the order in which static initialisers of different files run.
//
// The exit table holds 1,024 functions and runs them last-in first-out, each once: an entry
// registered while the table runs is run next, and an entry that calls exit() hands the rest of
// the table to the exit that follows. Because the runner is registered with the C library when
// the kernel starts, it runs after every exit function registered later. KilnShutdown, the first
// entry, runs last.

#include <cstdint>

#include "Kiln/Src/Kiln/KernelStandard/StringTable.h"

namespace Kiln
{

using KilnExitFunction = void (*)();
constexpr uint32_t kKilnExitSlots = 1024;

void KilnLibraryInit();
// Calls every entry of the start-up list (none in this program), then registers
// RunKilnExitTable with the C library's exit functions. Runs once.
void RunStartupList();
// Appends fn to the exit table. A full table refuses it: false, with a message on the debugger
// output; the table and its entries stay as they were.
bool RegisterKilnExit(KilnExitFunction fn);
void RunKilnExitTable();
uint32_t KilnExitCount();
// The kernel's own exit function: frees the interned strings and shuts the log down.
void KilnShutdown();
bool IsKilnShutDown();

// The id (gettid) of the thread that ran KilnLibraryInit.
uint32_t KilnMainThreadId();
// The interned "/" held from start-up until exit.
InternedString* KilnRootName();

}  // namespace Kiln
