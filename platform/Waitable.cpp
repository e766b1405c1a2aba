#include "platform/Waitable.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "platform/ConsoleControl.h"
#include "platform/LastError.h"
#include "platform/SignalStack.h"

namespace platform
{

namespace
{

// Process-wide state of the core. Never destroyed: threads may still wait or end while static
// destructors run at exit.
struct CoreState
{
    std::mutex lock;
    std::condition_variable resumed;  // suspended threads wait here for Resume
    // Every mutex, searched for those of a thread that ends. Under a lock of its own, so that a
    // mutex can be made under any other lock; taken after the core lock, never before it.
    Mutex* mutexes = nullptr;
    std::atomic<bool> mutexListHeld{false};
};


CoreState& Core()
{
    // In static storage, not the heap: the tracking allocator would count it as a leak.
    alignas(CoreState) static unsigned char storage[sizeof(CoreState)];
    static CoreState* state = new (storage) CoreState;
    return *state;
}

class MutexListLock
{
public:
    MutexListLock()
    {
        while (Core().mutexListHeld.exchange(true, std::memory_order_acquire))
            std::this_thread::yield();
    }
    ~MutexListLock() { Core().mutexListHeld.store(false, std::memory_order_release); }
    MutexListLock(const MutexListLock&) = delete;
    MutexListLock& operator=(const MutexListLock&) = delete;
};

thread_local pid_t t_tid = 0;

// A forked child must find the core unlocked and must not take its parent's thread id for its own.
void BeforeFork()
{
    Core().lock.lock();
}
void AfterForkInParent()
{
    Core().lock.unlock();
}
void AfterForkInChild()
{
    t_tid = 0;
    Core().mutexListHeld.store(false);  // its holder, if any, is not in the child
    Core().lock.unlock();
}

// Every program that uses threads and locks of ours gets failed writes to closed pipes as
// errors rather than as a signal that ends it.
[[maybe_unused]] const bool g_processSetUp =
    (IgnoreBrokenPipeSignal(), pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild) == 0);

}  // namespace

// A thread blocked in a wait, registered on each object it waits for. The thread that makes
// an object signalled hands it to the first registered waiter that can take it.
class Waiter
{
public:
    explicit Waiter(pid_t id) : tid(id) {}

    void Register(Waitable* object) { object->m_waiters.push_back(this); }
    void Unregister(Waitable* object)
    {
        auto& list = object->m_waiters;
        auto it = std::find(list.begin(), list.end(), this);
        if (it != list.end())
            list.erase(it);
    }

    const pid_t tid;
    std::condition_variable wake;
    bool done = false;
    uint32_t result = kWaitTimeout;
    const WaitableRef* objects = nullptr;
    size_t count = 0;

    size_t IndexOf(const Waitable* object) const
    {
        for (size_t i = 0; i < count; ++i)
            if (objects[i].get() == object)
                return i;
        return 0;
    }
};

// Reaches the protected hooks of any object; only the core itself uses it.
class CoreAccess
{
public:
    static bool IsSignalled(Waitable& o, pid_t tid) { return o.IsSignalledLocked(tid); }
    static bool Acquire(Waitable& o, pid_t tid) { return o.AcquireLocked(tid); }
    static void Refresh(Waitable& o, SteadyTime now) { o.RefreshLocked(now); }
    static SteadyTime NextRefresh(const Waitable& o) { return o.NextRefreshLocked(); }

    // Called with the core lock held when a thread ends.
    // Threads end rarely and mutexes are few, so the ending thread searches them all rather
    // than every lock keeping a list of what its thread owns.
    static void AbandonOwnedMutexes(pid_t tid)
    {
        MutexListLock list;
        for (Mutex* m = Core().mutexes; m; m = m->m_next)
            if (Mutex::OwnerOf(m->m_word.load(std::memory_order_relaxed)) == tid)
                m->AbandonLocked();
    }
};

namespace
{

// Gives up the mutexes of a thread that ends while owning them, for threads of any origin.
struct ThreadRecord
{
    bool touched = false;
    ~ThreadRecord()
    {
        std::lock_guard<std::mutex> guard(Core().lock);
        CoreAccess::AbandonOwnedMutexes(CurrentThreadId());
    }
};

thread_local ThreadRecord t_record;
thread_local uint32_t t_exitCode = 0;

// A thread that may come to own a mutex needs its record, so that its end is noticed.
void EnsureThreadRecord()
{
    t_record.touched = true;
}

}  // namespace

