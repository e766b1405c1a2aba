#include "platform/ConsoleControl.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/LastError.h"

namespace platform
{

namespace
{

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

struct ControlState
{
    std::mutex lock;
    std::vector<ConsoleControlHandler> handlers;  // oldest first
    std::vector<void (*)()> stopCleanups;         // oldest first
    bool started = false;
};

ControlState& State()
{
    static ControlState* state = new ControlState;  // the reader thread outlives static destructors
    return *state;
}

std::atomic<int> g_pipeWrite{-1};  // set before the signal handlers are installed

void OnSignal(int signalNumber)
{
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(signalNumber);
    ssize_t ignored = write(g_pipeWrite, &byte, 1);
    (void)ignored;
    errno = saved;
}

void Dispatch(int signalNumber)
{
    std::vector<ConsoleControlHandler> handlers;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        handlers = State().handlers;
    }
    const uint32_t type = ConsoleControlTypeOfSignal(signalNumber);
    for (auto it = handlers.rbegin(); it != handlers.rend(); ++it)
        if ((*it)(type))
            return;
    // Nobody dealt with it: clean up what must not outlive us, then end as the signal would have
    // ended us.
    std::vector<void (*)()> cleanups;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        cleanups = State().stopCleanups;
    }
    for (auto it = cleanups.rbegin(); it != cleanups.rend(); ++it)
        (*it)();
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

void ReadLoop(int readFd)
{
    for (;;)
    {
        unsigned char byte;
        ssize_t n = read(readFd, &byte, 1);
        if (n == 1)
            Dispatch(byte);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            return;
    }
}

bool Start()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
    {
        SetLastErrorFromErrno(errno);
        return false;
    }
    // A full pipe must never block a signal handler; a lost repeat of the same request is fine.
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    g_pipeWrite = fds[1];
    try
    {
        std::thread(ReadLoop, fds[0]).detach();
    }
    catch (const std::system_error& e)
    {
        close(fds[0]);
        close(fds[1]);
        g_pipeWrite = -1;
        errno = e.code().value();  // the caller may print the reason as the system words it
        SetLastErrorFromErrno(errno);
        return false;
    }
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : kSignals)
        sigaction(s, &action, nullptr);
    return true;
}

}  // namespace

uint32_t ConsoleControlTypeOfSignal(int signalNumber)
{
    switch (signalNumber)
    {
    case SIGINT:
        return kCtrlCEvent;
    case SIGHUP:
        return kCtrlCloseEvent;
    case SIGTERM:
        return kCtrlShutdownEvent;
    case SIGQUIT:
        return kCtrlBreakEvent;
    default:
        return 0xFFFFFFFF;
    }
}

int SignalOfConsoleControlType(uint32_t controlType)
{
    switch (controlType)
    {
    case kCtrlCEvent:
        return SIGINT;
    case kCtrlBreakEvent:
        return SIGQUIT;
    case kCtrlCloseEvent:
        return SIGHUP;
    default:
        return SIGTERM;
    }
}

bool SetConsoleControlHandler(ConsoleControlHandler handler, bool add)
{
    if (!handler)
    {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    IgnoreBrokenPipeSignal();
    std::lock_guard<std::mutex> guard(State().lock);
    auto& handlers = State().handlers;
    if (!add)
    {
        auto it = std::find(handlers.rbegin(), handlers.rend(), handler);
        if (it == handlers.rend())
        {
            SetLastError(kErrorInvalidParameter);
            return false;
        }
        handlers.erase(std::next(it).base());
        return true;
    }
    if (!State().started)
    {
        if (!Start())
            return false;
        State().started = true;
    }
    handlers.push_back(handler);
    return true;
}

void AddStopCleanup(void (*cleanup)())
{
    if (!cleanup)
        return;
    std::lock_guard<std::mutex> guard(State().lock);
    State().stopCleanups.push_back(cleanup);
}

void IgnoreBrokenPipeSignal()
{
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace platform
