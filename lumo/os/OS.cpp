#include "lumo/os/OS.h"

#include <chrono>
#include <thread>

#include "lumo/os/OSException.h"
#include "platform/LastError.h"
#include "platform/NamedObjects.h"

namespace OS
{

namespace
{

[[noreturn]] void Fail(uint32_t lastError)
{
    platform::SetLastError(lastError);
    throw OSException("");
}

template <class T>
T& As(const Handle& handle)
{
    T* object = dynamic_cast<T*>(handle.get());
    if (!object)
        Fail(platform::kErrorInvalidHandle);
    return *object;
}

void Close(Handle& handle)
{
    if (!handle)
        Fail(platform::kErrorInvalidHandle);
    handle.reset();
}

// The file-time base (1601-01-01) is this many 100-ns units before 1970-01-01.
constexpr int64_t kFileTimeToUnix = 116444736000000000LL;

}  // namespace

Handle CreateThread(uint32_t stackSize, ThreadFunction fn, void* arg)
{
    if (!fn)
        Fail(platform::kErrorInvalidParameter);
    Handle thread = platform::Thread::Start([fn, arg] { return fn(arg); }, stackSize);
    if (!thread)
        throw OSException("");
    return thread;
}

uint32_t JoinThread(Handle& thread)
{
    if (!thread || WaitForObject(thread, INFINITE) != WAIT_OBJECT_0)
        throw OSException("Error waiting for thread to finish!");
    uint32_t code = As<platform::Thread>(thread).ExitCode();
    CloseThread(thread);
    return code;
}

void CloseThread(Handle& thread)
{
    // The thread runs detached: dropping the handle never leaks it, whether it ended or not.
    Close(thread);
}

int GetThreadPriority(const Handle& thread)
{
    return As<platform::Thread>(thread).Priority();
}

void SetThreadPriority(const Handle& thread, int priority)
{
    As<platform::Thread>(thread).SetPriority(priority);
}

void ExitThread(uint32_t code)
{
    platform::Thread::ExitCurrent(code);
}

void Sleep(uint32_t milliseconds)
{
    if (milliseconds == INFINITE)
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(24));
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

Handle CreateEvent(bool manualReset, bool initialState, const char* name)
{
    if (!name || !*name)
        return std::make_shared<platform::Event>(manualReset, initialState);
    bool existed = false;
    Handle event = platform::CreateNamedEvent(name, manualReset, initialState, existed);
    if (!event)
        throw OSException("");
    return event;
}

Handle OpenEvent(const char* name)
{
    Handle event = platform::OpenNamedEvent(name ? name : "");
    if (!event)
        throw OSException("");
    return event;
}

void SetEvent(const Handle& event)
{
    As<platform::Event>(event).Set();
}

void ResetEvent(const Handle& event)
{
    As<platform::Event>(event).Reset();
}

void PulseEvent(const Handle& event)
{
    As<platform::Event>(event).Pulse();
}

void CloseEvent(Handle& event)
{
    Close(event);
}

void CloseMutex(Handle& mutex)
{
    Close(mutex);
}

void CloseWaitableTimer(Handle& timer)
{
    Close(timer);
}

Handle CreateNamedMutex(const char* name, bool failIfExists)
{
    try
    {
        if (!name || !*name)
            return std::make_shared<platform::Mutex>(false);
        bool existed = false;
        Handle mutex = platform::CreateNamedMutex(name, false, existed);
        if (mutex && existed && failIfExists)
            return nullptr;  // the last error stays "already exists"
        return mutex;
    }
    catch (const std::exception&)
    {
        platform::SetLastError(platform::kErrorNotEnoughMemory);
        return nullptr;
    }
}

Handle OpenNamedMutex(const char* name)
{
    try
    {
        return platform::OpenNamedMutex(name ? name : "");
    }
    catch (const std::exception&)
    {
        platform::SetLastError(platform::kErrorNotEnoughMemory);
        return nullptr;
    }
}

bool ReleaseMutex(const Handle& mutex)
{
    if (As<platform::Mutex>(mutex).Release())
        return true;
    if (platform::GetLastError() == platform::kErrorNotOwner)
        return false;
    throw OSException("");
}

uint32_t WaitForObject(const Handle& object, uint32_t milliseconds)
{
    uint32_t result = platform::WaitForOne(object, milliseconds);
    if (result == platform::kWaitFailed)
        throw OSException("");
    return result;
}

uint32_t WaitForObjects(uint32_t count, const Handle* handles, uint32_t milliseconds)
{
    // Too many or no objects is a caller's mistake: it fails like any other bad wait rather
    // than pretending the time ran out.
    uint32_t result = platform::WaitForAny(handles, count, milliseconds);
    if (result == platform::kWaitFailed)
        throw OSException("");
    return result;
}

uint32_t WaitForObjects(const std::vector<Handle>& handles, uint32_t milliseconds)
{
    return WaitForObjects(static_cast<uint32_t>(handles.size()), handles.data(), milliseconds);
}

Handle CreateWaitableTimer(bool manualReset)
{
    return std::make_shared<platform::Timer>(manualReset);
}

int64_t WaitableTimerDueTime(const TimerDue& due)
{
    int64_t units = static_cast<int64_t>(due.seconds) * 10000000 + due.nanoseconds / 100;
    return due.relative ? -units : units;
}

void SetWaitableTimer(const Handle& timer, const TimerDue& due, const TimerPeriod& period)
{
    platform::Timer& t = As<platform::Timer>(timer);
    const int64_t dueTime = WaitableTimerDueTime(due);
    const auto now = std::chrono::steady_clock::now();
    platform::SteadyTime when;
    if (dueTime < 0)
    {
        when = now + std::chrono::nanoseconds(-dueTime * 100);
    }
    else
    {
        // An absolute time: its distance from the system clock's now (in 100-ns units, which
        // cannot overflow), placed on the steady clock.
        auto nowUnits = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::system_clock::now().time_since_epoch()).count() / 100 +
                        kFileTimeToUnix;
        int64_t fromNow = dueTime > nowUnits ? dueTime - nowUnits : 0;
        when = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::nanoseconds(fromNow) * 100);
    }
    int64_t periodMs = static_cast<int64_t>(period.seconds) * 1000 + period.nanoseconds / 1000000;
    // The system has no "wake the machine" for us; the timer simply fires when it is due.
    t.Set(when, std::chrono::milliseconds(periodMs));
}

bool CancelWaitableTimer(const Handle& timer)
{
    auto* t = dynamic_cast<platform::Timer*>(timer.get());
    if (!t)
    {
        platform::SetLastError(platform::kErrorInvalidHandle);
        return false;
    }
    t->Cancel();
    return true;
}

std::string GetErrorText(uint32_t code)
{
    std::string text;
    if (platform::LookUpErrorText(code, text))
        return text;
    // One fallback level: the text of the look-up's own failure, then a plain number.
    if (platform::LookUpErrorText(platform::kErrorMessageNotFound, text))
        return text;
    return "Unknown error " + std::to_string(code);
}

}  // namespace OS
