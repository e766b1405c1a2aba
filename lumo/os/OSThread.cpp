#include "lumo/os/OSThread.h"

#include "lumo/diagnostics/Assert.h"

namespace OS
{

namespace
{

const char kEndedCheck[] = "WaitForSingleObject(m_threadhandle, 0) == WAIT_OBJECT_0";

bool HasEnded(const Handle& thread)
{
    try
    {
        return WaitForObject(thread, 0) == WAIT_OBJECT_0;
    }
    catch (...)
    {
        return false;
    }
}

}  // namespace

Thread::Thread() = default;

Thread::~Thread()
{
    if (m_threadhandle)
    {
        Assert(HasEnded(m_threadhandle), kEndedCheck);
        m_threadhandle.reset();
    }
}

uint32_t Thread::Run()
{
    return 0;
}

void Thread::ForgetEndedThread()
{
    if (!m_threadhandle)
        return;
    Assert(HasEnded(m_threadhandle), kEndedCheck);
    CloseThread(m_threadhandle);
}

uint32_t Thread::ThreadProc(void* self)
{
    return static_cast<Thread*>(self)->Run();
}

bool Thread::Start()
{
    return Start(&Thread::ThreadProc, this);
}

bool Thread::Start(ThreadFunction fn, void* arg)
{
    ForgetEndedThread();
    m_threadhandle = CreateThread(0, fn, arg);
    return true;
}

uint32_t Thread::Wait()
{
    if (!m_threadhandle)
        return 0;
    WaitForObject(m_threadhandle, INFINITE);
    auto* thread = dynamic_cast<platform::Thread*>(m_threadhandle.get());
    return thread ? thread->ExitCode() : STILL_ACTIVE;
}

}  // namespace OS
