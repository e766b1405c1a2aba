#include "app/GuardedThread.h"

#include "lumo/diagnostics/CrashHandlers.h"

wxThread::ExitCode wxGuardedThread::Entry()
{
    return GuardedThreadEntry(
        [](void* self) -> void* { return static_cast<wxGuardedThread*>(self)->GuardedEntry(); }, this);
}
