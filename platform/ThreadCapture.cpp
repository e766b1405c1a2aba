#include "platform/ThreadCapture.h"

#include <semaphore.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace platform
{
namespace
{

// The one request in flight. The asking thread moves it Idle -> Asked and, when it gives up
// waiting, Asked -> Idle; the handler moves it Asked -> Answering -> Answered. Whoever wins the
// move out of Asked decides: a handler that comes too late finds Idle and does nothing, and an
// asker that finds Answering waits for the (short) rest of the walk, so the slot is never
// written while it is read.
enum SlotState : int
{
    kIdle,
    kAsked,
    kAnswering,
    kAnswered,
};

struct Slot
{
    std::atomic<int> state{kIdle};
    std::atomic<pid_t> target{0};
    uint64_t pc = 0;
    uint64_t sp = 0;
    size_t count = 0;
    // Room for the handler's own frames, which the walk passes before the interrupted one.
    uint64_t frames[kThreadCaptureFrames + 64] = {};
};

Slot g_slot;
sem_t g_answered;
std::mutex g_captureLock;  // one request at a time
bool g_ready = false;      // under g_captureLock
std::string g_setupError;  // under g_captureLock

pid_t CurrentThreadId()
{
    return static_cast<pid_t>(syscall(SYS_gettid));
}

void OnCaptureSignal(int /*signalNumber*/, siginfo_t* info, void* rawContext)
{
    const int savedErrno = errno;
    // Only requests from this process count: a stray signal from outside is not asked for.
    if (info && info->si_code == SI_TKILL && info->si_pid == getpid() && g_slot.target.load() == CurrentThreadId())
    {
        int expected = kAsked;
        if (g_slot.state.compare_exchange_strong(expected, kAnswering))
        {
            const ucontext_t* context = static_cast<const ucontext_t*>(rawContext);
            g_slot.pc = static_cast<uint64_t>(context->uc_mcontext.gregs[REG_RIP]);
            g_slot.sp = static_cast<uint64_t>(context->uc_mcontext.gregs[REG_RSP]);
            g_slot.count = CaptureFramesFrom(g_slot.pc, g_slot.sp, g_slot.frames,
                                             sizeof(g_slot.frames) / sizeof(g_slot.frames[0]));
            g_slot.state.store(kAnswered);
            sem_post(&g_answered);
        }
    }
    errno = savedErrno;
}

// Under g_captureLock.
bool SetUp(std::string& error)
{
    if (g_ready)
        return true;
    if (!g_setupError.empty())
    {
        error = g_setupError;
        return false;
    }
    PrepareStackCapture();
    const int signalNumber = ThreadCaptureSignal();
    struct sigaction previous{};
    if (sigaction(signalNumber, nullptr, &previous) != 0)
    {
        g_setupError = std::string("cannot read the action of signal ") + std::to_string(signalNumber) + ": " +
                       std::strerror(errno);
    }
    else if ((previous.sa_flags & SA_SIGINFO) ? previous.sa_sigaction != nullptr
                                              : previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN)
    {
        g_setupError = "signal " + std::to_string(signalNumber) + " has a handler already";
    }
    else if (sem_init(&g_answered, 0, 0) != 0)
    {
        g_setupError = std::string("cannot make the answer semaphore: ") + std::strerror(errno);
    }
    else
    {
        struct sigaction action{};
        action.sa_sigaction = OnCaptureSignal;
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&action.sa_mask);
        if (sigaction(signalNumber, &action, nullptr) == 0)
        {
            g_ready = true;
            return true;
        }
        g_setupError = std::string("cannot install the handler of signal ") + std::to_string(signalNumber) + ": " +
                       std::strerror(errno);
        sem_destroy(&g_answered);
    }
    error = g_setupError;
    return false;
}

timespec DeadlineAfter(int milliseconds)
{
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const long total = deadline.tv_nsec + static_cast<long>(milliseconds % 1000) * 1000000L;
    deadline.tv_sec += milliseconds / 1000 + total / 1000000000L;
    deadline.tv_nsec = total % 1000000000L;
    return deadline;
}

bool ThreadExists(pid_t thread)
{
    return syscall(SYS_tgkill, getpid(), thread, 0) == 0 || errno != ESRCH;
}

std::string EndedText(pid_t thread)
{
    return "thread " + std::to_string(thread) + " has ended (or is no thread of this process)";
}

}  // namespace

int ThreadCaptureSignal()
{
    return SIGRTMIN + 4;
}

ThreadCaptureResult CaptureThread(pid_t thread, int timeoutMs, ThreadCapture& capture, std::string& error)
{
    capture = ThreadCapture{};
    error.clear();
    if (thread <= 0)
    {
        error = "thread " + std::to_string(thread) + " is no thread id";
        return ThreadCaptureResult::Failed;
    }
    std::lock_guard<std::mutex> guard(g_captureLock);
    if (!SetUp(error))
    {
        error = "thread " + std::to_string(thread) + " cannot be captured: " + error;
        return ThreadCaptureResult::Failed;
    }
    while (sem_trywait(&g_answered) == 0)
    {
    }

    g_slot.target.store(thread);
    g_slot.state.store(kAsked);
    if (syscall(SYS_tgkill, getpid(), thread, ThreadCaptureSignal()) != 0)
    {
        const int sendError = errno;
        g_slot.state.store(kIdle);
        g_slot.target.store(0);
        if (sendError == ESRCH)
        {
            error = EndedText(thread);
            return ThreadCaptureResult::Ended;
        }
        error = "thread " + std::to_string(thread) + " cannot be signalled: " + std::strerror(sendError);
        return ThreadCaptureResult::Failed;
    }

    const timespec deadline = DeadlineAfter(timeoutMs < 0 ? 0 : timeoutMs);
    bool answered = false;
    for (;;)
    {
        if (sem_clockwait(&g_answered, CLOCK_MONOTONIC, &deadline) == 0)
        {
            answered = true;
            break;
        }
        if (errno != EINTR)
            break;
    }
    if (!answered)
    {
        int expected = kAsked;
        if (g_slot.state.compare_exchange_strong(expected, kIdle))
        {
            g_slot.target.store(0);
            if (!ThreadExists(thread))
            {
                error = EndedText(thread);
                return ThreadCaptureResult::Ended;
            }
            error = "thread " + std::to_string(thread) + " did not answer signal " +
                    std::to_string(ThreadCaptureSignal()) + " within " + std::to_string(timeoutMs) +
                    " ms (it blocks the signal, or it is stopped)";
            return ThreadCaptureResult::NoAnswer;
        }
        // The handler is walking the stack right now: its answer follows shortly.
        while (sem_wait(&g_answered) != 0 && errno == EINTR)
        {
        }
    }

    if (g_slot.state.load() != kAnswered)
    {
        g_slot.state.store(kIdle);
        g_slot.target.store(0);
        error = "thread " + std::to_string(thread) + " answered out of turn";
        return ThreadCaptureResult::Failed;
    }
    capture.place.pc = g_slot.pc;
    capture.place.sp = g_slot.sp;
    const size_t count = g_slot.count < kThreadCaptureFrames ? g_slot.count : kThreadCaptureFrames;
    capture.frames.assign(g_slot.frames, g_slot.frames + count);
    g_slot.target.store(0);
    g_slot.state.store(kIdle);
    return ThreadCaptureResult::Captured;
}

}  // namespace platform
