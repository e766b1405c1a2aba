// One run of the patcher without a window: the pre-flight checks, then exactly one of the repair
// run, the local chain (patches appended to the program) or the remote chain (patch servers),
// with the asset-database update. The patch thread of the window runs one on its own thread; the
// headless driver runs one on the main thread. Everything the user sees goes through the RunHost.
//
// The run works on the process-wide PatcherOptions (install path, build list, target, flags,
// servers) and the process-wide archive reader g_embeddedPatchArchive, which start-up and install
// discovery have filled. While Run() is going the patch engine's callbacks report to this run's
// host (the previous callbacks are put back afterwards).
//
// Temporary files: every package copy and unpack folder lives below one private base folder of
// the run (see CheckDiskSpace), each unpack folder made with mkdtemp, each package file created
// new without following links; nothing is left there when a patch has been installed.
#pragma once

#include "app/core/RunHost.h"
#include "lumo/files/InstallDoor.h"
#include "lumo/files/InstallFolder.h"
#include "patch/PatchTask.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace LumoPatch {

// The version of the system the run is on. Only Windows has versions the checks look at; this
// system reports "not Windows" (never the kernel's release numbers, whose 5.1 would pass for XP).
struct OsInfo
{
    bool isWindows = false;
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t servicePackMajor = 0;
};

// What the run takes from the machine, and its limits; tests replace parts of it.
struct RunEnvironment
{
    OsInfo osInfo;                          // this system
    bool hasDirectX9Helper = true;          // the game's 3D helper library is always there here
    // Free bytes for the caller on the volume of a folder (GetFreeDiskSpace).
    std::function<bool(const std::wstring& folder, uint64_t& freeBytes)> freeDiskSpace;
    // The pause between two files-in-use attempts.
    std::function<void(uint32_t milliseconds)> sleep;
    uint32_t requiredMegabytes = 4096;
    uint32_t filesInUseAttempts = 5;
    uint32_t filesInUseIntervalMs = 2000;
    // Parent of the run's private temporary folders; empty: the process's private temporary
    // folder (platform/TempFolder.h).
    std::wstring tempParent;
    // Real time of one step of the progress threads (their clock advances 500 ms a step).
    uint32_t progressStepMs = 500;
    // The asset-database update is ended after this long (0: never).
    uint32_t databaseUpdateLimitSeconds = 3600;

    static RunEnvironment Default();
};

class PatchRun : public KestinPatchTask {
public:
    explicit PatchRun(RunHost& host);
    PatchRun(RunHost& host, RunEnvironment environment);
    ~PatchRun() override;

    // The whole run up to its last log line ("Patching completed." or "Patching aborted.").
    // Returns the outcome. The caller then tells its host the run has finished.
    bool Run();

    // The patch task's log lines go to the host.
    void Log(int level, const std::string& text) override;
    void Log(int level, const std::wstring& text) override;

    RunHost& Host() { return m_host; }

    // The steps of the run, each usable on its own (the options and the archive as above).

    // True when this process became the exclusive holder of the asset database (attempts and
    // pauses from the environment). The hold is kept until ReleaseAssetDatabase.
    bool CheckFilesInUse();
    void ReleaseAssetDatabase();
    bool HoldsAssetDatabase() const { return m_holdsDatabase; }

    // False only when the install volume is known to have less than the given space. Chooses the
    // base of the temporary files: the temporary folder, or the install folder when the
    // temporary volume is short.
    bool CheckDiskSpace(uint32_t megabytes);

    bool InstallLocalPatches();
    // Installs the appended patch from the current build, read in place in the program file.
    bool ApplyEmbeddedPatch();
    bool InstallRemotePatches();
    // Repair mode (the repair client run).
    bool RunRepair();

