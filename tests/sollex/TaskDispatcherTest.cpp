#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fixtures/WaitFor.h"
#include "platform/Waitable.h"
#include "sollex/SimpleSharedLock.h"
#include "sollex/SollexLog.h"
#include "sollex/TaskDispatcher.h"

namespace
{

using namespace std::chrono_literals;

using fixtures::Self;
using fixtures::WaitFor;

std::atomic<int> g_tasksAlive{0};

class FunctionTask : public Task
{
public:
    explicit FunctionTask(std::function<void(uint32_t)> body) : m_body(std::move(body)) { ++g_tasksAlive; }
    ~FunctionTask() override { --g_tasksAlive; }
    uint32_t Run(uint32_t argument) override
    {
        m_body(argument);
        return 0;
    }

private:
    std::function<void(uint32_t)> m_body;
};

Task* MakeTask(std::function<void(uint32_t)> body)
{
    return new FunctionTask(std::move(body));
}

std::atomic<int> g_wakeCalls{0};
std::atomic<uint32_t> g_wakeMessage{0};
void CountWake(uint32_t message)
{
    ++g_wakeCalls;
    g_wakeMessage = message;
}

// Makes the calling thread the main thread for a scope.
class MainThreadScope
{
public:
    MainThreadScope() { PushMainThread(); }
    ~MainThreadScope() { PopMainThread(); }
};

TEST(TaskDispatcher, MainThreadWorkRunsThereOnceInOrderWithOneWakePerBatch)
{
    MainThreadScope main;
    TaskDispatcher dispatcher("test");
    SetMainThreadWakeHook(CountWake);
    g_wakeCalls = 0;

    std::mutex orderLock;
    std::vector<int> order;
    std::atomic<bool> fivePosted{false}, posterDone{false};
    std::atomic<bool> otherThreadRan{false};
    const uint32_t mainId = Self();
    auto record = [&](int i) {
        std::lock_guard<std::mutex> hold(orderLock);
        order.push_back(i);
        if (Self() != mainId)
            otherThreadRan = true;
    };
    std::thread poster([&] {
        for (int i = 0; i < 5; ++i)
            dispatcher.Post(TASK_MAIN_THREAD | TASK_NO_WAIT, MakeTask([&, i](uint32_t) { record(i); }), 0);
        fivePosted = true;
        // The last one waits for the main thread's pump.
        EXPECT_TRUE(dispatcher.Post(TASK_MAIN_THREAD, MakeTask([&](uint32_t) { record(5); }), 0));
        posterDone = true;
    });
    ASSERT_TRUE(WaitFor([&] { return fivePosted.load(); }));
    EXPECT_EQ(g_wakeCalls.load(), 1);  // five posts, one wake until the main thread pumps
    EXPECT_EQ(g_wakeMessage.load(), kMainThreadWakeMessage);
    EXPECT_TRUE(TaskDispatcher::WaitMainThreadWork(0));
    ASSERT_TRUE(WaitFor([&] {
        if (TaskDispatcher::WaitMainThreadWork(10))
            dispatcher.PumpMainThread();
        return posterDone.load();
    }));
    EXPECT_LE(g_wakeCalls.load(), 2);
    poster.join();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_FALSE(otherThreadRan);
    EXPECT_FALSE(dispatcher.HasQueuedTasks());
    EXPECT_EQ(g_tasksAlive.load(), 0);
    SetMainThreadWakeHook(nullptr);
}

TEST(TaskDispatcher, WorkerSkipsMainThreadEntryAndRunsTheNext)
{
    TaskDispatcher dispatcher("test");
    std::atomic<bool> mainRan{false};
    std::atomic<uint32_t> otherRanOn{0};
    dispatcher.Post(TASK_MAIN_THREAD | TASK_NO_WAIT, MakeTask([&](uint32_t) { mainRan = true; }), 1);
    dispatcher.Post(TASK_NO_WAIT, MakeTask([&](uint32_t) { otherRanOn = Self(); }), 2);
    ASSERT_TRUE(WaitFor([&] { return otherRanOn.load() != 0; }));
    EXPECT_NE(otherRanOn.load(), Self());
    EXPECT_FALSE(mainRan);
    EXPECT_TRUE(dispatcher.HasQueuedTasks());
    EXPECT_EQ(dispatcher.RunOne(0), 0);  // this thread is no main thread either
    EXPECT_FALSE(mainRan);

    MainThreadScope main;
    EXPECT_EQ(dispatcher.RunOne(0), 0);  // ran the only queued task
    EXPECT_TRUE(mainRan);
    EXPECT_FALSE(dispatcher.HasQueuedTasks());
}

TEST(TaskDispatcher, EveryTaskRunsExactlyOnce)
{
    TaskDispatcher dispatcher("test");
    constexpr int kPosters = 4;
    constexpr int kTasksEach = 500;
    std::vector<std::atomic<int>> runs(kPosters * kTasksEach);
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p)
    {
        posters.emplace_back([&, p] {
            for (int i = 0; i < kTasksEach; ++i)
                dispatcher.Post(TASK_NO_WAIT, MakeTask([&](uint32_t index) { ++runs[index]; }),
                                static_cast<uint32_t>(p * kTasksEach + i));
        });
    }
    for (std::thread& poster : posters)
        poster.join();
    {
        // The main thread's waited posts for workers go through the queue too.
        MainThreadScope main;
        std::atomic<uint32_t> ranOn{0};
        EXPECT_TRUE(dispatcher.Post(TASK_WORKER_THREAD, MakeTask([&](uint32_t) { ranOn = Self(); }), 99999));
        EXPECT_NE(ranOn.load(), Self());
    }
    ASSERT_TRUE(WaitFor([&] { return !dispatcher.HasQueuedTasks() && g_tasksAlive.load() == 0; }));
    for (size_t i = 0; i < runs.size(); ++i)
        ASSERT_EQ(runs[i].load(), 1) << "task " << i;
}

