// The two checks of the run that need the machine: whether the game's tools have the asset
// database (the owner block shared with them), and whether the disks have room for patching.

#include "app/run/PatchRun.h"

#include "app/core/PatcherOptions.h"
#include "app/core/StringTable.h"
#include "lumo/files/FreeSpace.h"
#include "lumo/text/PathUtil.h"
#include "platform/NativePath.h"
#include "sollex/IPCDatabase.h"

namespace LumoPatch {

namespace {

constexpr wchar_t kAssetDatabaseFile[] = L"assets.sdx";

}  // namespace

bool PatchRun::CheckFilesInUse()
{
    if (m_holdsDatabase)
        return true;
    const std::string path =
        ToNativePath(LumoUtil::JoinPath(PatcherOptions::Instance().installPath, kAssetDatabaseFile));
    for (uint32_t attempt = 1; attempt <= m_environment.filesInUseAttempts; ++attempt)
    {
        if (IPCInit(path.c_str(), false))
        {
            // Exactly one attacher (this process), and no other exclusive holder.
            if (IPCGetAttachCount() == 1 && IPCEnterExclusive())
            {
                m_holdsDatabase = true;
                return true;
            }
            IPCShutdown();
        }
        m_environment.sleep(m_environment.filesInUseIntervalMs);
    }
    return false;
}

void PatchRun::ReleaseAssetDatabase()
{
    if (!m_holdsDatabase)
        return;
    IPCLeaveExclusive();
    IPCShutdown();
    m_holdsDatabase = false;
}

bool PatchRun::CheckDiskSpace(uint32_t megabytes)
{
    m_host.Log(1, LoadResString(241));
    const std::wstring& installPath = PatcherOptions::Instance().installPath;
    RemoveTempBase();
    m_tempParent = m_environment.tempParent;
    const uint64_t required = static_cast<uint64_t>(megabytes) * 1048576u;

    uint64_t tempFree = 0;
    const bool tempKnown = m_environment.freeDiskSpace(m_tempParent.empty() ? DefaultTempParent() : m_tempParent, tempFree);
    // A short temporary volume moves the unpacking below the installation, which must have the room anyway.
    if (tempKnown && tempFree < required)
        m_tempParent = installPath;

    uint64_t installFree = 0;
    if (!m_environment.freeDiskSpace(installPath, installFree))
    {
        m_host.Log(1, LoadResString(242));
        return true;
    }
    if (installFree < required)
        return false;
    if (!tempKnown)
        m_host.Log(1, LoadResString(242));
    return true;
}

bool GetFreeDiskSpace(const std::wstring& folder, uint64_t& freeBytes)
{
    return LumoUtil::GetFreeDiskSpace(folder, freeBytes);
}

}  // namespace LumoPatch
