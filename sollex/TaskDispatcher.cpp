#include "sollex/TaskDispatcher.h"

#include <chrono>

#include "Kiln/Src/Kiln/KernelStandard/KilnStartup.h"
#include "Kiln/Src/Kiln/KernelStandard/StringTable.h"
#include "lumo/diagnostics/CrashHandlers.h"
#include "lumo/diagnostics/FaultExit.h"
#include "sollex/SimpleSharedLock.h"
#include "sollex/SollexLog.h"

namespace
{

constexpr uint8_t kDoneRan = 1;
constexpr uint8_t kDoneDiscarded = 2;
constexpr uint32_t kBacklogThreshold = 10;
constexpr double kWorkerGrowthSeconds = 5.0;
constexpr uint32_t kWorkerIdleMs = 30000;
constexpr uint32_t kStopPollMs = 10;
// Waiters for a running task look again at least this often, so a finish that falls between
// their look and their wait costs them this much and never a hang.
constexpr uint32_t kCancelPollMs = 5;

std::atomic<MainThreadWakeHook> g_wakeHook{nullptr};
std::atomic<bool> g_taskGuard{false};
std::atomic<bool> g_mainThreadWake{false};

Kiln::WEvent& MainThreadWork()
{
    static Kiln::WEvent* event = new Kiln::WEvent(true, false);  // used at exit: never destroyed
    return *event;
}

double MonotonicSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The kernel clock's start, taken on first use.
double ClockStart()
{
    static const double start = MonotonicSeconds();
    return start;
}
std::atomic<float> g_kernelClock{0.0f};
std::atomic<bool> g_clockPumped{false};

uint32_t ThreadMask()
{
    return IsMainThread() ? TASK_WORKER_THREAD : TASK_MAIN_THREAD;
}

// The first entry of the queue (from the head block on) that `match` accepts.
template <class Match>
bool FindEntry(TaskQueueBlock* head, Match match, TaskQueueBlock*& block, uint32_t& index)
{
    for (TaskQueueBlock* b = head; b; b = b->next == head ? nullptr : b->next)
    {
        for (uint32_t i = 0; i < b->count; ++i)
        {
            if (match(b->entries[i]))
            {
                block = b;
                index = i;
                return true;
            }
        }
    }
    return false;
}

void StopSingletonWorkers()
{
    GetTaskDispatcher().StopWorkers();
}

}  // namespace

void SetMainThreadWakeHook(MainThreadWakeHook hook)
{
    g_wakeHook = hook;
}

float GetKernelClock()
{
    if (g_clockPumped.load())
        return g_kernelClock.load();
    return static_cast<float>(MonotonicSeconds() - ClockStart());
}

TaskDispatcher::TaskDispatcher(const char* name) : m_name(name ? name : "") {}

TaskDispatcher::~TaskDispatcher()
{
    StopWorkers();
    std::vector<TaskQueueEntry> left;
    {
        Kiln::ScopedLock hold(this);
        while (m_queue)
        {
            left.push_back(m_queue->entries[0]);
            RemoveLocked(m_queue, 0);
        }
    }
    for (const TaskQueueEntry& entry : left)
        Discard(entry);
}

bool TaskDispatcher::Post(uint32_t flags, Task* task, uint32_t argument, SimpleSharedLock* lock)
{
    if (!(flags & TASK_NO_WAIT) && !(flags & ThreadMask()))
    {
        RunTaskGuarded(task, argument);
        delete task;
        return true;
    }
    std::atomic<uint8_t> done{0};
    {
        Kiln::ScopedLock hold(this);
        AppendLocked(TaskQueueEntry{task, argument, lock, flags, (flags & TASK_NO_WAIT) ? nullptr : &done});
    }
    if (flags & TASK_MAIN_THREAD)
    {
        if (!g_mainThreadWake.exchange(true))
        {
            if (MainThreadWakeHook hook = g_wakeHook.load())
                hook(kMainThreadWakeMessage);
        }
        MainThreadWork().Set();
    }
    else
    {
        WakeWorkers();
    }
    if (flags & TASK_NO_WAIT)
        return true;
    while (done.load() == 0)
        SleepMs(1);
    return done.load() == kDoneRan;
}

