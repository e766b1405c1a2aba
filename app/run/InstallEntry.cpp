#include "app/run/InstallEntry.h"

#include <unistd.h>

#include "lumo/files/InstallDoor.h"

#include "app/run/StartupRecovery.h"
#include "patch/DatabaseUpdateMark.h"
#include "patch/PatchCallbacks.h"

namespace LumoPatch {

namespace {

bool HeldByThisProcess(const std::wstring& folder)
{
    return LumoUtil::InstallLock::HeldDoor(folder) != nullptr;
}

}  // namespace

InstallEntry EnterInstallation(std::wstring& installPath, std::unique_ptr<LumoUtil::InstallLock>& lock,
                               std::wstring& error)
{
    std::wstring resolved;
    if (!LumoUtil::ResolveInstallFolder(installPath, resolved, error))
        return InstallEntry::NotUsable;
    installPath = resolved;
    const bool heldAlready = HeldByThisProcess(resolved);
    lock = LumoUtil::InstallLock::Acquire(resolved, error);
    if (!lock)
        return InstallEntry::InUse;
    if (heldAlready)
        return InstallEntry::Held;
    if (RecoverInterruptedPatch(*lock->Door()))
    {
        // The database note's temporary twin, left by a kill before its rename, is settled with
        // the rest of what a killed run left: nothing else would ever remove it.
        std::wstring twinError;
        if (!SettleDatabaseUpdateMarkTwin(*lock->Door(), twinError))
            PatchSendMessage(PATCH_LEVEL_WARNING, twinError);
        return InstallEntry::Held;
    }
    // A patch or a repair over what was left would be undone, or mixed with it, by the next start.
    lock.reset();
    error = L"Nothing in " + resolved +
            L" was changed: what an interrupted patch or repair left there must be put right first.";
    return InstallEntry::JournalLeft;
}

}  // namespace LumoPatch
