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

#include <sys/stat.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "lumo/files/InstallDoor.h"
#include "lumo/text/SafePath.h"
#include "patch/BackupJournal.h"
#include "patch/PatchFileRecord.h"

// The door a stage's file operations go through: context.door, the one of the take its run's
// journal holds. Null with error naming context.installDir when there is none (no run under way):
// a stage never opens the installation by its name.
std::shared_ptr<LumoUtil::InstallDoor> StageDoor(const PatchStageContext& context, std::wstring& error);

// Validates a list path and resolves it below the installation through the door
// (LumoUtil::InstallDoor::Reach: the case rule, no "..", absolute or drive paths, a link followed
// only while it stays inside, a name the patcher keeps for itself refused in any component, also
// when a link leads there). file is what the name reaches: its link-free name below the
// installation and its identity. Also refused: a path that names an existing folder, or
// something else that is not a regular file (a FIFO, a socket, a device). error says what and
// where.
bool ResolvePatchTarget(const LumoUtil::InstallDoor& door, const std::wstring& relative, LumoUtil::InstallFile& file,
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
// For a folder that is no installation (a package's) or one no run holds yet.
bool FindFixedName(const std::wstring& folder, const std::wstring& relative, std::wstring& path, std::wstring& error);
// The same below the installation the door holds (the take's door, not its name): path is the
// door's root + "/" + the names found; reached (when given) the link-free name below the root of
// what path names (its last part not followed). A folder part the door cannot reach (a link
// leading out) ends the search as a missing one does. False with error also when a folder part
// is not a folder.
bool FindFixedName(const LumoUtil::InstallDoor& door, const std::wstring& relative, std::wstring& path,
                   std::wstring& error, std::wstring* reached = nullptr);

// What stands at path (a full path as ResolvePatchTarget gives it), no link followed; Missing
// also when path is not below the stage's installation.
LumoUtil::InstallFileKind KindInStage(const PatchStageContext& context, const std::wstring& path);

// Creates folder and its missing parents below the install folder (mode 0777 less the umask,
// owner and group of the parent), each recorded as DIR before it is made, each made relative to
// the folder above it without following a link. True when it is a folder afterwards.
bool CreateFolderChain(const PatchStageContext& context, const std::wstring& folder, std::wstring& error);

// Backs target up: removes a stale backup (a link there is removed, never followed; false when
// that fails), records kind for target, then renames target to backup. False with error when any
// step fails; target is then untouched (or, when the rename itself failed, still the original).
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

// Writes a copy of source under target: into target + ".pbk.new" (created exclusively after
// removing whatever stood there, a link included), given the mode, owner and group of ownerModel
// when that names a regular file (a replaced file's backup), else the owner and group of target's
// folder and mode 0644 (0755 when source is executable), then renamed over target. Without a
// journal the copy is flushed before the rename; with one the commit flushes the whole file system
// once (BackupJournal::Commit) and recovery handles what a crash leaves. Nothing of it stays
// behind on failure.
// keepGoing (when set) is asked every 64 MiB of a long copy; when it says stop, the copy ends,
// nothing of it stays, and error says it was stopped.
bool WriteReplacement(const PatchStageContext& context, const std::wstring& source, const std::wstring& target,
                      const std::wstring& ownerModel, std::wstring& error,
                      const std::function<bool()>& keepGoing = {});

// Creates target + ".pbk.new" empty for someone else to write (the patch tool), exclusively after
// removing whatever stood there, and returns its descriptor (O_RDWR, close-on-exec; -1 with error
// on failure): the tool is handed that descriptor, never the name, so nothing swapped in under the
// name can lead its writes elsewhere, and the patcher checks what it wrote through it.
int PrepareReplacement(const PatchStageContext& context, const std::wstring& target, std::wstring& error);

// Opens a game file of the stage's installation (a full path as ResolvePatchTarget gives it) for
// reading through the stage's door (InstallDoor::OpenForReading: never through a link, never
// blocking, only a regular file, the error saying what stands there otherwise); st holds the
// file's status. -1 with error.
int OpenStageFileForReading(const PatchStageContext& context, const std::wstring& path, struct stat& st,
                            std::wstring& error);

// KeepOwnership through descriptors: targetFd gets the mode, owner and group of modelFd's file
// (the owner best effort). target names it in errors.
bool KeepOwnershipOf(int modelFd, int targetFd, const std::wstring& target, std::wstring& error);

// Gives target the mode, owner and group of model (a patched file's backup), both regular files
// reached without following a link; best effort for the owner (only a privileged process may give
// files away). False with error when target is not such a file or its mode cannot be set.
bool KeepOwnership(const PatchStageContext& context, const std::wstring& model, const std::wstring& target,
                   std::wstring& error);

// Renames target + ".pbk.new" (written by someone else, e.g. the patch tool) over target, flushing
// it first when there is no journal. Only a regular file with one name is moved in: a link, a
// folder or a second name of another file standing there is refused, and so is any other file
// than expected (when given: the one the patcher created and checked). False with error when that
// fails; the ".pbk.new" is removed.
bool MoveReplacementIn(const PatchStageContext& context, const std::wstring& target, std::wstring& error,
                       const LumoUtil::FileIdentity* expected = nullptr);

// Renames backup over file in one atomic step; the folder is synced afterwards. Only a regular
// file is restored: a backup that is a link (or a folder) is never renamed into the file's place;
// a link there is removed. False with error naming what failed.
bool RestoreBackup(const PatchStageContext& context, const std::wstring& backup, const std::wstring& file,
                   std::wstring& error);

// Removes a file or link (never a folder) of the installation. True when it is gone, also when it
// was not there; false with error naming it and the reason.
bool RemoveInstallFile(const PatchStageContext& context, const std::wstring& path, std::wstring& error);

// A file that could not be removed, and why.
struct RemovalFailure
{
    std::wstring path;
    std::wstring error;
};

// Removes many files, several at a time: on some file systems each removal waits for the disk,
// and a patch drops thousands of backups at its end. The ones that could not be removed, in the
// order given.
std::vector<RemovalFailure> RemoveInstallFiles(const PatchStageContext& context, const std::vector<std::wstring>& paths);

// The test hook described above; a no-op unless both variables are set.
void CountInstallAction();

// Tests: hook is called (on the acting thread) after every counted action, to change the
// installation at an exact point of a run; null: none. The caller keeps hook alive until reset.
void SetInstallActionHook(const std::function<void()>* hook);