pid_t CurrentThreadId()
{
    if (t_tid == 0)
    {
        t_tid = static_cast<pid_t>(gettid());
        // A thread that names itself may take a mutex without the core: its end must be noticed.
        EnsureThreadRecord();
    }
    return t_tid;
}

Waitable::~Waitable() = default;

size_t Waitable::WaiterCount() const
{
    CoreLock lock;
    return m_waiters.size();
}

void Waitable::NotifyLocked()
{
    for (Waiter* w : m_waiters)
    {
        if (w->done || !IsSignalledLocked(w->tid))
            continue;
        bool abandoned = AcquireLocked(w->tid);
        w->done = true;
        w->result = (abandoned ? kWaitAbandoned0 : kWaitObject0) + static_cast<uint32_t>(w->IndexOf(this));
        w->wake.notify_one();
    }
}

CoreLock::CoreLock()
{
    Core().lock.lock();
}

CoreLock::~CoreLock()
{
    Core().lock.unlock();
}

uint32_t WaitForOne(const WaitableRef& object, uint32_t milliseconds)
{
    return WaitForAny(&object, 1, milliseconds);
}

uint32_t WaitForAny(const WaitableRef* objects, size_t count, uint32_t milliseconds)
{
    if (count == 0 || count > kMaximumWaitObjects || objects == nullptr)
    {
        SetLastError(kErrorInvalidParameter);
        return kWaitFailed;
    }
    for (size_t i = 0; i < count; ++i)
    {
        if (!objects[i])
        {
            SetLastError(kErrorInvalidHandle);
            return kWaitFailed;
        }
    }
    EnsureThreadRecord();
    const pid_t tid = CurrentThreadId();
    std::unique_lock<std::mutex> lock(Core().lock);
    uint32_t result = kWaitTimeout;

    // Takes the first object that is signalled now; true when one was.
    auto takeReady = [&]() {
        for (size_t i = 0; i < count; ++i)
        {
            if (CoreAccess::IsSignalled(*objects[i], tid))
            {
                bool abandoned = CoreAccess::Acquire(*objects[i], tid);
                result = (abandoned ? kWaitAbandoned0 : kWaitObject0) + static_cast<uint32_t>(i);
                return true;
            }
        }
        return false;
    };

    // Only time-driven objects need the clock; a plain lock or event never reads it.
    for (size_t i = 0; i < count; ++i)
        if (CoreAccess::NextRefresh(*objects[i]) != SteadyTime::max())
            CoreAccess::Refresh(*objects[i], std::chrono::steady_clock::now());
    if (takeReady())
        return result;
    if (milliseconds == 0)
        return kWaitTimeout;
    const SteadyTime deadline = milliseconds == kInfinite
                                    ? SteadyTime::max()
                                    : std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);

    // Only a thread that really blocks builds its waiter (and its condition variable).
    Waiter waiter(tid);
    waiter.objects = objects;
    waiter.count = count;
    for (size_t i = 0; i < count; ++i)
        waiter.Register(objects[i].get());
    while (!waiter.done)
    {
        SteadyTime until = deadline;
        for (size_t i = 0; i < count; ++i)
            until = std::min(until, CoreAccess::NextRefresh(*objects[i]));
        if (until == SteadyTime::max())
            waiter.wake.wait(lock);
        else
            waiter.wake.wait_until(lock, until);
        if (waiter.done)
            break;
        // A time-driven object (timer) may have come due: bring each up to date, which hands
        // it to waiters in order, this one included.
        SteadyTime now = std::chrono::steady_clock::now();
        for (size_t i = 0; i < count && !waiter.done; ++i)
            CoreAccess::Refresh(*objects[i], now);
        if (waiter.done)
            break;
        if (takeReady())
        {
            waiter.result = result;
            break;
        }
        if (now >= deadline)
        {
            waiter.result = kWaitTimeout;
            break;
        }
    }
    for (size_t i = 0; i < count; ++i)
        waiter.Unregister(objects[i].get());
    return waiter.result;
}

// ---- Event ----

Event::Event(bool manualReset, bool initialState) : m_manualReset(manualReset), m_signalled(initialState) {}

