#include "lumo/os/OSMutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "lumo/os/CriticalSection.h"
#include "lumo/os/OSException.h"
#include "platform/LastError.h"

using namespace std::chrono_literals;

TEST(OSMutex, NestedLocksHoldOffOtherThreadsUntilTheLastUnlock)
{
    OS::Mutex mutex;
    std::atomic<bool> acquired{false};
    std::thread other;
    {
        OS::MutexLock a(mutex);
        OS::MutexLock b(mutex);
        OS::MutexLock c(mutex);
        other = std::thread([&] {
            OS::MutexLock lock(mutex);
            acquired = true;
        });
        std::this_thread::sleep_for(30ms);
        EXPECT_FALSE(acquired);
    }
    other.join();
    EXPECT_TRUE(acquired);
}

TEST(OSMutex, UnlockByANonOwnerFails)
{
    OS::Mutex mutex;
    mutex.Lock();
    std::thread other([&] {
        platform::SetLastError(0);
        EXPECT_FALSE(OS::ReleaseMutex(mutex.GetHandle()));
        EXPECT_EQ(platform::GetLastError(), 288u);
        try
        {
            mutex.Unlock();
            ADD_FAILURE() << "no exception";
        }
        catch (const OSException& e)
        {
            EXPECT_STREQ(e.what(), "Failed to release the mutex");
        }
    });
    other.join();
    mutex.Unlock();
    EXPECT_THROW(mutex.Unlock(), OSException) << "released more often than locked";
}

TEST(OSMutex, CanBeWaitedForAmongOtherObjects)
{
    OS::Mutex mutex;
    OS::Handle event = OS::CreateEvent(true, false, nullptr);
    std::vector<OS::Handle> set = {event, mutex.GetHandle()};
    EXPECT_EQ(OS::WaitForObjects(set, 0), OS::WAIT_OBJECT_0 + 1);
    mutex.Unlock();
}

TEST(CriticalSection, IsRecursiveAndExcludesOtherThreads)
{
    CriticalSection section;
    int shared = 0;  // guarded by the section
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            for (int j = 0; j < 1000; ++j)
            {
                CriticalSectionLock outer(section);
                CriticalSectionLock inner(section);
                ++shared;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(shared, 4000);
}
