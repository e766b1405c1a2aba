#include "app/GuardedThread.h"

#include "lumo/diagnostics/CrashHandlers.h"

#include <mutex>

namespace {

std::mutex g_hookLock;
wxGuardedThread::FatalHook g_fatalHook;

wxGuardedThread::FatalHook CurrentHook()
{
    std::lock_guard<std::mutex> lock(g_hookLock);
    return g_fatalHook;
}

}  // namespace

void wxGuardedThread::SetFatalHookForTesting(FatalHook hook)
{
    std::lock_guard<std::mutex> lock(g_hookLock);
    g_fatalHook = std::move(hook);
}

wxThread::ExitCode wxGuardedThread::Entry()
{
    if (FatalHook hook = CurrentHook()) {
        try {
            return GuardedEntry();
        } catch (...) {
            hook(std::current_exception());
            return nullptr;
        }
    }
    return GuardedThreadEntry(
        [](void* self) -> void* { return static_cast<wxGuardedThread*>(self)->GuardedEntry(); }, this);
}
