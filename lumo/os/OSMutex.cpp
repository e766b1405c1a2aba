#include "lumo/os/OSMutex.h"

#include "lumo/diagnostics/Assert.h"
#include "lumo/os/OSException.h"

namespace OS
{

Mutex::Mutex()
{
    try
    {
        auto mutex = std::make_shared<platform::Mutex>(false);
        m_mutex = mutex.get();
        m_handle = std::move(mutex);
    }
    catch (const std::bad_alloc&)
    {
        throw OSException("Failed to create the mutex");
    }
}

// Closing drops our reference, which cannot fail.
Mutex::~Mutex() = default;

void Mutex::Lock()
{
    if (m_mutex->TryAcquireFast(platform::CurrentThreadId()))
        return;
    // An abandoned mutex is ours all the same.
    WaitForObject(m_handle, INFINITE);
}

void Mutex::Unlock()
{
    if (!m_mutex->Release())
        throw OSException("Failed to release the mutex");
}

MutexLock::MutexLock(Mutex& mutex) : m_mutex(&mutex)
{
    m_mutex->Lock();
}

MutexLock::~MutexLock()
{
    bool released = false;
    try
    {
        m_mutex->Unlock();
        released = true;
    }
    catch (...)
    {
    }
    Assert(released, "Failed to release the mutex");
}

}  // namespace OS
