#pragma once
// The second stage of applying a patch: each listed file is moved to its ".pbk" backup
// (journalled), where it stays until FinishDeletedFiles removes it (success) or renames it back
// (failure).

#include "patch/PatchFileRecord.h"

// False when a listed file that exists cannot be moved, or when the keep-going callback says stop.
// A file that is already gone gives a warning and the stage goes on. Appends to backups.
bool DeleteFiles(const PatchFileRecordArray& records, BackupPairArray& backups);

void FinishDeletedFiles(bool success, const BackupPairArray& backups);
