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

#include <functional>
#include <string>
#include <vector>

#include "patch/BackupJournal.h"
#include "patch/InstallFileOps.h"
#include "patch/PatchFileRecord.h"

// False at the first record that fails (the messages name the cause) or when the keep-going
// callback says stop. Appends to backups in processing order.
bool AddFiles(const PatchFileRecordArray& records, BackupPairArray& backups);

void FinishAddedFiles(bool success, const BackupPairArray& backups);
void FinishPatchedFiles(bool success, const BackupPairArray& backups);

// True when the stage has its run's door; false after sending at level 3 why not (no patch is
// being applied: a stage called outside a run does nothing).
bool StageCanStart(const PatchStageContext& context);

// The loop of a file stage: announces the resolved targets of records (AnnounceChanges with
// existingKind and announceNew), then calls handle with each record and its resolved target in
// list order. False at the first announcement or path that fails (its message sent), when the
// keep-going callback says stop, or when handle returns false.
using StageFileHandler = std::function<bool(const PatchFileRecord& record, const std::wstring& target)>;
bool ForEachStageFile(const PatchStageContext& context, JournalEntry existingKind, bool announceNew,
                      const PatchFileRecordArray& records, const StageFileHandler& handle);

// The targets of records in list order, up to the first path that does not resolve.
std::vector<std::wstring> ResolvedTargets(const PatchStageContext& context, const PatchFileRecordArray& records);

// Warns about each backup of a finished patch that could not be removed (naming it and why) and
// has the run's journal kept, so that the next start removes them.
void ReportBackupsLeft(const PatchStageContext& context, const std::vector<RemovalFailure>& left);

// Something other than a folder stands at path (a full path of the stage's installation).
bool IsFileInStage(const PatchStageContext& context, const std::wstring& path);

// The folder part of a resolved path (without its last separator).
std::wstring ParentFolderOf(const std::wstring& path);
