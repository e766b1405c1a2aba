// The asset-database update at the end of a chain: the run lets go of the database, and the game's
// utility rebuilds it ("repairdatabase patcher") on a thread of its own that relays the utility's
// output to the log, while a progress thread fills the second half of the gauge. A cancel (or the
// time limit) kills the utility; reading its output ends when the utility has ended, even when a
// service it started still holds the pipe. Both threads run under the crash guard; when the system
// gives no thread for the utility, the update is reported as not done and the run goes on.
//
// An update that was stopped before it ended (a cancel or stop signal, the time limit, or the
// utility killed by a signal from outside) leaves the database half rebuilt, and no later run
// redoes it (the installation is at its last build, so no patch applies any more): the run then
// ends as not completed, with a level-3 line that says how to rebuild the database.

#include "app/run/PatchRun.h"
#include "app/run/ProgressThreads.h"

#include "app/run/DatabaseRebuildNotice.h"
#include "app/run/InstallEntry.h"

#include "app/core/InstalledBuilds.h"
#include "app/core/PatcherOptions.h"
#include "platform/NativePath.h"
#include "lumo/os/ChildProcess.h"
#include "lumo/os/GuardedThread.h"
#include "lumo/text/PathUtil.h"
#include "lumo/text/StringUtil.h"
#include "lumo/text/TextConversion.h"
#include "patch/DatabaseUpdateMark.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace LumoPatch {

namespace {

constexpr wchar_t kUpdatingDatabase[] = L"\nUpdating Sollex asset database... (this may take several minutes)";
constexpr wchar_t kLaunchFailed[] =
    L"Failed to launch SollexUtil to repair the Sollex asset database.\nPlease repair the database manually from Asset Desk.";
constexpr char kRepairArguments[] = "repairdatabase patcher";
constexpr uint32_t kWaitForever = 0xFFFFFFFF;
constexpr uint32_t kStoppedExitCode = 1;

// Exit codes 129 to 192: the process layer's way of saying a signal ended the utility.
bool EndedBySignal(int code)
{
    return code > 128 && code <= 128 + 64;
}

class ADBRepairThread
{
public:
    ADBRepairThread(RunHost& host, std::wstring installPath, std::shared_ptr<LumoUtil::InstallDoor> door)
        : m_host(host), m_installPath(std::move(installPath)), m_door(std::move(door)),
          m_utility(InstallToolPath(*m_door, kDatabaseUtilityName, &m_utilityError))
    {
    }
    ~ADBRepairThread() { Join(); }

    bool Start(std::string* error) { return m_thread.Start([this] { Body(); }, error); }
    void Join() { m_thread.Join(); }

    // Waits up to `milliseconds` for the thread's work to end; true once it has.
    bool WaitDone(uint32_t milliseconds)
    {
        std::unique_lock<std::mutex> hold(m_lock);
        return m_ended.wait_for(hold, std::chrono::milliseconds(milliseconds), [this] { return m_done; });
    }

    // True once the thread has ended after the update was stopped before it ended.
    bool WasStopped()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_stoppedEarly;
    }

    // Stops the utility: under the lock, so a process that has been closed is never touched.
    void Stop()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_running = false;
        if (m_process)
            m_process->Terminate(kStoppedExitCode);
    }

