#include "app/Startup.h"

#include "app/run/DatabaseRebuildNotice.h"
#include "app/run/InstallEntry.h"

#include "app/APThread.h"
#include "app/LogToFrame.h"
#include "app/core/CommandLine.h"
#include "app/core/InstallLocation.h"
#include "app/core/StringTable.h"
#include "lumo/files/InstallFolder.h"
#include "lumo/text/PathUtil.h"
#include "patch/PatchCallbacks.h"

#include <wx/app.h>
#include <wx/button.h>

namespace LumoPatch {

namespace {

// The folder part of an absolute file path, without its final separator ("/" stays "/").
std::wstring FolderOf(const std::wstring& file)
{
    const size_t slash = file.find_last_of(L"/\\");
    if (slash == std::wstring::npos)
        return L"";
    return slash == 0 ? file.substr(0, 1) : file.substr(0, slash);
}

void ShowPrivilegesBox(StartupServices& services)
{
    services.messageBox(LoadResString(132), LoadResString(134));
}

}  // namespace

bool RunStartup(AppSettings& settings, StartupServices& services)
{
    PatcherOptions& options = PatcherOptions::Instance();
    settings.programFolder = FolderOf(services.executablePath);

    // The command line: a refused one is taken over in nothing (the parser printed why).
    const CommandLine commandLine = ParseCommandLine(services.arguments, !services.usageShown);
    if (commandLine.parsed) {
        settings.admin = commandLine.admin;
        settings.debug = commandLine.debug;
        settings.onExitGiven = commandLine.onexit.has_value();
        settings.onExitCommand = commandLine.onexit.value_or(L"");
    }
    // Relative paths are resolved here, against the folder the user started in, before the
    // working folder changes; lines for the window wait until it exists.
    for (const auto& [level, text] : ApplyCommandLine(commandLine, options, services.workingFolder))
        LogToFrame(level, text);
    if (options.installPath.empty())
        options.installPath = ReadProductInstallPath(L"SollexSimulator", L"Sollex");
    // Resolved once, here, before the working folder changes: the access test, the recovery, the
    // discovery and the run all see the same folder. One that cannot be used is reported by
    // discovery or the run's checks.
    std::wstring resolved, unusable;
    const bool usable = LumoUtil::ResolveInstallFolder(options.installPath, resolved, unusable);
    if (usable)
        options.installPath = resolved;
    if (!settings.programFolder.empty())
        services.changeDirectory(settings.programFolder);

    switch (CheckAccessOrElevate(options, settings.admin, settings.debug, services.executablePath,
                                 *services.elevator, services.accessChecks)) {
    case StartupAccess::Granted:
        break;
    case StartupAccess::ElevatedCopyRan:
        services.runOnExitProgram(settings);
        return false;
    case StartupAccess::ElevationFailed:
        ShowPrivilegesBox(services);
        services.runOnExitProgram(settings);
        return false;
    case StartupAccess::Denied:
        ShowPrivilegesBox(services);
        return false;
    case StartupAccess::ReadOnlyFileSystem:
        services.messageBox(ReadOnlyInstallationText(options.installPath), LoadResString(134));
        return false;
    }

    SetPatchCallbacks(nullptr, KeepPatchingCallback, LogToFrame);
    auto* frame = new PatchMainFrame(services.frameSeams);
    frame->Show();
    wxTheApp->SetTopWindow(frame);
    frame->SetDebug(settings.debug);
    // Paint the window before discovery runs the game's utility; input waits for the event loop.
    wxTheApp->SafeYieldFor(nullptr, wxEVT_CATEGORY_UI);

    // Recovery and discovery read and write the installation: they hold it as a run does. A run
    // that starts at once keeps that hold; otherwise it is let go until "Apply Update", which takes
    // it again and asks for the build anew.
    std::unique_ptr<LumoUtil::InstallLock> installLock;
    {
        std::wstring reason;
        const InstallEntry entry =
            usable ? EnterInstallation(options.installPath, installLock, reason) : InstallEntry::NotUsable;
        if (entry == InstallEntry::InUse) {
            PatchSendMessage(3, reason);
        } else if (entry == InstallEntry::JournalLeft) {
            // A patch that a kill or a crash interrupted is finished or rolled back, and a stopped
            // repair put right, when the installation is taken, so that discovery asks it for a
            // whole build. When that cannot finish, the installation is half restored: nothing is
            // asked of it and nothing is offered (the recovery said why).
            frame->ShowRunMode();
            frame->ShowInstallPath();
            frame->StopTimer();
            frame->ApplyButton()->Disable();
            PatchSendMessage(1, LoadResString(163));
            return true;
        } else {
            ReportUnfinishedDatabaseUpdate(installLock ? installLock->Door().get() : nullptr);
            frame->DiscoverPatches(services.executablePath, false);
        }
    }
    // Discovery clears repair when an embedded patch applies: the labels follow.
    frame->ShowRunMode();
    frame->ShowInstallPath();
    frame->StopTimer();

    switch (DecideRun(options)) {
    case RunDecision::StartNow: {
        // Another process holding the installation was said above: "Apply Update" stays usable for
        // when it has let go.
        if (usable && !installLock)
            break;
        frame->KeepInstallationHeld(std::move(installLock));
        wxCommandEvent none;
        frame->OnApply(none);
        break;
    }
    case RunDecision::WaitForApply:
        installLock.reset();
        break;
    case RunDecision::NothingToDo:
        frame->ApplyButton()->Disable();
        PatchSendMessage(3, kNoValidOperation);
        break;
    }
    return true;
}

}  // namespace LumoPatch
