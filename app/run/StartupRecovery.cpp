#include "app/run/StartupRecovery.h"

#include <vector>

#include "lumo/files/FileUtil.h"
#include "lumo/net/RepairJournal.h"
#include "lumo/text/PathUtil.h"
#include "patch/BackupJournal.h"
#include "patch/PatchCallbacks.h"

namespace LumoPatch {

namespace {

bool RecoverPatchJournal(const std::wstring& installPath)
{
    if (installPath.empty() || !LumoUtil::FileExists(LumoUtil::JoinPath(installPath, kPatchJournalName)))
        return true;
    std::wstring error;
    if (!BackupJournal::Recover(installPath, error))
    {
        PatchSendMessage(PATCH_LEVEL_ERROR, L"A patch of " + installPath +
                                                L" was interrupted and its recovery could not finish: " + error);
        return false;
    }
    PatchSendMessage(PATCH_LEVEL_STATUS, L"A patch of " + installPath +
                                             L" was interrupted; the installation has been brought back to a "
                                             L"complete build.");
    return true;
}

bool RecoverRepairJournal(const std::wstring& installPath)
{
    std::vector<RepairRecoveryLine> lines;
    const bool recovered = RecoverStoppedRepair(installPath, lines);
    for (const RepairRecoveryLine& line : lines)
        PatchSendMessage(line.level, line.text);
    return recovered;
}

}  // namespace

bool RecoverInterruptedPatch(const std::wstring& installPath)
{
    const bool patch = RecoverPatchJournal(installPath);
    return RecoverRepairJournal(installPath) && patch;
}

}  // namespace LumoPatch
