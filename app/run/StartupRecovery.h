// What the application does first with an installation, before install discovery asks the game's
// utility about it: a patch that was being applied when the patcher was killed or the machine went
// down is finished or rolled back from its journal, so discovery sees a whole build.
#pragma once

#include <string>

namespace LumoPatch {

// Recovers an interrupted patch application in installPath (patch/BackupJournal.h) and tells the
// user through the patch engine's message callback: one level-1 line when something was
// recovered, a level-3 line when recovery could not finish (the journal then stays for the next
// start). True when there was nothing to do or recovery finished. An empty or missing folder is
// nothing to do.
bool RecoverInterruptedPatch(const std::wstring& installPath);

}  // namespace LumoPatch
