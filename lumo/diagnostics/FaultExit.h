#pragma once
// A per-thread guard that ends the whole process at once, with a chosen exit status, when the
// guarded code faults (a SIGSEGV, SIGBUS, SIGFPE or SIGILL raised by the processor). Nothing else
// runs then: no dump, no exit functions, no other handler. Signals sent by a process (kill) are
// not faults and take their usual way.
//
// Its own handlers (InstallFaultExitHandlers) come before every handler installed earlier; the
// handlers that may be installed later (the crash handlers, the kernel threads' guard) ask
// ExitIfFaultGuarded before anything else, so a guarded fault never reaches a dump or a report,
// whatever the order of installation.

#include <signal.h>

// Installs the guard's signal handlers, once per process; earlier handlers are chained.
void InstallFaultExitHandlers();

// Guards the calling thread for the scope: a fault ends the process with `exitStatus` (its low
// eight bits, as the system keeps them). Scopes nest; the innermost status holds.
class FaultExitScope
{
public:
    explicit FaultExitScope(int exitStatus);
    ~FaultExitScope();
    FaultExitScope(const FaultExitScope&) = delete;
    FaultExitScope& operator=(const FaultExitScope&) = delete;

private:
    bool m_wasGuarded;
    int m_previousStatus;
};

// For fault handlers: ends the process when the calling thread is guarded and the signal is a
// fault from the processor; otherwise returns. Async-signal-safe.
void ExitIfFaultGuarded(int signalNumber, const siginfo_t* info);