void Event::Set()
{
    CoreLock lock;
    SetLocked();
}

void Event::SetLocked()
{
    m_signalled = true;
    NotifyLocked();
}

void Event::Reset()
{
    CoreLock lock;
    m_signalled = false;
}

void Event::Pulse()
{
    CoreLock lock;
    m_signalled = true;
    NotifyLocked();
    m_signalled = false;
}

bool Event::IsSet() const
{
    CoreLock lock;
    return m_signalled;
}

bool Event::IsSignalledLocked(pid_t) const
{
    return m_signalled;
}

bool Event::AcquireLocked(pid_t)
{
    if (!m_manualReset)
        m_signalled = false;
    return false;
}

// ---- Mutex ----

Mutex::Mutex(bool initialOwner)
{
    Register();
    if (initialOwner)
    {
        EnsureThreadRecord();
        CoreLock lock;
        PinLocked();
        AcquireLocked(CurrentThreadId());
    }
}

Mutex::Mutex(AlwaysLocked) : m_word(kLockedPath), m_alwaysLocked(true)
{
    Register();
}

void Mutex::Register()
{
    MutexListLock list;
    m_next = Core().mutexes;
    if (m_next)
        m_next->m_previous = this;
    Core().mutexes = this;
}

Mutex::~Mutex()
{
    MutexListLock list;
    if (m_previous)
        m_previous->m_next = m_next;
    else
        Core().mutexes = m_next;
    if (m_next)
        m_next->m_previous = m_previous;
}

bool Mutex::Release()
{
    const pid_t tid = CurrentThreadId();
    const uint64_t word = m_word.load(std::memory_order_relaxed);
    if (OwnerOf(word) != tid)
    {
        SetLastError(kErrorNotOwner);
        return false;
    }
    if (m_count > 1)
    {
        --m_count;
        return true;
    }
    m_count = 0;  // before the exchange: the next owner sets its own count after it
    uint64_t expected = static_cast<uint32_t>(tid);
    if (word == expected && m_word.compare_exchange_strong(expected, 0, std::memory_order_release,
                                                           std::memory_order_relaxed))
        return true;
    // Waiters are queued (or the core is looking): hand the mutex over under the core lock.
    EnsureThreadRecord();
    CoreLock lock;
    m_count = 0;
    m_word.store(kLockedPath, std::memory_order_release);
    FreedLocked(false);
    NotifyLocked();
    UnpinLocked();
    return true;
}

void Mutex::UnpinLocked()
{
    if (!m_alwaysLocked && !m_abandoned && !HasWaitersLocked())
        m_word.fetch_and(~kLockedPath, std::memory_order_release);
}

pid_t Mutex::Owner() const
{
    return OwnerOf(m_word.load(std::memory_order_acquire));
}

bool Mutex::IsSignalledLocked(pid_t tid) const
{
    PinLocked();
    const pid_t owner = OwnerOf(m_word.load(std::memory_order_acquire));
    return owner == 0 || owner == tid;
}

bool Mutex::AcquireLocked(pid_t tid)
{
    if (OwnerOf(m_word.load(std::memory_order_relaxed)) == 0)
    {
        m_word.store(kLockedPath | static_cast<uint32_t>(tid), std::memory_order_relaxed);
        m_count = 0;
    }
    ++m_count;
    bool abandoned = m_abandoned;
    m_abandoned = false;
    UnpinLocked();
    return abandoned;
}

void Mutex::AbandonLocked()
{
    m_count = 0;
    m_word.store(kLockedPath, std::memory_order_release);
    m_abandoned = true;
    FreedLocked(true);
    NotifyLocked();
}

// ---- Thread ----

namespace
{

// Maps the Windows-style priority levels onto nice values.
int NiceForPriority(int priority)
{
    if (priority <= -15)
        return 19;
    if (priority <= -2)
        return 10;
    if (priority == -1)
        return 5;
    if (priority == 0)
        return 0;
    if (priority == 1)
        return -5;
    if (priority < 15)
        return -10;
    return -20;
}

}  // namespace

