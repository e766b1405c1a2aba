#pragma once
// The kernel thread: its body always runs under the fatal-error guard (FatalError.h), and its
// destructor stops and joins it. The routine learns that it must stop by waiting on the stop
// event (GetHandle). The destructor waits without a limit: a routine that never looks at the
// stop event keeps the destroying thread waiting, by design.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "Kiln/Src/Kiln/KernelStandard/SyncObject.h"

namespace Kiln
{

class Thread : public SyncObject
{
public:
    using Routine = uint32_t (*)(void* argument);

    // Starts the routine on a new thread, or holds it until Resume when startNow is false.
    // When the system refuses the thread, IsValid is false and every operation fails.
    Thread(Routine routine, void* argument, bool startNow);
    ~Thread() override;

    // The stop event, signalled by the destructor.
    Handle GetHandle() const override { return m_stopEvent.GetHandle(); }
    // Waits for the thread's end.
    bool Wait(uint32_t timeoutMs) override;

    bool SetPriority(int priority);
    bool IsValid() const { return m_thread != nullptr; }
    bool Resume();

    // Whether the body has not returned yet.
    bool IsAlive() const { return m_alive.load(); }
    // 259 (still active) while it runs, then the body's result.
    uint32_t ExitCode() const;
    pid_t ThreadId() const;

    // The body as the guard runs it.
    uint32_t CallRoutine() { return m_routine(m_argument); }

private:
    static uint32_t StartRoutine(Thread* thread);

    WEvent m_stopEvent{false, false};
    std::atomic<bool> m_running{true};
    std::atomic<bool> m_alive{true};
    Routine m_routine;
    void* m_argument;
    std::shared_ptr<platform::Thread> m_thread;
};

}  // namespace Kiln
