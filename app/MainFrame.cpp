#include "app/MainFrame.h"

#include "app/APThread.h"
#include "app/LogStyle.h"
#include "app/LogToFrame.h"
#include "patch/PatchCallbacks.h"
#include "patch/PatchMessages.h"

#include <wx/button.h>
#include <wx/gauge.h>
#include <wx/msgdlg.h>
#include <wx/scrolwin.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "platform/ConsoleControl.h"

#include <dlfcn.h>

#include <algorithm>
#include <string>
#include <mutex>

namespace LumoPatch {

std::atomic<MainFrame*> g_mainFrame{nullptr};

namespace {

// The frame a stop signal goes to. The signal-reading thread posts to it under the lock, and the
// frame leaves it under the lock before it goes, so no post reaches a frame being destroyed.
struct StopRelay {
    std::mutex lock;
    MainFrame* frame = nullptr;
};

StopRelay& Relay()
{
    static StopRelay* relay = new StopRelay;  // the reading thread outlives static destructors
    return *relay;
}

std::atomic<int> g_stopSignal{0};

// Answers an open GTK message box as its close button would. The toolkit's message box runs GTK's
// own dialog loop, which its EndModal does not end; GTK is the library the toolkit has loaded.
void AnswerNativeBox(wxMessageDialog& box)
{
    using Response = void (*)(void* dialog, int response);
    static const auto respond = reinterpret_cast<Response>(dlsym(RTLD_DEFAULT, "gtk_dialog_response"));
    constexpr int kResponseDeleteEvent = -4;  // GTK_RESPONSE_DELETE_EVENT: the box was closed
    if (respond && box.GetHandle())
        respond(box.GetHandle(), kResponseDeleteEvent);
}

}  // namespace

bool StopWindowOnSignal(uint32_t controlType)
{
    StopRelay& relay = Relay();
    std::lock_guard<std::mutex> hold(relay.lock);
    if (!relay.frame || !relay.frame->HasActiveRun())
        return false;  // nothing to put back: the signal ends the process
    int none = 0;
    g_stopSignal.compare_exchange_strong(none, platform::SignalOfConsoleControlType(controlType));
    wxQueueEvent(relay.frame, new wxThreadEvent(wxEVT_THREAD, kEventStopRequested));
    return true;
}

int WindowStopSignal()
{
    return g_stopSignal.load();
}

MainFrame::MainFrame(const wxString& title, WorkerFactory workerFactory)
    : wxFrame(nullptr, wxID_ANY, title, wxDefaultPosition, wxSize(900, 800),
              wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX | wxCLIP_CHILDREN),
      m_workerFactory(std::move(workerFactory)),
      m_bridge(*this)
{
    RegisterLogFrame(this);
    Bind(wxEVT_BUTTON, &MainFrame::OnApplyButton, this, kIdApplyButton);
    Bind(wxEVT_BUTTON, &MainFrame::OnExitButton, this, kIdExitButton);
    Bind(wxEVT_THREAD, &MainFrame::OnWorkerFinished, this, kEventWorkerFinished);
    Bind(wxEVT_THREAD, &MainFrame::OnLogMessage, this, kEventLogMessage);
    Bind(wxEVT_THREAD, &MainFrame::OnPatchInstalled, this, kEventPatchInstalled);
    Bind(wxEVT_THREAD, &MainFrame::OnStopRequested, this, kEventStopRequested);
    Bind(wxEVT_CLOSE_WINDOW, &MainFrame::OnClose, this);
    Bind(wxEVT_UPDATE_UI, &MainFrame::OnUpdateSplitHorizontal, this, kIdSplitHorizontal);
    Bind(wxEVT_UPDATE_UI, &MainFrame::OnUpdateSplitVertical, this, kIdSplitVertical);
    Bind(wxEVT_UPDATE_UI, &MainFrame::OnUpdateUnsplit, this, kIdUnsplit);
    std::lock_guard<std::mutex> hold(Relay().lock);
    if (!Relay().frame)
        Relay().frame = this;
}

MainFrame::~MainFrame()
{
    {
        std::lock_guard<std::mutex> hold(Relay().lock);
        if (Relay().frame == this)
            Relay().frame = nullptr;
    }
    if (g_mainFrame.load() == this)
        RegisterLogFrame(nullptr);
    // The frame is only closed with no worker running; a worker that is still ending its body is
    // waited for here, before the objects it reports to are gone.
    if (m_worker && m_worker->IsAlive())
        m_worker->Wait(wxTHREAD_WAIT_BLOCK);
    // Before the bridge the worker's run reports to.
    m_worker.reset();
}

void MainFrame::CreateControls()
{
    // Sizes are minimums in device-independent pixels; the theme's own best sizes win where they
    // are larger, so nothing is clipped on GTK.
    m_log = new wxTextCtrl(m_panel, wxID_ANY, wxEmptyString, wxDefaultPosition, FromDIP(wxSize(50, 250)),
                           wxTE_MULTILINE | wxTE_READONLY | wxTE_RICH);
    // Black status lines must stay readable under a dark theme.
    m_log->SetBackgroundColour(*wxWHITE);
    m_gauge = new wxGauge(m_panel, wxID_ANY, 100, wxDefaultPosition, wxSize(-1, FromDIP(25)), wxGA_HORIZONTAL);
    m_status = new wxStaticText(m_panel, wxID_ANY, wxEmptyString, wxDefaultPosition, wxSize(-1, FromDIP(20)),
                                wxALIGN_CENTRE_HORIZONTAL | wxST_NO_AUTORESIZE);
    m_apply = new wxButton(m_panel, kIdApplyButton, PatchMessages::kApplyUpdate, wxDefaultPosition,
                           FromDIP(wxSize(120, -1)));
    m_exit = new wxButton(m_panel, kIdExitButton, PatchMessages::kCancel, wxDefaultPosition,
                          FromDIP(wxSize(120, -1)));

    m_mainSizer->Add(m_log, 1, wxEXPAND | wxALL, FromDIP(10));
    m_mainSizer->Add(m_status, 0, wxEXPAND | wxLEFT | wxRIGHT, FromDIP(10));
    m_mainSizer->Add(m_gauge, 0, wxEXPAND | wxFIXED_MINSIZE | wxALL, FromDIP(10));
    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    buttons->Add(m_apply, 0, wxALIGN_CENTER_VERTICAL | wxALL, FromDIP(5));
    buttons->Add(m_exit, 0, wxALIGN_CENTER_VERTICAL | wxALL, FromDIP(5));
    m_mainSizer->Add(buttons, 0, wxALIGN_CENTER_HORIZONTAL | wxALL, FromDIP(5));

    m_panel->SetSizer(m_mainSizer);
    m_mainSizer->SetSizeHints(this);
    Centre(wxBOTH);
    m_apply->Enable();
}

void MainFrame::OnApply(wxCommandEvent&)
{
    if (!m_worker)
        return;
    if (const wxThreadError error = m_worker->Start(); error != wxTHREAD_NO_ERROR) {
        PostLogLine(*this, 3, error == wxTHREAD_NO_RESOURCE
                                  ? L"The run cannot start: the system has no thread to give it (too many threads, or no memory)."
                                  : L"The run cannot start: its thread could not be created (error " +
                                        std::to_wstring(static_cast<int>(error)) + L").");
        // Never started: nothing refers to the object any more, so it goes at once.
        m_worker.reset();
        RunEnded();
        m_log->SetFocus();
        return;
    }
    m_running = true;
    m_runActive = true;
    m_apply->Disable();
    m_log->SetFocus();
}

bool MainFrame::StoreNewWorker()
{
    if (WorkerRunning())
        return false;
    JoinFinishedWorker();
    m_worker.reset();
    if (m_workerFactory)
        m_worker.reset(m_workerFactory(this));
    return true;
}

void MainFrame::DropUnstartedWorker()
{
    if (m_worker && !m_worker->IsAlive())
        m_worker.reset();
}

bool MainFrame::WorkerRunning() const
{
    return m_worker && m_worker->IsRunning();
}

void MainFrame::JoinFinishedWorker()
{
    if (m_worker && m_worker->IsAlive() && !m_worker->IsRunning())
        m_worker->Wait(wxTHREAD_WAIT_BLOCK);
}

void MainFrame::OnApplyButton(wxCommandEvent& event)
{
    OnApply(event);
}

void MainFrame::OnExitButton(wxCommandEvent&)
{
    Close(true);
}

void MainFrame::OnWorkerFinished(wxThreadEvent&)
{
    m_running = false;
    m_runActive = false;
    m_exit->SetLabel(PatchMessages::kExit);
    m_exit->Enable();
    JoinFinishedWorker();
    RunEnded();
    if (m_stopRequested)
        CloseAfterStop();
}

void MainFrame::OnStopRequested(wxThreadEvent&)
{
    if (m_stopRequested)
        return;
    m_stopRequested = true;
    if (!m_cancel) {
        m_running = false;
        m_exit->Disable();
        m_cancelSignal = WindowStopSignal();  // before the run can see the cancel
        m_cancel = true;
        PatchSendMessage(3, PatchMessages::kCancelling);
    }
    // Nobody is there to answer a question now; a run waiting for an answer goes on.
    if (m_openBox)
        AnswerNativeBox(*m_openBox);
    if (!m_runActive)
        CloseAfterStop();
}

void MainFrame::CloseAfterStop()
{
    // The question's handler is still on the stack: it closes the window when its box returns.
    if (m_asking)
        return;
    Destroy();
}

int MainFrame::ShowBox(wxMessageDialog& box)
{
    wxMessageDialog* outer = m_openBox;
    m_openBox = &box;
    // A stop that came before the box was shown answers it at once.
    const int answer = m_stopRequested ? wxID_CANCEL : box.ShowModal();
    m_openBox = outer;
    return answer;
}

void MainFrame::OnLogMessage(wxThreadEvent& event)
{
    if (!m_log)
        return;
    wxMutexLocker lock(m_logMutex);
    if (!lock.IsOk())
        return;
    const LogStyle style = StyleForLevel(event.GetInt(), m_debug);
    if (!style.append)
        return;
    m_log->SetInsertionPointEnd();
    if (style.colour) {
        const uint32_t rgb = *style.colour;
        m_log->SetDefaultStyle(wxTextAttr(wxColour((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF)));
    }
    if (!m_firstLine)
        m_log->AppendText("\n");
    m_firstLine = false;
    m_log->AppendText(event.GetString());
}

void MainFrame::OnPatchInstalled(wxThreadEvent&)
{
    ++m_patchesInstalled;
}

void MainFrame::OnClose(wxCloseEvent&)
{
    if (WorkerRunning() && !m_cancel) {
        const wchar_t* question =
            m_patchesInstalled == 0 ? PatchMessages::kConfirmCancel : PatchMessages::kConfirmCancelAfterInstall;
        wxMessageDialog dialog(this, question, GetTitle(), wxYES_NO | wxNO_DEFAULT | wxICON_EXCLAMATION);
        m_asking = true;
        const int answer = ShowBox(dialog);
        m_asking = false;
        if (m_stopRequested) {
            // A stop signal came meanwhile and has cancelled the run; the window goes once it has ended.
            if (!m_runActive)
                Destroy();
            return;
        }
        if (answer != wxID_YES)
            return;
        m_running = false;
    }
    // A second close while the worker still ends asks nothing and logs the line again.
    m_exit->Disable();
    m_cancel = true;
    PatchSendMessage(3, PatchMessages::kCancelling);
    // The worker's own state decides, not the running flag just cleared: the frame must outlive
    // a worker that still posts to it.
    if (!WorkerRunning())
        Destroy();
}

void MainFrame::OnUpdateSplitHorizontal(wxUpdateUIEvent& event)
{
    event.Enable(m_splitter && (!m_splitter->IsSplit() || m_splitter->GetSplitMode() != wxSPLIT_HORIZONTAL));
}

void MainFrame::OnUpdateSplitVertical(wxUpdateUIEvent& event)
{
    event.Enable(m_splitter && (!m_splitter->IsSplit() || m_splitter->GetSplitMode() != wxSPLIT_VERTICAL));
}

void MainFrame::OnUpdateUnsplit(wxUpdateUIEvent& event)
{
    event.Enable(m_splitter && m_splitter->IsSplit());
}

void MainFrame::SetStatusLine(const wxString& text)
{
    if (m_status)
        m_status->SetLabel(text);
}

void MainFrame::SetGauge(int range, int value)
{
    if (range > 0 && range != m_gauge->GetRange())
        m_gauge->SetRange(range);
    m_gauge->SetValue(std::min(std::max(value, 0), m_gauge->GetRange()));
}

void MainFrame::ClearLogView()
{
    if (!m_log)
        return;
    wxMutexLocker lock(m_logMutex);
    if (lock.IsOk())
        m_log->Clear();
}

void MainFrame::SetPathText(const wxString&) {}

void MainFrame::SetProgressDone(bool) {}

}  // namespace LumoPatch
