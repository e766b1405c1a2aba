#include "patch/AddedFiles.h"

#include "lumo/text/PathUtil.h"
#include "lumo/text/SafePath.h"
#include "lumo/text/StringUtil.h"
#include "patch/InstallFileOps.h"
#include "patch/PatchCallbacks.h"
#include "patch/PatchMessages.h"

namespace {

// Where the new content of record path lies in the package's data folder: found the way the
// unpacker stored it (ignoring case); when that fails the plain join, which the copy then reports.
// The package does not change during a run, so one resolver lists each of its folders once.
std::wstring SourceOf(LumoUtil::InstallPathResolver& data, const std::wstring& dataFolder, const std::wstring& relative)
{
    std::wstring source, error;
    if (data.Resolve(relative, source, error))
        return source;
    return LumoUtil::JoinPath(dataFolder, relative);
}

void FinishReplacedFiles(bool success, const BackupPairArray& backups)
{
    const PatchStageContext context = CurrentPatchStageContext();
    if (success) {
        std::vector<std::wstring> doomed;
        for (const BackupPair& pair : backups)
            if (!pair.backup.empty())
                doomed.push_back(pair.backup);
        RemoveInstallFiles(doomed);
        return;
    }
    for (const BackupPair& pair : backups) {
        const std::wstring failed = LumoUtil::FormatWString(PatchMessages::kRestoreFailed, pair.file.c_str());
        if (pair.backup.empty()) {
            // The file was new: it goes. Nothing to restore when it never arrived.
            if (IsFilePresent(pair.file) && !RemoveInstallFile(pair.file))
                PatchSendMessage(PATCH_LEVEL_ERROR, failed);
            continue;
        }
        if (!IsFilePresent(pair.backup)) {
            PatchSendMessage(PATCH_LEVEL_ERROR, failed);
            continue;
        }
        // One rename replaces the file: it is never missing, not even for a moment.
        if (!RestoreBackup(pair.backup, pair.file)) {
            PatchSendMessage(PATCH_LEVEL_ERROR, failed);
            if (context.journal)
                context.journal->NoteRestoreFailed();
        }
    }
}

} // namespace

std::wstring ParentFolderOf(const std::wstring& path)
{
    const size_t separator = path.find_last_of(L"/\\");
    if (separator == std::wstring::npos)
        return L".";
    return separator == 0 ? path.substr(0, 1) : path.substr(0, separator);
}

// The targets of records in order, up to the first that does not resolve (the stage reports it
// when it gets there).
std::vector<std::wstring> ResolvedTargets(const PatchStageContext& context, const PatchFileRecordArray& records)
{
    std::vector<std::wstring> targets;
    for (const PatchFileRecord& record : records) {
        std::wstring target, error;
        if (!ResolveStageTarget(context, record.path, target, error))
            break;
        targets.push_back(target);
    }
    return targets;
}

bool ForEachStageFile(const PatchStageContext& context, JournalEntry existingKind, bool announceNew,
                      const PatchFileRecordArray& records, const StageFileHandler& handle)
{
    std::wstring announceError;
    if (!AnnounceChanges(context, existingKind, announceNew, ResolvedTargets(context, records), announceError)) {
        PatchSendMessage(PATCH_LEVEL_ERROR, announceError);
        return false;
    }
    for (const PatchFileRecord& record : records) {
        if (!PatchKeepGoing())
            return false;
        std::wstring target, error;
        if (!ResolveStageTarget(context, record.path, target, error)) {
            PatchSendMessage(PATCH_LEVEL_ERROR, error);
            return false;
        }
        if (!handle(record, target))
            return false;
    }
    return true;
}

bool AddFiles(const PatchFileRecordArray& records, BackupPairArray& backups)
{
    const PatchStageContext context = CurrentPatchStageContext();
    const std::wstring dataFolder = LumoUtil::JoinPath(context.packageDir, L"data");
    LumoUtil::InstallPathResolver data(dataFolder);
    return ForEachStageFile(context, JournalEntry::kReplaced, true, records, [&](const PatchFileRecord& record,
                                                                                   const std::wstring& target) {
        std::wstring error;
        const std::wstring source = SourceOf(data, dataFolder, record.path);
        bool failed = false;

        const std::wstring folder = ParentFolderOf(target);
        if (!IsFolderPresent(folder) && !CreateFolderChain(context, folder, error)) {
            PatchSendMessage(PATCH_LEVEL_ERROR, PatchMessages::kCannotCreateDirectory + folder);
            PatchSendMessage(PATCH_LEVEL_DETAIL, error);
            failed = true;
        }

        std::wstring ownerModel;
        if (IsFilePresent(target)) {
            const std::wstring backup = target + kBackupExt;
            if (!MoveToBackup(context, JournalEntry::kReplaced, target, backup, error)) {
                PatchSendMessage(PATCH_LEVEL_ERROR, LumoUtil::FormatWString(PatchMessages::kBackupFailed, backup.c_str()));
                PatchSendMessage(PATCH_LEVEL_DETAIL, error);
                return false;
            }
            backups.push_back({target, backup});
            ownerModel = backup;
        } else {
            if (!RecordNewFile(context, target, error)) {
                PatchSendMessage(PATCH_LEVEL_ERROR, error);
                return false;
            }
            backups.push_back({target, L""});
        }

        // A first failed copy leaves nothing behind, so the second try starts clean.
        if (!WriteReplacement(context, source, target, ownerModel, error) &&
            !WriteReplacement(context, source, target, ownerModel, error)) {
            PatchSendMessage(PATCH_LEVEL_ERROR, PatchMessages::kCannotCopyFile + source);
            PatchSendMessage(PATCH_LEVEL_DETAIL, error);
            failed = true;
        }
        if (failed) {
            PatchSendMessage(PATCH_LEVEL_STATUS, PatchMessages::kFailedAdding + record.path + PatchMessages::kEllipsis);
            return false;
        }
        return true;
    });
}

void FinishAddedFiles(bool success, const BackupPairArray& backups)
{
    FinishReplacedFiles(success, backups);
}

void FinishPatchedFiles(bool success, const BackupPairArray& backups)
{
    FinishReplacedFiles(success, backups);
}
