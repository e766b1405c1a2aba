#pragma once
// Applies one unpacked patch package to an installation.
//
// The package folder holds the three file lists at its root (patch/FileLists.h) and the new and
// difference files under "data". The driver reads the lists, locks the installation and brings
// back anything an interrupted earlier application left (patch/BackupJournal.h), checks every
// listed path before anything changes, tells the set-total callback how many records follow, runs
// the stages in their fixed order (added, deleted, patched files, then the uninstall log) and
// always ends with the three finishing steps, which drop the ".pbk" backups after a success or
// put the installation back after a failure.
//
// Checks made before anything changes (each refusal is a level-3 message and false):
// - every listed path is valid and stays inside the installation (ResolvePatchTarget);
// - no file is named twice, in one list or across lists, ignoring ASCII case;
// - no list names the uninstall log, which the last step rewrites under its own backup.

#include <functional>
#include <string>

// installDir: the installation folder; packageDir: the unpacked package; launcherName: the game
// launcher's file name, whose patch is applied last ("" keeps the list's order). True when every
// stage and the uninstall-log update succeeded and the result is on the disk. putBack, when given,
// says after a failure whether the installation is as it was: every file put back and the journal
// gone (false when a file could not be restored, and the next start tries again).
// beforeCommit, when given, runs once every stage has succeeded and before the COMMIT record is
// written (counted as one action for the test kill hook, patch/InstallFileOps.h): what must be in
// the installation whenever the patch is (a note the caller keeps there) is written then, since
// from the COMMIT record on a kill leaves the patch in.
bool ApplyPatchPackage(const std::wstring& installDir, const std::wstring& packageDir,
                       const std::wstring& launcherName, bool* putBack = nullptr,
                       const std::function<void()>& beforeCommit = nullptr);

#include "patch/PatchFileRecord.h"

// The patched list's first record whose path holds launcherName (case-sensitive substring) moves
// to the end; the others keep their order. An empty name changes nothing.
void MoveLauncherLast(PatchFileRecordArray& records, const std::wstring& launcherName);
