#include "app/run/StartupRecovery.h"

#include <vector>

#include "app/run/RepairRun.h"
#include "lumo/files/InstallDoor.h"
#include "lumo/net/RepairJournal.h"
#include "patch/BackupJournal.h"
#include "patch/PatchCallbacks.h"

namespace LumoPatch {

namespace {

using LumoUtil::InstallDoor;
using LumoUtil::InstallFileKind;

// Whether a journal stands at name, as a regular file. Something else there (a link, a folder, a
// FIFO) was not written by the patcher: it is said, with what to do, and false returned.
bool JournalStandsAsAFile(const InstallDoor& door, const wchar_t* name, bool& present)
{
    const InstallFileKind kind = door.Look(name).kind;
    present = kind != InstallFileKind::Missing;
    if (kind == InstallFileKind::Missing || kind == InstallFileKind::Regular)
        return true;
    std::string ignored;
    bool there = false;
    std::wstring error;
    door.ReadOwnFile(name, ignored, there, error);  // its error says what stands there and to delete it
    PatchSendMessage(PATCH_LEVEL_ERROR, error.empty() ? door.Root() + L"/" + name + L" is not a regular file; delete it "
                                                                                    L"and start again."
                                                      : error);
    return false;
}

bool RecoverPatchJournal(const std::wstring& installPath)
{
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

bool RecoverRepairJournal(const InstallDoor& door)
{
    std::vector<RepairRecoveryLine> lines;
    const bool recovered = RecoverStoppedRepair(door, lines, {kRepairLeavesAlone});
    for (const RepairRecoveryLine& line : lines)
        PatchSendMessage(line.level, line.text);
    return recovered;
}

}  // namespace

bool RecoverInterruptedPatch(const InstallDoor& door)
{
    const std::wstring& installPath = door.Root();
    bool patchPresent = false, repairPresent = false;
    const bool patchIsFile = JournalStandsAsAFile(door, LumoUtil::kPatchJournalName, patchPresent);
    const bool repairIsFile = JournalStandsAsAFile(door, LumoUtil::kRepairJournalName, repairPresent);
    const bool patch = patchIsFile && (!patchPresent || RecoverPatchJournal(installPath));
    const bool repair = repairIsFile && (!repairPresent || RecoverRepairJournal(door));
    return patch && repair;
}

}  // namespace LumoPatch
