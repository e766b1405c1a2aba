// What a run does first when it takes an installation (app/run/InstallEntry.h), before install
// discovery asks the game's utility about it: a patch that was being applied when the patcher was
// killed or the machine went down is finished or rolled back from its journal, so discovery sees a
// whole build; a repair that was stopped has the files it was making longer cut back, and the user
// is told to run it again.
#pragma once

#include <string>

#include "lumo/files/InstallDoor.h"

namespace LumoPatch {

// Recovers an interrupted patch application (patch/BackupJournal.h) in the installation behind
// door, the door of the caller's take of it (InstallLock::Door), and tells the user through the patch engine's message callback: one level-1 line when something was
// recovered, a level-3 line when recovery could not finish (the journal then stays for the next
// start). Then puts right what a stopped repair left (lumo/net/RepairJournal.h): a level-2 line
// saying that the repair must be run again, a level-1 line for each file cut back, level-3 lines
// for what it could not follow. A journal that is not a regular file (a link, a folder, a FIFO)
// is not read: a level-3 line says what stands there and to delete it. True when there was
// nothing to do or both recoveries finished.
// The caller holds the installation lock.
bool RecoverInterruptedPatch(const LumoUtil::InstallDoor& door);

}  // namespace LumoPatch
