// What a patch run tells whoever shows it. The run (the patch thread's body, the chains, the
// database update and the repair run) calls these from its own thread and never touches a widget;
// the patch main frame implements them by queueing events to the GUI thread, the headless driver
// and the tests implement them directly.
#pragma once

#include <string>

namespace LumoPatch {

class RunHost {
public:
    virtual ~RunHost() = default;

    // One line of the run's log at a message level (0 detail, 1 status, 2 warning, 3 error).
    virtual void Log(int level, const std::wstring& text) = 0;
    // Empties the log view (a new run or a browse starts from a clean log).
    virtual void ClearLog() = 0;
    // The gauge: its range and position.
    virtual void SetGauge(int range, int value) = 0;
    // "Apply Update" usable again (after a check failed that the user can fix and retry).
    virtual void EnableApply() = 0;
    // The installation path shown in the window.
    virtual void SetPathText(const std::wstring& path) = 0;
    // Whether the download progress text is finished with (the window stops updating it).
    virtual void SetProgressDone(bool done) = 0;
    // A modal box with an OK button; returns once the user has answered it.
    virtual void ShowMessage(const std::wstring& text, const std::wstring& caption) = 0;
    // One patch has been installed (the close confirmation warns from now on).
    virtual void PatchInstalled() = 0;
    // The run has ended, whatever its outcome; called exactly once, last.
    virtual void Finished() = 0;
    // False once the user has confirmed cancelling (or the thread is asked to end).
    virtual bool KeepGoing() = 0;
    // The stop signal (SIGTERM, SIGINT, SIGHUP, SIGQUIT) that ended KeepGoing, 0 when none did
    // (the user's own cancel, or no stop at all). Any thread.
    virtual int StopSignal() { return 0; }
};

// A host that shows nothing but its log: the drivers that run without a window. A message box
// becomes an error line "<caption>: <text>", answered with its default.
class LogOnlyRunHost : public RunHost {
public:
    void ClearLog() override {}
    void SetGauge(int, int) override {}
    void EnableApply() override {}
    void SetPathText(const std::wstring&) override {}
    void SetProgressDone(bool) override {}
    void ShowMessage(const std::wstring& text, const std::wstring& caption) override { Log(3, caption + L": " + text); }
    void PatchInstalled() override {}
    void Finished() override {}
    bool KeepGoing() override { return true; }
};

}  // namespace LumoPatch