int32_t TaskDispatcher::RunOne(uint32_t extraMask)
{
    if (m_stop.load())
        return 0;
    const uint32_t mask = extraMask | ThreadMask();
    const bool onMainThread = IsMainThread();
    if (onMainThread)
        ClearMainThreadWake();

    TaskQueueEntry taken{};
    bool found = false;
    bool skipped = false;
    uint32_t count = 0;
    uint64_t runId = 0;
    {
        Kiln::ScopedLock hold(this);
        count = QueuedCountLocked();
        if (count == 0)
            m_workEvent.Reset();
        TaskQueueBlock* block = nullptr;
        uint32_t index = 0;
        found = FindEntry(
            m_queue,
            [&](const TaskQueueEntry& entry) {
                if (!(entry.flags & mask))
                    return true;
                skipped = true;
                return false;
            },
            block, index);
        if (found)
        {
            taken = block->entries[index];
            RemoveLocked(block, index);
        }
        if (found)
        {
            runId = ++m_nextRunId;
            m_running.push_back(Running{runId, taken.argument});
        }
    }
    if (skipped && onMainThread)
        WakeWorkers();
    if (!found)
        return 0;

    // Finish the entry even when the task throws, so that nobody waits for it for ever.
    struct Finish
    {
        TaskDispatcher* dispatcher;
        const TaskQueueEntry& entry;
        uint64_t runId;
        ~Finish()
        {
            delete entry.task;
            if (entry.done)
                entry.done->store(kDoneRan);  // the poster may return at once: not touched again
            {
                Kiln::ScopedLock hold(dispatcher);
                auto& running = dispatcher->m_running;
                for (auto it = running.begin(); it != running.end(); ++it)
                {
                    if (it->id == runId)
                    {
                        running.erase(it);
                        break;
                    }
                }
            }
            dispatcher->m_taskDone.Pulse();
        }
    } finish{this, taken, runId};
    RunTaskGuarded(taken.task, taken.argument);
    return static_cast<int32_t>(count) - 1;
}

void TaskDispatcher::PumpMainThread()
{
    ClockStart();
    g_kernelClock = static_cast<float>(MonotonicSeconds() - ClockStart());
    g_clockPumped = true;
    const int32_t more = RunOne(0);
    for (int32_t i = 0; i < more; ++i)
    {
        if (RunOne(0) == 0)
            break;
    }
    Kiln::GetStringTable()->PurgeStep();
}

void TaskDispatcher::CancelTasks(uint32_t argument, bool wait)
{
    std::vector<TaskQueueEntry> removed;
    {
        Kiln::ScopedLock hold(this);
        TaskQueueBlock* block = nullptr;
        uint32_t index = 0;
        while (FindEntry(
            m_queue, [&](const TaskQueueEntry& entry) { return entry.argument == argument; }, block, index))
        {
            removed.push_back(block->entries[index]);
            RemoveLocked(block, index);
        }
    }
    for (const TaskQueueEntry& entry : removed)
        Discard(entry);
    if (!wait)
        return;
    while (IsRunning(argument))
        m_taskDone.Wait(kCancelPollMs);
}

bool TaskDispatcher::IsRunning(uint32_t argument)
{
    Kiln::ScopedLock hold(this);
    for (const Running& running : m_running)
        if (running.argument == argument)
            return true;
    return false;
}

bool TaskDispatcher::IsBacklogged()
{
    Kiln::ScopedLock hold(this);
    return QueuedCountLocked() > kBacklogThreshold;
}

bool TaskDispatcher::HasQueuedTasks()
{
    Kiln::ScopedLock hold(this);
    return m_queue != nullptr;
}

bool TaskDispatcher::HasIdleWorker() const
{
    return m_idleCount.load() > 0;
}

void TaskDispatcher::SetWorkerPriority(int32_t priority)
{
    m_workerPriority = priority;
}

void TaskDispatcher::AddIdleWorkers(int32_t delta)
{
    Kiln::ScopedLock hold(&m_idleLock);
    const int32_t idle = m_idleCount.load() + delta;
    m_idleCount = idle;
    if (idle != 0)
        m_lastActivity = MonotonicSeconds();
}

void TaskDispatcher::ClearMainThreadWake()
{
    g_mainThreadWake = false;
    MainThreadWork().Reset();
}

bool TaskDispatcher::WaitMainThreadWork(uint32_t milliseconds)
{
    return MainThreadWork().Wait(milliseconds);
}

void TaskDispatcher::WaitPumping(Kiln::SyncObject& object)
{
    if (object.Wait(0))
        return;
    if (!IsMainThread())
    {
        object.Wait(Kiln::kInfinite);
        return;
    }
    do
        WakeWorkers();
    while (!object.Wait(20));
}

