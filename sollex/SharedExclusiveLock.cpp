#include "sollex/SharedExclusiveLock.h"

#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cassert>
#include <string>
#include <unordered_map>

#include "Kiln/Src/Kiln/KernelStandard/StringTable.h"
#include "platform/Waitable.h"
#include "sollex/SollexLog.h"
#include "sollex/TaskDispatcher.h"

namespace
{

constexpr uint32_t kCycleSteps = 129;
constexpr uint32_t kUnknownOwner = 0xFFFFFFFF;
constexpr uint64_t kMainThreadPurgeMs = 15000;
constexpr int64_t kMaxBackOffMs = 20;

struct WaitGraph
{
    Kiln::CriticalSection lock;
    std::unordered_map<uint32_t, SharedExclusiveLock*> waits;  // thread -> the lock it waits for
};

WaitGraph& Graph()
{
    static WaitGraph* graph = new WaitGraph;  // used until the last thread ends: never destroyed
    return *graph;
}

#ifndef NDEBUG
thread_local int t_guardsHeld = 0;
#endif

// A lock's guard for a scope; debug builds check the lock order against the wait graph's lock.
class GuardHold
{
public:
    explicit GuardHold(Kiln::CriticalSection& guard) : m_hold(&guard)
    {
#ifndef NDEBUG
        ++t_guardsHeld;
#endif
    }
    ~GuardHold()
    {
#ifndef NDEBUG
        --t_guardsHeld;
#endif
    }
    GuardHold(const GuardHold&) = delete;
    GuardHold& operator=(const GuardHold&) = delete;

private:
    Kiln::ScopedLock m_hold;
};

class GraphHold
{
public:
    GraphHold() : m_hold(CheckedGraphLock()) {}

private:
    static Kiln::CriticalSection* CheckedGraphLock()
    {
#ifndef NDEBUG
        assert(t_guardsHeld == 0 && "a lock's guard is held while the wait graph's lock is taken");
#endif
        return &Graph().lock;
    }
    Kiln::ScopedLock m_hold;
};

uint64_t NowMs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

uint32_t CurrentThread()
{
    return static_cast<uint32_t>(platform::CurrentThreadId());
}

// 0 ms for the first 110 retries, then 1 ms more every 10 retries, 20 ms from retry 300 on.
void BackOff(uint32_t retry)
{
    const int64_t ms = std::clamp<int64_t>((static_cast<int64_t>(retry) - 100) / 10, 0, kMaxBackOffMs);
    if (ms == 0)
        sched_yield();
    else
        SleepMs(static_cast<int32_t>(ms));
}

void ReportDeadlock(const std::vector<uint32_t>& chain)
{
    std::string threads;
    for (uint32_t thread : chain)
    {
        if (!threads.empty())
            threads += " -> ";
        threads += std::to_string(thread);
    }
    SollexLogMessage("SharedExclusiveLock::Lock> deadlock: each thread waits for a lock the next one holds: %s\n",
                     threads.c_str());
}

}  // namespace

bool SharedExclusiveLock::TryLock(uint32_t thread, bool exclusive)
{
    GuardHold hold(m_guard);
    return TryLockLocked(thread, exclusive);
}

bool SharedExclusiveLock::TryLockLocked(uint32_t thread, bool exclusive)
{
    bool granted;
    if (m_holderCount > 0 && std::find(m_owners.begin(), m_owners.end(), thread) != m_owners.end())
    {
        granted = !exclusive || (m_exclusive && std::all_of(m_owners.begin(), m_owners.end(),
                                                             [thread](uint32_t owner) { return owner == thread; }));
    }
    else if (m_holderCount > 0)
    {
        granted = !exclusive && !m_exclusive && m_waitingExclusive == 0;
    }
    else
    {
        granted = exclusive || m_waitingExclusive == 0;
    }
    if (!granted)
        return false;
    ++m_holderCount;
    if (exclusive)
        m_exclusive = true;
    m_owners.push_back(thread);
    m_released.Reset();
    return true;
}

bool SharedExclusiveLock::HoldsSharedLocked(uint32_t thread) const
{
    return m_holderCount > 0 && !m_exclusive && std::find(m_owners.begin(), m_owners.end(), thread) != m_owners.end();
}

