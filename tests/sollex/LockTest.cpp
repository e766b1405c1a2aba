#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fixtures/DebugCapture.h"
#include "tests/fixtures/WaitFor.h"
#include "platform/Waitable.h"
#include "sollex/CountedMutex.h"
#include "sollex/SharedExclusiveLock.h"
#include "sollex/SimpleSharedLock.h"
#include "sollex/SollexLog.h"
#include "sollex/TaskDispatcher.h"

namespace
{

using namespace std::chrono_literals;

// Lock waits in these tests carry a time-out far beyond what they need, so that a fault fails a
// test instead of hanging it.
constexpr int32_t kLongTimeoutMs = 20000;
using fixtures::Self;
using fixtures::WaitFor;

TEST(SharedExclusiveLock, SharedReentryCountsEachHolding)
{
    SharedExclusiveLock lock;
    EXPECT_TRUE(lock.Lock(false));
    EXPECT_TRUE(lock.Lock(false));
    EXPECT_EQ(lock.HolderCount(), 2u);
    EXPECT_TRUE(lock.IsHeldByCurrentThread(false));
    EXPECT_FALSE(lock.IsHeldByCurrentThread(true));
    EXPECT_FALSE(lock.Unlock());  // still held
    EXPECT_TRUE(lock.Unlock());   // free
    EXPECT_FALSE(lock.Unlock());  // nothing held: nothing changes
    EXPECT_EQ(lock.HolderCount(), 0u);
    EXPECT_TRUE(lock.TryLock(true));  // and it really is free
    EXPECT_TRUE(lock.Unlock());
}

TEST(SharedExclusiveLock, SharedHolderCannotUpgradeAndDoesNotWaitForItself)
{
    SharedExclusiveLock lock;
    ASSERT_TRUE(lock.TryLock(false));
    EXPECT_FALSE(lock.TryLock(true));
    EXPECT_FALSE(lock.Lock(Self(), true, -1, true));  // no time limit, no deadlock check: fails at once
    EXPECT_FALSE(lock.Lock(true));
    EXPECT_TRUE(lock.Unlock());

    // An exclusive holder may take it again either way.
    ASSERT_TRUE(lock.Lock(true));
    EXPECT_TRUE(lock.TryLock(true));
    EXPECT_TRUE(lock.TryLock(false));
    EXPECT_EQ(lock.UnlockAll(), 3u);
    EXPECT_EQ(lock.HolderCount(), 0u);
    EXPECT_TRUE(lock.TryLock(false));  // no longer exclusive
    EXPECT_EQ(lock.UnlockAll(), 1u);
}

TEST(SharedExclusiveLock, TimeoutZeroIsOneAttemptAndATimeoutExpires)
{
    SharedExclusiveLock lock;
    std::atomic<bool> held{false}, release{false};
    std::thread holder([&] {
        lock.Lock(true);
        held = true;
        WaitFor([&] { return release.load(); });
        lock.Unlock();
    });
    ASSERT_TRUE(WaitFor([&] { return held.load(); }));
    EXPECT_FALSE(lock.Lock(Self(), false, 0, false));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(lock.Lock(Self(), true, 30, false));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
    release = true;
    holder.join();
    EXPECT_TRUE(lock.Lock(Self(), true, 0, false));
    EXPECT_TRUE(lock.Unlock());
}

TEST(SharedExclusiveLock, WaitingWriterKeepsNewReadersOutButNotReentrantOnes)
{
    SharedExclusiveLock lock;
    ASSERT_TRUE(lock.TryLock(false));  // this thread reads
    std::atomic<int> writerResult{-1};
    std::thread writer([&] { writerResult = lock.Lock(Self(), true, kLongTimeoutMs, false) ? 1 : 0; });

    // Another reader gets in until the writer waits.
    std::atomic<bool> readerRefused{false};
    std::thread reader([&] {
        const uint32_t self = Self();
        readerRefused = WaitFor([&] {
            if (!lock.TryLock(self, false))
                return true;
            lock.Unlock(self);
            return false;
        });
    });
    reader.join();
    EXPECT_TRUE(readerRefused);
    EXPECT_TRUE(lock.TryLock(false));  // re-entry of a holder still succeeds
    EXPECT_EQ(writerResult.load(), -1);
    EXPECT_EQ(lock.UnlockAll(), 2u);
    writer.join();
    EXPECT_EQ(writerResult.load(), 1);
}

TEST(SharedExclusiveLock, TwoThreadDeadlockIsReportedWithItsOwners)
{
    fixtures::DebugCapture debug;

    SharedExclusiveLock first, second;
    std::atomic<uint32_t> threadA{0};
    std::atomic<bool> aHoldsFirst{false}, bHoldsSecond{false};
    std::atomic<int> aResult{-1};
    std::thread a([&] {
        threadA = Self();
        first.Lock(true);
        aHoldsFirst = true;
        WaitFor([&] { return bHoldsSecond.load(); });
        aResult = second.Lock(Self(), true, kLongTimeoutMs, false) ? 1 : 0;
        if (aResult == 1)
            second.Unlock();
        first.Unlock();
    });
    const uint32_t threadB = Self();
    ASSERT_TRUE(WaitFor([&] { return aHoldsFirst.load(); }));
    ASSERT_TRUE(second.Lock(true));
    bHoldsSecond = true;
    // Wait until A is seen waiting for the lock this thread holds.
    ASSERT_TRUE(WaitFor([&] { return SharedExclusiveLock::DetectLockCycle(&first, threadB); }));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(first.Lock(threadB, true, kLongTimeoutMs, false));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kLongTimeoutMs));
    second.Unlock();
    a.join();
    EXPECT_NE(aResult.load(), -1);

    const std::string chain = std::to_string(threadB) + " -> " + std::to_string(threadA.load()) + " -> " +
                              std::to_string(threadB);
    const std::string log = debug.Text();
    EXPECT_NE(log.find("SharedExclusiveLock::Lock> deadlock"), std::string::npos) << log;
    EXPECT_NE(log.find(chain), std::string::npos) << log;
    // Both locks are free again.
    EXPECT_TRUE(first.TryLock(true));
    EXPECT_TRUE(second.TryLock(true));
    first.Unlock();
    second.Unlock();
}

