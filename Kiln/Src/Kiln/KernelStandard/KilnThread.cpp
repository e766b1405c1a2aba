#include "Kiln/Src/Kiln/KernelStandard/KilnThread.h"

#include "Kiln/Src/Kiln/KernelStandard/FatalError.h"
#include "platform/DebugOutput.h"

namespace Kiln
{

Thread::Thread(Routine routine, void* argument, bool startNow) : m_routine(routine), m_argument(argument)
{
    m_thread = platform::Thread::Start([this] { return StartRoutine(this); }, 0, !startNow);
    if (!m_thread)
        platform::WriteDebugOutput("Kiln::Thread> the system refused a new thread\n");
    m_handle = m_thread;
}

Thread::~Thread()
{
    if (m_running.load() && m_thread)
    {
        m_stopEvent.Set();
        m_thread->Resume();  // it may have been created suspended
        Wait(kInfinite);
        (void)ExitCode();
    }
}

uint32_t Thread::StartRoutine(Thread* thread)
{
    const uint32_t result = RunThreadGuarded(*thread);
    thread->m_alive = false;
    return result;
}

bool Thread::Wait(uint32_t timeoutMs)
{
    return m_thread && platform::WaitForOne(m_thread, timeoutMs) == platform::kWaitObject0;
}

bool Thread::SetPriority(int priority)
{
    if (!m_thread)
        return false;
    m_thread->SetPriority(priority);
    return true;
}

bool Thread::Resume()
{
    if (!m_thread)
        return false;
    m_thread->Resume();
    return true;
}

uint32_t Thread::ExitCode() const
{
    return m_thread ? m_thread->ExitCode() : 0;
}

pid_t Thread::ThreadId() const
{
    return m_thread ? m_thread->Id() : 0;
}

}  // namespace Kiln
