#pragma once
// A simple shared/exclusive lock: many shared holders or one exclusive holder, not re-entrant
// and not tied to threads. A waiting exclusive request keeps new shared holders out, so writers
// are not starved. The task dispatcher unlocks one for a queued task that it discards.

#include <cstdint>

#include "Kiln/Src/Kiln/KernelStandard/SyncObject.h"

class SimpleSharedLock
{
public:
    SimpleSharedLock() = default;
    SimpleSharedLock(const SimpleSharedLock&) = delete;
    SimpleSharedLock& operator=(const SimpleSharedLock&) = delete;

    bool TryLock(bool exclusive);
    // Waits without a time limit.
    void Lock(bool exclusive);
    // Gives up one holding. False, changing nothing, when the lock is not held.
    bool Unlock();

    uint32_t HolderCount();

private:
    uint32_t m_holderCount = 0;
    bool m_exclusive = false;
    uint32_t m_waitingExclusive = 0;
    Kiln::CriticalSection m_guard;
    Kiln::WEvent m_released{true, true};  // set whenever the lock is released
};
