#pragma once
// Handing a fatal signal on from a handler of ours: to the handler that was installed before it,
// or to the default action. Async-signal-safe.

#include <signal.h>

namespace platform
{

// The processor's faults: what a structured-exception guard of the original design caught.
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

// Whether the signal was raised by the processor (a real fault), not sent by a process.
bool IsFaultFromProcessor(const siginfo_t* info);

// Calls `previous` when it is a function (re-installing it first, so that a repeat of the fault
// reaches it directly, unless `keepCurrent`: handlers that other threads still need stay);
// otherwise restores the default action and sends the signal to the calling thread again, so
// that it ends the process once the current handler returns.
void PassSignalOn(int signalNumber, siginfo_t* info, void* context, const struct sigaction& previous,
                  bool keepCurrent = false);

// Installs `handler` (SA_SIGINFO, on the alternate stack, plus `extraFlags`) for every fault
// signal; the actions it replaces land in previous[signal].
void InstallFaultHandler(void (*handler)(int, siginfo_t*, void*), struct sigaction* previous, int extraFlags = 0);

}  // namespace platform
