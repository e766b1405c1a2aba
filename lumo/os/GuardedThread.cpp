#include "lumo/os/GuardedThread.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "lumo/diagnostics/Assert.h"
#include "lumo/diagnostics/CrashHandlers.h"

namespace OS
{

namespace
{

std::atomic<ThreadRefusal> g_refusal{nullptr};

}  // namespace

void SetThreadRefusal(ThreadRefusal refuse)
{
    g_refusal = refuse;
}

GuardedThread::~GuardedThread()
{
    Join();
}

bool GuardedThread::Start(std::function<void()> body, std::string* error)
{
    Assert(!m_thread.joinable(), "!m_thread.joinable()");
    const ThreadRefusal refuse = g_refusal.load();
    if (refuse && refuse())
    {
        errno = EAGAIN;
        if (error)
            *error = std::string("no thread can be started: ") + strerror(EAGAIN);
        return false;
    }
    m_body = std::move(body);
    try
    {
        m_thread = std::thread(&GuardedThreadEntry, &GuardedThread::Entry, this);
    }
    catch (const std::system_error& failure)
    {
        m_body = nullptr;
        errno = failure.code().value();
        if (error)
            *error = std::string("no thread can be started: ") + failure.what();
        return false;
    }
    return true;
}

void GuardedThread::Join()
{
    if (m_thread.joinable())
        m_thread.join();
    m_body = nullptr;
}

void* GuardedThread::Entry(void* self)
{
    static_cast<GuardedThread*>(self)->m_body();
    return nullptr;
}

}  // namespace OS
