#include "app/run/DatabaseRebuildNotice.h"

#include "app/core/InstalledBuilds.h"
#include "lumo/files/InstallDoor.h"
#include "patch/DatabaseUpdateMark.h"
#include "patch/PatchCallbacks.h"

namespace LumoPatch {

std::wstring DatabaseRebuildAdvice(const LumoUtil::InstallDoor& door)
{
    // The utility and its folder under the spellings the installation has ("bin/sollexutil.exe"
    // from a case-insensitive disk): the user must find the file by the name given.
    const std::wstring utility = InstallToolPath(door, kDatabaseUtilityName);
    const size_t slash = utility.find_last_of(L"/\\");
    return L"The asset database has not been rebuilt: please repair it manually from Asset Desk, or run \"" +
           utility.substr(slash + 1) + L" repairdatabase patcher\" in " + utility.substr(0, slash) + L".";
}

bool ReportUnfinishedDatabaseUpdate(const LumoUtil::InstallDoor* door)
{
    if (door == nullptr || !IsDatabaseUpdateUnfinished(*door))
        return false;
    PatchSendMessage(PATCH_LEVEL_ERROR, L"An earlier patch run ended before its asset database update did. " +
                                            DatabaseRebuildAdvice(*door) +
                                            L" (Said at every start until a database update by this patcher has "
                                            L"ended, or " + DatabaseUpdateMarkPath(door->Root()) + L" is deleted.)");
    return true;
}

}  // namespace LumoPatch