TEST(TaskDispatcher, CancelWithWaitReturnsOnlyAfterTheRunningTaskFinished)
{
    TaskDispatcher dispatcher("test");
    for (int round = 0; round < 1000; ++round)
    {
        std::atomic<bool> started{false}, finished{false};
        dispatcher.Post(TASK_NO_WAIT, MakeTask([&](uint32_t) {
                            started = true;
                            std::this_thread::yield();
                            finished = true;
                        }),
                        7);
        ASSERT_TRUE(WaitFor([&] { return started.load(); }));
        dispatcher.CancelTasks(7, true);
        ASSERT_TRUE(finished.load()) << "round " << round;
        ASSERT_FALSE(dispatcher.IsRunning(7));
    }
}

TEST(TaskDispatcher, DiscardedTaskReleasesItsLockAndItsWaitingPoster)
{
    TaskDispatcher dispatcher("test");
    SimpleSharedLock lock;
    lock.Lock(true);
    std::atomic<int> result{-1};
    std::atomic<bool> ran{false};
    // No main thread pumps: the poster would wait for good unless the task is discarded.
    std::thread poster([&] {
        result = dispatcher.Post(TASK_MAIN_THREAD, MakeTask([&](uint32_t) { ran = true; }), 9, &lock) ? 1 : 0;
    });
    ASSERT_TRUE(WaitFor([&] { return dispatcher.HasQueuedTasks(); }));
    dispatcher.CancelTasks(8, false);  // another argument: stays
    EXPECT_TRUE(dispatcher.HasQueuedTasks());
    dispatcher.CancelTasks(9, true);
    poster.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_FALSE(ran);
    EXPECT_EQ(lock.HolderCount(), 0u);
    EXPECT_EQ(g_tasksAlive.load(), 0);
}

TEST(TaskDispatcher, StopWorkersDrainsThePoolAndDestructionDiscardsTheRest)
{
    SimpleSharedLock lock;
    {
        TaskDispatcher dispatcher("test");
        std::atomic<int> ran{0};
        for (int i = 0; i < 50; ++i)
            dispatcher.Post(TASK_NO_WAIT, MakeTask([&](uint32_t) { ++ran; }), 1);
        ASSERT_TRUE(WaitFor([&] { return ran.load() == 50; }));
        EXPECT_GE(dispatcher.WorkerCount(), 1u);
        dispatcher.StopWorkers();
        EXPECT_EQ(dispatcher.WorkerCount(), 0u);
        EXPECT_FALSE(dispatcher.HasIdleWorker());
        lock.Lock(false);
        dispatcher.Post(TASK_MAIN_THREAD | TASK_NO_WAIT, MakeTask([&](uint32_t) { ++ran; }), 1, &lock);
        EXPECT_EQ(dispatcher.RunOne(0), 0);  // stopping: nothing runs
    }
    EXPECT_EQ(lock.HolderCount(), 0u);
    EXPECT_EQ(g_tasksAlive.load(), 0);
}

}  // namespace
