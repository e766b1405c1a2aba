// The patch run's body: the checks in their fixed order, then one stage, then the outcome line.

#include "app/run/PatchRun.h"

#include "app/run/DatabaseRebuildNotice.h"
#include "app/run/InstallEntry.h"

#include "app/core/InstalledBuilds.h"
#include "app/core/PatcherOptions.h"
#include "app/core/StartupDecisions.h"
#include "app/core/StringTable.h"
#include "lumo/diagnostics/CrashDumpReader.h"
#include "lumo/net/TransferStall.h"
#include "lumo/text/StringUtil.h"
#include "lumo/text/TextConversion.h"
#include "patch/DatabaseUpdateMark.h"
#include "patch/PatchCallbacks.h"
#include "patch/UninstallLog.h"
#include "patch/WriteAccess.h"

#include <atomic>
#include <chrono>
#include <cwctype>
#include <thread>

namespace LumoPatch {

namespace {

// The run whose host receives the patch engine's callbacks. One run at a time per process: the
// engine's callbacks are process-wide.
std::atomic<PatchRun*> g_activeRun{nullptr};

void ForwardMessage(int level, const std::wstring& text)
{
    if (PatchRun* run = g_activeRun.load())
        run->Host().Log(level, text);
}

bool ForwardKeepGoing()
{
    PatchRun* run = g_activeRun.load();
    return !run || run->Host().KeepGoing();
}

// Points the engine's message and keep-going callbacks at the run's host for as long as it lives.
class EngineCallbackScope
{
public:
    explicit EngineCallbackScope(PatchRun& run)
        : m_setTotal(PatchSetTotalCallback.load()),
          m_keepGoing(PatchKeepGoingCallback.load()),
          m_message(PatchMessageCallback.load())
    {
        g_activeRun = &run;
        SetPatchCallbacks(m_setTotal, ForwardKeepGoing, ForwardMessage);
    }
    ~EngineCallbackScope()
    {
        SetPatchCallbacks(m_setTotal, m_keepGoing, m_message);
        g_activeRun = nullptr;
    }
    EngineCallbackScope(const EngineCallbackScope&) = delete;
    EngineCallbackScope& operator=(const EngineCallbackScope&) = delete;

private:
    PatchSetTotalFunc m_setTotal;
    PatchKeepGoingFunc m_keepGoing;
    PatchMessageFunc m_message;
};

constexpr wchar_t kInstallingLocal[] = L"Installing local patches";
constexpr wchar_t kInstallingRemote[] = L"Installing remote patches";

}  // namespace

RunEnvironment RunEnvironment::Default()
{
    RunEnvironment environment;
    environment.freeDiskSpace = GetFreeDiskSpace;
    environment.sleep = [](uint32_t milliseconds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    };
    return environment;
}

PatchRun::PatchRun(RunHost& host) : PatchRun(host, RunEnvironment::Default()) {}

PatchRun::PatchRun(RunHost& host, RunEnvironment environment) : m_host(host), m_environment(std::move(environment))
{
    const RunEnvironment defaults = RunEnvironment::Default();
    if (!m_environment.freeDiskSpace)
        m_environment.freeDiskSpace = defaults.freeDiskSpace;
    if (!m_environment.sleep)
        m_environment.sleep = defaults.sleep;
}

PatchRun::~PatchRun()
{
    ReleaseAssetDatabase();
    RemoveTempBase();
}

void PatchRun::Log(int level, const std::string& text)
{
    m_host.Log(level, ToWide(text));
}

void PatchRun::Log(int level, const std::wstring& text)
{
    m_host.Log(level, text);
}

bool PatchRun::Run()
{
    EngineCallbackScope callbacks(*this);
    SetResourceLanguageEnglish();
    m_reached.clear();
    m_databaseUpdateStopped = false;
    m_patchCommitted = false;
    m_stopLeaves.clear();
    // A server's stalled time counts within one run: a window's next run gives every server a new start.
    LumoNet::ServerStallLedger::ForRun().Clear();
    UnrecordedFilesReport unrecordedFiles;  // one warning for the whole chain of patches
    // A chain whose database update was cut short has not completed: nothing would redo it.
    const bool ok = RunChecks() && RunStage() && !m_databaseUpdateStopped;
    unrecordedFiles.Report();
    if (!ok && StoppedBySignal())
        ReportStop();
    // A chain that ends early after a patch went in leaves the database to be updated; a stopped
    // update has said so itself.
    if (!ok && m_patchCommitted && !m_databaseUpdateStopped && IsDatabaseUpdateUnfinished(Door()))
        m_host.Log(3, L"The asset database still needs an update for the patches this run installed. " +
                          DatabaseRebuildAdvice(Door()));
    // Whatever the way out, the game's tools get the database back and no temporary file stays.
    ReleaseAssetDatabase();
    RemoveTempBase();
    m_installLock.reset();
    m_host.Log(1, LoadResString(ok ? 162 : 163));
    return ok;
}

bool PatchRun::RunChecks()
{
    // From here on the run works on the resolved folder only, and holds the installation until it
    // ends: a repair or another patcher cannot write there meanwhile.
    std::wstring& installPath = PatcherOptions::Instance().installPath;
    std::wstring reason;
    if (EnterInstallation(installPath, m_installLock, reason) != InstallEntry::Held)
    {
        m_host.Log(3, reason);
        return false;
    }
    // A patch goes only into an installation: nothing is written to a folder that holds none ("/"
    // named by mistake). A repair may bring back a missing utility.
    if (!PatcherOptions::Instance().repair && !HoldsInstallation(Door(), reason))
    {
        m_host.Log(3, reason);
        return false;
    }

    if (!CheckWriteAccess(Door(), &reason))
    {
        // What cannot be written, and why, comes first: privileges are only one of the causes.
        if (!reason.empty())
        {
            reason[0] = std::towupper(reason[0]);  // the reason stands as a line of its own
            m_host.Log(3, reason);
        }
        // More rights cannot help where nobody may write: the box says so instead.
        if (IsOnReadOnlyFileSystem(installPath))
        {
            m_host.ShowMessage(ReadOnlyInstallationText(installPath), LoadResString(134));
            return false;
        }
        m_host.Log(3, LoadResString(154));
        m_host.ShowMessage(LoadResString(132), LoadResString(134));
        return false;
    }
    const OsInfo& os = m_environment.osInfo;
    if (os.isWindows && os.major == 5 && os.minor == 1 && os.servicePackMajor < 3)
    {
        m_host.Log(3, LoadResString(244));
        return false;
    }
    if (!m_environment.hasDirectX9Helper)
    {
        m_host.Log(3, LoadResString(255));
        return false;
    }
    if (!CheckFilesInUse())
    {
        m_host.Log(3, LoadResString(157));
        m_host.ShowMessage(LoadResString(158), LoadResString(159));
        m_host.EnableApply();
        return false;
    }
    return true;
}

bool PatchRun::RunStage()
{
    PatcherOptions& options = PatcherOptions::Instance();
    RemoveLeftRunFolders();
    if (options.repair)
        return RunRepair();
    if (!CheckDiskSpace(m_environment.requiredMegabytes))
    {
        m_host.Log(3, LumoUtil::FormatWString(LoadResString(240).c_str(), static_cast<int>(m_environment.requiredMegabytes)));
        return false;
    }
    if (options.localPatch)
    {
        m_host.Log(0, kInstallingLocal);
        return InstallLocalPatches();
    }
    if (!options.HasPatchServers())
        return false;
    m_host.Log(0, kInstallingRemote);
    return InstallRemotePatches();
}

bool PatchRun::EnterBuild(const std::string& current, const std::string& target)
{
    if (m_reached.empty() || m_reached.back() != current)
        m_reached.push_back(current);
    for (const std::string& build : m_reached)
    {
        if (build == target)
        {
            // A list that leads back to a build already reached would patch for ever.
            m_host.Log(3, L"The patch from " + ToWide(current) + L" leads back to build " + ToWide(target) +
                              L", which this run has already reached; the chain is stopped.");
            return false;
        }
    }
    m_reached.push_back(target);
    return true;
}

void PatchRun::ReportStop()
{
    m_host.Log(3, L"The run was stopped by " + ToWide(SignalName(m_host.StopSignal())) +
                      (m_stopLeaves.empty() ? std::wstring(L".") : m_stopLeaves));
}

void PatchRun::NoteStopLeaves(bool filesPutBack)
{
    const PatcherOptions& options = PatcherOptions::Instance();
    const std::wstring current = ToWide(options.GetCurrentBuild());
    const std::wstring patch = L"the patch from " + current + L" to " + ToWide(options.targetVersion);
    const std::wstring state = L": the installation is at build " + current + L".";
    m_stopLeaves = filesPutBack ? L"; every file " + patch + L" had changed was put back" + state
                                : L" before " + patch + L" changed any file" + state;
}

void PatchRun::LogBuildList()
{
    std::string builds;
    for (const std::string& build : PatcherOptions::Instance().builds)
        builds += build + " ";
    m_host.Log(0, LumoUtil::FormatWString(L"Getting next version (%s)", ToWide(builds).c_str()));
}

}  // namespace LumoPatch
