#include "sollex/SimpleSharedLock.h"

bool SimpleSharedLock::TryLock(bool exclusive)
{
    Kiln::ScopedLock hold(&m_guard);
    const bool free = exclusive ? m_holderCount == 0 : !m_exclusive && m_waitingExclusive == 0;
    if (!free)
        return false;
    ++m_holderCount;
    m_exclusive = exclusive;
    m_released.Reset();
    return true;
}

void SimpleSharedLock::Lock(bool exclusive)
{
    if (TryLock(exclusive))
        return;
    if (exclusive)
    {
        Kiln::ScopedLock hold(&m_guard);
        ++m_waitingExclusive;
    }
    do
        m_released.Wait(Kiln::kInfinite);
    while (!TryLock(exclusive));
    if (exclusive)
    {
        Kiln::ScopedLock hold(&m_guard);
        --m_waitingExclusive;
    }
}

bool SimpleSharedLock::Unlock()
{
    Kiln::ScopedLock hold(&m_guard);
    // Unlocking a free lock would wrap the count and leave it "held" for good.
    if (m_holderCount == 0)
        return false;
    --m_holderCount;
    m_exclusive = false;
    m_released.Set();
    return true;
}

uint32_t SimpleSharedLock::HolderCount()
{
    Kiln::ScopedLock hold(&m_guard);
    return m_holderCount;
}
