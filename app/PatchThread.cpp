#include "app/PatchThread.h"

#include "app/MainFrame.h"

namespace LumoPatch {

PatchThread::PatchThread(MainFrame* owner) : APThread(owner), m_run(owner->Host()) {}

wxThread::ExitCode PatchThread::GuardedEntry()
{
    m_run.Run();
    return APThread::GuardedEntry();
}

}  // namespace LumoPatch
