#include "patch/DeletedFiles.h"

#include "lumo/text/StringUtil.h"
#include "patch/AddedFiles.h"
#include "patch/InstallFileOps.h"
#include "patch/PatchCallbacks.h"
#include "patch/PatchMessages.h"

bool DeleteFiles(const PatchFileRecordArray& records, BackupPairArray& backups)
{
    const PatchStageContext context = CurrentPatchStageContext();
    if (!StageCanStart(context))
        return false;
    return ForEachStageFile(context, JournalEntry::kDeleted, false, records, [&](const PatchFileRecord&,
                                                                                   const std::wstring& target) {
        std::wstring error;
        const std::wstring backup = target + kBackupExt;
        if (IsFileInStage(context, target)) {
            if (!MoveToBackup(context, JournalEntry::kDeleted, target, backup, error)) {
                PatchSendMessage(PATCH_LEVEL_ERROR, PatchMessages::kCannotDelete + target);
                PatchSendMessage(PATCH_LEVEL_ERROR, error);
                return false;
            }
        } else {
            // Recovery has run and no other list names this file (the driver's checks), so a backup
            // here is left from an old run; restoring it on failure would bring back a file that
            // was not there.
            PatchSendMessage(PATCH_LEVEL_WARNING, PatchMessages::kAlreadyRemoved + target);
            if (!RemoveInstallFile(context, backup, error)) {
                PatchSendMessage(PATCH_LEVEL_ERROR, PatchMessages::kCannotDelete + backup);
                PatchSendMessage(PATCH_LEVEL_ERROR, error);
                return false;
            }
        }
        backups.push_back({target, backup});
        return true;
    });
}

void FinishDeletedFiles(bool success, const BackupPairArray& backups)
{
    const PatchStageContext context = CurrentPatchStageContext();
    if (!StageCanStart(context))
        return;
    if (success) {
        std::vector<std::wstring> doomed;
        for (const BackupPair& pair : backups)
            doomed.push_back(pair.backup);
        ReportBackupsLeft(context, RemoveInstallFiles(context, doomed));
        return;
    }
    for (const BackupPair& pair : backups) {
        // A missing backup is a file that was gone already: nothing to restore.
        std::wstring error;
        if (KindInStage(context, pair.backup) != LumoUtil::InstallFileKind::Missing &&
            !RestoreBackup(context, pair.backup, pair.file, error)) {
            PatchSendMessage(PATCH_LEVEL_ERROR,
                             LumoUtil::FormatWString(PatchMessages::kRestoreFailed, pair.file.c_str()));
            PatchSendMessage(PATCH_LEVEL_ERROR, error);
            if (context.journal)
                context.journal->NoteRestoreFailed();
        }
    }
}
