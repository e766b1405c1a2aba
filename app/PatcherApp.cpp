#include "app/PatcherApp.h"

#include "app/MainFrame.h"
#include "app/OnExitProgram.h"
#include "app/core/CommandLine.h"
#include "lumo/diagnostics/CrashHandlers.h"
#include "lumo/net/CPSocketManager.h"
#include "lumo/diagnostics/SystemLog.h"
#include "platform/ConsoleControl.h"
#include "platform/LastError.h"
#include "platform/Utf8.h"
#include "platform/WriteFully.h"

#include <wx/msgdlg.h>

#include <signal.h>
#include <unistd.h>

namespace LumoPatch {

namespace {

// The fatal-exception path's hook: the same end as OnFatalException, signal-safe.
void EndAfterFatalException()
{
    WriteMinidump();
    static const char kLine[] = "Fatal Error: Unhandled Exception\n";
    platform::WriteFully(STDERR_FILENO, kLine, sizeof(kLine) - 1);
    _exit(255);
}

}  // namespace

KestinPatcherApp::KestinPatcherApp()
{
    wxDISABLE_ASSERTS_IN_RELEASE_BUILD();
    // Nothing in the program sends this command; it would keep the onexit program from starting.
    Bind(wxEVT_MENU, [this](wxCommandEvent&) { m_settings.onExitGiven = false; }, 1);
}

bool KestinPatcherApp::Initialize(int& argc, wxChar** argv)
{
    std::vector<std::wstring> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.push_back(argv[i]);
    std::string usage = platform::WideToUtf8(UsageWhenAsked(arguments));
    if (!usage.empty()) {
        if (usage.back() != '\n')
            usage += '\n';
        platform::WriteFully(STDERR_FILENO, usage.data(), usage.size());
        m_usageShown = true;
    }
    return wxApp::Initialize(argc, argv);
}

bool KestinPatcherApp::OnInit()
{
    // A peer that goes away mid-transfer is an error to report, not a reason to die.
    signal(SIGPIPE, SIG_IGN);
    InstallCrashHandlers(true);
    // After the crash handlers' own console-control handler, so that this one is asked first: a
    // logout or shutdown during a run rolls it back before the process ends.
    if (!platform::SetConsoleControlHandler(StopWindowOnSignal, true))
        SystemLogPrintf("Stop signals end the patcher at once: their handler cannot be installed (error %u)",
                        platform::GetLastError());
    // Without it the window still shows; each connection tries again and names the reason.
    std::string socketError;
    m_socketLayerHeld = AcquireSocketManager(1, &socketError);
    if (!m_socketLayerHeld)
        SystemLogPrintf("The patcher cannot connect to servers for now: %s", socketError.c_str());
    BuildMinidumpName(L"patcher");
    SetFatalExceptionHandler(EndAfterFatalException);
    // File names are UTF-8 whatever the locale, as everywhere else in the program.
    wxConvFileName = &wxConvUTF8;

    std::unique_ptr<platform::Elevator> elevator = platform::MakeElevator();
    StartupServices services;
    for (int i = 0; i < argc; ++i)
        services.arguments.push_back(argv[i].ToStdWstring());
    services.executablePath = OwnExecutablePath();
    services.workingFolder = CurrentWorkingFolder();
    services.elevator = elevator.get();
    services.usageShown = m_usageShown;
    services.accessChecks = ProcessAccessChecks();
    services.messageBox = [](const std::wstring& text, const std::wstring& caption) {
        wxMessageBox(text, caption, wxOK | wxICON_ERROR, nullptr);
    };
    services.changeDirectory = [](const std::wstring& folder) { wxSetWorkingDirectory(folder); };
    services.runOnExitProgram = [](const AppSettings& settings) { RunOnExitProgram(settings); };
    if (RunStartup(m_settings, services))
        return true;
    // A deliberate end (an elevated copy did the work, or there is no access): no crash dump.
    if (m_socketLayerHeld)
        ReleaseSocketManager();
    m_socketLayerHeld = false;
    PrepareNormalExit();
    return false;
}

int KestinPatcherApp::OnRun()
{
    const int status = wxApp::OnRun();
    if (const int signalNumber = WindowStopSignal())
        return 128 + signalNumber;
    return status;
}

int KestinPatcherApp::OnExit()
{
    // A logout or shutdown starts nothing.
    if (!WindowStopSignal())
        RunOnExitProgram();
    if (m_socketLayerHeld)
        ReleaseSocketManager();
    m_socketLayerHeld = false;
    PrepareNormalExit();
    return 0;
}

void KestinPatcherApp::OnFatalException()
{
    EndAfterFatalException();
}

void KestinPatcherApp::RunOnExitProgram()
{
    RunOnExitProgram(m_settings);
}

void KestinPatcherApp::RunOnExitProgram(const AppSettings& settings)
{
    if (settings.onExitGiven)
        StartOnExitProgram(settings.onExitCommand, settings.programFolder);
}

}  // namespace LumoPatch
