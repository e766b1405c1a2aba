#pragma once
// The kernel's synchronisation objects: one small class family with a common virtual interface,
// so that locks, heaps, the log and the task code can wait on and unlock an object without
// knowing its kind. Events, mutexes and threads sit on the program's one waitable core
// (platform/Waitable.h); the critical section is a plain recursive lock, as it is not waitable.
//
// What each operation does per class:
//   operation      SyncObject  WEvent            Mutex     CriticalSection        Thread
//   GetHandle      handle      handle            handle    null                   stop event
//   Wait(ms)       wait        wait              wait      Lock(ms)               wait for end
//   Release        false       false             release   false                  false
//   Unlock         false       true (no effect)  release   leave, true if owned   false
// A wait is true when the object was taken. A mutex whose owner thread ended while holding it
// is taken all the same (its new owner must be able to release it); the abandonment is written
// to the debug output.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <utility>

#include <pthread.h>

#include "platform/Waitable.h"

namespace Kiln
{

constexpr uint32_t kInfinite = platform::kInfinite;

// What GetHandle gives: the waitable object behind a kernel object (null when there is none).
using Handle = platform::WaitableRef;

class SyncObject
{
public:
    SyncObject() = default;
    explicit SyncObject(Handle handle) : m_handle(std::move(handle)) {}
    SyncObject(const SyncObject&) = delete;
    SyncObject& operator=(const SyncObject&) = delete;
    virtual ~SyncObject() = default;

    virtual Handle GetHandle() const { return m_handle; }
    virtual bool Wait(uint32_t timeoutMs);
    virtual bool Release() { return false; }
    virtual bool Unlock() { return false; }

protected:
    Handle m_handle;
};

class WEvent : public SyncObject
{
public:
    // With a name (not empty), the event of that name that every process of the user sees
    // (platform/NamedObjects.h): created, or opened with its own reset kind and state when it
    // exists. When that fails the object has no handle and the debug output says why.
    WEvent(bool manualReset, bool initialState, const char* name = nullptr);

    bool Set();
    bool Pulse();
    bool Reset();
    bool Unlock() override { return true; }
};

class Mutex : public SyncObject
{
public:
    // With a name (not empty), the mutex of that name that every process of the user sees,
    // created or opened. `initiallyOwned` takes it only when this call created it. When that
    // fails the object has no handle and the debug output says why.
    Mutex(bool initiallyOwned, const char* name = nullptr);

    bool Release() override;
    bool Unlock() override { return Release(); }
};

// Not waitable. Lock with kInfinite blocks; any other time-out is a single try, as the kernel
// has always done (callers that poll with a time-out loop themselves).
class CriticalSection : public SyncObject
{
public:
    CriticalSection();
    ~CriticalSection() override;

    bool Lock(uint32_t timeoutMs);
    bool Wait(uint32_t timeoutMs) override { return Lock(timeoutMs); }
    // False when the calling thread does not hold the section.
    bool Unlock() override;

private:
    void Entered();

    pthread_mutex_t m_mutex;
    std::atomic<pid_t> m_owner{0};  // who holds it; unlocks by anyone else are refused
    uint32_t m_depth = 0;           // changed by the holder only
};

// Holds an object for a scope: Wait(kInfinite) at construction (when asked), Unlock at the end.
class ScopedLock
{
public:
    explicit ScopedLock(SyncObject* object, bool lockNow = true);
    ~ScopedLock();
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

    bool IsHeld() const { return m_held; }

private:
    SyncObject* m_object;
    bool m_held = false;
};

// Whether a process with this id exists and has not ended (an ended child that was not yet
// collected counts as ended). A reused id reports alive; no system can tell it apart.
bool IsProcessAlive(pid_t pid);

void KilnSleep(uint32_t ms);

}  // namespace Kiln
