#pragma once
// The write-ahead journal that makes applying a patch survive a kill or a power loss at any point.
//
// The ".pbk" backups beside the files are the old state on disk; the journal says which of them
// belong to the application that runs, so that the next start can put them back (or, after the
// commit, throw them away) before anything else looks at the installation. Only after that is a
// ".pbk" met by a new run truly stale.
//
// File "patch.journal" in the install folder, 8-bit text, one record a line:
//
//   <crc> <kind>[ <path>]\n
//
//   crc   8 lower-case hex digits: CRC-32 (zlib's) of the bytes from <kind> up to, not including,
//         the line end; a torn or damaged line fails it. Damaged lines at the end (the torn last
//         write) are dropped; a damaged line before intact ones leaves the journal in place after
//         recovery, with advice naming the backups that could not be restored
//   kind  BEGIN    first line of every journal
//         DIR      a folder about to be created (removed again, when empty, on rollback)
//         NEW      a file about to be created where none stood (removed on rollback)
//         REPLACE  an added file about to be moved to its backup
//         DELETE   a deleted file about to be moved to its backup
//         PATCH    a patched file about to be moved to its backup
//         LOG      the uninstall log about to be moved to its backup
//         COMMIT   every new file is on disk; backups may go
//   path  relative to the install folder, "/" between parts, UTF-8 as the OS names it (no control
//         characters; the list validator refuses them). The backup is always path + ".pbk" and a
//         file being written beside it path + ".pbk.new".
//
// Every record is flushed to the disk (fdatasync) before the action it announces. Rules a stage
// follows (MoveToBackup and WriteReplacement in patch/InstallFileOps.h do it for it):
//   1. remove a stale backup; 2. Record(); 3. rename(target, backup); 4. new content goes to
//   path + ".pbk.new", is flushed, and is renamed over the target.
// Invariant: for every recorded file either its backup does not exist and the file is the
// original, or the backup is the original.
//
// Recovery (Recover, at the start of every application and of the application program):
//   no journal: nothing to do;
//   an entry naming a path outside the installation ("..", an absolute path, a link that leads
//   out: LumoUtil::ConfineInstallPath) or, other than DIR, a file the patcher keeps for itself (a
//   backup, the journal: LumoUtil::IsReservedInstallName): the journal is damaged, recovery
//   cannot finish and changes nothing;
//   no COMMIT: in reverse order remove every ".pbk.new", rename each backup that exists back over
//   its file (one atomic rename), remove NEW files, remove DIR folders that are empty; then sync
//   and delete the journal;
//   COMMIT: remove the remaining backups and ".pbk.new" files, then the journal.
//
// The whole application holds the installation lock (an exclusive flock on the install folder,
// lumo/files/InstallFolder.h), which also keeps a second patcher and a repair out; when the run
// that applies the patch holds that lock already, the journal shares it.

#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "lumo/text/ReservedNames.h"

using LumoUtil::kBackupExt;
using LumoUtil::kPatchJournalName;
using LumoUtil::kReplacementExt;

enum class JournalEntry
{
    kFolder,       // DIR
    kNewFile,      // NEW
    kReplaced,     // REPLACE
    kDeleted,      // DELETE
    kPatched,      // PATCH
    kUninstallLog, // LOG
};

namespace LumoUtil {
class InstallDoor;
class InstallLock;
}

class BackupJournal
{
public:
    // Locks the install folder (non-blocking: a second patcher fails at once), recovers an
    // interrupted earlier application (see above) and starts a new journal. Null with error set
    // when the folder is locked, when recovery cannot finish, or the journal cannot be written.
    static std::unique_ptr<BackupJournal> Begin(const std::wstring& installDir, std::wstring& error);

    // Recovery alone, under the same lock: for the application's start-up. True when there was
    // nothing to do or recovery finished; restored files are reported at level 1.
    static bool Recover(const std::wstring& installDir, std::wstring& error);

    ~BackupJournal(); // releases the lock; the file stays unless Finish removed it

    BackupJournal(const BackupJournal&) = delete;
    BackupJournal& operator=(const BackupJournal&) = delete;

    // Appends a record for path (a full path below the install folder, as ResolvePatchTarget
    // gives it) and flushes it. Call it before the action it announces; on false (error set) the
    // action must not happen.
    bool Record(JournalEntry kind, const std::wstring& path, std::wstring& error);

    // Appends records for many paths with one flush: a stage announces up front what it will
    // move or create, so a patch of thousands of files costs a handful of flushes, not one per
    // file. An announced path needs no Record() of its own later (IsAnnounced). The rules above
    // hold for each: nothing announced may have a stale backup, so those are removed first.
    bool RecordAll(const std::vector<std::pair<JournalEntry, std::wstring>>& entries, std::wstring& error);
    bool IsAnnounced(JournalEntry kind, const std::wstring& path) const;

    // Flushes everything written to the install's file system (syncfs), then records COMMIT.
    // From then on recovery finishes the application instead of rolling it back.
    bool Commit(std::wstring& error);
    bool IsCommitted() const { return m_committed; }

    // After a failed application whose finishing steps have restored the files: removes the
    // folders the application created that are empty again, in reverse order.
    void RemoveCreatedFolders();

    // A finishing step could not restore a file: Finish then keeps the journal, so the next start
    // tries again.
    void NoteRestoreFailed() { m_restoreFailed = true; }
    bool RestoreFailed() const { return m_restoreFailed; }

    // A finishing step of a committed application could not remove a backup: Finish then keeps
    // the journal too, and the next start's recovery removes what is left.
    void NoteLeftBehind() { m_leftBehind = true; }

    // Ends the application: deletes the journal (unless a restore failed) and syncs the folder.
    bool Finish(std::wstring& error);

    const std::wstring& InstallDir() const { return m_installDir; }
    // The door of the installation this journal holds locked: the stages work through it.
    const std::shared_ptr<LumoUtil::InstallDoor>& Door() const { return m_door; }

private:
    BackupJournal(std::wstring installDir, std::unique_ptr<LumoUtil::InstallLock> lock, int fd);
    bool Append(const std::string& payloads, std::wstring& error);
    bool Payload(JournalEntry kind, const std::wstring& path, std::string& payload, std::wstring& error) const;

    std::wstring m_installDir;       // as given, trailing separators dropped
    std::unique_ptr<LumoUtil::InstallLock> m_lock;   // the installation, held for the journal's life
    std::shared_ptr<LumoUtil::InstallDoor> m_door;   // the lock's: every file the journal touches
    int m_fd = -1;                   // the journal file
    std::vector<std::string> m_folders; // DIR records of this run, relative native paths
    std::unordered_set<std::string> m_recorded; // payloads written so far
    bool m_committed = false;
    bool m_restoreFailed = false;
    bool m_leftBehind = false;
};
