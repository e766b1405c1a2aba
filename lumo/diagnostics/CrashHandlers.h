#pragma once
// The process's guard against crashes. InstallCrashHandlers takes over the fatal signals (SEGV,
// BUS, FPE, ILL, TRAP, SYS, ABRT), C++ exceptions that nobody catches, the exit of a process that
// did not announce a normal exit, and the console-control events. Each of them writes a dump
// (lumo/diagnostics/CrashDump.h) once per process and then lets the process end the way it would have ended
// without us: the signal handlers chain to the handlers installed before them, or restore the
// default and raise the signal again, so the exit status (and any core file) stays right.
//
// Dump files:
//   "Sollex-44088.dmp" (then "Sollex-44088_1.dmp", ...) in the log folder (lumo/diagnostics/LogFilePath.h; the
//   working directory by default), for every crash outside the fatal-exception path;
//   the fatal dump named by BuildMinidumpName, relative to the working directory, for a crash on
//   the main thread or on a guarded thread once BuildMinidumpName has run.
// Both are created exclusively; a folder that refuses them sends them to a new private folder
// below TMPDIR. Before InstallCrashHandlers nothing writes a dump.
//
// Where a dump went: from a signal handler the line "CreateMiniDump: <path>" (or
// "WriteMinidump: <path>") goes to standard error, since the system log and the analysis log
// lock and allocate; outside signal context (assertions, uncaught exceptions, the exit hook) it
// goes to the system log with the call stack, as long as an analysis log is open.
//
// Alternate signal stacks: a thread that overflows its stack can only run the handler on a stack
// of its own. InstallCrashHandlers gives the calling thread one, GuardedThreadEntry gives one to
// each guarded thread; other threads of ours call platform::EnsureSignalStack at their start.

#include <signal.h>
#include <sys/types.h>
#include <ucontext.h>

#include <cstdint>
#include <string>

#include "lumo/diagnostics/CrashDump.h"

// allowConsoleClose: whether a console-control event (SIGINT, SIGTERM, SIGHUP) may end the
// process at once. Repeated calls only update the flags.
void InstallCrashHandlers(bool allowConsoleClose);

// The process is about to end normally: no dump at exit, and console-control events may end it.
void PrepareNormalExit();

// True once a console-control event arrived while closing was not allowed.
bool IsConsoleCloseRequested();

// Writes "Sollex-44088.dmp" for a crash, once per process; later calls (from any thread, also at
// the same time) write nothing. A thread that arrives while another writes waits for that dump.
// Returns 1 (the process is to end). Async-signal-safe.
int CreateMiniDump(int signalNumber, const siginfo_t* info, const ucontext_t* context);

// A dump of the current state through CreateMiniDump (so only when none was written before);
// execution goes on afterwards.
__attribute__((noinline)) void WriteDumpNow();
// The same with a reason and detail text; the frames start at `firstFrame` (a return address of
// the current stack; 0: the caller of this function).
__attribute__((noinline)) void WriteDumpNowFor(CrashDumpReason reason, const char* detail, uint64_t firstFrame);

// The exit hook: a dump when the process ends without PrepareNormalExit.
void DumpOnUnexpectedExit();

// For checked wrappers that find an invalid argument: dump, log
// "Invalid Parameter Handler> function=..., file=..., line=..." ("NULL" for a missing text), abort.
[[noreturn]] void InvalidParameterHandler(const wchar_t* expression, const wchar_t* function, const wchar_t* file,
                                          unsigned line, uintptr_t reserved);

// The console-control handler: true when the event was dealt with. While closing is not allowed
// a close, log-off or shut-down event (types above 1) waits until PrepareNormalExit allows it and
// then lets the process end by the signal; Ctrl+C is refused at once.
bool ConsoleCtrlHandler(uint32_t controlType);

// Builds the fatal dump name "<app>-v35673-yyyy.mm.dd-hh.mm.ss.dmp" from the local time now (the
// start time, not the crash time), cut to 255 characters, and turns the fatal-exception path on.
// With a debugger attached: nothing.
void BuildMinidumpName(const std::wstring& applicationName);
// The fatal dump name, empty until built.
std::wstring GetMinidumpName();

// Writes the fatal dump, once per process: the state the fatal-exception path recorded, or the
// current state when it recorded none. Async-signal-safe.
void WriteMinidump();

// What the fatal-exception path calls (in signal context) once it has recorded the failure; the
// application routes it to its own hook, which ends in WriteMinidump. Null: WriteMinidump.
using FatalExceptionHandler = void (*)();
void SetFatalExceptionHandler(FatalExceptionHandler handler);

// Writes a dump of another process, "lumo-remote-v35673.dmp" (then "..._1.dmp", ...) in the log
// folder: each of its threads with registers, frames and stack window, its memory map and status
// (the remote layout of lumo/diagnostics/CrashDump.h). Every thread is held through ptrace for
// as long as it takes to read them and then let go, so the process runs on. Any number of times
// per process; not for signal context. False when the kernel refuses to trace the process
// (another user's, traced already, a ptrace restriction), when there is no such process, or when
// the file cannot be written; the system log says which ("WriteRemoteMinidump> ..."). On success
// the log line is "WriteRemoteMinidump: <path>".
bool WriteRemoteMinidump(pid_t process);

// Runs a worker thread's body under the crash guard. Guarded, a crash or an uncaught exception in
// the body writes the fatal dump, reports "Unhandled Exception" ("Fatal Error") on standard error
// and ends the process with exit status 255; the result is then 0. With a debugger attached the
// body runs unguarded and its result is returned.
using GuardedThreadBody = void* (*)(void* object);
void* GuardedThreadEntry(GuardedThreadBody body, void* object);

// Whether a debugger traces the process (TracerPid in /proc/self/status), or what a probe set for
// tests says.
bool IsDebuggerPresent();
using DebuggerProbe = bool (*)();
void SetDebuggerProbe(DebuggerProbe probe);