    // Installs one package file: 0, 2 (no unpack folder) or 10 (any other failure, or cancelled).
    // shownName names it in messages (the path when empty): a download's temporary file is gone
    // once the run has failed, its URL is what the user can act on.
    int ApplyPatch(const std::wstring& packagePath, const std::wstring& shownName = {});
    // A fresh, empty, private unpack folder below the temporary base.
    bool PrepareTempDirectory(std::wstring& folder);
    // The package file of the current patch below the temporary base, created new and empty.
    bool MakeTempFilePath(std::wstring& path);
    bool RunFilePatcher(const std::wstring& packageFolder);

    // Lets the game's tools at the database again and has the game's utility rebuild it. False
    // when the update was stopped before it ended (cancelled, timed out, or the utility killed):
    // the run then ends as not completed.
    bool UpdateAssetDatabase();

    // The run's temporary base (empty before CheckDiskSpace and outside a run).
    const std::wstring& TempBase() const { return m_tempBase; }
    // The unpack folder of the patch being installed (empty between patches).
    const std::wstring& TempDir() const { return m_tempDir; }
    const RunEnvironment& Environment() const { return m_environment; }
    // The progress of the work that has no download: 0 when a patch's files are being applied,
    // the repair client's during a repair, 1 once a repair has succeeded. Any thread.
    float Progress() const { return m_progress.load(); }

private:
    // ApplyPatch on a package stream (null: the package could not be opened); packageName names it
    // in messages.
    int InstallPackage(LumoDataBuffer* package, const std::wstring& packageName);
    bool RunChecks();
    bool RunStage();
    static std::wstring DefaultTempParent();
    bool MakeTempBase();
    void RemoveTempBase();
    // Removes the run folders that runs since ended (killed) left below the installation and in
    // the temporary folder.
    void RemoveLeftRunFolders();
    // The chain guard: false (with a level-3 line) when target was reached before in this run.
    bool EnterBuild(const std::string& current, const std::string& target);
    void LogBuildList();
    // Whether a stop signal has ended the run: the failure it causes is then no failure to name.
    bool StoppedBySignal() { return m_host.StopSignal() != 0; }
    // Says which signal stopped the run and what that left of the patch under way.
    void ReportStop();
    // The first patch of the run is about to commit: notes in the installation that the asset
    // database needs an update (patch/DatabaseUpdateMark.h). True when this call wrote the note
    // (none stood there).
    bool NoteDatabaseOutOfDate();
    // The patch from the current build to the target has not changed a file yet, or its files
    // have all been put back: what a stop then leaves.
    void NoteStopLeaves(bool filesPutBack);

    RunHost& m_host;
    RunEnvironment m_environment;
    bool m_holdsDatabase = false;
    bool m_databaseUpdateStopped = false; // this run's database update ended before its end
    bool m_patchCommitted = false;        // this run has installed a patch
    std::wstring m_tempParent;   // chosen by CheckDiskSpace
    std::wstring m_tempBase;     // the run's private folder below it, made on first use
    std::wstring m_tempDir;
    std::vector<std::string> m_reached; // builds this run has patched from or to
    // What a stop leaves of the patch under way, the tail of ReportStop's line: set when a patch
    // starts and when its files were put back, empty when none is under way or not all went back.
    std::wstring m_stopLeaves;
    std::atomic<float> m_progress{0.0f};
    std::unique_ptr<LumoUtil::InstallLock> m_installLock; // held from the checks to the end of Run
    // The door of the take the checks made: everything from the checks on reaches the
    // installation through it.
    LumoUtil::InstallDoor& Door() const { return *m_installLock->Door(); }
};

// Free bytes available to the caller on the volume of folder; false when folder is empty or its
// volume cannot be asked (a missing folder).
bool GetFreeDiskSpace(const std::wstring& folder, uint64_t& freeBytes);

// The crash marker "IsPatching" (HKLM "Software\Kestin\Products\SollexSimulator", DWORD 1): set
// while a patch is applied and after a failed one. The key is opened, never created.
bool SetPatchingFlag();
bool ClearPatchingFlag();
// Whether the marker is set now.
bool IsPatchingFlagSet();

}  // namespace LumoPatch
