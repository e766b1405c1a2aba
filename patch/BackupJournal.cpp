#include "patch/BackupJournal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>

#include "lumo/files/ChecksummedLines.h"
#include "lumo/files/InstallDoor.h"
#include "lumo/files/InstallFolder.h"
#include "lumo/text/SafePath.h"
#include "patch/InstallFileOps.h"
#include "patch/PatchCallbacks.h"
#include "platform/NativePath.h"

namespace {

using LumoUtil::InstallDoor;
using LumoUtil::InstallFile;
using LumoUtil::InstallFileKind;

struct KindName
{
    JournalEntry kind;
    const char* word;
};

constexpr KindName kKinds[] = {
    {JournalEntry::kFolder, "DIR"},      {JournalEntry::kNewFile, "NEW"},     {JournalEntry::kReplaced, "REPLACE"},
    {JournalEntry::kDeleted, "DELETE"},  {JournalEntry::kPatched, "PATCH"},   {JournalEntry::kUninstallLog, "LOG"},
};

const char* KindWord(JournalEntry kind)
{
    for (const KindName& k : kKinds)
        if (k.kind == kind)
            return k.word;
    return "?";
}

bool KindFromWord(const std::string& word, JournalEntry& kind)
{
    for (const KindName& k : kKinds)
        if (word == k.word) {
            kind = k.kind;
            return true;
        }
    return false;
}

bool IsBackedUp(JournalEntry kind) { return kind != JournalEntry::kFolder && kind != JournalEntry::kNewFile; }

std::wstring TrimmedFolder(std::wstring folder)
{
    while (folder.size() > 1 && (folder.back() == L'/' || folder.back() == L'\\'))
        folder.pop_back();
    return folder;
}

struct ParsedJournal
{
    bool begun = false;
    bool committed = false;
    std::vector<std::pair<JournalEntry, std::string>> entries;
    std::vector<int> entryLines;   // the line of each entry
    std::vector<int> damagedLines; // damaged lines with intact records after them
};

// Records are flushed before their actions, so damaged lines with no intact record after them are
// the torn last write (a record, or a batch of them): nothing they announce has happened, and they
// are dropped. A damaged line with intact records after it is damage to the journal itself; it is
// noted in damagedLines and the intact records around it are still used.
bool ParseJournal(const std::string& bytes, ParsedJournal& out, std::wstring& error)
{
    const std::vector<LumoUtil::FramedLine> lines = LumoUtil::SplitChecksummedLines(bytes);
    for (size_t i = 0; i < lines.size(); ++i) {
        const int lineNumber = lines[i].number;
        if (!lines[i].intact) {
            out.damagedLines.push_back(lineNumber);
            continue;
        }
        const std::string& payload = lines[i].payload;
        const size_t space = payload.find(' ');
        const std::string word = payload.substr(0, space);
        if (i == 0) {
            if (word != "BEGIN") {
                error = L"it does not start with BEGIN";
                return false;
            }
            out.begun = true;
            continue;
        }
        if (word == "COMMIT") {
            out.committed = true;
            continue;
        }
        JournalEntry kind;
        if (!KindFromWord(word, kind) || space == std::string::npos || space + 1 >= payload.size()) {
            error = L"line " + std::to_wstring(lineNumber) + L" holds no known record";
            return false;
        }
        out.entries.emplace_back(kind, payload.substr(space + 1));
        out.entryLines.push_back(lineNumber);
    }
    return true;
}

// Where each entry's file is now: its folders reached through the door (a link inside followed),
// its last part as recorded (never followed: a NEW file or a backup that is a link is itself what
// recovery finds). Every entry must name a path inside the installation by the rule every name
// from outside meets (no "..", no absolute path, no link that leads out), and none but a folder may
// name a file the patcher keeps for itself (a backup, the journal): a journal that names anything
// else was not written by a patch, and acting on it could remove or replace files anywhere. False
// with why; reached is empty for an entry whose folder is gone (nothing of it is left to do).
bool ReachEntries(const InstallDoor& door, const ParsedJournal& journal, std::vector<std::wstring>& reached,
                  std::wstring& why)
{
    reached.clear();
    for (size_t i = 0; i < journal.entries.size(); ++i) {
        const auto& [kind, relative] = journal.entries[i];
        const std::wstring name = FromNativePath(relative);
        const bool ownFileAllowed = kind == JournalEntry::kFolder;
        const size_t slash = name.rfind(L'/');
        InstallFile file, folder;
        const auto reach = [&](const std::wstring& path, InstallFile& found) {
            return ownFileAllowed ? door.ReachAny(path, found, why, LumoUtil::NameText::EightBit, true)
                                  : door.Reach(path, found, why, LumoUtil::NameText::EightBit, true);
        };
        // The whole name is checked as reached (a last part that is a link leading out included).
        const bool ok = reach(name, file) && (slash == std::wstring::npos || reach(name.substr(0, slash), folder));
        if (!ok) {
            why = L"line " + std::to_wstring(journal.entryLines[i]) + L" names no file of the installation (" + why +
                  L")";
            return false;
        }
        if (slash == std::wstring::npos)
            reached.push_back(name);
        else if (folder.kind == InstallFileKind::Folder)
            reached.push_back(folder.relative + name.substr(slash));
        else
            reached.emplace_back();
    }
    return true;
}

// The backups still below the install folder after a recovery from a damaged journal: the files
// of the damaged records, which nothing could restore. At most `limit` of them.
std::vector<std::wstring> LeftBackups(const std::wstring& installDir, size_t limit)
{
    std::vector<std::wstring> found;
    const std::string ending = ToNativePath(kBackupExt);
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(ToNativePath(installDir), error), end;
         !error && it != end && found.size() < limit; it.increment(error)) {
        const std::string path = it->path().string();
        if (path.size() > ending.size() && path.compare(path.size() - ending.size(), ending.size(), ending) == 0 &&
            it->is_regular_file(error))
            found.push_back(FromNativePath(path));
    }
    return found;
}

