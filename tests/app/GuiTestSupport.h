// Helpers of the window tests: pumping the event loop, message boxes expected with their text, a
// worker whose end the test decides, and a page view that loads nothing.
#pragma once

#include "app/APThread.h"
#include "app/PageView.h"
#include "app/PatchMainFrame.h"

#include <gtest/gtest.h>
#include <wx/msgdlg.h>
#include <wx/panel.h>
#include <wx/testing.h>

#include <atomic>
#include <functional>
#include <vector>

namespace apptest {

// Runs the event loop (queued events, CallAfter, pending destruction) until pred holds.
bool PumpUntil(const std::function<bool()>& pred, int timeoutMs = 5000);
// Runs the event loop until nothing is pending any more.
void Pump();

// A message box whose text is checked; answered with `answer`.
class ExpectMessage : public wxExpectModalBase<wxMessageDialog, ExpectMessage> {
public:
    ExpectMessage(wxString text, int answer) : m_text(std::move(text)), m_answer(answer) {}

protected:
    int OnInvoked(wxMessageDialog* dialog) const override
    {
        EXPECT_EQ(dialog->GetMessage(), m_text);
        return m_answer;
    }

private:
    wxString m_text;
    int m_answer;
};

// A worker whose body runs until the test releases it, or until the run is cancelled.
class FakeWorker : public LumoPatch::APThread {
public:
    explicit FakeWorker(LumoPatch::MainFrame* owner, bool throwInBody = false)
        : APThread(owner), m_throw(throwInBody) {}
    void Release() { m_released = true; }

protected:
    ExitCode GuardedEntry() override;

private:
    bool m_throw;
    std::atomic<bool> m_released{false};
};

// A worker whose thread cannot be started.
class UnstartableWorker : public LumoPatch::APThread {
public:
    using APThread::APThread;
    wxThreadError Start() override { return wxTHREAD_NO_RESOURCE; }

protected:
    ExitCode GuardedEntry() override { return APThread::GuardedEntry(); }
};

class FakePageView : public LumoPatch::PageView {
public:
    FakePageView(wxWindow* parent, wxWindowID id, LumoPatch::PageViewEvents& events)
        : m_window(new wxPanel(parent, id)), m_events(events) {}
    wxWindow* GetWindow() override { return m_window; }
    void LoadUrl(const wxString& url) override { loaded.push_back(url); }
    void HideScrollbars() override { ++scrollbarsHidden; }
    LumoPatch::PageViewEvents& Events() { return m_events; }

    std::vector<wxString> loaded;
    int scrollbarsHidden = 0;

private:
    wxPanel* m_window;
    LumoPatch::PageViewEvents& m_events;
};

// The frame's seams with a FakePageView (reported through *page when given) and the worker factory.
LumoPatch::PatchMainFrameSeams FakePageSeams(LumoPatch::WorkerFactory workerFactory = {},
                                             FakePageView** page = nullptr);

}  // namespace apptest