bool SharedExclusiveLock::Lock(uint32_t thread, bool exclusive, int32_t timeoutMs, bool noDeadlockCheck)
{
    {
        GuardHold hold(m_guard);
        const bool taken = TryLockLocked(thread, exclusive);
        if (taken || timeoutMs == 0)
            return taken;
        // Its own shared holding would never go away: a cycle of one, reported at once.
        if (exclusive && HoldsSharedLocked(thread))
            return false;
        if (exclusive)
            ++m_waitingExclusive;
    }
    const bool onMainThread = IsMainThread();
    const uint64_t start = NowMs();
    uint64_t purgeMark = start;  // kept apart from the start, so long time-outs still expire
    bool entered = false;
    bool taken = false;
    for (uint32_t retry = 0;; ++retry)
    {
        if (!noDeadlockCheck)
        {
            std::vector<uint32_t> chain;
            bool cycle;
            {
                GraphHold hold;
                if (!entered)
                    AddLockWaitEdge(this, thread);
                entered = true;
                cycle = DetectLockCycle(this, thread, &chain);
            }
            if (cycle)
            {
                ReportDeadlock(chain);
                break;
            }
        }
        BackOff(retry);
        const uint64_t now = NowMs();
        if (timeoutMs >= 0 && now > start + static_cast<uint64_t>(timeoutMs))
            break;
        if (onMainThread)
        {
            if (now > purgeMark + kMainThreadPurgeMs)
            {
                purgeMark = now;
                Kiln::GetStringTable()->PurgeStep();
            }
            GetTaskDispatcher().RunOne(TASK_NOT_IN_LOCK_WAIT);
        }
        if (entered)
        {
            // Taking the lock and leaving the graph are one step for anyone who follows chains:
            // a thread seen waiting for the lock it already holds would look like a cycle.
            GraphHold hold;
            if (TryLock(thread, exclusive))
            {
                RemoveLockWaitEdge(thread);
                entered = false;
                taken = true;
                break;
            }
        }
        else if (TryLock(thread, exclusive))
        {
            taken = true;
            break;
        }
    }
    if (entered)
        RemoveLockWaitEdge(thread);
    if (exclusive)
    {
        GuardHold hold(m_guard);
        --m_waitingExclusive;
    }
    return taken;
}

bool SharedExclusiveLock::Unlock(uint32_t thread)
{
    GuardHold hold(m_guard);
    auto it = std::find(m_owners.begin(), m_owners.end(), thread);
    // Unlocking without a holding would wrap the count and leave the lock "held" for good.
    if (it == m_owners.end())
        return false;
    m_owners.erase(it);
    --m_holderCount;
    const bool freed = m_holderCount == 0;
    ReleasedLocked();
    return freed;
}

uint32_t SharedExclusiveLock::UnlockAll()
{
    const uint32_t self = CurrentThread();
    GuardHold hold(m_guard);
    const auto removed = static_cast<uint32_t>(std::erase(m_owners, self));
    m_holderCount -= removed;
    ReleasedLocked();
    return removed;
}

void SharedExclusiveLock::ReleasedLocked()
{
    if (m_holderCount == 0)
        m_exclusive = false;
    m_released.Set();
}

bool SharedExclusiveLock::IsHeldByCurrentThread(bool exclusive)
{
    const uint32_t self = CurrentThread();
    GuardHold hold(m_guard);
    if (std::find(m_owners.begin(), m_owners.end(), self) == m_owners.end())
        return false;
    return !exclusive || m_exclusive;
}

void SharedExclusiveLock::TransferOwner(uint32_t oldThread, uint32_t newThread)
{
    GuardHold hold(m_guard);
    auto it = std::find(m_owners.begin(), m_owners.end(), oldThread);
    if (it != m_owners.end())
        *it = newThread;
}

bool SharedExclusiveLock::TryLock(bool exclusive)
{
    return TryLock(CurrentThread(), exclusive);
}

bool SharedExclusiveLock::Lock(bool exclusive)
{
    return Lock(CurrentThread(), exclusive, -1, false);
}

bool SharedExclusiveLock::Unlock()
{
    return Unlock(CurrentThread());
}

uint32_t SharedExclusiveLock::HolderCount()
{
    GuardHold hold(m_guard);
    return m_holderCount;
}

uint32_t SharedExclusiveLock::ExclusiveOwner()
{
    GuardHold hold(m_guard);
    return m_holderCount > 0 && m_exclusive && !m_owners.empty() ? m_owners.front() : 0;
}

void SharedExclusiveLock::AddLockWaitEdge(SharedExclusiveLock* lock, uint32_t thread)
{
    GraphHold hold;
    Graph().waits[thread] = lock;
}

void SharedExclusiveLock::RemoveLockWaitEdge(uint32_t thread)
{
    GraphHold hold;
    Graph().waits.erase(thread);
}

bool SharedExclusiveLock::DetectLockCycle(SharedExclusiveLock* lock, uint32_t thread, std::vector<uint32_t>* chain)
{
    GraphHold hold;
    if (chain)
        chain->assign(1, thread);
    SharedExclusiveLock* current = lock;
    for (uint32_t step = 0; step < kCycleSteps; ++step)
    {
        const uint32_t owner = current->ExclusiveOwner();
        if (chain && owner != 0)
            chain->push_back(owner);
        if (owner == thread || owner == kUnknownOwner)
            return true;
        auto it = Graph().waits.find(owner);
        if (it == Graph().waits.end())
            return false;
        current = it->second;
    }
    return true;
}
