#pragma once
// Free wrappers of the namespace OS over the waitable core (platform/Waitable.h). Failures are
// thrown as OSException with an empty message, except where a function says otherwise; the
// reason is in the last error (platform/LastError.h).
//
// A handle is a reference to a core object; closing a handle drops the reference. A null
// handle is "no object".

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Waitable.h"

namespace OS
{

using Handle = platform::WaitableRef;

constexpr uint32_t WAIT_OBJECT_0 = platform::kWaitObject0;
constexpr uint32_t WAIT_ABANDONED_0 = platform::kWaitAbandoned0;
constexpr uint32_t WAIT_TIMEOUT = platform::kWaitTimeout;
constexpr uint32_t INFINITE = platform::kInfinite;
constexpr uint32_t MAXIMUM_WAIT_OBJECTS = platform::kMaximumWaitObjects;
constexpr uint32_t STILL_ACTIVE = platform::kStillActive;

using ThreadFunction = uint32_t (*)(void* arg);

// Threads.
Handle CreateThread(uint32_t stackSize, ThreadFunction fn, void* arg);
uint32_t JoinThread(Handle& thread);
void CloseThread(Handle& thread);
int GetThreadPriority(const Handle& thread);
void SetThreadPriority(const Handle& thread, int priority);
[[noreturn]] void ExitThread(uint32_t code);
void Sleep(uint32_t milliseconds);

// Events. A named event is shared by every handle that names it, in this process and in the
// user's other processes (platform/NamedObjects.h).
Handle CreateEvent(bool manualReset, bool initialState, const char* name);
Handle OpenEvent(const char* name);
void SetEvent(const Handle& event);
void ResetEvent(const Handle& event);
void PulseEvent(const Handle& event);
void CloseEvent(Handle& event);
void CloseMutex(Handle& mutex);
void CloseWaitableTimer(Handle& timer);

// Named mutexes, seen by other processes of the machine. Never throw: null on failure.
Handle CreateNamedMutex(const char* name, bool failIfExists);
Handle OpenNamedMutex(const char* name);
// True when released; false when the calling thread does not own it (last error 288).
bool ReleaseMutex(const Handle& mutex);

// Waits. Results: WAIT_OBJECT_0 (+ index), WAIT_ABANDONED_0 (+ index), WAIT_TIMEOUT.
uint32_t WaitForObject(const Handle& object, uint32_t milliseconds);
uint32_t WaitForObjects(uint32_t count, const Handle* handles, uint32_t milliseconds);
uint32_t WaitForObjects(const std::vector<Handle>& handles, uint32_t milliseconds);

// Waitable timers.
struct TimerDue
{
    uint32_t seconds;
    uint32_t nanoseconds;
    bool relative;  // from now; otherwise a system time in the file-time base (since 1601 UTC)
};
struct TimerPeriod
{
    uint32_t seconds;
    uint32_t nanoseconds;
};
Handle CreateWaitableTimer(bool manualReset);
void SetWaitableTimer(const Handle& timer, const TimerDue& due, const TimerPeriod& period);
bool CancelWaitableTimer(const Handle& timer);
// The due time as the wrappers compute it: 100-ns units, negative when relative.
int64_t WaitableTimerDueTime(const TimerDue& due);

std::string GetErrorText(uint32_t code);

// High-resolution timer. Tick stamps are opaque; only TicksToSeconds interprets them.
uint64_t GetTimerFrequency();
uint64_t GetTicks();
double TicksToSeconds(uint64_t start, uint64_t end);

// Main-thread record stack.
void PushMainThread();
void PopMainThread();
bool IsMainThread();

}  // namespace OS
