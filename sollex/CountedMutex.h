#pragma once
// A recursive mutex that counts how often its owner holds it, so that a caller can ask whether
// it is held at all and whether the calling thread holds it exactly once.

#include <atomic>
#include <cstdint>

#include "Kiln/Src/Kiln/KernelStandard/SyncObject.h"

class CountedMutex
{
public:
    CountedMutex() = default;
    CountedMutex(const CountedMutex&) = delete;
    CountedMutex& operator=(const CountedMutex&) = delete;

    void Lock();
    // False, changing nothing, when the calling thread does not hold it.
    bool Unlock();
    bool TryLock();
    bool IsLocked() const { return m_count.load() > 0; }
    // Whether the calling thread holds it exactly once.
    bool IsHeldOnce();

private:
    Kiln::Mutex m_mutex{false};
    std::atomic<uint32_t> m_count{0};  // changed by the owner only
};
