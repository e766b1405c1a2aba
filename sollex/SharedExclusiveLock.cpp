#include "sollex/SharedExclusiveLock.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <climits>
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
constexpr int kSpins = 100;

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

constexpr uint64_t kHeldInWord = uint64_t(1) << 32;
constexpr uint64_t kExclusiveInWord = uint64_t(1) << 33;
constexpr uint64_t kUnderGuard = uint64_t(1) << 34;

}  // namespace

// A lock's guard for a scope, with the lock's state moved under it; debug builds check the
// lock order against the wait graph's lock.
class SharedExclusiveGuard
{
public:
    explicit SharedExclusiveGuard(SharedExclusiveLock& lock) : m_lock(lock), m_hold(lock.m_guard)
    {
#ifndef NDEBUG
        ++t_guardsHeld;
#endif
        lock.MoveUnderGuardLocked();
    }
    ~SharedExclusiveGuard()
    {
        m_lock.SettleLocked();
#ifndef NDEBUG
        --t_guardsHeld;
#endif
    }
    SharedExclusiveGuard(const SharedExclusiveGuard&) = delete;
    SharedExclusiveGuard& operator=(const SharedExclusiveGuard&) = delete;

private:
    SharedExclusiveLock& m_lock;
    std::lock_guard<std::mutex> m_hold;
};

namespace
{

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

void FutexWait(std::atomic<uint32_t>& word, uint32_t seen, int64_t ms)
{
    timespec limit{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, seen, &limit, nullptr, 0);
}

void FutexWake(std::atomic<uint32_t>& word, int count)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
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

void SharedExclusiveLock::MoveUnderGuardLocked()
{
    uint64_t word = m_word.load(std::memory_order_acquire);
    while (word != kUnderGuard)
    {
        if (m_word.compare_exchange_weak(word, kUnderGuard, std::memory_order_acq_rel, std::memory_order_acquire) &&
            (word & kHeldInWord))
        {
            m_holderCount = 1;
            m_exclusive = (word & kExclusiveInWord) != 0;
            m_owners.assign(1, static_cast<uint32_t>(word));
        }
    }
}

void SharedExclusiveLock::SettleLocked()
{
    if (m_holderCount == 0 && m_waitingExclusive == 0 && m_sleepingShared + m_sleepingExclusive == 0)
        m_word.store(0, std::memory_order_release);
}

bool SharedExclusiveLock::TryLock(uint32_t thread, bool exclusive)
{
    uint64_t free = 0;
    if (m_word.compare_exchange_strong(free, kHeldInWord | (exclusive ? kExclusiveInWord : 0) | thread,
                                       std::memory_order_acquire, std::memory_order_relaxed))
        return true;
    SharedExclusiveGuard hold(*this);
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
    return true;
}

bool SharedExclusiveLock::HoldsSharedLocked(uint32_t thread) const
{
    return m_holderCount > 0 && !m_exclusive && std::find(m_owners.begin(), m_owners.end(), thread) != m_owners.end();
}

bool SharedExclusiveLock::Lock(uint32_t thread, bool exclusive, int32_t timeoutMs, bool noDeadlockCheck)
{
    // Holdings are short: a lock held in its word is often free again within a few hundred
    // cycles, sooner than a wait could even begin.
    const uint64_t mine = kHeldInWord | (exclusive ? kExclusiveInWord : 0) | thread;
    for (int spin = 0; spin < kSpins; ++spin)
    {
        uint64_t word = m_word.load(std::memory_order_relaxed);
        if (word == 0 && m_word.compare_exchange_weak(word, mine, std::memory_order_acquire, std::memory_order_relaxed))
            return true;
        if (word == kUnderGuard || (word & kHeldInWord) == 0 || static_cast<uint32_t>(word) == thread ||
            timeoutMs == 0)
            break;  // waiters, re-entry or one attempt only: the guarded road decides
        __builtin_ia32_pause();
    }
    {
        SharedExclusiveGuard hold(*this);
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
        {
            int64_t ms = kMaxBackOffMs;
            if (timeoutMs >= 0)
                ms = std::clamp<int64_t>(static_cast<int64_t>(start + static_cast<uint64_t>(timeoutMs)) -
                                             static_cast<int64_t>(NowMs()) + 1,
                                         0, kMaxBackOffMs);
            if (ms > 0)
                Sleep(exclusive, ms);
        }
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
        SharedExclusiveGuard hold(*this);
        // Shared waiters held back for this one may go now.
        if (--m_waitingExclusive == 0 && !taken && m_sleepingShared > 0)
        {
            m_wake.fetch_add(1, std::memory_order_release);
            FutexWake(m_wake, INT32_MAX);
        }
    }
    return taken;
}

bool SharedExclusiveLock::Unlock(uint32_t thread)
{
    uint64_t held = m_word.load(std::memory_order_relaxed);
    if ((held & ~kExclusiveInWord) == (kHeldInWord | thread) &&
        m_word.compare_exchange_strong(held, 0, std::memory_order_release, std::memory_order_relaxed))
        return true;
    SharedExclusiveGuard hold(*this);
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
    SharedExclusiveGuard hold(*this);
    const auto removed = static_cast<uint32_t>(std::erase(m_owners, self));
    m_holderCount -= removed;
    ReleasedLocked();
    return removed;
}

void SharedExclusiveLock::ReleasedLocked()
{
    if (m_holderCount != 0)
        return;  // nobody waiting could take it now: shared ones would have
    m_exclusive = false;
    if (m_sleepingShared + m_sleepingExclusive == 0)
        return;
    m_wake.fetch_add(1, std::memory_order_release);
    // Readers may all go in together; of writers, one can.
    FutexWake(m_wake, m_sleepingShared > 0 ? INT32_MAX : 1);
}

void SharedExclusiveLock::Sleep(bool exclusive, int64_t ms)
{
    uint32_t seen;
    {
        SharedExclusiveGuard hold(*this);
        const bool couldTake = m_holderCount == 0 ? exclusive || m_waitingExclusive == 0
                                                  : !exclusive && !m_exclusive && m_waitingExclusive == 0;
        if (couldTake)
            return;  // released since the last attempt: try again at once
        seen = m_wake.load(std::memory_order_acquire);
        ++(exclusive ? m_sleepingExclusive : m_sleepingShared);
    }
    FutexWait(m_wake, seen, ms);
    SharedExclusiveGuard hold(*this);
    --(exclusive ? m_sleepingExclusive : m_sleepingShared);
}

bool SharedExclusiveLock::IsHeldByCurrentThread(bool exclusive)
{
    const uint32_t self = CurrentThread();
    SharedExclusiveGuard hold(*this);
    if (std::find(m_owners.begin(), m_owners.end(), self) == m_owners.end())
        return false;
    return !exclusive || m_exclusive;
}

void SharedExclusiveLock::TransferOwner(uint32_t oldThread, uint32_t newThread)
{
    SharedExclusiveGuard hold(*this);
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
    SharedExclusiveGuard hold(*this);
    return m_holderCount;
}

uint32_t SharedExclusiveLock::ExclusiveOwner()
{
    SharedExclusiveGuard hold(*this);
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
