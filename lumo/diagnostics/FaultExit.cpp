#include "lumo/diagnostics/FaultExit.h"

#include <unistd.h>

#include <mutex>

#include "platform/SignalChain.h"

namespace
{

// Constant-initialised TLS: read in signal handlers without allocating.
__attribute__((tls_model("initial-exec"))) thread_local bool t_guarded = false;
__attribute__((tls_model("initial-exec"))) thread_local int t_exitStatus = 0;

struct sigaction g_previous[NSIG];

void OnFault(int signalNumber, siginfo_t* info, void* context)
{
    ExitIfFaultGuarded(signalNumber, info);
    platform::PassSignalOn(signalNumber, info, context, g_previous[signalNumber]);
}

}  // namespace

void InstallFaultExitHandlers()
{
    static std::once_flag once;
    std::call_once(once, [] { platform::InstallFaultHandler(OnFault, g_previous); });
}

FaultExitScope::FaultExitScope(int exitStatus) : m_wasGuarded(t_guarded), m_previousStatus(t_exitStatus)
{
    t_exitStatus = exitStatus;
    t_guarded = true;
}

FaultExitScope::~FaultExitScope()
{
    t_guarded = m_wasGuarded;
    t_exitStatus = m_previousStatus;
}

void ExitIfFaultGuarded(int signalNumber, const siginfo_t* info)
{
    if (!t_guarded || !platform::IsFaultFromProcessor(info))
        return;
    for (int fault : platform::kFaultSignals)
        if (fault == signalNumber)
            _exit(t_exitStatus);
}
