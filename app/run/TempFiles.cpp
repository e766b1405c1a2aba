// Where a run keeps its package copies and unpack folders. The patcher may run as root and the
// temporary folder may be shared, so nothing there has a predictable name: the run makes one
// private folder (mkdtemp, 0700) below the parent the disk-space check chose, every unpack folder
// is a mkdtemp folder inside it, and a package file is created new, exclusively, without following
// links. The package file keeps its readable name (source "_to_" target ".zip") inside the private
// folder. The whole folder goes when the run ends.
//
// The run folder's name carries its process's owner tag (platform/RunOwner.h): the next run
// removes the folders that killed runs left below the installation, and only those.

#include "app/run/PatchRun.h"

#include "app/core/PatcherOptions.h"
#include "lumo/files/FileUtil.h"
#include "lumo/files/InstallFolder.h"
#include "lumo/text/PathUtil.h"
#include "lumo/text/TextConversion.h"
#include "patch/BuildName.h"
#include "platform/NativePath.h"
#include "platform/RunOwner.h"
#include "platform/TempFolder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace LumoPatch {

namespace {

std::wstring MakePrivateFolder(const std::wstring& parent, const std::string& prefix)
{
    std::string pattern = ToNativePath(parent);
    while (pattern.size() > 1 && pattern.back() == '/')
        pattern.pop_back();
    pattern += "/";
    pattern += prefix;
    pattern += "XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back(0);
    if (!mkdtemp(buffer.data()))
        return std::wstring();
    return FromNativePath(buffer.data());
}

}  // namespace

void PatchRun::RemoveLeftRunFolders()
{
    const std::wstring& installPath = PatcherOptions::Instance().installPath;
    if (installPath.empty())
        return;
    const std::vector<std::wstring> left = LumoUtil::RemoveEndedRunLeftovers(installPath);
    if (left.empty())
        return;
    std::wstring names;
    for (const std::wstring& path : left)
        names += (names.empty() ? L"" : L", ") + path;
    m_host.Log(2, L"Could not remove the temporary folders that interrupted runs left: " + names);
}

std::wstring PatchRun::DefaultTempParent()
{
    return FromNativePath(platform::PrivateTempFolder());
}

bool PatchRun::MakeTempBase()
{
    if (!m_tempBase.empty())
        return true;
    const std::wstring parent = m_tempParent.empty() ? DefaultTempParent() : m_tempParent;
    if (parent.empty())
        return false;
    m_tempBase = MakePrivateFolder(parent, LumoUtil::kRunFolderPrefix + platform::OwnerTag() + "-");
    return !m_tempBase.empty();
}

void PatchRun::RemoveTempBase()
{
    if (!m_tempBase.empty() && !LumoUtil::DeleteDirectory(m_tempBase))
        m_host.Log(2, L"Could not remove the temporary folder " + m_tempBase);
    m_tempBase.clear();
    m_tempDir.clear();
}

bool PatchRun::PrepareTempDirectory(std::wstring& folder)
{
    // Each unpack folder is made fresh below the base, never inside the previous one.
    folder.clear();
    if (MakeTempBase())
        folder = MakePrivateFolder(m_tempBase, "file");
    m_tempDir = folder;
    return !folder.empty();
}

bool PatchRun::MakeTempFilePath(std::wstring& path)
{
    path.clear();
    PatcherOptions& options = PatcherOptions::Instance();
    std::wstring reason;
    // The builds come from the archive, the servers' list or the game's utility; they become a name.
    if (!IsSafeBuildName(options.GetCurrentBuild(), &reason) || !IsSafeBuildName(options.targetVersion, &reason))
    {
        m_host.Log(3, reason);
        return false;
    }
    if (!MakeTempBase())
        return false;
    const std::wstring candidate = LumoUtil::JoinPath(m_tempBase, ToWide(MakePatchName()) + L".zip");
    const std::string native = ToNativePath(candidate);
    // A file of an earlier attempt in this run would be continued or taken as it is: start empty.
    unlink(native.c_str());
    const int fd = open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    close(fd);
    path = candidate;
    return true;
}

}  // namespace LumoPatch
