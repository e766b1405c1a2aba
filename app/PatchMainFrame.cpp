#include "app/PatchMainFrame.h"

#include "app/DownloadEta.h"
#include "app/PatchThread.h"
#include "app/WebPageView.h"
#include "app/core/CommandLine.h"
#include "app/core/PatcherOptions.h"
#include "app/core/InstalledBuilds.h"
#include "app/core/StringTable.h"
#include "app/run/InstallEntry.h"
#include "lumo/files/InstallDoor.h"
#include "app/resources/lumoIcon.xpm"
#include "lumo/text/PathUtil.h"
#include "lumo/text/StringUtil.h"
#include "lumo/text/TextConversion.h"
#include "patch/EmbeddedPatchArchive.h"
#include "patch/PatchCallbacks.h"
#include "patch/PatchMessages.h"
#include "webview/ExternalLink.h"

#include <wx/button.h>
#include <wx/gauge.h>
#include <wx/icon.h>
#include <wx/scrolwin.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/utils.h>

#include <algorithm>
#include <cstdlib>

namespace LumoPatch {

namespace {

WorkerFactory WithDefaultWorker(WorkerFactory factory)
{
    if (factory)
        return factory;
    return [](MainFrame* frame) -> APThread* { return new PatchThread(frame); };
}

}  // namespace

wxString PatcherPageUrl()
{
    if (const char* url = std::getenv("SOLLEX_PAGE_URL"); url && *url)
        return wxString::FromUTF8(url);
    // The maker's page server is fixed when the product is packaged; until then a reserved name
    // that never reaches anyone else's server.
    return "http://www.kestin.example/patcher/patcher.html";
}

PatchMainFrame::PatchMainFrame(PatchMainFrameSeams seams)
    : MainFrame("Kestin Patcher ", WithDefaultWorker(std::move(seams.workerFactory))),
      m_timer(this, kIdTimer),
      m_pickSollexExe(std::move(seams.pickSollexExe))
{
    Bind(wxEVT_TIMER, &PatchMainFrame::OnTimer, this, kIdTimer);
    Bind(wxEVT_BUTTON, &PatchMainFrame::OnBrowse, this, kIdBrowseButton);

    m_panel = new wxScrolledWindow(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxHSCROLL | wxVSCROLL, "panel");
    m_panel->SetScrollRate(FromDIP(5), FromDIP(5));
    m_mainSizer = new wxBoxSizer(wxVERTICAL);

    m_page = seams.pageViewFactory ? seams.pageViewFactory(m_panel, kIdWebView, *this)
                                   : MakeWebPageView(m_panel, kIdWebView, *this);
    m_page->LoadUrl(PatcherPageUrl());
    m_page->HideScrollbars();
    m_mainSizer->Add(m_page->GetWindow(), 0, wxEXPAND | wxALL, FromDIP(5));

    const PatcherOptions& options = PatcherOptions::Instance();
    m_pathLabel = new wxStaticText(m_panel, wxID_STATIC, LoadResString(options.repair ? 172 : 171), wxDefaultPosition,
                                   wxDefaultSize, 0, "staticText");
    m_pathBox = new wxTextCtrl(m_panel, wxID_ANY, options.installPath, wxDefaultPosition,
                               FromDIP(wxSize(215, -1)), 0, wxDefaultValidator, "text");
    m_browse = new wxButton(m_panel, kIdBrowseButton, "...", wxDefaultPosition, FromDIP(wxSize(30, -1)),
                            wxBU_EXACTFIT, wxDefaultValidator, "button");
    auto* row = new wxBoxSizer(wxHORIZONTAL);
    row->Add(m_pathLabel, 0, wxALIGN_CENTER_VERTICAL | wxALL, FromDIP(5));
    row->Add(m_pathBox, 1, wxEXPAND | wxALL, FromDIP(5));
    // The right margin lines the button up with the log view below.
    row->Add(m_browse, 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, FromDIP(5));
    m_mainSizer->Add(row, 0, wxEXPAND | wxALL, FromDIP(5));
    m_panel->SetSizer(m_mainSizer);

    m_timer.Start(500);
    InitFrame();

    // The path box only ever displays the install path.
    m_pathBox->Disable();
    m_browse->Disable();
    m_page->GetWindow()->Hide();
    m_mainSizer->Layout();
}

PatchMainFrame::~PatchMainFrame()
{
    m_timer.Stop();
    // The page's window goes before the adapter that receives its events.
    m_panel->Destroy();
    m_panel = nullptr;
    m_page.reset();
}

void PatchMainFrame::InitFrame()
{
    CreateControls();
    SetIcon(wxIcon(lumoIcon_xpm));
    ApplyButton()->Enable();
    ShowRunMode();
}

void PatchMainFrame::ShowRunMode()
{
    const bool repair = PatcherOptions::Instance().repair;
    m_pathLabel->SetLabel(LoadResString(repair ? 172 : 171));
    ApplyButton()->SetLabel(repair ? LoadResString(173) : std::wstring(PatchMessages::kApplyUpdate));
    m_mainSizer->Layout();
}

void PatchMainFrame::ShowInstallPath()
{
    if (m_pathBox)
        m_pathBox->ChangeValue(PatcherOptions::Instance().installPath);
}

void PatchMainFrame::ClearLog()
{
    Host().ClearLog();
}

void PatchMainFrame::OnApply(wxCommandEvent& event)
{
    if (!StoreNewWorker())
        return;
    if (!HoldInstallationForRun()) {
        DropUnstartedWorker();
        m_installLock.reset();
        m_browse->Enable(ApplyButton()->IsEnabled());
        return;
    }
    MainFrame::OnApply(event);
    m_browse->Enable(ApplyButton()->IsEnabled());
}

bool PatchMainFrame::HoldInstallationForRun()
{
    if (m_installLock)
        return true;  // held since discovery: the builds it found are still those
    PatcherOptions& options = PatcherOptions::Instance();
    std::wstring reason;
    switch (EnterInstallation(options.installPath, m_installLock, reason)) {
    case InstallEntry::Held:
        break;
    case InstallEntry::InUse:
        // Another run holds it now; "Apply Update" stays usable for when it has ended.
        Host().Log(3, reason);
        return false;
    case InstallEntry::JournalLeft:
        // What a patch or repair killed while the window waited left could not be put right (the
        // recovery said why); "Apply Update" stays usable for when it has been.
        Host().Log(3, reason);
        return false;
    case InstallEntry::NotUsable:
        return true;  // the run says why it cannot be used
    }
    if (!options.localPatch || options.repair)
        return true;  // the remote chain asks for the build itself, under the run's hold
    return BuildsStillCurrent();
}

bool PatchMainFrame::BuildsStillCurrent()
{
    PatcherOptions& options = PatcherOptions::Instance();
    const std::vector<std::string> discovered = options.builds;
    options.ClearBuilds();
    const bool read = QueryInstallationBuilds(*m_installLock->Door(), Host());
    const std::vector<std::string> installed = options.builds;
    options.builds = discovered;
    if (!read) {
        Host().Log(3, L"The installation's build could not be read again before patching; nothing was changed.");
        return false;
    }
    std::vector<std::string> applicable;
    for (const std::string& version : g_embeddedPatchArchive.GetSourceVersions())
        if (std::find(installed.begin(), installed.end(), version) != installed.end() &&
            std::find(applicable.begin(), applicable.end(), version) == applicable.end())
            applicable.push_back(version);
    if (applicable == discovered)
        return true;

    std::wstring now;
    for (const std::string& build : installed)
        now += (now.empty() ? L"" : L", ") + ToWide(build);
    Host().Log(3, LumoUtil::FormatWString(
                      L"The installation is no longer at build %s (it reports %s now): another program has "
                            L"changed it since it was checked. Nothing was changed; the patches are looked for again.",
                            ToWide(options.GetCurrentBuild()).c_str(), now.empty() ? L"no build" : now.c_str()));
    // What applies now, found as at start-up; "Apply Update" is usable only when something does.
    ApplyButton()->Disable();
    DiscoverPatches(m_archiveFile, false);
    return false;
}

void PatchMainFrame::OnBrowse(wxCommandEvent&)
{
    if (IsDebug()) {
        PatchSendMessage(0, L"");
        PatchSendMessage(0, L"-------------------------");
        PatchSendMessage(0, L"");
    } else {
        ClearLog();
    }
    DiscoverPatches(OwnExecutablePath(), true);
    m_pathBox->ChangeValue(PatcherOptions::Instance().installPath);
}

void PatchMainFrame::OnTimer(wxTimerEvent&)
{
    if (IsCancelled() && !Worker()) {
        Close();
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!m_firstTick)
        m_firstTick = now;
    const double elapsed = std::chrono::duration<double>(now - *m_firstTick).count();
    auto* thread = dynamic_cast<PatchThread*>(Worker());
    if (!IsRunning() || !thread) {
        Gauge()->SetValue(0);
        return;
    }
    if (m_progressDone)
        return;
    const PatchProgress progress = thread->GetProgress();
    SetGauge(0, static_cast<int>(progress.percent));
    if (progress.total > 0)
        StatusText()->SetLabel(DownloadEtaText(progress.done, progress.total, elapsed));
    if (progress.percent >= 100) {
        StatusText()->SetLabel(wxEmptyString);
        m_progressDone = true;
    }
}

bool PatchMainFrame::OnBeforeNavigate2(const wxString& url)
{
    if (url == LoadResString(176) || !m_openLinksExternally)
        return false;
    // The link never opens in the window; only web links leave it, and not from an elevated copy.
    OpenLinkExternally(url);
    return true;
}

void PatchMainFrame::OnProgressChange(long progress, long progressMax)
{
    if (progress == progressMax && progressMax > 0 && !m_page->GetWindow()->IsShown()) {
        m_page->GetWindow()->Show();
        m_mainSizer->Layout();
    }
    m_page->HideScrollbars();
}

void PatchMainFrame::SetPathText(const wxString& path)
{
    m_pathBox->ChangeValue(path);
}

}  // namespace LumoPatch
