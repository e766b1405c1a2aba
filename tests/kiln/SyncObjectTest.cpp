#include "Kiln/Src/Kiln/KernelStandard/SyncObject.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "Kiln/Src/Kiln/KernelStandard/KilnThread.h"
#include "platform/DebugOutput.h"

namespace
{

using namespace std::chrono_literals;

// Runs `body` on a thread of its own and waits for it.
template <typename Body>
void OnOtherThread(Body body)
{
    std::thread(body).join();
}

std::string UniqueName(const char* what)
{
    return std::string("kiln-test-") + what + "-" + std::to_string(getpid());
}

// Another process opens both by name: it takes the event's one Set and cannot have the mutex this
// thread owns.
TEST(KilnSyncObject, NamedEventAndMutexAreSharedBetweenProcesses)
{
    const std::string eventName = UniqueName("event"), mutexName = UniqueName("mutex");
    Kiln::WEvent event(false, true, eventName.c_str());  // auto reset, set
    Kiln::Mutex mutex(true, mutexName.c_str());          // owned by this thread
    fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        Kiln::WEvent sameEvent(true, false, eventName.c_str());
        Kiln::Mutex sameMutex(false, mutexName.c_str());
        _exit(sameEvent.Wait(0) && !sameMutex.Wait(0) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(event.Wait(0)) << "the other process took the one Set";
    EXPECT_TRUE(mutex.Release());
}

TEST(KilnSyncObject, NameOfTheOtherKindGivesNoHandle)
{
    const std::string name = UniqueName("kind");
    Kiln::Mutex mutex(false, name.c_str());
    EXPECT_EQ(Kiln::WEvent(true, false, name.c_str()).GetHandle(), nullptr);
    Kiln::WEvent unnamed(true, true, "");  // an empty name is no name: private
    EXPECT_TRUE(unnamed.Wait(0));
}

// Starts `count` threads that each wait once on `event` and counts who got through.
struct Waiters
{
    std::atomic<int> released{0};
    std::vector<std::thread> threads;

    Waiters(Kiln::WEvent& event, int count, uint32_t timeoutMs)
    {
        for (int i = 0; i < count; ++i)
            threads.emplace_back([&, timeoutMs] {
                if (event.Wait(timeoutMs))
                    ++released;
            });
        while (event.GetHandle()->WaiterCount() < static_cast<size_t>(count))
            std::this_thread::sleep_for(1ms);
    }
    void Join()
    {
        for (auto& thread : threads)
            thread.join();
    }
};

TEST(KilnSyncObject, CriticalSectionTimeoutIsOneTry)
{
    Kiln::CriticalSection section;
    ASSERT_TRUE(section.Lock(Kiln::kInfinite));
    ASSERT_TRUE(section.Lock(0));  // recursive
    OnOtherThread([&] {
        EXPECT_FALSE(section.Lock(0));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(section.Lock(120000));  // one try, no wait
        EXPECT_LT(std::chrono::steady_clock::now() - start, 60000ms);
        EXPECT_FALSE(section.Unlock());  // not held by this thread
    });
    EXPECT_TRUE(section.Unlock());
    EXPECT_TRUE(section.Unlock());
    EXPECT_FALSE(section.Unlock());
    OnOtherThread([&] {
        Kiln::ScopedLock lock(&section);
        EXPECT_TRUE(lock.IsHeld());
    });
    EXPECT_TRUE(section.Lock(0));
    section.Unlock();
}

struct StopProbe
{
    Kiln::Thread* thread = nullptr;
    std::atomic<bool> sawStop{false};
};

uint32_t WaitForStop(void* argument)
{
    auto* probe = static_cast<StopProbe*>(argument);
    // The destructor signals the stop event before it lets a suspended thread run.
    probe->sawStop = platform::WaitForOne(probe->thread->GetHandle(), Kiln::kInfinite) == platform::kWaitObject0;
    return 5;
}

TEST(KilnThread, SuspendedThreadRunsWhenDestroyedAndSeesTheStop)
{
    StopProbe probe;
    {
        Kiln::Thread thread(WaitForStop, &probe, false);
        probe.thread = &thread;
        ASSERT_TRUE(thread.IsValid());
        EXPECT_FALSE(thread.Wait(20));  // suspended: not ended
        EXPECT_EQ(thread.ExitCode(), platform::kStillActive);
        EXPECT_TRUE(thread.IsAlive());
    }
    EXPECT_TRUE(probe.sawStop.load());
}

TEST(KilnProcess, IsProcessAlive)
{
    EXPECT_TRUE(Kiln::IsProcessAlive(getpid()));
    EXPECT_FALSE(Kiln::IsProcessAlive(0));
    EXPECT_FALSE(Kiln::IsProcessAlive(-1));
    EXPECT_FALSE(Kiln::IsProcessAlive(0x7FFFFFF0));

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(0);
    // Ended but not collected yet: not alive.
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
    EXPECT_FALSE(Kiln::IsProcessAlive(child));
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    EXPECT_FALSE(Kiln::IsProcessAlive(child));
}

}  // namespace
