#pragma once
// Console-control events as the product's handlers expect them, fed from the signals that ask
// a Linux process to stop. The signal handler itself only writes the signal number into a
// pipe; one thread of ours reads it and runs the handlers there, so handlers may log, lock and
// wait like ordinary code.

#include <cstdint>

namespace platform
{

enum : uint32_t
{
    kCtrlCEvent = 0,         // SIGINT
    kCtrlBreakEvent = 1,     // SIGQUIT: the terminal's other stop key (Ctrl-\)
    kCtrlCloseEvent = 2,     // SIGHUP: the terminal went away
    kCtrlLogoffEvent = 5,
    kCtrlShutdownEvent = 6,  // SIGTERM: asked to end (as at system shut-down)
};

// Returns true when it dealt with the event; false passes it to the handler added before it.
using ConsoleControlHandler = bool (*)(uint32_t controlType);

// Adds or removes a handler. Handlers run newest first; when none returns true the process
// ends the way the signal's default would. The first addition starts the reading thread and
// takes over SIGINT, SIGTERM, SIGHUP and SIGQUIT. False (last error set) when that fails.
bool SetConsoleControlHandler(ConsoleControlHandler handler, bool add);

// A function to run (on the reading thread, newest first) when a stop signal that no handler took
// is about to end the process: for what the exit path would otherwise have removed, such as
// temporary folders. Never removed again.
void AddStopCleanup(void (*cleanup)());

// The console-control type of a signal, or 0xFFFFFFFF for a signal that is not one.
uint32_t ConsoleControlTypeOfSignal(int signalNumber);

// The stop signal behind a console-control type (SIGTERM for the types no signal of ours makes).
int SignalOfConsoleControlType(uint32_t controlType);

// Writes to a closed pipe or socket then fail with EPIPE instead of ending the process. Done at
// start-up of every program that uses this library (the waitable core calls it).
void IgnoreBrokenPipeSignal();

}  // namespace platform
