#include "tests/app/GuiTestSupport.h"

#include "app/MainFrame.h"

#include <wx/app.h>
#include <wx/evtloop.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace apptest {

void Pump()
{
    for (int round = 0; round < 20; ++round) {
        wxTheApp->ProcessPendingEvents();
        wxTheApp->ProcessIdle();
        if (!wxTheApp->HasPendingEvents())
            break;
    }
    wxYield();
}

bool PumpUntil(const std::function<bool()>& pred, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        Pump();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

wxThread::ExitCode FakeWorker::GuardedEntry()
{
    while (!m_released && LumoPatch::KeepPatchingCallback())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (m_throw)
        throw std::runtime_error("worker body failed");
    return APThread::GuardedEntry();
}

LumoPatch::PatchMainFrameSeams FakePageSeams(LumoPatch::WorkerFactory workerFactory, FakePageView** page)
{
    LumoPatch::PatchMainFrameSeams seams;
    seams.workerFactory = std::move(workerFactory);
    seams.pageViewFactory = [page](wxWindow* parent, wxWindowID id, LumoPatch::PageViewEvents& events) {
        auto view = std::make_unique<FakePageView>(parent, id, events);
        if (page)
            *page = view.get();
        return view;
    };
    return seams;
}

}  // namespace apptest
