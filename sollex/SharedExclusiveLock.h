#pragma once
// A re-entrant shared/exclusive lock that records its owning threads (one entry per holding).
// A lock that is free, or held once by one thread, keeps its whole state in one atomic word
// (the holder's thread id and the kind of holding): taking it then and giving it back are one
// compare-and-swap each. Everything else (re-entry, a second holder, waiters, transfers, the
// deadlock check) first moves the state under a short guard, where it stays until the lock is
// free and nobody waits. A waiter sleeps on a futex that a release which frees the lock
// wakes, at most 20 ms at a time, and on each retry looks for deadlock: it enters itself in a process-wide wait graph (thread -> the lock it waits for) and
// follows the chain of exclusive owners from the lock it wants; when the chain comes back to
// itself it gives up, and the cycle is written to the "Sollex" log with the threads in it.
// Only exclusive holdings lead along the chain: a shared holding ends it.
//
// While the main thread (IsMainThread) waits it keeps its task pump going: one main-thread task
// per retry (not those marked TASK_NOT_IN_LOCK_WAIT) and a purge step of the interned strings
// every 15 s.
//
// A lock must outlive every thread that waits for it (the wait graph refers to it). Lock order:
// the wait graph's lock, then a lock's guard; a guard is never held while the graph's lock is
// taken.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "Kiln/Src/Kiln/KernelStandard/SyncObject.h"

class SharedExclusiveLock
{
public:
    SharedExclusiveLock() = default;
    SharedExclusiveLock(const SharedExclusiveLock&) = delete;
    SharedExclusiveLock& operator=(const SharedExclusiveLock&) = delete;

    // One attempt. A holder may take it again shared, and again exclusively when its holding is
    // exclusive; a shared holder cannot upgrade.
    bool TryLock(uint32_t thread, bool exclusive);
    // Retries until taken, until `timeoutMs` has passed (-1: no limit; 0: one attempt) or, unless
    // `noDeadlockCheck`, until a deadlock shows. A shared holder that asks for exclusive access
    // fails at once: it would wait for itself. False when not taken.
    bool Lock(uint32_t thread, bool exclusive, int32_t timeoutMs, bool noDeadlockCheck);
    // Gives up one holding of `thread`. True when the lock became free; false when it is still
    // held, or when `thread` held nothing (then nothing changes).
    bool Unlock(uint32_t thread);
    // Gives up every holding of the calling thread; returns how many there were.
    uint32_t UnlockAll();
    bool IsHeldByCurrentThread(bool exclusive);
    // Hands the first holding of `oldThread` to `newThread`.
    void TransferOwner(uint32_t oldThread, uint32_t newThread);

    // For the calling thread; Lock waits without a time limit, with the deadlock check.
    bool TryLock(bool exclusive);
    bool Lock(bool exclusive);
    bool Unlock();

    // The process-wide wait graph.
    static void AddLockWaitEdge(SharedExclusiveLock* lock, uint32_t thread);
    static void RemoveLockWaitEdge(uint32_t thread);
    // Whether following exclusive owners from `lock` comes back to `thread` (or makes no end
    // within 129 steps). `chain`, when given, receives the threads passed, from `thread` on.
    static bool DetectLockCycle(SharedExclusiveLock* lock, uint32_t thread, std::vector<uint32_t>* chain = nullptr);

    uint32_t HolderCount();

private:
    // The first owner when the lock is held exclusively, else 0.
    uint32_t ExclusiveOwner();
    bool TryLockLocked(uint32_t thread, bool exclusive);
    bool HoldsSharedLocked(uint32_t thread) const;
    friend class SharedExclusiveGuard;
    // With the guard held: a holding kept in the word moves into m_owners, and the word says
    // the state is under the guard. SettleLocked gives the word back once the lock is idle.
    void MoveUnderGuardLocked();
    void SettleLocked();
    void ReleasedLocked();
    // Sleeps until a release may have let the caller in, or `ms` passes.
    void Sleep(bool exclusive, int64_t ms);

    uint32_t m_holderCount = 0;
    bool m_exclusive = false;
    uint32_t m_waitingExclusive = 0;
    uint32_t m_sleepingShared = 0;     // waiters asleep on m_wake, by kind
    uint32_t m_sleepingExclusive = 0;
    std::atomic<uint32_t> m_wake{0};   // futex word: changes whenever sleepers are woken
    // 0: free. kHeldInWord | (kExclusiveInWord) | thread: held once by that thread. kUnderGuard:
    // the state is the members below.
    std::atomic<uint64_t> m_word{0};
    std::mutex m_guard;
    std::vector<uint32_t> m_owners;    // one thread id per holding, in order of taking
};
