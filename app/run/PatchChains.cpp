// The two chains: patches from the archive appended to the program, and patches from the servers'
// "patches.txt". Each applies one patch after another, moving the current build to each patch's
// target, until no patch starts at the current build; then the game's utility rebuilds the asset
// database once.

#include "app/run/PatchRun.h"

#include "app/core/InstalledBuilds.h"
#include "app/core/PatcherOptions.h"
#include "app/core/StringTable.h"
#include "lumo/files/FileUtil.h"
#include "lumo/net/LumoURL.h"
#include "lumo/text/PathUtil.h"
#include "lumo/text/TextConversion.h"
#include "patch/EmbeddedPatchArchive.h"

namespace LumoPatch {

namespace {

// The cancel check of a download: the user's cancel, through the host.
class PatchDownloadCallback : public DownloadURLCallback
{
public:
    explicit PatchDownloadCallback(RunHost& host) : m_host(host) {}
    bool IsCancelled() override { return !m_host.KeepGoing(); }

private:
    RunHost& m_host;
};

}  // namespace

bool PatchRun::InstallLocalPatches()
{
    PatcherOptions& options = PatcherOptions::Instance();
    for (;;)
    {
        LogBuildList();
        const std::string current = options.GetCurrentBuild();
        const std::string target = g_embeddedPatchArchive.GetTargetVersion(current);
        if (target.empty())
        {
            if (options.PopCurrentBuild())
                continue;
            m_host.Log(1, LoadResString(185));
            options.targetVersion.clear();
            UpdateAssetDatabase();
            return true;
        }
        if (!EnterBuild(current, target))
            return false;
        options.targetVersion = target;
        NoteStopLeaves(false);
        if (!ApplyEmbeddedPatch())
            return false;
        m_stopLeaves.clear();
        options.targetVersion.clear();
        options.PopCurrentBuild();
        options.SetCurrentBuild(target);
    }
}

bool PatchRun::ApplyEmbeddedPatch()
{
    // The package is unpacked where it lies in the program file: a copy of it would only cost a
    // write and a flush of its whole size.
    const std::string current = PatcherOptions::Instance().GetCurrentBuild();
    std::unique_ptr<LumoDataBuffer> package = g_embeddedPatchArchive.OpenPatch(current);
    if (!package)
    {
        m_host.Log(3, LoadResString(178));
        m_host.Log(3, g_embeddedPatchArchive.GetLastErrorText());
        return false;
    }
    const int result = InstallPackage(package.get(), L"the patch from " + ToWide(current) + L" appended to this program");
    if (result != 0)
        return false;
    m_host.PatchInstalled();
    return true;
}

bool PatchRun::InstallRemotePatches()
{
    PatcherOptions& options = PatcherOptions::Instance();
    m_host.Log(1, LoadResString(141));
    PatchDownloadCallback callback(m_host);
    if (!FetchPatchList(options.patchServers, &callback))
        return false;
    QueryInstallationBuilds(Door(), m_host);
    if (options.builds.empty())
    {
        // No build to look for: finding "no patch" for it would end the run as if it had succeeded.
        m_host.Log(3, L"The installation's build could not be read, so no patch can be chosen for it; nothing was changed.");
        return false;
    }
    for (;;)
    {
        LogBuildList();
        const std::string current = options.GetCurrentBuild();
        const PatchEntry* entry = FindPatch(current);
        if (!entry)
        {
            m_host.Log(1, LoadResString(143) + ToWide(current));
            if (options.PopCurrentBuild())
                continue;
            options.targetVersion.clear();
            UpdateAssetDatabase();
            return true;
        }
        const std::string target = entry->targetVersion;
        const std::wstring url = entry->dataUrl;
        if (!EnterBuild(current, target))
            return false;
        options.targetVersion = target;
        NoteStopLeaves(false);

        if (!QueryRemoteSize(url, &callback))
        {
            if (callback.IsCancelled())
                return false;
            m_host.Log(2, LoadResString(144));
        }
        const uint64_t expected = GetProgress().total;
        std::wstring path;
        if (!MakeTempFilePath(path))
        {
            m_host.Log(3, LoadResString(145));
            return false;
        }
        m_host.Log(1, LoadResString(147));
        if (!Download(url, path, &callback))
        {
            if (!StoppedBySignal())
                m_host.Log(3, LoadResString(148));
            return false;
        }
        // Short is cut off; when the server told the size, anything else is not that package either.
        uint64_t size = 0;
        if (LumoUtil::GetFileSize(path, size) != LUMORESULT_OK || size < expected || (expected > 0 && size != expected))
        {
            m_host.Log(3, LoadResString(148));
            return false;
        }
        // Named by where it came from (its password hidden): the temporary file is gone when the
        // user reads the line.
        const int result =
            ApplyPatch(path, L"the patch downloaded from " + ToWide(LumoInetInternal::RedactURL(ToNarrow(url))));
        LumoUtil::DeleteFile(path);
        if (result != 0)
            return false;
        m_stopLeaves.clear();
        options.targetVersion.clear();
        options.PopCurrentBuild();
        options.SetCurrentBuild(target);
        m_host.PatchInstalled();
    }
}

}  // namespace LumoPatch
