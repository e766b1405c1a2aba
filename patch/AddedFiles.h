#pragma once
// The first stage of applying a patch, and the finishing step it shares with the patched files.
//
// AddFiles copies each listed file from the package's "data" folder into the installation. A file
// that stands there already is first moved to its ".pbk" backup (MoveToBackup, journalled); the
// new content is written beside the target and renamed over it, so the target is never seen half
// written. Every file handled leaves a BackupPair (backup empty for a file that was new).
//
// FinishAddedFiles / FinishPatchedFiles end the application: on success they remove the backups;
// on failure they put every file back, each with one atomic rename of its backup over it (a file
// that was new is removed), and report each file they cannot restore.

#include <string>
#include <vector>

#include "patch/PatchFileRecord.h"

// False at the first record that fails (the messages name the cause) or when the keep-going
// callback says stop. Appends to backups in processing order.
bool AddFiles(const PatchFileRecordArray& records, BackupPairArray& backups);

void FinishAddedFiles(bool success, const BackupPairArray& backups);
void FinishPatchedFiles(bool success, const BackupPairArray& backups);

// The targets of records in list order, up to the first path that does not resolve.
std::vector<std::wstring> ResolvedTargets(const PatchStageContext& context, const PatchFileRecordArray& records);

// The folder part of a resolved path (without its last separator).
std::wstring ParentFolderOf(const std::wstring& path);
