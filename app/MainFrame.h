// The progress window of the patcher: a log view coloured by message level, a status line, a
// gauge, "Apply Update" and "Cancel" (relabelled "Exit" once a run has ended). It owns the worker
// of a run and the cancel flag that every long operation polls. Worker threads reach it only
// through queued events (ids 2, 3 and 16) and through its GuiBridge; only the GUI thread touches
// its widgets.
//
// Lifetime: the frame outlives every worker. It is destroyed only when its worker is not running,
// it joins a worker once the worker has reported its end, and it deletes the object when the next
// run replaces it or when the frame goes.
#pragma once

#include "app/GuiBridge.h"

#include <wx/frame.h>
#include <wx/splitter.h>
#include <wx/thread.h>
#include <wx/weakref.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

class wxBoxSizer;
class wxButton;
class wxGauge;
class wxMessageDialog;
class wxScrolledWindow;
class wxStaticText;
class wxTextCtrl;

namespace LumoPatch {

class APThread;
class MainFrame;

// Window and event ids the run and the frame share.
enum : int {
    kIdApplyButton = 0,
    kIdExitButton = 1,
    kEventWorkerFinished = 2,
    kEventLogMessage = 3,
    kEventPatchInstalled = 16,
    // Commands that split or unsplit the frame's splitter; enabled by its state.
    kIdSplitHorizontal = 18,
    kIdSplitVertical = 19,
    kIdUnsplit = 20,
    // A stop signal (SIGINT, SIGTERM, SIGHUP, SIGQUIT) arrived while a run was going on.
    kEventStopRequested = 21,
};

// Builds the worker of a run for a frame (tests insert their own). The frame owns the result.
using WorkerFactory = std::function<APThread*(MainFrame*)>;

class MainFrame : public wxFrame {
public:
    MainFrame(const wxString& title, WorkerFactory workerFactory);
    ~MainFrame() override;

    // Creates the controls into the panel and the main sizer the derived frame has made.
    void CreateControls();

    // Starts the worker stored by the derived frame's OnApply.
    virtual void OnApply(wxCommandEvent& event);

    // Any thread.
    bool IsCancelled() const { return m_cancel.load(); }
    // The stop signal that cancelled the run, 0 when the user did (or nothing has).
    int CancelSignal() const { return m_cancelSignal.load(); }
    bool IsRunning() const { return m_running.load(); }
    // From a run's start to its finished event, a cancelled one included (IsRunning ends at the
    // confirmed cancel, while the run still puts back what it changed).
    bool HasActiveRun() const { return m_runActive.load(); }
    RunHost& Host() { return m_bridge; }
    wxCriticalSection& CriticalSection() { return m_critSect; }

    // GUI thread.
    void SetDebug(bool debug) { m_debug = debug; }
    bool IsDebug() const { return m_debug; }
    int PatchesInstalled() const { return m_patchesInstalled; }
    APThread* Worker() const { return m_worker.get(); }
    wxTextCtrl* LogView() const { return m_log; }
    wxGauge* Gauge() const { return m_gauge; }
    wxStaticText* StatusText() const { return m_status; }
    wxButton* ApplyButton() const { return m_apply; }
    wxButton* ExitButton() const { return m_exit; }
    // Sets the gauge; a range that is not positive keeps the current one.
    void SetGauge(int range, int value);
    void ClearLogView();
    // The one-line status text under the log.
    void SetStatusLine(const wxString& text);
    // The splitter whose state the split commands follow (none: they are disabled).
    void SetSplitter(wxSplitterWindow* splitter) { m_splitter = splitter; }
    // The install path shown by the derived frame, and its download-progress flag.
    virtual void SetPathText(const wxString& path);
    virtual void SetProgressDone(bool done);
    // Shows a message box owned by the frame and gives its answer. A stop signal answers it
    // (wxID_CANCEL) when nobody has.
    int ShowBox(wxMessageDialog& box);

protected:
    // Replaces the worker of the last run (which has ended) by one the factory builds. False while
    // the last worker is still ending its body (it re-enabled "Apply Update" before returning):
    // that click starts nothing.
    bool StoreNewWorker();
    // Drops a worker that was stored but is not to start.
    void DropUnstartedWorker();
    // The worker of a run has ended (its finished event), or it could not be started.
    virtual void RunEnded() {}

    wxScrolledWindow* m_panel = nullptr;
    wxBoxSizer* m_mainSizer = nullptr;

private:
    void OnApplyButton(wxCommandEvent& event);
    void OnExitButton(wxCommandEvent& event);
    void OnWorkerFinished(wxThreadEvent& event);
    void OnLogMessage(wxThreadEvent& event);
    void OnPatchInstalled(wxThreadEvent& event);
    void OnClose(wxCloseEvent& event);
    void OnUpdateSplitHorizontal(wxUpdateUIEvent& event);
    void OnUpdateSplitVertical(wxUpdateUIEvent& event);
    void OnUpdateUnsplit(wxUpdateUIEvent& event);
    // A stop signal during a run: cancelled as "Cancel" does, without the question, and the window
    // closes once the run has put back what it changed.
    void OnStopRequested(wxThreadEvent& event);
    void CloseAfterStop();
    // Waits for a worker whose body has returned and keeps the object until it is replaced.
    void JoinFinishedWorker();
    bool WorkerRunning() const;

    wxCriticalSection m_critSect;
    bool m_debug = false;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_runActive{false};
    bool m_stopRequested = false;
    wxMessageDialog* m_openBox = nullptr;  // the box ShowBox shows now
    bool m_asking = false;                 // OnClose's question is open
    int m_patchesInstalled = 0;
    wxTextCtrl* m_log = nullptr;
    wxGauge* m_gauge = nullptr;
    wxStaticText* m_status = nullptr;
    wxButton* m_apply = nullptr;
    wxButton* m_exit = nullptr;
    std::unique_ptr<APThread> m_worker;
    WorkerFactory m_workerFactory;
    wxMutex m_logMutex;
    std::atomic<bool> m_cancel{false};
    std::atomic<int> m_cancelSignal{0};
    bool m_firstLine = true;
    GuiBridge m_bridge;
    wxWeakRef<wxSplitterWindow> m_splitter;
};

// The one frame of the process; set by its constructor, cleared by its destructor.
extern std::atomic<MainFrame*> g_mainFrame;

// The console-control handler of the window (platform/ConsoleControl.h). While a run is going on
// a stop signal does what "Cancel" does, without asking: the run stops and puts back what it
// changed, then the window closes and the process ends with status 128 + the signal. Without a run
// (or a window) the signal ends the process as it would have. Runs on the signal-reading thread;
// only posts to the window.
bool StopWindowOnSignal(uint32_t controlType);
// The signal that stopped the window's run (its number), 0 when none did.
int WindowStopSignal();

}  // namespace LumoPatch
