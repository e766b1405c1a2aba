// Installing one patch package: unpack it into a fresh folder, have the patch engine apply it with
// the crash marker set, and clear the marker only when the engine succeeded.

#include "app/run/PatchRun.h"
#include "app/run/ProgressThreads.h"

#include "app/core/PatcherOptions.h"
#include "app/core/StringTable.h"
#include "lumo/files/FileUtil.h"
#include "lumo/text/StringUtil.h"
#include "lumo/text/TextConversion.h"
#include "patch/ApplyPatchPackage.h"
#include "patch/DatabaseUpdateMark.h"
#include "lumo/buffers/LumoDataBufferFile.h"
#include "patch/PatchPackage.h"
#include "platform/Registry.h"

namespace LumoPatch {

namespace {

constexpr wchar_t kProductKey[] = L"Software\\Kestin\\Products\\SollexSimulator";
constexpr wchar_t kPatchingValue[] = L"IsPatching";
constexpr wchar_t kLauncherName[] = L"LumoLauncher.exe";

}  // namespace

int PatchRun::ApplyPatch(const std::wstring& packagePath, const std::wstring& shownName)
{
    LumoDataBufferFile file(packagePath, LumoDataBufferFile::MODE_READ);
    return InstallPackage(file.IsOpen() ? &file : nullptr, shownName.empty() ? packagePath : shownName);
}

int PatchRun::InstallPackage(LumoDataBuffer* package, const std::wstring& packageName)
{
    std::wstring folder;
    if (!PrepareTempDirectory(folder))
    {
        m_host.Log(3, LoadResString(146));
        return 2;
    }
    ADBHackProgressThread progress(m_host, m_environment.progressStepMs,
                                   EstimatePatchMinutes(package ? package->GetSize() : 0));
    std::string threadError;
    if (!progress.Start(&threadError))
        m_host.Log(0, L"The patch's progress is not shown: " + ToWide(threadError));

    int result = 10;
    if (m_host.KeepGoing())
    {
        m_host.Log(1, LoadResString(149));
        std::wstring error = packageName + L": cannot be opened for reading";
        if (!package || !UnpackPatchPackage(*package, packageName, folder, &error))
        {
            m_host.Log(3, LoadResString(150));
            if (!error.empty())
                m_host.Log(3, error);
        }
        else if (m_host.KeepGoing())
        {
            PatcherOptions& options = PatcherOptions::Instance();
            m_host.Log(1, LumoUtil::FormatWString(LoadResString(151).c_str(), ToWide(options.GetCurrentBuild()).c_str(),
                                                  ToWide(options.targetVersion).c_str()));
            if (RunFilePatcher(folder))
                result = 0;
            else if (!StoppedBySignal())
                m_host.Log(3, LoadResString(152) + ToWide(MakePatchName()));
        }
    }

    if (!LumoUtil::DeleteDirectory(folder))
        m_host.Log(2, L"Could not remove the temporary folder " + folder);
    m_tempDir.clear();
    progress.Stop();
    if (result != 0)
        m_host.SetGauge(1, 1);
    return result;
}

bool PatchRun::RunFilePatcher(const std::wstring& packageFolder)
{
    SetPatchingFlag();
    m_progress = 0.0f;
    SetState(STATE_INSTALLING);
    const std::wstring& installPath = PatcherOptions::Instance().installPath;
    m_host.SetPathText(installPath);
    bool putBack = false;
    // The note goes in before the patch commits: from the COMMIT record on, a kill leaves the
    // patch in, and the note must be there with it.
    bool noted = false;
    const auto noteFirst = [&] { noted = NoteDatabaseOutOfDate(); };
    if (ApplyPatchPackage(installPath, packageFolder, kLauncherName, &putBack, noteFirst))
    {
        ClearPatchingFlag();
        m_patchCommitted = true;
        return true;
    }
    // The commit itself failed: the patch is put back (or will be by the next start), so a note
    // this patch wrote says what is not so.
    std::wstring error;
    if (noted && !ClearDatabaseUpdateMark(Door(), error))
        m_host.Log(2, L"The note that the asset database needs an update stays, though the patch was not "
                      L"installed: " + error);
    if (putBack)
        NoteStopLeaves(true);
    else
        m_stopLeaves.clear();
    m_host.SetGauge(1, 1);
    SetPatchingFlag();
    return false;
}

bool PatchRun::NoteDatabaseOutOfDate()
{
    // From the first patch on, the asset database no longer matches the installed files until an
    // update ends: the installation keeps that fact, so a kill or a failed later patch of this
    // chain cannot make it forgotten. A note already there (an earlier patch of this run, or an
    // earlier run's update that did not end) says it already.
    if (m_patchCommitted || IsDatabaseUpdateUnfinished(Door()))
        return false;
    std::wstring error;
    if (MarkDatabaseUpdateBegun(Door(), error))
        return true;
    m_host.Log(2, L"The note that the asset database needs an update could not be written: " + error);
    return false;
}

bool SetPatchingFlag()
{
    platform::RegistryKey key;
    return key.Open(platform::RegistryHive::LocalMachine, kProductKey, platform::kKeySetValue) == 0 &&
           key.SetDWord(kPatchingValue, 1) == 0;
}

bool ClearPatchingFlag()
{
    platform::RegistryKey key;
    return key.Open(platform::RegistryHive::LocalMachine, kProductKey, platform::kKeySetValue) == 0 &&
           key.DeleteValue(kPatchingValue) == 0;
}

bool IsPatchingFlagSet()
{
    platform::RegistryKey key;
    uint32_t value = 0;
    return key.Open(platform::RegistryHive::LocalMachine, kProductKey, platform::kKeyQueryValue) == 0 &&
           key.GetDWord(kPatchingValue, value) == 0 && value != 0;
}

}  // namespace LumoPatch
