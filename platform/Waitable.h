#pragma once
// The one waitable core behind every thread, lock and event of the program: events (auto and
// manual reset, pulse), recursive mutexes with an owner thread and abandonment, threads with
// exit codes (optionally created suspended) and waitable timers. Other code (child processes,
// the kernel's sync objects) builds its own waitable objects on the same core by deriving from
// `Event` or from `Waitable`, so one wait can cover any mix of them.
//
// Objects are reference counted (`WaitableRef`); dropping the last reference is "closing the last
// handle". All state of all objects is guarded by one process-wide lock; a waiter registers on
// each object it waits for and a signalling thread hands the object directly to the first waiter
// that can take it (first come, first served), as the product's design expects.
//
// Results and time-outs use the Windows numbering the product compares against. Every time-out
// runs on the monotonic clock.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace platform
{

constexpr uint32_t kWaitObject0 = 0;          // + index of the signalled object
constexpr uint32_t kWaitAbandoned0 = 128;     // + index of a mutex whose owner thread died
constexpr uint32_t kWaitTimeout = 258;
constexpr uint32_t kWaitFailed = 0xFFFFFFFF;  // bad arguments; the last error says why
constexpr uint32_t kInfinite = 0xFFFFFFFF;    // time-out: no limit
constexpr uint32_t kMaximumWaitObjects = 64;
constexpr uint32_t kStillActive = 259;        // exit code of a thread that has not ended

using SteadyTime = std::chrono::steady_clock::time_point;

// The kernel thread id of the calling thread (gettid), cached per thread.
pid_t CurrentThreadId();

class Waiter;

// Base of every object that can be waited for. Derived classes keep their state under the core
// lock: the *Locked hooks below are only ever called with it held, and a derived class that
// changes its state calls `NotifyLocked` (with the lock held, see `CoreLock`) so that waiters
// are handed the object.
class Waitable : public std::enable_shared_from_this<Waitable>
{
public:
    Waitable() = default;
    Waitable(const Waitable&) = delete;
    Waitable& operator=(const Waitable&) = delete;
    virtual ~Waitable();

    // How many threads wait for the object right now (for diagnostics and tests).
    size_t WaiterCount() const;

protected:
    friend class CoreAccess;

    // Whether thread `tid` could take the object now.
    virtual bool IsSignalledLocked(pid_t tid) const = 0;
    // Takes the object for thread `tid` (consumes an auto-reset signal, takes a mutex). Called
    // only right after `IsSignalledLocked(tid)` returned true. Returns true when the object was
    // handed over "abandoned".
    virtual bool AcquireLocked(pid_t tid) = 0;
    // Objects whose state changes with time alone (timers) bring it up to date here and report
    // when that next happens; waits call both before they look and sleep at most until then.
    virtual void RefreshLocked(SteadyTime /*now*/) {}
    virtual SteadyTime NextRefreshLocked() const { return SteadyTime::max(); }

    // Hands the object to waiters while it stays signalled for them.
    void NotifyLocked();
    bool HasWaitersLocked() const { return !m_waiters.empty(); }

private:
    friend class Waiter;
    std::vector<Waiter*> m_waiters;  // registration order
};

using WaitableRef = std::shared_ptr<Waitable>;

// Holds the core lock for a scope; for derived classes that change their state.
class CoreLock
{
public:
    CoreLock();
    ~CoreLock();
    CoreLock(const CoreLock&) = delete;
    CoreLock& operator=(const CoreLock&) = delete;
};

// Waits until one object can be taken (and takes it) or the time-out passes. Returns
// kWaitObject0, kWaitAbandoned0, kWaitTimeout, or kWaitFailed for a null object.
uint32_t WaitForOne(const WaitableRef& object, uint32_t milliseconds);

// Waits for any one of `count` objects; the first one (lowest index) that can be taken is taken.
// Returns kWaitObject0 + index, kWaitAbandoned0 + index or kWaitTimeout. More than
// kMaximumWaitObjects, none, or a null object: kWaitFailed with last error 87 (invalid parameter).
uint32_t WaitForAny(const WaitableRef* objects, size_t count, uint32_t milliseconds);

// An event: signalled until reset (manual reset) or until one waiter is released (auto reset).
// Derive from it for objects that become signalled once and stay so (e.g. a child process).
class Event : public Waitable
{
public:
    Event(bool manualReset, bool initialState);

    // Virtual for events whose state is shared with other processes (platform/NamedObjects.h).
    virtual void Set();
    virtual void Reset();
    // Releases the threads waiting right now (all of them, or one for auto reset), then leaves
    // the event reset, whether anyone was waiting or not.
    virtual void Pulse();
    virtual bool IsSet() const;
    bool IsManualReset() const { return m_manualReset; }

protected:
    bool IsSignalledLocked(pid_t tid) const override;
    bool AcquireLocked(pid_t tid) override;
    void SetLocked();

private:
    const bool m_manualReset;
    bool m_signalled;
};

// A recursive mutex owned by one thread at a time. A thread that ends while it owns mutexes
// gives them up: the next thread to take each one is told it was abandoned.
//
// Its state is one atomic word: the owner's thread id, and a flag that sends every change
// through the core lock. While the flag is clear (nobody waits, nothing abandoned) a thread
// takes and gives back the mutex with one compare-and-swap each and no lock; whenever the core
// looks at the mutex under its lock it sets the flag first, so the state stays still for it.
// Only the owner touches the recursion count.
class Mutex : public Waitable
{
public:
    explicit Mutex(bool initialOwner);
    ~Mutex() override;

    // Takes the mutex when it is free or already ours, without the core lock; false when that
    // needs a wait (held by another thread, waiters queued, abandoned): then wait for it.
    bool TryAcquireFast(pid_t tid)
    {
        uint64_t word = m_word.load(std::memory_order_relaxed);
        if (OwnerOf(word) == tid)
        {
            ++m_count;
            return true;
        }
        if (word != 0 || !m_word.compare_exchange_strong(word, static_cast<uint32_t>(tid), std::memory_order_acquire,
                                                          std::memory_order_relaxed))
            return false;
        m_count = 1;
        return true;
    }

    // Gives up one level of ownership. False (last error 288, not owner) when the calling
    // thread does not own the mutex.
    bool Release();
    pid_t Owner() const;

protected:
    // For mutexes whose state is not only this word (shared with other processes): every
    // change then goes through the core lock.
    struct AlwaysLocked
    {
    };
    explicit Mutex(AlwaysLocked);

    bool IsSignalledLocked(pid_t tid) const override;
    bool AcquireLocked(pid_t tid) override;
    // Called when the last level of ownership goes (released, or the owner thread ended), before
    // waiters are handed the mutex. For mutexes that are also held on behalf of the process.
    virtual void FreedLocked(bool /*abandoned*/) {}
    bool IsHeldLocked() const { return OwnerOf(m_word.load(std::memory_order_relaxed)) != 0; }

private:
    friend class CoreAccess;
    static constexpr uint64_t kLockedPath = uint64_t(1) << 32;
    static pid_t OwnerOf(uint64_t word) { return static_cast<pid_t>(static_cast<uint32_t>(word)); }
    void AbandonLocked();
    void PinLocked() const { m_word.fetch_or(kLockedPath, std::memory_order_relaxed); }
    void UnpinLocked();
    void Register();

    mutable std::atomic<uint64_t> m_word{0};
    uint32_t m_count = 0;  // levels of ownership; the owner's alone
    bool m_abandoned = false;
    bool m_alwaysLocked = false;
    Mutex* m_previous = nullptr;  // every mutex of the process, for the owners that end
    Mutex* m_next = nullptr;
};

// A thread: signalled once it has ended. The pthread runs detached, so dropping every reference
// before the end never leaks its stack; the object stays alive while the thread runs.
class Thread : public Waitable
{
public:
    using Body = std::function<uint32_t()>;

    // Starts `body` on a new thread (stack size 0 means the default). With `suspended` the body
    // runs only after `Resume`. Null when the system refuses the thread (last error and errno set).
    static std::shared_ptr<Thread> Start(Body body, size_t stackSize = 0, bool suspended = false);

    void Resume();
    // kStillActive while it runs, then the body's result (or the code given to `ExitCurrent`).
    uint32_t ExitCode() const;
    bool HasEnded() const;
    pid_t Id() const;
    // Store the priority value for a later query; best effort on the system (never fails for
    // missing rights).
    void SetPriority(int priority);
    int Priority() const;

    // Ends the calling thread with `code`; C++ frames are unwound. The thread object, when the
    // thread was started by `Start`, reports `code`.
    [[noreturn]] static void ExitCurrent(uint32_t code);

protected:
    bool IsSignalledLocked(pid_t tid) const override;
    bool AcquireLocked(pid_t tid) override;

private:
    Thread() = default;
    static void* Entry(void* self);

    Body m_body;
    std::atomic<pid_t> m_tid{0};
    std::atomic<int> m_priority{0};
    bool m_started = false;  // resumed
    bool m_ended = false;
    uint32_t m_exitCode = kStillActive;
    std::shared_ptr<Thread> m_self;  // keeps the object alive while the thread runs
};

// A waitable timer. After `Set` it becomes signalled at the due time and, with a period, again
// every period. A manual-reset timer stays signalled until set again or cancelled; an
// auto-reset timer releases one waiter per expiry.
class Timer : public Waitable
{
public:
    explicit Timer(bool manualReset);

    void Set(SteadyTime due, std::chrono::milliseconds period);
    // Stops it; a signal already given stays. True when it was active.
    bool Cancel();

protected:
    bool IsSignalledLocked(pid_t tid) const override;
    bool AcquireLocked(pid_t tid) override;
    void RefreshLocked(SteadyTime now) override;
    SteadyTime NextRefreshLocked() const override;

private:
    const bool m_manualReset;
    bool m_active = false;
    bool m_signalled = false;
    SteadyTime m_due{};
    std::chrono::milliseconds m_period{0};
};

}  // namespace platform
