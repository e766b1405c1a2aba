#include "app/run/DatabaseRebuildNotice.h"

#include "lumo/text/PathUtil.h"
#include "patch/DatabaseUpdateMark.h"
#include "patch/InstallFileOps.h"
#include "patch/PatchCallbacks.h"
#include "patch/PatchTool.h"

namespace LumoPatch {

std::wstring DatabaseRebuildAdvice(const std::wstring& installPath)
{
    // The folder under the spelling the installation has ("Bin" from a case-insensitive disk).
    std::wstring bin, ignored;
    if (!FindFixedName(installPath, kPatchToolFolder, bin, ignored))
        bin = LumoUtil::JoinPath(installPath, kPatchToolFolder);
    return L"The asset database has not been rebuilt: please repair it manually from Asset Desk, or run "
           L"\"SollexUtil.exe repairdatabase patcher\" in " +
           bin + L".";
}

bool ReportUnfinishedDatabaseUpdate(const std::wstring& installPath)
{
    if (!IsDatabaseUpdateUnfinished(installPath))
        return false;
    PatchSendMessage(PATCH_LEVEL_ERROR, L"The asset database update of an earlier patch run was stopped before it "
                                        L"ended. " + DatabaseRebuildAdvice(installPath) +
                                            L" (Said at every start until a database update by this patcher has "
                                            L"ended, or " + DatabaseUpdateMarkPath(installPath) + L" is deleted.)");
    return true;
}

}  // namespace LumoPatch
