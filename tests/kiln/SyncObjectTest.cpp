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
#include "tests/fixtures/DebugCapture.h"

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

// Another process opens the event and the mutex by name: it finds the event's reset kind and
// state as their creator made them, is woken by the creator's Set, and takes the mutex once the
// creator releases it. It answers through a third named event and its exit code.
TEST(KilnSyncObject, NamedEventAndMutexAreSharedBetweenProcesses)
{
    const std::string eventName = UniqueName("event"), mutexName = UniqueName("mutex"),
                      startedName = UniqueName("started");
    Kiln::WEvent event(false, false, eventName.c_str());  // auto reset, not set
    Kiln::Mutex mutex(true, mutexName.c_str());           // created here, so owned here
    Kiln::WEvent started(true, false, startedName.c_str());
    ASSERT_NE(event.GetHandle(), nullptr);
    ASSERT_NE(mutex.GetHandle(), nullptr);

    fflush(nullptr);
    const pid_t child = fork();
    if (child == 0)
    {
        Kiln::WEvent theirEvent(true, true, eventName.c_str());  // exists: these values are ignored
        Kiln::Mutex theirMutex(true, mutexName.c_str());        // exists: not taken
        Kiln::WEvent theirStarted(true, false, startedName.c_str());
        if (!theirEvent.GetHandle() || !theirMutex.GetHandle() || !theirStarted.GetHandle())
            _exit(1);
        if (theirEvent.Wait(0) || theirMutex.Wait(0))
            _exit(2);  // the event was set, or the mutex free
        theirStarted.Set();
        if (!theirEvent.Wait(10000))
            _exit(3);
        if (theirEvent.Wait(0))
            _exit(4);  // an auto-reset event lets one wait through per Set
        if (!theirMutex.Wait(10000))
            _exit(5);
        _exit(theirMutex.Release() ? 0 : 6);
    }
    ASSERT_GT(child, 0);
    EXPECT_TRUE(started.Wait(10000));
    EXPECT_TRUE(event.Set());
    EXPECT_TRUE(mutex.Release());
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(mutex.Wait(0)) << "given back by the other process";
    EXPECT_TRUE(mutex.Release());
}

TEST(KilnSyncObject, NameOfTheOtherKindGivesNoHandle)
{
    const std::string name = UniqueName("kind");
    Kiln::Mutex mutex(false, name.c_str());
    ASSERT_NE(mutex.GetHandle(), nullptr);
    fixtures::DebugCapture debug;
    Kiln::WEvent event(true, false, name.c_str());
    EXPECT_EQ(event.GetHandle(), nullptr);
    EXPECT_FALSE(event.Set());
    EXPECT_FALSE(event.Wait(0));
    EXPECT_NE(debug.Text().find("Kiln::WEvent> cannot create or open \"" + name + "\" (error 6)"), std::string::npos)
        << debug.Text();
    // Unnamed objects stay private, also with an empty name.
    Kiln::WEvent unnamed(true, true, "");
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
        EXPECT_FALSE(section.Lock(5000));  // one try, no wait
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
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