std::wstring DamageAdvice(const std::wstring& installDir, const ParsedJournal& journal)
{
    std::wstring lines;
    for (int line : journal.damagedLines)
        lines += (lines.empty() ? L"" : L", ") + std::to_wstring(line);
    std::wstring text = L"the patch journal in " + installDir + L" is damaged (line " + lines +
                        L"), so the files it names there could not be restored.";
    const std::vector<std::wstring> backups = LeftBackups(installDir, 20);
    if (!backups.empty()) {
        text += L" Backups left:";
        for (const std::wstring& backup : backups)
            text += L" " + backup;
        text += L".";
    }
    return text + L" Each \"" + kBackupExt + L"\" file holds the old content of the file of the same name without "
                  L"that ending: rename it back (or repair the installation with the game's installer), then "
                  L"delete " + installDir + L"/" + kPatchJournalName + L" to patch again.";
}

// What recovery could not do: each named, so the journal stays and the next start tries again.
struct Failures
{
    std::vector<std::wstring> texts;
    void Add(std::wstring text) { texts.push_back(std::move(text)); }
    bool Any() const { return !texts.empty(); }
    std::wstring Text() const
    {
        std::wstring joined;
        for (const std::wstring& text : texts)
            joined += (joined.empty() ? L"" : L"; ") + text;
        return joined + L". The patch journal is kept, so the next start tries again.";
    }
};

// Removes a file the journal names (never a folder); a failure is named.
bool RemoveRecorded(const InstallDoor& door, const std::wstring& relative, Failures& failures)
{
    const LumoUtil::InstallFile standing = door.Look(relative);
    if (standing.kind == InstallFileKind::Unreachable)
        failures.Add(standing.reason);
    if (standing.kind == InstallFileKind::Missing || standing.kind == InstallFileKind::Unreachable)
        return false;
    std::wstring error;
    if (!door.RemoveFile(relative, error)) {
        failures.Add(error);
        return false;
    }
    CountInstallAction();
    return true;
}

// A folder the unfinished patch created goes when it is empty again; one that holds something, or
// is gone, stays as it is.
void RemoveRecordedFolder(const InstallDoor& door, const std::wstring& relative, Failures& failures)
{
    InstallDoor::FolderRemoval outcome;
    std::wstring error;
    if (!door.RemoveEmptyFolder(relative, outcome, error))
        failures.Add(error + L", a folder the unfinished patch created");
    else if (outcome == InstallDoor::FolderRemoval::Removed)
        CountInstallAction();
}

// Finishes a committed application: the backups and replacements go.
void FinishCommitted(const InstallDoor& door, const ParsedJournal& journal, const std::vector<std::wstring>& reached,
                     Failures& failures)
{
    for (size_t i = 0; i < journal.entries.size(); ++i) {
        const JournalEntry kind = journal.entries[i].first;
        if (kind == JournalEntry::kFolder || reached[i].empty())
            continue;
        RemoveRecorded(door, reached[i] + kReplacementExt, failures);
        if (IsBackedUp(kind))
            RemoveRecorded(door, reached[i] + kBackupExt, failures);
    }
}

