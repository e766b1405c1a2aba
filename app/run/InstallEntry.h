// The entry of every run that writes an installation (the window's start and its "Apply Update",
// patch-run, repair-tool, patch-apply): the installation folder the user named is resolved once
// (lumo/files/InstallFolder.h), the installation lock is taken (which removes what ended runs left),
// and what an interrupted patch or a stopped repair left is put right from their journals (and the
// database note's temporary twin a kill left is settled, patch/DatabaseUpdateMark.h), before
// anything in the folder is read or written. This is the one place that takes an installation.
// The lock lasts as long as the caller keeps it.
#pragma once

#include "lumo/files/InstallFolder.h"

#include <memory>
#include <string>

namespace LumoPatch {

enum class InstallEntry {
    Held,         // installPath is the resolved folder, lock holds it and no journal is left in it
    NotUsable,    // the folder cannot be used (missing, a file, ...): error says why, installPath as given
    InUse,        // another run holds the installation (error names it), or it cannot be locked
    JournalLeft,  // a journal could not be followed and stays: the recovery's lines said why, error says
                  // that nothing may be changed; the lock is let go
};

// Resolves installPath, takes the lock and, when this process did not hold it already, recovers
// the patch journal and then the repair journal (app/run/StartupRecovery.h), telling the user
// through the patch engine's message callback. A process that holds the lock already recovered
// at its own take, and a journal that appeared since is its own run's: it is not touched.
InstallEntry EnterInstallation(std::wstring& installPath, std::unique_ptr<LumoUtil::InstallLock>& lock,
                               std::wstring& error);

}  // namespace LumoPatch
