#pragma once
// The task dispatcher: small units of work (tasks) run on the calling thread, on the main thread
// when it pumps, or on a pool of worker threads that grows by at most one worker per 5 s while it
// stays busy and loses a worker after 30 s without work. One process-wide instance exists
// (GetTaskDispatcher, named "singleton"); its workers are stopped by the kernel's exit table.
//
// Where a task runs: a thread's exclusion mask is TASK_WORKER_THREAD on the main thread
// (IsMainThread, SollexLog.h) and TASK_MAIN_THREAD on any other; a task whose flags share a bit
// with the mask (plus any extra bits a caller gives) does not run there. Queued tasks are taken
// first come, first served by whichever thread may run them.
//
// A poster that waits sleeps until its task has run or was discarded. A TASK_MAIN_THREAD post
// that waits, from a thread that is not the main thread, returns only after the main thread has
// pumped: with no main thread pushed it waits for good.
//
// Locks: the queue lock (the dispatcher itself), the worker lock and the idle lock; no two of
// them are ever held at once, and none is held while a task runs.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "Kiln/Src/Kiln/KernelStandard/KilnThread.h"
#include "Kiln/Src/Kiln/KernelStandard/SyncObject.h"

class SimpleSharedLock;

// A unit of work. The dispatcher owns a posted task and deletes it after running or discarding
// it.
class Task
{
public:
    virtual uint32_t Run(uint32_t argument) = 0;
    virtual ~Task() = default;
};

enum : uint32_t
{
    TASK_MAIN_THREAD = 1,       // run only on the main thread
    TASK_NOT_IN_LOCK_WAIT = 4,  // not run by the main thread's pumping inside a lock wait
    TASK_NO_WAIT = 8,           // the poster does not wait for completion
    TASK_WORKER_THREAD = 16,    // run only on a worker thread
};

// The message number the main thread is woken with when main-thread work arrives.
constexpr uint32_t kMainThreadWakeMessage = 0xDC4;

// Called (on the posting thread) once per batch of main-thread work, until the main thread
// pumps; an application hands it on to its event loop. None by default.
using MainThreadWakeHook = void (*)(uint32_t message);
void SetMainThreadWakeHook(MainThreadWakeHook hook);

struct TaskQueueEntry
{
    Task* task;
    uint32_t argument;
    SimpleSharedLock* lock;      // unlocked when the task is discarded unrun; may be null
    uint32_t flags;
    std::atomic<uint8_t>* done;  // the waiting poster's done byte; null with TASK_NO_WAIT
};

constexpr uint32_t kTaskQueueBlockEntries = 13;

struct TaskQueueBlock
{
    TaskQueueBlock* next;
    TaskQueueBlock* previous;
    uint32_t count;
    TaskQueueEntry entries[kTaskQueueBlockEntries];
};

class TaskDispatcher : public Kiln::CriticalSection
{
public:
    explicit TaskDispatcher(const char* name);
    // Stops the workers and discards every queued task.
    ~TaskDispatcher() override;

    // Runs the task at once when it may run on this thread and the poster waits; otherwise
    // queues it. True when it was run or queued without waiting; false when a waited-for task
    // was discarded unrun.
    bool Post(uint32_t flags, Task* task, uint32_t argument, SimpleSharedLock* lock = nullptr);
    // Runs the first queued task this thread may run. Returns the number of tasks queued before
    // it minus 1; 0 when nothing ran or the dispatcher is stopping.
    int32_t RunOne(uint32_t extraMask);
    // The main thread's pump: advances the kernel clock, runs the queued tasks it may run, and
    // takes one purge step of the interned strings.
    void PumpMainThread();
    // Discards every queued task with `argument`; with `wait`, then returns only once no task
    // with that argument runs.
    void CancelTasks(uint32_t argument, bool wait);
    bool IsRunning(uint32_t argument);
    bool IsBacklogged();  // more than 10 queued
    bool HasQueuedTasks();
    bool HasIdleWorker() const;
    // For workers created from now on, -2 (lowest) to 2.
    void SetWorkerPriority(int32_t priority);
    void AddIdleWorkers(int32_t delta);
    static void ClearMainThreadWake();
    static bool WaitMainThreadWork(uint32_t milliseconds);
    // Waits for `object`; the main thread keeps the workers awake meanwhile.
    void WaitPumping(Kiln::SyncObject& object);
    // Stops and joins every worker; they finish their current task first.
    void StopWorkers();
    // Runs the task. With the task guard set (SetTaskGuard) and no debugger attached, a fault in
    // the task ends the process at once with exit code kTaskFaultExitCode: no dump, no report.
    // Otherwise a fault takes the process's usual way (the crash handlers).
    static uint32_t RunTaskGuarded(Task* task, uint32_t argument);

    const std::string& Name() const { return m_name; }
    size_t WorkerCount();

private:
    static uint32_t WorkerRoutine(void* self);
    void WakeWorkers();
    void RemoveFinishedWorkersLocked();
    void AddWorkerLocked();
    void AppendLocked(const TaskQueueEntry& entry);
    void RemoveLocked(TaskQueueBlock* block, uint32_t index);
    uint32_t QueuedCountLocked() const;
    // Unlocks its lock, deletes the task and tells a waiting poster.
    static void Discard(const TaskQueueEntry& entry);

    struct Running
    {
        uint64_t id;
        uint32_t argument;
    };

    TaskQueueBlock* m_queue = nullptr;
    std::vector<Running> m_running;
    uint64_t m_nextRunId = 0;
    Kiln::CriticalSection m_workerLock;
    std::vector<Kiln::Thread*> m_workers;
    std::atomic<double> m_lastActivity{0.0};  // monotonic seconds
    Kiln::WEvent m_taskDone{true, false};
    Kiln::WEvent m_workEvent{false, false};
    std::atomic<int32_t> m_workerPriority{0};
    std::atomic<bool> m_stop{false};
    Kiln::CriticalSection m_idleLock;
    std::atomic<int32_t> m_idleCount{0};
    const std::string m_name;
};

// The exit code of a process whose guarded task faulted (the system keeps its low eight bits, 156).
constexpr int kTaskFaultExitCode = -100;

// The process-wide task guard, off at start. Setting it installs the fault handlers it needs.
void SetTaskGuard(bool on);
bool IsTaskGuardSet();

// The process-wide dispatcher, named "singleton".
TaskDispatcher& GetTaskDispatcher();

// The kernel clock in seconds: kept by the main-thread pump; until a pump has run, the
// monotonic time since the clock was first read.
float GetKernelClock();
