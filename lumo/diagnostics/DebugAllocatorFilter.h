#pragma once
// The tracking allocator's exception filter: the process's fault handler from the moment the
// allocator starts tracking until the crash handlers take over (InstallCrashHandlers). A fault
// then (an overrun caught by a guard page, typically) shows the faulting thread's stack under
// the caption "Memory bound was overwritten", on standard error and in the debugger output:
//
//   Memory bound was overwritten
//   Call stack:
//   <file>(<line>), <function>          one line per frame, the faulting place first
//
// ("<unknown>(-1), " where nothing is known), at most 1024 frames, and lines are left out once
// the fixed text buffer is full. Then the fault goes on to whatever handled it before (the
// default: the process ends by the signal). There is no message box: the toolkit is not running
// yet, and a signal handler may not call it.
//
// It names the frames inside the signal handler, which is not async-signal-safe: fine for a
// fault in the program's own code, which is what the guard pages produce. A fault inside the C
// library's heap could leave the look-up waiting for the heap's lock; an alarm ends the process
// then rather than letting it hang.

#include <signal.h>

#include <cstddef>
#include <cstdint>

// Installs the filter for SIGSEGV, SIGBUS, SIGFPE and SIGILL, once; earlier handlers are kept to
// pass faults on to.
void InstallDebugAllocatorExceptionFilter();

// The filter itself (a SA_SIGINFO handler).
void DebugAllocatorExceptionFilter(int signalNumber, siginfo_t* info, void* context);

// The text the filter writes for a stack of `count` return addresses, the faulting place first,
// into `text` (at most `capacity` bytes, terminated); the length written.
size_t FormatFaultCallStack(const uint64_t* addresses, size_t count, char* text, size_t capacity);
