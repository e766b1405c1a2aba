#include "platform/Waitable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/LastError.h"

using namespace platform;
using namespace std::chrono_literals;

namespace
{

std::shared_ptr<Event> MakeEvent(bool manual, bool initial = false)
{
    return std::make_shared<Event>(manual, initial);
}

// Waits until `done` holds, without depending on how fast the machine is.
template <class F>
void SpinUntil(F done)
{
    while (!done())
        std::this_thread::sleep_for(1ms);
}

}  // namespace

TEST(Waitable, AutoResetEventReleasesExactlyOneOfTwoWaiters)
{
    auto event = MakeEvent(false);
    WaitableRef ref = event;
    std::atomic<int> woken{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i)
        threads.emplace_back([&] {
            if (WaitForOne(ref, kInfinite) == kWaitObject0)
                ++woken;
        });
    SpinUntil([&] { return event->WaiterCount() == 2; });
    event->Set();
    SpinUntil([&] { return woken == 1; });
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(woken.load(), 1);
    EXPECT_FALSE(event->IsSet());
    event->Set();
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(woken.load(), 2);
}

TEST(Waitable, PulseReleasesCurrentWaitersAndLeavesEventReset)
{
    for (bool manual : {true, false})
    {
        SCOPED_TRACE(manual ? "manual" : "auto");
        auto event = MakeEvent(manual);
        WaitableRef ref = event;
        event->Pulse();  // nobody waits: nothing is kept
        EXPECT_EQ(WaitForOne(ref, 0), kWaitTimeout);

        std::atomic<int> woken{0};
        std::vector<std::shared_ptr<Thread>> waiters;
        for (int i = 0; i < 3; ++i)
            waiters.push_back(Thread::Start([&] {
                uint32_t r = WaitForOne(ref, 300);
                if (r == kWaitObject0)
                    ++woken;
                return r;
            }));
        // Wait until all three are registered: a pulse only reaches threads already waiting.
        SpinUntil([&] { return event->WaiterCount() == 3; });
        event->Pulse();
        EXPECT_FALSE(event->IsSet());
        for (auto& w : waiters)
            WaitForOne(w, kInfinite);
        EXPECT_EQ(woken.load(), manual ? 3 : 1);
    }
}

TEST(Waitable, MutexIsRecursiveAndOwned)
{
    auto mutex = std::make_shared<Mutex>(false);
    WaitableRef ref = mutex;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(WaitForOne(ref, 0), kWaitObject0);
    EXPECT_EQ(mutex->Owner(), CurrentThreadId());

    std::atomic<bool> acquired{false};
    std::atomic<bool> releasedByOther{true};
    std::thread other([&] {
        SetLastError(0);
        releasedByOther = mutex->Release();
        EXPECT_EQ(GetLastError(), kErrorNotOwner);
        EXPECT_EQ(WaitForOne(ref, kInfinite), kWaitObject0);
        acquired = true;
        EXPECT_TRUE(mutex->Release());
    });
    SpinUntil([&] { return !releasedByOther; });
    for (int i = 0; i < 2; ++i)
    {
        EXPECT_TRUE(mutex->Release());
        std::this_thread::sleep_for(20ms);
        EXPECT_FALSE(acquired) << "taken while still held " << (2 - i) << " deep";
    }
    EXPECT_TRUE(mutex->Release());
    other.join();
    EXPECT_TRUE(acquired);
    EXPECT_FALSE(mutex->Release());
    EXPECT_EQ(GetLastError(), kErrorNotOwner);
}

TEST(Waitable, MutexOfAnEndedThreadIsHandedOverAbandoned)
{
    struct Case
    {
        const char* name;
        bool coreThread;
        bool waitBeforeEnd;  // the next owner already waits when the owner ends
        bool fast;           // the owner takes it without the core (TryAcquireFast)
    } cases[] = {{"core thread", true, false, false},  {"core thread, waiter", true, true, false},
                 {"std::thread", false, false, false}, {"std::thread, waiter", false, true, false},
                 {"std::thread, fast", false, false, true}, {"std::thread, fast, waiter", false, true, true}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        auto mutex = std::make_shared<Mutex>(false);
        WaitableRef ref = mutex;
        auto go = MakeEvent(true);
        WaitableRef goRef = go;
        auto body = [&] {
            if (c.fast)
            {
                EXPECT_TRUE(mutex->TryAcquireFast(CurrentThreadId()));
                EXPECT_TRUE(mutex->TryAcquireFast(CurrentThreadId()));
            }
            else
            {
                EXPECT_EQ(WaitForOne(ref, kInfinite), kWaitObject0);
                EXPECT_EQ(WaitForOne(ref, kInfinite), kWaitObject0);  // held two deep
            }
            WaitForOne(goRef, kInfinite);
            return 0u;
        };
        std::shared_ptr<Thread> owner;
        std::thread plain;
        if (c.coreThread)
            owner = Thread::Start(body);
        else
            plain = std::thread(body);
        SpinUntil([&] { return mutex->Owner() != 0; });
        if (c.waitBeforeEnd)
        {
            std::thread ender([&] {
                std::this_thread::sleep_for(30ms);
                go->Set();
            });
            EXPECT_EQ(WaitForOne(ref, kInfinite), kWaitAbandoned0);
            ender.join();
        }
        else
        {
            go->Set();
            if (owner)
                WaitForOne(owner, kInfinite);
            else
                plain.join();
            EXPECT_EQ(WaitForOne(ref, kInfinite), kWaitAbandoned0);
        }
        if (plain.joinable())
            plain.join();
        EXPECT_EQ(mutex->Owner(), CurrentThreadId());
        EXPECT_TRUE(mutex->Release());
        EXPECT_FALSE(mutex->Release()) << "the dead owner's depth must not carry over";
        EXPECT_EQ(WaitForOne(ref, 0), kWaitObject0) << "abandonment is reported once";
        EXPECT_TRUE(mutex->Release());
    }
}

