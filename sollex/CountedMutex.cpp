#include "sollex/CountedMutex.h"

#include "platform/Waitable.h"

void CountedMutex::Lock()
{
    m_mutex.Wait(Kiln::kInfinite);
    m_count.fetch_add(1);
}

bool CountedMutex::Unlock()
{
    auto* mutex = static_cast<platform::Mutex*>(m_mutex.GetHandle().get());
    // Anyone else's unlock would wrap the count and leave the mutex "held" for good.
    if (mutex->Owner() != platform::CurrentThreadId())
        return false;
    m_count.fetch_sub(1);
    return m_mutex.Release();
}

bool CountedMutex::TryLock()
{
    if (!m_mutex.Wait(0))
        return false;
    m_count.fetch_add(1);
    return true;
}

bool CountedMutex::IsHeldOnce()
{
    if (!m_mutex.Wait(0))
        return false;
    const bool once = m_count.load() == 1;
    m_mutex.Release();
    return once;
}
