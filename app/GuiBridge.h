// The main frame's side of a run: what a worker thread tells the window, carried over to the GUI
// thread. Log lines and the patch-installed count travel as queued events; the gauge, the path
// text and "Apply Update" through CallAfter, the gauge coalesced (a progress thread that ticks
// faster than the window paints queues one update, not thousands); a message box is shown by the
// GUI thread while the worker waits for the answer.
#pragma once

#include "app/core/RunHost.h"

#include <atomic>
#include <mutex>
#include <string>

namespace LumoPatch {

class MainFrame;

class GuiBridge final : public RunHost {
public:
    explicit GuiBridge(MainFrame& frame) : m_frame(frame) {}

    void Log(int level, const std::wstring& text) override;
    void ClearLog() override;
    void SetGauge(int range, int value) override;
    void EnableApply() override;
    void SetPathText(const std::wstring& path) override;
    void SetProgressDone(bool done) override;
    void ShowMessage(const std::wstring& text, const std::wstring& caption) override;
    void PatchInstalled() override;
    void Finished() override;
    bool KeepGoing() override;
    int StopSignal() override;

private:
    // Runs call on the GUI thread: at once when already there, else queued.
    template <typename Call> void OnGuiThread(Call call);

    MainFrame& m_frame;
    std::atomic<int> m_gaugeRange{0};
    std::atomic<int> m_gaugeValue{0};
    std::atomic<bool> m_gaugeQueued{false};
    std::mutex m_pathLock;
    std::wstring m_pathText;  // guarded by m_pathLock
};

}  // namespace LumoPatch
