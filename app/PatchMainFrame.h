// The one window of the patcher: the main frame with a web page at the top, the install-path row
// (label, path box, "..." to locate the game by hand), a 500 ms timer that shows download progress
// in the status line while start-up goes on, and the patch thread of a run.
#pragma once

#include "app/MainFrame.h"
#include "app/PageView.h"
#include "app/core/InstallDiscovery.h"
#include "lumo/files/InstallFolder.h"

#include <wx/timer.h>

#include <atomic>
#include <chrono>
#include <optional>

class wxButton;
class wxStaticText;
class wxTextCtrl;

namespace LumoPatch {

enum : int {
    kIdTimer = 1,
    kIdBrowseButton = 15,
    kIdWebView = 501,
};

// "Locate Sollex.exe...": the game's executable the user picks, or nullopt when cancelled.
std::optional<std::wstring> PickSollexExeWithDialog(wxWindow* parent);

// The page shown at the top; SOLLEX_PAGE_URL replaces it (tests and demos stay on this machine).
wxString PatcherPageUrl();

// What the window is built with; start-up passes the real ones, tests their doubles.
struct PatchMainFrameSeams {
    WorkerFactory workerFactory;          // empty: the patch thread of a run
    PageViewFactory pageViewFactory;      // empty: the embedded browser (MakeWebPageView)
    PickSollexExe pickSollexExe;          // empty: PickSollexExeWithDialog
};

class PatchMainFrame : public MainFrame, private PageViewEvents {
public:
    explicit PatchMainFrame(PatchMainFrameSeams seams = {});
    ~PatchMainFrame() override;

    void InitFrame();
    // The path label and the apply button's label for a repair or a patch run.
    void ShowRunMode();
    // Shows the options' install path.
    void ShowInstallPath();
    // Empties the log view; any thread.
    void ClearLog();
    // Builds the worker of a run and starts it; browse is usable exactly when "Apply Update" is.
    // The installation is held from here to the end of the run. Unless it has been held since
    // discovery (KeepInstallationHeld), its build is asked again first: a run starts only on the
    // build discovery chose its patches for. A build that moved on is reported and discovery runs
    // again; an installation another process holds is reported and nothing starts.
    void OnApply(wxCommandEvent& event) override;
    // Start-up hands over the hold that recovery and discovery had, for a run that starts at once.
    void KeepInstallationHeld(std::unique_ptr<LumoUtil::InstallLock> lock) { m_installLock = std::move(lock); }
    bool HoldsInstallation() const { return m_installLock != nullptr; }
    // Looks for patches appended to archiveFile and the installation they apply to, asking the
    // user for the game's folder when askUser is set or no folder is known. True when at least
    // one patch applies.
    bool DiscoverPatches(const std::wstring& archiveFile, bool askUser);
    // From start-up once it has decided; nothing starts the timer again.
    void StopTimer() { m_timer.Stop(); }

    void SetPathText(const wxString& path) override;
    void SetProgressDone(bool done) override { m_progressDone = done; }
    bool IsProgressDone() const { return m_progressDone.load(); }

    wxTextCtrl* PathBox() const { return m_pathBox; }
    wxButton* BrowseButton() const { return m_browse; }
    wxStaticText* PathLabel() const { return m_pathLabel; }
    PageView& Page() { return *m_page; }
    bool IsTimerRunning() const { return m_timer.IsRunning(); }

    // The page's events (public for the views that deliver them).
    bool OnBeforeNavigate2(const wxString& url) override;
    void OnProgressChange(long progress, long progressMax) override;

protected:
    void RunEnded() override { m_installLock.reset(); }

private:
    void OnBrowse(wxCommandEvent& event);
    void OnTimer(wxTimerEvent& event);
    // Takes the installation for a run and checks the build it is at; false when no run may start
    // (the reason is in the log).
    bool HoldInstallationForRun();
    // Whether the installation still holds the builds discovery found patches for; when not, says
    // so and runs discovery again.
    bool BuildsStillCurrent();

    std::atomic<bool> m_progressDone{false};
    wxTextCtrl* m_pathBox = nullptr;
    wxStaticText* m_pathLabel = nullptr;
    std::unique_ptr<PageView> m_page;
    wxTimer m_timer;
    wxButton* m_browse = nullptr;
    bool m_openLinksExternally = false;  // never set in this program
    std::optional<std::chrono::steady_clock::time_point> m_firstTick;
    PickSollexExe m_pickSollexExe;
    std::wstring m_archiveFile;  // the file the last discovery read its patches from
    std::unique_ptr<LumoUtil::InstallLock> m_installLock;  // from "Apply Update" to the end of the run
};

}  // namespace LumoPatch