// Rolls an unfinished application back, in reverse order.
void RollBack(const InstallDoor& door, const ParsedJournal& journal, const std::vector<std::wstring>& reached,
              Failures& failures)
{
    for (size_t i = journal.entries.size(); i-- > 0;) {
        const JournalEntry kind = journal.entries[i].first;
        const std::wstring& relative = reached[i];
        const std::wstring full = door.Root() + L"/" + relative;
        if (relative.empty()) {
            // Its folder is gone. A file the patch made went with it, but an original and its
            // backup may only have been moved away with their folder: never taken for done.
            if (IsBackedUp(kind))
                failures.Add(L"cannot restore " + door.Root() + L"/" + FromNativePath(journal.entries[i].second) +
                             L": the folder that holds it and its backup is gone (moved or renamed while the patch "
                             L"worked); put it back where it was, or delete " + door.Root() + L"/" + kPatchJournalName +
                             L" if it is gone for good");
            continue;
        }
        if (kind == JournalEntry::kFolder) {
            RemoveRecordedFolder(door, relative, failures);
            continue;
        }
        RemoveRecorded(door, relative + kReplacementExt, failures);
        if (kind == JournalEntry::kNewFile) {
            const LumoUtil::InstallFile look = door.Look(relative);
            const InstallFileKind standing = look.kind;
            if (standing == InstallFileKind::Unreachable)
                failures.Add(L"cannot remove " + full + L", the file of an unfinished patch: " + look.reason);
            if (standing == InstallFileKind::Missing || standing == InstallFileKind::Folder ||
                standing == InstallFileKind::Unreachable)
                continue;
            std::wstring error;
            if (!door.RemoveFile(relative, error)) {
                failures.Add(L"cannot remove " + full + L", the file of an unfinished patch: " + error);
                continue;
            }
            CountInstallAction();
            PatchSendMessage(PATCH_LEVEL_STATUS, L"Removed the file of an unfinished patch: " + full);
            continue;
        }
        const std::wstring backup = relative + kBackupExt;
        const LumoUtil::InstallFile backupLook = door.Look(backup);
        const InstallFileKind backupKind = backupLook.kind;
        if (backupKind == InstallFileKind::Unreachable) {
            failures.Add(L"cannot restore " + full + L": " + backupLook.reason);
            continue;
        }
        if (backupKind == InstallFileKind::Missing && !backupLook.folderPresent) {
            // Moved or renamed while the patch worked: its backup may be in it, never take it for gone.
            failures.Add(L"cannot restore " + full + L": the folder that holds it and its backup is gone (moved or "
                         L"renamed while the patch worked); put it back where it was");
            continue;
        }
        if (backupKind == InstallFileKind::Missing)
            continue; // the move never happened: the file is the original
        std::wstring error;
        if (backupKind != InstallFileKind::Regular) {
            // A patch moves files to their backups, never links or pipes: this one was planted, and
            // put in the file's place it would lead wherever it points. It goes (a folder stays);
            // the file stays as it is, and the next start finds nothing more to do for it.
            const bool removed = backupKind != InstallFileKind::Folder && door.RemoveFile(backup, error);
            failures.Add(L"cannot restore " + full + L": its backup " + door.Root() + L"/" + backup +
                         L" is no file a patch made (a symbolic link, a folder or a pipe)" +
                         (removed ? L" and has been removed" : L"; it was left as it is"));
            continue;
        }
        if (!door.Rename(backup, relative, error)) {
            failures.Add(L"cannot restore " + full + L" from its backup: " + error);
            continue;
        }
        CountInstallAction();
        PatchSendMessage(PATCH_LEVEL_STATUS, L"Restored from its backup: " + full);
    }
}

