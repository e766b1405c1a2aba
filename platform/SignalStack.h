#pragma once
// Alternate signal stacks. A thread that overflows its stack can only run a crash handler on a
// stack of its own; without one it dies without a trace. Every thread the program creates calls
// EnsureSignalStack at its start (the crash handlers do it for the thread that installs them and
// for guarded threads).

namespace platform
{

// Gives the calling thread an alternate signal stack (at least 64 KiB, with a guard page below)
// unless it has one. Freed when the thread ends.
void EnsureSignalStack();

}  // namespace platform
