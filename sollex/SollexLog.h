#pragma once
// The product's own log: printf-style lines to the kernel log channel "Sollex" at level 2,
// optionally followed by the fatal-error window and the end of the process (fatal) or by a
// product exception (error); a frame-time average reported at the end; and the process's notion
// of its main thread (an id with a stack of earlier ids), which the task dispatcher and the lock
// objects consult. Nothing pushes a main thread unless a caller does, so by default no thread is
// the main thread.
//
// Formats come from our own code only; never pass outside text as the format.

#include <cstdint>

#include "Kiln/Src/Kiln/KernelStandard/KilnException.h"

// The product exception: a kernel exception under its own type name.
class SollexEx : public Kiln::Exception
{
public:
    using Kiln::Exception::Exception;
    const char* TypeName() const override { return "Sollex Error"; }
};

void SollexLogMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Logs, writes the kernel log out, shows the fatal-error window (standard error on this
// system) and ends the process with status 1 at once, running no exit functions.
[[noreturn]] void SollexLogFatal(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Logs; then, when throwing is on, throws SollexEx(".\SollexLog", 80, text) (the text cut to 255
// bytes).
void SollexLogError(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Off by default; a program that wants errors as exceptions turns it on.
void SetSollexLogThrowOnError(bool throwOnError);

// A sample below 0.2 s is counted; longer ones and NaN are ignored.
void SollexLogFrameTime(float seconds);
// Logs "SollexLogEnd> Averaged <fps>fps over <seconds>sec" when any time was counted.
void SollexLogEnd();

bool IsMainThread();
uint32_t GetMainThreadId();
void ClearMainThread();
// Remembers the current main thread and makes the calling thread the main thread; returns its id.
uint32_t PushMainThread();
// Makes the last remembered id the main thread again. Without a remembered id nothing changes.
void PopMainThread();

void SleepMs(int32_t milliseconds);
