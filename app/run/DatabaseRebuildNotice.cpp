#include "app/run/DatabaseRebuildNotice.h"

#include "app/core/InstalledBuilds.h"
#include "patch/DatabaseUpdateMark.h"
#include "patch/PatchCallbacks.h"

namespace LumoPatch {

std::wstring DatabaseRebuildAdvice(const std::wstring& installPath)
{
    // The utility and its folder under the spellings the installation has ("bin/sollexutil.exe"
    // from a case-insensitive disk): the user must find the file by the name given.
    const std::wstring utility = InstallToolPath(installPath, kDatabaseUtilityName);
    const size_t slash = utility.find_last_of(L"/\\");
    return L"The asset database has not been rebuilt: please repair it manually from Asset Desk, or run \"" +
           utility.substr(slash + 1) + L" repairdatabase patcher\" in " + utility.substr(0, slash) + L".";
}

bool ReportUnfinishedDatabaseUpdate(const std::wstring& installPath)
{
    if (!IsDatabaseUpdateUnfinished(installPath))
        return false;
    PatchSendMessage(PATCH_LEVEL_ERROR, L"An earlier patch run ended before its asset database update did. " +
                                            DatabaseRebuildAdvice(installPath) +
                                            L" (Said at every start until a database update by this patcher has "
                                            L"ended, or " + DatabaseUpdateMarkPath(installPath) + L" is deleted.)");
    return true;
}

}  // namespace LumoPatch
