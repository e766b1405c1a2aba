// What the user is told about an asset-database rebuild that did not end: at the moment it is cut
// short, and at every start of the patcher until a rebuild by the patcher ends
// (patch/DatabaseUpdateMark.h keeps the fact in the installation).
#pragma once

#include <string>

namespace LumoUtil {
class InstallDoor;
}

namespace LumoPatch {

// How to rebuild the database by hand, for the installation the door holds: "The asset database has
// not been rebuilt: please repair it manually from Asset Desk, or run "<utility> repairdatabase
// patcher" in <its bin folder>.", the utility and its folder named as the installation spells
// them ("sollexutil.exe" in "Bin" when those are the entries there).
std::wstring DatabaseRebuildAdvice(const LumoUtil::InstallDoor& door);

// When an earlier rebuild in the installation did not end: says so with the advice, at level 3,
// through the patch engine's message callback, and returns true. False (and nothing said)
// otherwise, and when door is null (the installation was not taken: there is nothing to look at).
bool ReportUnfinishedDatabaseUpdate(const LumoUtil::InstallDoor* door);

}  // namespace LumoPatch
