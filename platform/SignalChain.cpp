#include "platform/SignalChain.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace platform
{

bool IsFaultFromProcessor(const siginfo_t* info)
{
    // SI_USER, SI_QUEUE, SI_TKILL and the like are all zero or below.
    return info && info->si_code > 0;
}

void PassSignalOn(int signalNumber, siginfo_t* info, void* context, const struct sigaction& previous,
                  bool keepCurrent)
{
    const bool isFunction = (previous.sa_flags & SA_SIGINFO)
                                ? previous.sa_sigaction != nullptr
                                : previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN;
    if (isFunction)
    {
        if (!keepCurrent)
            sigaction(signalNumber, &previous, nullptr);
        if (previous.sa_flags & SA_SIGINFO)
            previous.sa_sigaction(signalNumber, info, context);
        else
            previous.sa_handler(signalNumber);
        return;
    }
    struct sigaction defaultAction{};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    sigaction(signalNumber, &defaultAction, nullptr);
    // A fault would recur on return anyway; a sent signal would not.
    syscall(SYS_tgkill, getpid(), syscall(SYS_gettid), signalNumber);
}

void InstallFaultHandler(void (*handler)(int, siginfo_t*, void*), struct sigaction* previous, int extraFlags)
{
    for (int signalNumber : kFaultSignals)
    {
        struct sigaction action{};
        action.sa_sigaction = handler;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK | extraFlags;
        sigemptyset(&action.sa_mask);
        sigaction(signalNumber, &action, &previous[signalNumber]);
    }
}

}  // namespace platform