// Puts the installation back as the journal says, with the folder locked by the caller.
bool RecoverLocked(const InstallDoor& door, std::wstring& error)
{
    const std::wstring& installDir = door.Root();
    std::string bytes;
    bool present = false;
    std::wstring readError;
    if (!door.ReadOwnFile(kPatchJournalName, bytes, present, readError)) {
        error = L"cannot read the patch journal in " + installDir + L": " + readError;
        return false;
    }
    if (!present)
        return true;
    ParsedJournal journal;
    std::wstring why;
    if (!ParseJournal(bytes, journal, why)) {
        error = L"the patch journal in " + installDir + L" cannot be used: " + why;
        return false;
    }
    std::vector<std::wstring> reached;
    if (!ReachEntries(door, journal, reached, why)) {
        error = L"the patch journal in " + installDir + L" is damaged: " + why +
                L", so nothing it names was restored or removed. If no patch of this installation was "
                L"interrupted, delete " + installDir + L"/" + kPatchJournalName + L"; otherwise repair the "
                L"installation with the game's installer.";
        return false;
    }

    if (journal.committed && !journal.damagedLines.empty())
        PatchSendMessage(PATCH_LEVEL_WARNING, L"The patch journal in " + installDir +
                                                  L" is damaged; the patch had finished, so only its clean-up is done");
    Failures failures;
    if (journal.committed)
        FinishCommitted(door, journal, reached, failures); // every new file was on the disk before COMMIT
    else
        RollBack(door, journal, reached, failures);
    if (failures.Any()) {
        error = failures.Text();
        return false; // the journal stays for the next try
    }
    if (!journal.committed && !journal.damagedLines.empty()) {
        error = DamageAdvice(installDir, journal);
        return false; // the journal stays: it is the only record of what is missing
    }
    if (!door.Sync(error))
        return false;
    if (!door.RemoveFile(kPatchJournalName, error))
        return false;
    CountInstallAction();
    door.SyncFolderOf(kPatchJournalName);
    return true;
}

// The installations with a journal open in this process.
std::mutex g_openJournalsLock;
std::vector<LumoUtil::FileIdentity> g_openJournals;

bool IsJournalOpen(const LumoUtil::FileIdentity& folder)
{
    std::lock_guard<std::mutex> hold(g_openJournalsLock);
    return std::find(g_openJournals.begin(), g_openJournals.end(), folder) != g_openJournals.end();
}

void SetJournalOpen(const LumoUtil::FileIdentity& folder, bool open)
{
    std::lock_guard<std::mutex> hold(g_openJournalsLock);
    if (open)
        g_openJournals.push_back(folder);
    else
        g_openJournals.erase(std::find(g_openJournals.begin(), g_openJournals.end(), folder));
}

// The installation taken for a patch's journal: the run's own take when it holds one (the journal
// shares it), else taken here. Null with error when another process holds it or it cannot be
// opened.
std::unique_ptr<LumoUtil::InstallLock> TakeInstallation(const std::wstring& installDir, std::wstring& error)
{
    if (installDir.empty()) {
        error = L"no installation folder given";
        return nullptr;
    }
    std::unique_ptr<LumoUtil::InstallLock> lock = LumoUtil::InstallLock::Acquire(installDir, error);
    if (lock && IsJournalOpen(lock->Door()->Identity())) {
        // The lock is shared within a process: a second journal would replace the first.
        error = L"The installation " + installDir + L" is in use by another patch of this process; nothing was "
                L"changed. Try again when it has ended.";
        lock.reset();
    }
    return lock;
}

} // namespace

BackupJournal::BackupJournal(std::wstring installDir, std::unique_ptr<LumoUtil::InstallLock> lock, int fd)
    : m_installDir(std::move(installDir)), m_lock(std::move(lock)), m_door(m_lock->Door()), m_fd(fd)
{
    SetJournalOpen(m_door->Identity(), true);
}

BackupJournal::~BackupJournal()
{
    SetJournalOpen(m_door->Identity(), false);
    if (m_fd >= 0)
        close(m_fd);
}

std::unique_ptr<BackupJournal> BackupJournal::Begin(const std::wstring& installDir, std::wstring& error)
{
    const std::wstring folder = TrimmedFolder(installDir);
    std::unique_ptr<LumoUtil::InstallLock> lock = TakeInstallation(folder, error);
    if (!lock)
        return nullptr;
    const InstallDoor& door = *lock->Door();
    if (!RecoverLocked(door, error))
        return nullptr;
    // A stopped repair is put right when the installation is taken: a patch over what it left would
    // be cut back to the lengths it recorded at the next start.
    if (door.Look(LumoUtil::kRepairJournalName).kind != InstallFileKind::Missing) {
        error = L"the record of a stopped repair, " + folder + L"/" + LumoUtil::kRepairJournalName +
                L", is still there: it must be put right before a patch (start the patcher again)";
        return nullptr;
    }
    const int fd = door.CreateOwnFile(kPatchJournalName, O_WRONLY | O_APPEND, 0644, error);
    if (fd < 0)  // error names the journal
        return nullptr;
    CountInstallAction();
    std::unique_ptr<BackupJournal> journal(new BackupJournal(folder, std::move(lock), fd));
    if (!journal->Append("BEGIN\n", error)) {
        // Nothing has been done under it: an empty or torn journal (a full disk) has no use, and
        // left behind it would sit in the installation until the next start.
        std::wstring why;
        if (!journal->m_door->RemoveFile(kPatchJournalName, why))
            error += L"; the unusable journal could not be removed either: " + why;
        return nullptr;
    }
    journal->m_door->SyncFolderOf(kPatchJournalName);
    return journal;
}