private:
    void Body()
    {
        Work();
        std::lock_guard<std::mutex> hold(m_lock);
        m_done = true;
        m_ended.notify_all();
    }

    void Work()
    {
        if (!m_utilityError.empty())
        {
            m_host.Log(3, kLaunchFailed);
            m_host.Log(3, m_utilityError);
            return;
        }
        std::string error;
        std::unique_ptr<OS::Process> process = 
            OS::Process::Start(m_utility, kRepairArguments, std::wstring(), &error, /*ownProcessGroup=*/true);
        if (!process)
        {
            m_host.Log(3, kLaunchFailed);
            m_host.Log(3, FromNativePath(error));
            return;
        }
        // From here the database may be half rebuilt until the utility ends: the installation
        // keeps that fact, so that a stop or a kill of this process is not forgotten.
        std::wstring markError;
        if (!MarkDatabaseUpdateBegun(*m_door, markError))
            m_host.Log(0, L"An interrupted database update could not be noted in the installation: " + markError);
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_process = process.get();
            if (!m_running)
                m_process->Terminate(kStoppedExitCode);
        }
        std::wstring chunk;
        while (process->ReadOutputText(chunk))
        {
            if (!chunk.empty())
                m_host.Log(1, chunk);
            chunk.clear();
        }
        process->Wait(kWaitForever);
        const int code = process->GetExitCode();
        bool stopped = false;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_process = nullptr;
            stopped = !m_running;
        }
        process->Close();
        if (stopped || EndedBySignal(code))
        {
            {
                std::lock_guard<std::mutex> hold(m_lock);
                m_stoppedEarly = true;
            }
            m_host.Log(3, (stopped ? std::wstring(L"The asset database update was stopped before it ended. ")
                                   : LumoUtil::FormatWString(L"SollexUtil was ended by signal %d before it finished. ",
                                                             code - 128)) +
                              DatabaseRebuildAdvice(*m_door));
        }
        else
        {
            // The rebuild has ended, however it went.
            if (!ClearDatabaseUpdateMark(*m_door, markError))
                m_host.Log(3, L"The note of an unfinished database update stays: " + markError);
            // The run goes on as completed: the utility did its work to its end and says how it went.
            if (code != 0)
                m_host.Log(3, LumoUtil::FormatWString(L"SollexUtil ended with exit code %d: the asset database may "
                                                      L"need to be repaired from Asset Desk.",
                                                      code));
        }
    }

    RunHost& m_host;
    const std::wstring m_installPath;
    const std::shared_ptr<LumoUtil::InstallDoor> m_door;  // the run's take: the note is written through it
    std::wstring m_utilityError;  // why the utility's name could not be found (two spellings)
    const std::wstring m_utility;
    std::mutex m_lock;
    std::condition_variable m_ended;
    bool m_running = true;
    bool m_done = false;
    bool m_stoppedEarly = false;
    OS::Process* m_process = nullptr;  // guarded by m_lock; set while the utility runs
    OS::GuardedThread m_thread;
};

}  // namespace

bool PatchRun::UpdateAssetDatabase()
{
    ReleaseAssetDatabase();
    m_host.Log(1, kUpdatingDatabase);

    std::string threadError;
    ADBRepairProgressThread progress(m_host, m_environment.progressStepMs);
    if (!progress.Start(&threadError))
        m_host.Log(0, L"The database update's progress is not shown: " + ToWide(threadError));
    // The rebuild writes its note into the installation: called on its own, outside a run's
    // checks, it takes the installation itself.
    std::wstring takeError;
    if (!m_installLock && EnterInstallation(PatcherOptions::Instance().installPath, m_installLock, takeError) !=
                              InstallEntry::Held) {
        m_host.Log(3, kLaunchFailed);
        m_host.Log(3, takeError);
        progress.Stop();
        return true;
    }
    ADBRepairThread repair(m_host, PatcherOptions::Instance().installPath, m_installLock->Door());
    if (!repair.Start(&threadError))
    {
        // Nothing was started that could be waited for or stopped; the user must know the
        // database was not rebuilt.
        m_host.Log(3, kLaunchFailed);
        m_host.Log(0, ToWide(threadError));
        progress.Stop();
        return true;
    }

    const auto started = std::chrono::steady_clock::now();
    const auto limit = std::chrono::seconds(m_environment.databaseUpdateLimitSeconds);
    bool limitReported = false;
    // A cancel takes effect within a quarter of a second; the end of the update is seen at once.
    while (!repair.WaitDone(250))
    {
        if (!m_host.KeepGoing())
            repair.Stop();
        else if (m_environment.databaseUpdateLimitSeconds != 0 && !limitReported &&
                 std::chrono::steady_clock::now() - started > limit)
        {
            limitReported = true;
            m_host.Log(3, LumoUtil::FormatWString(L"SollexUtil did not finish within %u seconds and was stopped.",
                                                  m_environment.databaseUpdateLimitSeconds));
            repair.Stop();
        }
    }
    repair.Stop();
    repair.Join();
    progress.Stop();
    if (repair.WasStopped())
        m_databaseUpdateStopped = true;
    return !repair.WasStopped();
}

}  // namespace LumoPatch