void TaskDispatcher::StopWorkers()
{
    m_stop = true;
    for (;;)
    {
        {
            Kiln::ScopedLock hold(&m_workerLock);
            RemoveFinishedWorkersLocked();
            if (m_workers.empty())
                return;
        }
        m_workEvent.Set();
        SleepMs(kStopPollMs);
    }
}

void SetTaskGuard(bool on)
{
    if (on)
        InstallFaultExitHandlers();
    g_taskGuard = on;
}

bool IsTaskGuardSet()
{
    return g_taskGuard.load();
}

uint32_t TaskDispatcher::RunTaskGuarded(Task* task, uint32_t argument)
{
    // A debugger is to see the fault where it happens.
    if (!g_taskGuard.load() || IsDebuggerPresent())
        return task->Run(argument);
    FaultExitScope guard(kTaskFaultExitCode);
    return task->Run(argument);
}

size_t TaskDispatcher::WorkerCount()
{
    Kiln::ScopedLock hold(&m_workerLock);
    return m_workers.size();
}

uint32_t TaskDispatcher::WorkerRoutine(void* self)
{
    auto* dispatcher = static_cast<TaskDispatcher*>(self);
    for (;;)
    {
        if (dispatcher->RunOne(0) != 0)
            continue;
        dispatcher->AddIdleWorkers(1);
        if (dispatcher->m_stop.load() || !dispatcher->m_workEvent.Wait(kWorkerIdleMs))
            break;
        dispatcher->AddIdleWorkers(-1);
    }
    dispatcher->AddIdleWorkers(-1);
    return 0;
}

void TaskDispatcher::WakeWorkers()
{
    {
        Kiln::ScopedLock hold(&m_workerLock);
        RemoveFinishedWorkersLocked();
        // The clock of this decision is monotonic: the kernel clock stands still without a pump.
        if (!m_stop.load() && m_idleCount.load() == 0 &&
            (m_workers.empty() || MonotonicSeconds() - m_lastActivity.load() > kWorkerGrowthSeconds))
            AddWorkerLocked();
    }
    m_workEvent.Set();
}

void TaskDispatcher::RemoveFinishedWorkersLocked()
{
    for (auto it = m_workers.begin(); it != m_workers.end();)
    {
        if ((*it)->IsAlive())
        {
            ++it;
            continue;
        }
        delete *it;
        it = m_workers.erase(it);
    }
}

void TaskDispatcher::AddWorkerLocked()
{
    m_lastActivity = MonotonicSeconds();
    auto* worker = new Kiln::Thread(WorkerRoutine, this, false);
    if (!worker->IsValid())
    {
        delete worker;
        return;
    }
    worker->SetPriority(m_workerPriority.load());
    worker->Resume();
    m_workers.push_back(worker);
}

void TaskDispatcher::AppendLocked(const TaskQueueEntry& entry)
{
    TaskQueueBlock* last = m_queue ? m_queue->previous : nullptr;
    if (!last || last->count == kTaskQueueBlockEntries)
    {
        auto* block = new TaskQueueBlock{};
        if (!m_queue)
        {
            block->next = block->previous = block;
            m_queue = block;
        }
        else
        {
            block->previous = last;
            block->next = m_queue;
            last->next = block;
            m_queue->previous = block;
        }
        last = block;
    }
    last->entries[last->count++] = entry;
}

void TaskDispatcher::RemoveLocked(TaskQueueBlock* block, uint32_t index)
{
    for (uint32_t i = index + 1; i < block->count; ++i)
        block->entries[i - 1] = block->entries[i];
    if (--block->count != 0)
        return;
    if (block->next == block)
    {
        m_queue = nullptr;
    }
    else
    {
        block->previous->next = block->next;
        block->next->previous = block->previous;
        if (m_queue == block)
            m_queue = block->next;
    }
    delete block;
}

uint32_t TaskDispatcher::QueuedCountLocked() const
{
    uint32_t count = 0;
    for (TaskQueueBlock* block = m_queue; block; block = block->next == m_queue ? nullptr : block->next)
        count += block->count;
    return count;
}

void TaskDispatcher::Discard(const TaskQueueEntry& entry)
{
    delete entry.task;
    if (entry.lock)
        entry.lock->Unlock();
    if (entry.done)
        entry.done->store(kDoneDiscarded);
}

TaskDispatcher& GetTaskDispatcher()
{
    static TaskDispatcher* dispatcher = [] {
        Kiln::KilnLibraryInit();
        auto* instance = new TaskDispatcher("singleton");
        Kiln::RegisterKilnExit(StopSingletonWorkers);
        return instance;
    }();
    return *dispatcher;
}
