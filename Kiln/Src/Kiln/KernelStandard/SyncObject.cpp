#include "Kiln/Src/Kiln/KernelStandard/SyncObject.h"

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "platform/DebugOutput.h"
#include "platform/LastError.h"
#include "platform/NamedObjects.h"

namespace Kiln
{

bool SyncObject::Wait(uint32_t timeoutMs)
{
    if (!m_handle)
        return false;
    const uint32_t result = platform::WaitForOne(m_handle, timeoutMs);
    if (result == platform::kWaitAbandoned0)
    {
        // The previous owner ended while holding it; the mutex is ours now all the same.
        char text[96];
        snprintf(text, sizeof text, "Kiln::SyncObject::Wait> took over an abandoned mutex (thread %d)\n",
                 static_cast<int>(platform::CurrentThreadId()));
        platform::WriteDebugOutput(text);
        return true;
    }
    return result == platform::kWaitObject0;
}

namespace
{

bool IsNamed(const char* name)
{
    return name && *name;
}

// A named object that could not be made: the debug output says which and why.
Handle Named(const char* kind, const char* name, Handle handle)
{
    if (!handle)
        platform::WriteDebugOutput(std::string("Kiln::") + kind + "> cannot create or open \"" + name +
                                   "\" (error " + std::to_string(platform::GetLastError()) + ")\n");
    return handle;
}

Handle MakeEvent(bool manualReset, bool initialState, const char* name)
{
    if (!IsNamed(name))
        return std::make_shared<platform::Event>(manualReset, initialState);
    bool existed = false;
    return Named("WEvent", name, platform::CreateNamedEvent(name, manualReset, initialState, existed));
}

Handle MakeMutex(bool initiallyOwned, const char* name)
{
    if (!IsNamed(name))
        return std::make_shared<platform::Mutex>(initiallyOwned);
    bool existed = false;
    Handle mutex = Named("Mutex", name, platform::CreateNamedMutex(name, false, existed));
    // Only its creator may own it from the start; one that existed stays as it is.
    if (mutex && initiallyOwned && !existed)
        platform::WaitForOne(mutex, 0);
    return mutex;
}

platform::Event* AsEvent(const Handle& handle)
{
    return static_cast<platform::Event*>(handle.get());
}

}  // namespace

WEvent::WEvent(bool manualReset, bool initialState, const char* name)
    : SyncObject(MakeEvent(manualReset, initialState, name))
{
}

bool WEvent::Set()
{
    if (!m_handle)
        return false;
    AsEvent(m_handle)->Set();
    return true;
}

bool WEvent::Pulse()
{
    if (!m_handle)
        return false;
    AsEvent(m_handle)->Pulse();
    return true;
}

bool WEvent::Reset()
{
    if (!m_handle)
        return false;
    AsEvent(m_handle)->Reset();
    return true;
}

Mutex::Mutex(bool initiallyOwned, const char* name)
    : SyncObject(MakeMutex(initiallyOwned, name))
{
}

bool Mutex::Release()
{
    return m_handle && static_cast<platform::Mutex*>(m_handle.get())->Release();
}

CriticalSection::CriticalSection()
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&m_mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

CriticalSection::~CriticalSection()
{
    pthread_mutex_destroy(&m_mutex);
}

bool CriticalSection::Lock(uint32_t timeoutMs)
{
    const int result = timeoutMs == kInfinite ? pthread_mutex_lock(&m_mutex) : pthread_mutex_trylock(&m_mutex);
    if (result != 0)
        return false;
    Entered();
    return true;
}

void CriticalSection::Entered()
{
    if (m_depth++ == 0)
        m_owner.store(platform::CurrentThreadId(), std::memory_order_relaxed);
}

bool CriticalSection::Unlock()
{
    // Only the holder may leave; asking the system would be undefined for anyone else.
    if (m_owner.load(std::memory_order_relaxed) != platform::CurrentThreadId())
        return false;
    if (--m_depth == 0)
        m_owner.store(0, std::memory_order_relaxed);
    return pthread_mutex_unlock(&m_mutex) == 0;
}

ScopedLock::ScopedLock(SyncObject* object, bool lockNow) : m_object(object)
{
    if (lockNow && m_object)
        m_held = m_object->Wait(kInfinite);
}

ScopedLock::~ScopedLock()
{
    if (m_held)
        m_held = !m_object->Unlock();
}

bool IsProcessAlive(pid_t pid)
{
    // kill(0 or below) would address process groups, not one process.
    if (pid <= 0)
        return false;
    if (kill(pid, 0) != 0 && errno != EPERM)
        return false;
    // An ended child that nobody has collected yet still answers kill(); it is not alive.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size())
        return false;  // gone between the two looks
    const char state = text[close + 2];
    return state != 'Z' && state != 'X' && state != 'x';
}

void KilnSleep(uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace Kiln
