#include "app/APThread.h"

#include "app/MainFrame.h"

namespace LumoPatch {

std::atomic<APThread*> g_currentWorkerThread{nullptr};

APThread::APThread(MainFrame* owner) : m_owner(owner)
{
    g_currentWorkerThread = this;
}

APThread::~APThread()
{
    APThread* self = this;
    g_currentWorkerThread.compare_exchange_strong(self, nullptr);
}

wxThread::ExitCode APThread::GuardedEntry()
{
    PostFinished();
    return nullptr;
}

void APThread::OnExit()
{
    if (m_owner) {
        wxCriticalSectionLocker lock(m_owner->CriticalSection());
    }
    PostFinished();
}

void APThread::PostFinished()
{
    if (m_owner && !m_finishedPosted.exchange(true))
        wxQueueEvent(m_owner, new wxThreadEvent(wxEVT_THREAD, kEventWorkerFinished));
}

bool KeepPatchingCallback()
{
    // TestDestroy may only be asked on the thread itself; other threads skip that part.
    APThread* worker = g_currentWorkerThread.load();
    if (worker && wxThread::This() == worker && worker->TestDestroy())
        return false;
    MainFrame* frame = g_mainFrame.load();
    return !(frame && frame->IsCancelled());
}

}  // namespace LumoPatch
