// The entry of every run, patch or repair: the installation folder the user named is resolved once
// (lumo/files/InstallFolder.h) and the installation lock is taken before anything in the folder is
// read or written. The lock lasts as long as the caller keeps it.
#pragma once

#include "lumo/files/InstallFolder.h"

#include <memory>
#include <string>

namespace LumoPatch {

enum class InstallEntry {
    Held,       // installPath is the resolved folder and lock holds it
    NotUsable,  // the folder cannot be used (missing, a file, ...): error says why, installPath as given
    InUse,      // another run holds the installation (error names it), or it cannot be locked
};

InstallEntry EnterInstallation(std::wstring& installPath, std::unique_ptr<LumoUtil::InstallLock>& lock,
                               std::wstring& error);

}  // namespace LumoPatch