bool BackupJournal::Recover(const std::wstring& installDir, std::wstring& error)
{
    const std::unique_ptr<LumoUtil::InstallLock> lock = TakeInstallation(TrimmedFolder(installDir), error);
    return lock && RecoverLocked(*lock->Door(), error);
}

// payloads: one or more records, each ending in "\n" (without their checksums).
bool BackupJournal::Append(const std::string& payloads, std::wstring& error)
{
    if (m_fd < 0) {
        error = L"the patch journal in " + m_installDir + L" can no longer be written";
        return false;
    }
    if (!LumoUtil::AppendChecksummedLines(m_fd, payloads)) {
        error = L"cannot write the patch journal in " + m_installDir + L": " + ErrnoText(errno);
        // A torn record may only ever be the last one: nothing more is written.
        close(m_fd);
        m_fd = -1;
        return false;
    }
    CountInstallAction();
    return true;
}

bool BackupJournal::Payload(JournalEntry kind, const std::wstring& path, std::string& payload,
                            std::wstring& error) const
{
    const std::string root = ToNativePath(m_installDir);
    const std::string prefix = root == "/" ? root : root + "/";
    const std::string full = ToNativePath(path);
    if (full.size() <= prefix.size() || full.compare(0, prefix.size(), prefix) != 0) {
        error = L"the file " + path + L" is not inside the installation " + m_installDir;
        return false;
    }
    const std::string relative = full.substr(prefix.size());
    for (unsigned char c : relative)
        if (c < 0x20 || c == 0x7F) {
            error = L"the file " + path + L" has a name the patch journal cannot hold";
            return false;
        }
    payload = std::string(KindWord(kind)) + " " + relative;
    return true;
}

bool BackupJournal::Record(JournalEntry kind, const std::wstring& path, std::wstring& error)
{
    return RecordAll({{kind, path}}, error);
}

bool BackupJournal::RecordAll(const std::vector<std::pair<JournalEntry, std::wstring>>& entries,
                              std::wstring& error)
{
    std::string payloads;
    std::vector<std::string> added;
    for (const auto& [kind, path] : entries) {
        std::string payload;
        if (!Payload(kind, path, payload, error))
            return false;
        payloads += payload + "\n";
        added.push_back(payload);
    }
    if (entries.empty())
        return true;
    if (!Append(payloads, error))
        return false;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].first == JournalEntry::kFolder)
            m_folders.push_back(added[i].substr(added[i].find(' ') + 1));
        m_recorded.insert(std::move(added[i]));
    }
    return true;
}

bool BackupJournal::IsAnnounced(JournalEntry kind, const std::wstring& path) const
{
    std::string payload;
    std::wstring error;
    return Payload(kind, path, payload, error) && m_recorded.count(payload) != 0;
}

bool BackupJournal::Commit(std::wstring& error)
{
    if (!m_door->Sync(error))
        return false;
    if (!Append("COMMIT\n", error))
        return false;
    m_committed = true;
    return true;
}

void BackupJournal::RemoveCreatedFolders()
{
    for (auto it = m_folders.rbegin(); it != m_folders.rend(); ++it) {
        InstallDoor::FolderRemoval outcome;
        std::wstring ignored;  // one that holds something, or cannot go, stays as it is
        if (m_door->RemoveEmptyFolder(FromNativePath(*it), outcome, ignored) &&
            outcome == InstallDoor::FolderRemoval::Removed)
            CountInstallAction();
    }
}

bool BackupJournal::Finish(std::wstring& error)
{
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
    if (m_restoreFailed) {
        error = L"the patch journal in " + m_installDir + L" is kept: a file could not be restored";
        return false;
    }
    if (m_leftBehind) {
        error = L"the patch journal in " + m_installDir +
                L" is kept, so that the next start removes the backups this patch could not remove";
        return false;
    }
    if (!m_committed && !m_door->Sync(error))
        return false;
    std::wstring why;
    if (!m_door->RemoveFile(kPatchJournalName, why)) {
        error = L"cannot remove the patch journal in " + m_installDir + L": " + why;
        return false;
    }
    CountInstallAction();
    m_door->SyncFolderOf(kPatchJournalName);
    return true;
}
