#pragma once
// The types the stages of applying one patch share: the records of the three file lists, the
// backup pairs each stage leaves for its finishing step, and the context a stage works in.
//
// How a stage uses them (AddFiles, DeleteFiles, PatchFiles, UpdateUninstallLog):
//   const PatchStageContext& context = CurrentPatchStageContext();
//   for each record:
//     if (!PatchKeepGoing()) return false;
//     std::wstring target, error;
//     if (!ResolveStageTarget(context, record.path, target, error)) { level 3 error; false }
//     backup = target + kBackupExt;
//     if (!MoveToBackup(context, JournalEntry::kPatched, target, backup)) { message 53; return false; }
//     backups.push_back({target, backup});
//     ... write the new content under target (tool output, or WriteReplacement) ...
// A stage with many files first announces them all with one flush (AnnounceChanges).
// MoveToBackup (patch/InstallFileOps.h) removes a stale backup, records the move in the run's
// journal (patch/BackupJournal.h) durably unless it was announced, and only then renames target
// to backup, so a kill at any point leaves either the original under target or the original under
// its backup. A stage never deletes a file it was not told to replace, and never writes a backup
// name itself.
//
// Where things live: the list readers (ReadFileList, ReadAddedFileList) in patch/FileLists.h;
// ApplyPatchPackage in patch/ApplyPatchPackage.h;
// AddFiles and FinishAddedFiles in patch/AddedFiles.h; DeleteFiles and FinishDeletedFiles in
// patch/DeletedFiles.h; FinishPatchedFiles in patch/AddedFiles.h as well (it shares its steps with
// FinishAddedFiles). PatchFiles belongs in patch/PatchFiles.h and UpdateUninstallLog in
// patch/UninstallLog.h, with the signatures below; the driver calls them by these names:
//   bool PatchFiles(const PatchFileRecordArray& records, BackupPairArray& backups);
//   bool UpdateUninstallLog(const std::wstring& installDir, const std::wstring& packageDir,
//                           BackupPairArray* backups); // the driver passes the patched files' pairs

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class BackupJournal;
namespace LumoUtil {
class InstallDoor;
}

// One group of three lines of a file list.
struct PatchFileRecord
{
    std::wstring path;        // line 1: relative to the install folder, "\" or "/" between parts
    std::wstring newChecksum; // line 2: MD5 (32 lower-case hex digits) of the file after patching
    std::wstring oldChecksum; // line 3: MD5 of the file before patching
};

typedef std::vector<PatchFileRecord> PatchFileRecordArray;

// A file a stage replaced, deleted or created, and its backup: both full paths as the resolver
// gives them (install folder + "/" + resolved parts). backup is empty when there was no file to
// back up (a file added where none stood).
struct BackupPair
{
    std::wstring file;
    std::wstring backup;
};

typedef std::vector<BackupPair> BackupPairArray;

// The arguments of the application that runs now (or ran last); empty before the first.
// Written at the start of every ApplyPatchPackage call and never cleared.
extern std::wstring g_patchInstallDir;
extern std::wstring g_patchPackageDir;

// What a stage works in. journal is null when no application runs; a stage then has no door and
// refuses (StageDoor, patch/InstallFileOps.h).
struct PatchStageContext
{
    std::wstring installDir;
    std::wstring packageDir;
    BackupJournal* journal = nullptr;
    // List path -> target as the driver's checks resolved it before the stages ran (null: none).
    // ResolveStageTarget (patch/InstallFileOps.h) uses it, so a big folder is not listed again
    // for every file.
    const std::unordered_map<std::wstring, std::wstring>* resolvedTargets = nullptr;
    // The door every file operation of the stage goes through (lumo/files/InstallDoor.h): the one
    // the run's journal holds; null without a journal (a stage called alone), when every stage
    // refuses (StageDoor).
    std::shared_ptr<LumoUtil::InstallDoor> door;
};

// g_patchInstallDir, g_patchPackageDir, the journal and the resolved targets of the running
// application.
PatchStageContext CurrentPatchStageContext();
// Sets the journal CurrentPatchStageContext hands out (null: none). ApplyPatchPackage sets it for
// its run and clears it afterwards.
void SetCurrentPatchJournal(BackupJournal* journal);
// The same for the resolved targets.
void SetCurrentResolvedTargets(const std::unordered_map<std::wstring, std::wstring>* targets);
