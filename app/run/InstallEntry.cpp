#include "app/run/InstallEntry.h"

namespace LumoPatch {

InstallEntry EnterInstallation(std::wstring& installPath, std::unique_ptr<LumoUtil::InstallLock>& lock,
                               std::wstring& error)
{
    std::wstring resolved;
    if (!LumoUtil::ResolveInstallFolder(installPath, resolved, error))
        return InstallEntry::NotUsable;
    installPath = resolved;
    lock = LumoUtil::InstallLock::Acquire(resolved, error);
    return lock ? InstallEntry::Held : InstallEntry::InUse;
}

}  // namespace LumoPatch
