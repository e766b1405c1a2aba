#pragma once
// The file operations the patch stages perform inside an installation, each one either atomic or
// announced in the run's journal first (patch/BackupJournal.h), so that a kill never loses a file.
// Paths are full wide paths as ResolvePatchTarget gives them. The functions that take a context
// record in context.journal when it is set and work without a record when it is null.
//
// Every filesystem action counts towards a test hook: with LUMO_TEST_MODE=1 and
// LUMO_PATCH_KILL_AFTER=N in the environment the process kills itself (SIGKILL) right after its
// N-th action, which is how the tests prove that recovery restores the installation from every
// point. A stage that acts on the install on its own (the patch tool's run) calls
// CountInstallAction() after each such action too.

#include <string>
#include <vector>

#include "lumo/text/SafePath.h"
#include "patch/BackupJournal.h"
#include "patch/PatchFileRecord.h"

// Validates a list path and resolves it below installDir the way a case-insensitive file system
// would (LumoUtil::ResolveInstallPath: no "..", absolute or drive paths, no escape through links).
// Also refused: a path naming the install folder itself, one whose last part ends in ".pbk" or
// ".pbk.new" (any case) or is the name of the journal or of the note of an unfinished database
// update (patch/DatabaseUpdateMark.h) at the root, and one that names an existing
// folder. error says what and where.
bool ResolvePatchTarget(const std::wstring& installDir, const std::wstring& relative, std::wstring& target,
                        std::wstring& error);
// The same through resolver (rooted at the install folder), for a pass that resolves many paths
// while nothing below the install folder changes.
bool ResolvePatchTarget(LumoUtil::InstallPathResolver& resolver, const std::wstring& relative, std::wstring& target,
                        std::wstring& error);

// ResolvePatchTarget in a stage: takes the driver's earlier result for relative when the folder
// it lies in exists (nothing a stage does can change how an existing folder resolves), and
// resolves afresh otherwise (an earlier record may have created the folder in another spelling).
bool ResolveStageTarget(const PatchStageContext& context, const std::wstring& relative, std::wstring& target,
                        std::wstring& error);

// A fixed name of an installation or package ("bin\\SollexUtil.exe", "addedFiles.txt"), found by
// the one case rule: the exact spelling when that name is taken (whatever it is, a link included),
// otherwise component by component the single entry that matches ignoring case
// (LumoUtil::ResolveInstallPath), missing parts keeping the given spelling. path is folder + "/" +
// the names found, in "/" style. False with error when two entries match a part, or folder is not
// an existing folder.
bool FindFixedName(const std::wstring& folder, const std::wstring& relative, std::wstring& path, std::wstring& error);

// The name is taken by something other than a folder (a file, or a link of any kind).
bool IsFilePresent(const std::wstring& path);
// The name is taken by a folder (not a link to one).
bool IsFolderPresent(const std::wstring& path);

// Creates folder and its missing parents below the install folder (mode 0777 less the umask,
// owner and group of the parent), each recorded as DIR before it is made. True when it is a
// folder afterwards.
bool CreateFolderChain(const PatchStageContext& context, const std::wstring& folder, std::wstring& error);

// Backs target up: removes a stale backup (false when that fails), records kind for target, then
// renames target to backup and syncs the folder. False with error when any step fails; target is
// then untouched (or, when the rename itself failed, still the original).
bool MoveToBackup(const PatchStageContext& context, JournalEntry kind, const std::wstring& target,
                  const std::wstring& backup, std::wstring& error);

// Announces in one journal flush what a stage is about to do to targets (in list order): each
// target that exists as existingKind (after removing its stale backup; one whose stale backup
// cannot be removed is left for the stage to fail on), and, with announceNew, each missing one as
// NEW with DIR records for the folders it needs. The later MoveToBackup, RecordNewFile and
// CreateFolderChain calls then flush nothing of their own. A no-op without a journal.
bool AnnounceChanges(const PatchStageContext& context, JournalEntry existingKind, bool announceNew,
                     const std::vector<std::wstring>& targets, std::wstring& error);

// Records NEW for target, a file about to be created where none stands.
bool RecordNewFile(const PatchStageContext& context, const std::wstring& target, std::wstring& error);

// Writes a copy of source under target: into target + ".pbk.new", given the mode, owner and group
// of ownerModel when that names a file (a replaced file's backup), else the owner and group of
// target's folder and mode 0644 (0755 when source is executable), then renamed over target.
// Without a journal the copy is flushed before the rename; with one the commit flushes the whole
// file system once (BackupJournal::Commit) and recovery handles what a crash leaves. Nothing of it
// stays behind on failure.
bool WriteReplacement(const PatchStageContext& context, const std::wstring& source, const std::wstring& target,
                      const std::wstring& ownerModel, std::wstring& error);

// Gives target the mode, owner and group of model (a patched file's backup); best effort for the
// owner (only a privileged process may give files away).
bool KeepOwnership(const std::wstring& model, const std::wstring& target);

// Renames target + ".pbk.new" (written by someone else, e.g. the patch tool) over target, flushing
// it first when there is no journal. False with error when that fails; the ".pbk.new" is removed.
bool MoveReplacementIn(const PatchStageContext& context, const std::wstring& target, std::wstring& error);

// rename(backup, file): one atomic step that replaces file; the folder is synced afterwards.
bool RestoreBackup(const std::wstring& backup, const std::wstring& file);

// Removes a file or link (never a folder).
bool RemoveInstallFile(const std::wstring& path);

// Removes many files (failures ignored), several at a time: on some file systems each removal
// waits for the disk, and a patch drops thousands of backups at its end.
void RemoveInstallFiles(const std::vector<std::wstring>& paths);

// The test hook described above; a no-op unless both variables are set.
void CountInstallAction();
