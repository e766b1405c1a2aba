#include "patch/DeletedFiles.h"

#include "lumo/text/StringUtil.h"
#include "patch/AddedFiles.h"
#include "patch/InstallFileOps.h"
#include "patch/PatchCallbacks.h"
#include "patch/PatchMessages.h"

bool DeleteFiles(const PatchFileRecordArray& records, BackupPairArray& backups)
{
    const PatchStageContext context = CurrentPatchStageContext();
    return ForEachStageFile(context, JournalEntry::kDeleted, false, records, [&](const PatchFileRecord&,
                                                                                   const std::wstring& target) {
        std::wstring error;
        const std::wstring backup = target + kBackupExt;
        if (IsFilePresent(target)) {
            if (!MoveToBackup(context, JournalEntry::kDeleted, target, backup, error)) {
                PatchSendMessage(PATCH_LEVEL_ERROR, PatchMessages::kCannotDelete + target);
                PatchSendMessage(PATCH_LEVEL_ERROR, error);
                return false;
            }
        } else {
            // Recovery has run, so a backup here is left from an old run; restoring it on failure
            // would bring back a file that was not there.
            if (IsFilePresent(backup))
                RemoveInstallFile(backup);
            PatchSendMessage(PATCH_LEVEL_WARNING, PatchMessages::kAlreadyRemoved + target);
        }
        backups.push_back({target, backup});
        return true;
    });
}

void FinishDeletedFiles(bool success, const BackupPairArray& backups)
{
    const PatchStageContext context = CurrentPatchStageContext();
    if (success) {
        std::vector<std::wstring> doomed;
        for (const BackupPair& pair : backups)
            doomed.push_back(pair.backup);
        RemoveInstallFiles(doomed);
        return;
    }
    for (const BackupPair& pair : backups) {
        // A missing backup is a file that was gone already: nothing to restore.
        if (IsFilePresent(pair.backup) && !RestoreBackup(pair.backup, pair.file)) {
            PatchSendMessage(PATCH_LEVEL_ERROR,
                             LumoUtil::FormatWString(PatchMessages::kRestoreFailed, pair.file.c_str()));
            if (context.journal)
                context.journal->NoteRestoreFailed();
        }
    }
}