std::shared_ptr<Thread> Thread::Start(Body body, size_t stackSize, bool suspended)
{
    std::shared_ptr<Thread> thread(new Thread);
    thread->m_body = std::move(body);
    thread->m_started = !suspended;
    thread->m_self = thread;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = 0;
    if (stackSize > 0)
        rc = pthread_attr_setstacksize(&attr, std::max<size_t>(stackSize, PTHREAD_STACK_MIN));
    pthread_t id;
    if (rc == 0)
        rc = pthread_create(&id, &attr, &Thread::Entry, thread.get());
    pthread_attr_destroy(&attr);
    if (rc != 0)
    {
        thread->m_self.reset();
        SetLastErrorFromErrno(rc);
        errno = rc;  // the system's own reason: the Windows number for EAGAIN names a file lock
        return nullptr;
    }
    return thread;
}

void* Thread::Entry(void* arg)
{
    Thread* self = static_cast<Thread*>(arg);
    EnsureSignalStack();  // so a stack overflow in this thread still reaches the crash handler
    EnsureThreadRecord();
    self->m_tid = CurrentThreadId();
    {
        std::unique_lock<std::mutex> lock(Core().lock);
        Core().resumed.wait(lock, [self] { return self->m_started; });
    }
    int priority = self->m_priority.load();
    if (priority != 0)
        setpriority(PRIO_PROCESS, static_cast<id_t>(self->m_tid.load()), NiceForPriority(priority));

    // Finishes the thread however its body ends (return, or the forced unwind of ExitCurrent):
    // gives up its mutexes, records the exit code, signals the object and lets it go.
    struct End
    {
        Thread* self;
        bool returned = false;
        uint32_t code = 0;
        ~End()
        {
            // The body's captures may use the core as they go, so they go before its lock.
            self->m_body = nullptr;
            {
                CoreLock lock;
                CoreAccess::AbandonOwnedMutexes(CurrentThreadId());
                self->m_exitCode = returned ? code : t_exitCode;
                self->m_ended = true;
                self->NotifyLocked();
            }
            // Last: this may destroy the object when nobody else holds it.
            std::shared_ptr<Thread> keep = std::move(self->m_self);
        }
    } end{self};
    end.code = self->m_body();
    end.returned = true;
    return nullptr;
}

void Thread::Resume()
{
    CoreLock lock;
    m_started = true;
    Core().resumed.notify_all();
}

uint32_t Thread::ExitCode() const
{
    CoreLock lock;
    return m_exitCode;
}

bool Thread::HasEnded() const
{
    CoreLock lock;
    return m_ended;
}

pid_t Thread::Id() const
{
    return m_tid.load();
}

void Thread::SetPriority(int priority)
{
    m_priority = priority;
    pid_t tid = m_tid.load();
    // Raising it needs rights we usually lack; the stored value is what callers read back.
    if (tid != 0)
        setpriority(PRIO_PROCESS, static_cast<id_t>(tid), NiceForPriority(priority));
}

int Thread::Priority() const
{
    return m_priority.load();
}

void Thread::ExitCurrent(uint32_t code)
{
    t_exitCode = code;
    pthread_exit(nullptr);
}

bool Thread::IsSignalledLocked(pid_t) const
{
    return m_ended;
}

bool Thread::AcquireLocked(pid_t)
{
    return false;
}

// ---- Timer ----

Timer::Timer(bool manualReset) : m_manualReset(manualReset) {}

void Timer::Set(SteadyTime due, std::chrono::milliseconds period)
{
    CoreLock lock;
    m_active = true;
    m_signalled = false;
    m_due = due;
    m_period = period;
    RefreshLocked(std::chrono::steady_clock::now());
}

bool Timer::Cancel()
{
    CoreLock lock;
    bool wasActive = m_active;
    m_active = false;
    return wasActive;
}

bool Timer::IsSignalledLocked(pid_t) const
{
    return m_signalled;
}

bool Timer::AcquireLocked(pid_t)
{
    if (!m_manualReset)
        m_signalled = false;
    return false;
}

void Timer::RefreshLocked(SteadyTime now)
{
    if (!m_active || now < m_due)
        return;
    m_signalled = true;
    if (m_period.count() > 0)
    {
        // Expiries missed while nobody looked are not queued, as with the system's timers.
        auto missed = (now - m_due) / m_period;
        m_due += m_period * (missed + 1);
    }
    else
    {
        m_active = false;
    }
    NotifyLocked();
}

SteadyTime Timer::NextRefreshLocked() const
{
    return m_active ? m_due : SteadyTime::max();
}

}  // namespace platform