TEST(Waitable, WaitForAnyReportsFirstSignalledIndexAndTakesIt)
{
    auto event = MakeEvent(false);
    auto mutex = std::make_shared<Mutex>(false);
    auto gate = MakeEvent(true);
    WaitableRef gateRef = gate;
    auto thread = Thread::Start([gateRef] { return WaitForOne(gateRef, kInfinite); });
    ASSERT_TRUE(thread);

    // The mutex is busy in another thread first, so nothing is signalled.
    std::shared_ptr<Thread> holder = Thread::Start([mutex, gateRef] {
        WaitableRef m = mutex;
        WaitForOne(m, kInfinite);
        WaitForOne(gateRef, kInfinite);
        mutex->Release();
        return 0u;
    });
    SpinUntil([&] { return mutex->Owner() != 0; });
    std::vector<WaitableRef> set = {event, mutex, thread};
    EXPECT_EQ(WaitForAny(set.data(), set.size(), 10), kWaitTimeout);

    event->Set();
    EXPECT_EQ(WaitForAny(set.data(), set.size(), kInfinite), kWaitObject0 + 0);
    EXPECT_FALSE(event->IsSet()) << "the auto-reset event is consumed by the wait";

    gate->Set();  // the holder releases the mutex and the thread ends
    WaitableRef holderRef = holder;
    WaitForOne(holderRef, kInfinite);
    EXPECT_EQ(WaitForAny(set.data(), set.size(), kInfinite), kWaitObject0 + 1);
    EXPECT_EQ(mutex->Owner(), CurrentThreadId());
    EXPECT_TRUE(mutex->Release());

    std::vector<WaitableRef> last = {event, thread};
    EXPECT_EQ(WaitForAny(last.data(), last.size(), kInfinite), kWaitObject0 + 1);
}

TEST(Waitable, WaitForAnyRejectsBadArguments)
{
    std::vector<WaitableRef> many(65);
    for (auto& m : many)
        m = MakeEvent(true, true);
    for (size_t count : {65, 0})
    {
        SetLastError(0);
        EXPECT_EQ(WaitForAny(many.data(), count, kInfinite), kWaitFailed) << count;
        EXPECT_EQ(GetLastError(), kErrorInvalidParameter) << count;
    }
    EXPECT_EQ(WaitForAny(many.data(), 64, kInfinite), kWaitObject0);
    WaitableRef null;
    EXPECT_EQ(WaitForOne(null, 0), kWaitFailed);
}

TEST(Waitable, TimersSignalAtTheirDueTime)
{
    auto oneShot = std::make_shared<Timer>(true);
    WaitableRef ref = oneShot;
    EXPECT_EQ(WaitForOne(ref, 0), kWaitTimeout) << "never set";
    oneShot->Set(std::chrono::steady_clock::now() + 30ms, 0ms);
    EXPECT_EQ(WaitForOne(ref, 0), kWaitTimeout);
    EXPECT_EQ(WaitForOne(ref, kInfinite), kWaitObject0);
    EXPECT_EQ(WaitForOne(ref, 0), kWaitObject0) << "manual reset stays signalled";
    EXPECT_FALSE(oneShot->Cancel()) << "a one-shot timer is done once it fired";

    auto periodic = std::make_shared<Timer>(false);
    WaitableRef p = periodic;
    periodic->Set(std::chrono::steady_clock::now() + 20ms, 20ms);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(WaitForOne(p, kInfinite), kWaitObject0) << "expiry " << i;
    EXPECT_TRUE(periodic->Cancel());
    EXPECT_EQ(WaitForOne(p, 60), kWaitTimeout);

    // A timer among other objects wakes a wait by itself.
    auto event = MakeEvent(false);
    auto timer = std::make_shared<Timer>(false);
    timer->Set(std::chrono::steady_clock::now() + 20ms, 0ms);
    std::vector<WaitableRef> set = {event, timer};
    EXPECT_EQ(WaitForAny(set.data(), set.size(), kInfinite), kWaitObject0 + 1);
}

TEST(Waitable, ManyThreadsShareOneMutexTakenEitherWay)
{
    auto mutex = std::make_shared<Mutex>(false);
    WaitableRef ref = mutex;
    int counter = 0;  // guarded by the mutex only
    std::vector<std::shared_ptr<Thread>> threads;
    for (int i = 0; i < 8; ++i)
        threads.push_back(Thread::Start([&] {
            for (int j = 0; j < 500; ++j)
            {
                // Half the takes try the lock-free road first, as the utility library's mutex does.
                if (j % 2 == 0 || !mutex->TryAcquireFast(CurrentThreadId()))
                    WaitForOne(ref, kInfinite);
                ++counter;
                mutex->Release();
            }
            return 0u;
        }));
    for (auto& t : threads)
    {
        WaitableRef r = t;
        WaitForOne(r, kInfinite);
    }
    EXPECT_EQ(counter, 4000);
}