TEST(SharedExclusiveLock, TransferredHoldingBelongsToTheNewThread)
{
    SharedExclusiveLock lock;
    ASSERT_TRUE(lock.Lock(true));
    lock.TransferOwner(Self(), 4242);
    EXPECT_FALSE(lock.IsHeldByCurrentThread(false));
    EXPECT_FALSE(lock.Unlock());
    EXPECT_TRUE(lock.Unlock(4242));
}

TEST(SharedExclusiveLock, MainThreadKeepsPumpingWhileItWaits)
{
    PushMainThread();
    SharedExclusiveLock lock;
    std::atomic<bool> taskRan{false}, lockWaitTaskRan{false}, held{false};
    std::thread holder([&] {
        lock.Lock(true);
        held = true;
        class Flag : public Task
        {
        public:
            explicit Flag(std::atomic<bool>& flag) : m_flag(flag) {}
            uint32_t Run(uint32_t) override
            {
                m_flag = true;
                return 0;
            }

        private:
            std::atomic<bool>& m_flag;
        };
        GetTaskDispatcher().Post(TASK_MAIN_THREAD | TASK_NO_WAIT | TASK_NOT_IN_LOCK_WAIT,
                                 new Flag(lockWaitTaskRan), 5150);
        GetTaskDispatcher().Post(TASK_MAIN_THREAD | TASK_NO_WAIT, new Flag(taskRan), 5151);
        // Let go only once the waiting main thread has run the task.
        WaitFor([&] { return taskRan.load(); });
        lock.Unlock();
    });
    ASSERT_TRUE(WaitFor([&] { return held.load(); }));
    EXPECT_TRUE(lock.Lock(Self(), true, kLongTimeoutMs, false));
    holder.join();
    EXPECT_TRUE(taskRan);
    EXPECT_FALSE(lockWaitTaskRan);
    lock.Unlock();
    GetTaskDispatcher().PumpMainThread();
    EXPECT_TRUE(lockWaitTaskRan);
    PopMainThread();
}

TEST(SharedExclusiveLock, StressKeepsWritersAlone)
{
    SharedExclusiveLock lock;
    int64_t counter = 0;  // written under exclusive holdings only
    std::atomic<int> writersInside{0};
    std::atomic<int> failures{0};
    constexpr int kThreads = 6;
    constexpr int kRounds = 400;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t));
            const uint32_t self = Self();
            for (int i = 0; i < kRounds; ++i)
            {
                const bool exclusive = random() % 3 == 0;
                const bool again = random() % 8 == 0;  // re-entry moves a holding out of the lock's word
                if (!lock.Lock(self, exclusive, kLongTimeoutMs, false))
                {
                    ++failures;
                    continue;
                }
                if (again && !lock.TryLock(self, false))
                    ++failures;
                if (exclusive)
                {
                    if (++writersInside != 1)
                        ++failures;
                    ++counter;
                    --writersInside;
                }
                else if (writersInside.load() != 0)
                {
                    ++failures;
                }
                if (again)
                    lock.Unlock(self);
                lock.Unlock(self);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(lock.HolderCount(), 0u);
    EXPECT_GT(counter, 0);
}

TEST(CountedMutex, CountsTheOwnersHoldings)
{
    CountedMutex mutex;
    EXPECT_FALSE(mutex.IsLocked());
    EXPECT_FALSE(mutex.Unlock());  // not held: nothing changes
    mutex.Lock();
    EXPECT_TRUE(mutex.TryLock());
    EXPECT_FALSE(mutex.IsHeldOnce());
    std::thread other([&] {
        EXPECT_TRUE(mutex.IsLocked());
        EXPECT_FALSE(mutex.TryLock());
        EXPECT_FALSE(mutex.IsHeldOnce());
        EXPECT_FALSE(mutex.Unlock());
    });
    other.join();
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_TRUE(mutex.IsHeldOnce());
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_FALSE(mutex.IsLocked());
}

TEST(SimpleSharedLock, ReadersShareAndAWaitingWriterGoesFirst)
{
    SimpleSharedLock lock;
    EXPECT_FALSE(lock.Unlock());  // free: nothing changes
    ASSERT_TRUE(lock.TryLock(false));
    EXPECT_TRUE(lock.TryLock(false));
    EXPECT_FALSE(lock.TryLock(true));
    std::atomic<bool> writerIn{false};
    std::thread writer([&] {
        lock.Lock(true);
        writerIn = true;
        lock.Unlock();
    });
    // Once the writer waits, new readers stay out.
    EXPECT_TRUE(WaitFor([&] {
        if (!lock.TryLock(false))
            return true;
        lock.Unlock();
        return false;
    }));
    EXPECT_FALSE(writerIn);
    EXPECT_TRUE(lock.Unlock());
    EXPECT_TRUE(lock.Unlock());
    writer.join();
    EXPECT_TRUE(writerIn);
    EXPECT_EQ(lock.HolderCount(), 0u);
}

}  // namespace
