#include "lumo/net/RepairJournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <utility>

#include "lumo/files/ChecksummedLines.h"
#include "lumo/files/InstallDoor.h"
#include "lumo/net/RepairFileAccess.h"
#include "lumo/net/SavedSummary.h"
#include "lumo/text/SafePath.h"
#include "platform/NativePath.h"

namespace
{

// The install folder as a native path without a trailing separator ("/" stays "/").
std::string NativeRoot(const std::wstring& root)
{
    std::string native = ToNativePath(root);
    while (native.size() > 1 && native.back() == '/')
        native.pop_back();
    return native;
}

std::string NativePrefix(const std::wstring& root)
{
    const std::string native = NativeRoot(root);
    return native == "/" ? native : native + "/";
}

bool ParseLength(const std::string& text, int64_t& value)
{
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::stoll(text);
    return true;
}

// A record to follow: the least length recorded for a file (-1: NEW) and the line that said so.
struct Target
{
    int64_t least = 0;
    int line = 0;
};

// What the record asks, by the link-free name of each file it names now.
struct Records
{
    bool begun = false;                     // an intact BEGIN was met
    std::map<std::wstring, Target> targets; // the files named after the last STOPPED
    std::wstring refused;                   // set: a line names no file a repair writes (the record is not followed)
};

// The link-free name a recorded path has now. A LENGTH names the file the repair wrote, a link
// inside followed; a NEW names the file the repair created, so its last part is never followed.
// Like the patch journal, a record that names a file the repair never writes (a file the patcher
// keeps for itself, "..", an absolute path, a link that leads out) was not written by a repair.
bool ReachRecorded(const LumoUtil::InstallDoor& door, const std::wstring& relative, bool created,
                   std::wstring& reached, std::wstring& why)
{
    LumoUtil::InstallFile file;
    if (!door.Reach(relative, file, why, LumoUtil::NameText::Utf16, true))
        return false;
    // A name from the record is split on "/" and "\" alike; the name reached holds "/" only.
    const size_t slash = relative.find_last_of(L"/\\");
    if (!created)
        reached = file.relative;
    else if (slash == std::wstring::npos)
        reached = relative;
    else
    {
        LumoUtil::InstallFile folder;
        if (!door.Reach(relative.substr(0, slash), folder, why, LumoUtil::NameText::Utf16, true))
            return false;
        reached = folder.relative + L"/" + relative.substr(slash + 1);
    }
    return true;
}

// The files named after the last STOPPED, each with its least length; damaged lines go to lines.
Records ParseRecords(const LumoUtil::InstallDoor& door, const std::string& bytes,
                     const std::vector<std::wstring>& leftAlone, std::vector<RepairRecoveryLine>& lines)
{
    Records records;
    // The files the repair never writes, as they are reached now.
    std::vector<std::wstring> untouched;
    for (const std::wstring& name : leftAlone)
    {
        LumoUtil::InstallFile file;
        std::wstring ignored;
        if (door.Reach(name, file, ignored, LumoUtil::NameText::Utf16))
            untouched.push_back(file.relative);
    }
    const std::wstring where = L"The record of a stopped repair in " + door.Root();
    for (const LumoUtil::FramedLine& line : LumoUtil::SplitChecksummedLines(bytes))
    {
        const std::wstring at = L" (line " + std::to_wstring(line.number) + L")";
        if (!line.intact)
        {
            lines.push_back({3, where + L" is damaged" + at + L": what that line named is left as it is."});
            continue;
        }
        const std::string& payload = line.payload;
        if (payload == "BEGIN")
        {
            records.begun = true;
            continue;
        }
        if (payload == "STOPPED")
        {
            records.targets.clear();
            continue;
        }
        int64_t least = -1;
        std::string path;
        if (payload.rfind("NEW ", 0) == 0)
            path = payload.substr(4);
        else if (payload.rfind("LENGTH ", 0) == 0)
        {
            const size_t space = payload.find(' ', 7);
            if (space != std::string::npos && ParseLength(payload.substr(7, space - 7), least))
                path = payload.substr(space + 1);
        }
        if (path.empty())
        {
            lines.push_back({3, where + L" holds a line it cannot use" + at + L"; it is left alone."});
            continue;
        }
        std::wstring reached, why;
        bool followed = ReachRecorded(door, FromNativePath(path), least < 0, reached, why);
        if (followed && std::find(untouched.begin(), untouched.end(), reached) != untouched.end())
        {
            why = L"\"" + reached + L"\" is a file the repair leaves alone";
            followed = false;
        }
        if (!followed)
        {
            if (records.refused.empty())
                records.refused = L"line " + std::to_wstring(line.number) + L" names no file a repair writes (" + why + L")";
            continue;
        }
        const auto [found, first] = records.targets.try_emplace(reached, Target{least, line.number});
        if (!first && least < found->second.least)
            found->second = Target{least, line.number};
    }
    return records;
}

// Cuts back (or removes) one file; changed says whether it did. False with error set when that
// failed.
bool Settle(const LumoUtil::InstallDoor& door, const std::wstring& relative, const Target& target,
            std::vector<RepairRecoveryLine>& lines, std::wstring& error, bool& changed)
{
    changed = false;
    const std::wstring full = door.Root() + L"/" + relative;
    const LumoUtil::InstallFile standing = door.Look(relative);
    if (standing.kind == LumoUtil::InstallFileKind::Other && target.least < 0)
    {
        lines.push_back({3, L"The record of a stopped repair in " + door.Root() + L" names " + full + L" (line " +
                                std::to_wstring(target.line) + L"), which is not a regular file; it is left alone."});
        return true;
    }
    if (standing.kind != LumoUtil::InstallFileKind::Regular)
        return true; // gone, or a folder: nothing of it is left to be too long
    if (target.least < 0)
    {
        if (!door.RemoveFile(relative, error))
        {
            error = L"cannot remove " + full + L", which the stopped repair had begun: " + error;
            return false;
        }
        changed = true;
        lines.push_back({1, L"Removed a file that the stopped repair had begun: " + full});
        return true;
    }
    if (standing.size <= uint64_t(target.least))
        return true;
    const int fd = door.OpenForWriteInPlace(relative, false, error);
    const bool cut = fd >= 0 && ::ftruncate(fd, off_t(target.least)) == 0 && ::fsync(fd) == 0;
    const int cutError = errno;
    if (fd >= 0)
        ::close(fd);
    if (!cut)
    {
        error = L"cannot cut " + full + L" back to the " + std::to_wstring(target.least) +
                L" bytes it had before the stopped repair: " + (fd < 0 ? error : ErrnoText(cutError));
        return false;
    }
    changed = true;
    lines.push_back({1, L"Cut back to the " + std::to_wstring(target.least) +
                            L" bytes it had before the stopped repair: " + full});
    return true;
}

// False with error when something could not be put right; refused set when the record names a file
// a repair never writes (then nothing was touched).
bool RecoverIn(const LumoUtil::InstallDoor& door, const std::vector<std::wstring>& leftAlone,
               std::vector<RepairRecoveryLine>& lines, std::wstring& error, bool& refused)
{
    const std::wstring& root = door.Root();
    std::string bytes;
    bool present = false;
    std::wstring readError;
    if (!door.ReadOwnFile(kRepairJournalName, bytes, present, readError))
    {
        error = L"cannot read the record of a stopped repair in " + root + L": " + readError;
        return false;
    }
    if (!present)
        return true;
    std::vector<RepairRecoveryLine> found;
    const Records records = ParseRecords(door, bytes, leftAlone, found);
    // A record torn before its first line was whole: the repair had changed nothing yet.
    if (records.begun || !found.empty() || !records.refused.empty())
        lines.push_back({2, L"A repair of " + root + L" was stopped before it finished: files it was mending may "
                                                     L"be part old, part new. Run the repair again."});
    lines.insert(lines.end(), found.begin(), found.end());
    if (!records.refused.empty())
    {
        refused = true;
        error = L"the record of a stopped repair in " + root + L" is damaged: " + records.refused +
                L", so nothing it names was cut back or removed. Delete " + root + L"/" + kRepairJournalName +
                L" and run the repair again.";
        return false;
    }
    std::vector<std::wstring> changed;
    for (const auto& [relative, target] : records.targets)
    {
        bool cut = false;
        if (!Settle(door, relative, target, lines, error, cut))
            return false;
        if (cut)
            changed.push_back(relative);
    }
    // A cut within the second of the summary's last look keeps the time the summary holds.
    std::string forgetError;
    if (!ForgetFilesInSummary(door, changed, forgetError))
    {
        error = L"cannot drop the files cut back from the repair's summary: " + FromNativePath(forgetError);
        return false;
    }
    if (!door.RemoveFile(kRepairJournalName, error))
    {
        error = L"cannot remove the record of a stopped repair in " + root + L": " + error;
        return false;
    }
    door.SyncFolderOf(kRepairJournalName);
    return true;
}

} // namespace

RepairJournal::RepairJournal(std::shared_ptr<LumoUtil::InstallDoor> door)
    : m_root(door ? door->Root() : std::wstring()), m_door(std::move(door))
{
}

RepairJournal::~RepairJournal()
{
    Close();
}

void RepairJournal::Close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool RepairJournal::Begin(std::string& error)
{
    // Created afresh, never through a link or into a FIFO: taking the installation recovered (and
    // so removed) any record a stopped repair left.
    std::wstring doorError = m_door ? L"" : L"no installation was taken";
    if (m_door)
        m_fd = m_door->CreateOwnFile(kRepairJournalName, O_WRONLY | O_APPEND, 0644, doorError);
    if (m_fd < 0)
    {
        error = "cannot create the repair journal in " + NativeRoot(m_root) + ": " +
                (doorError.empty() ? std::string(std::strerror(errno)) : ToNativePath(doorError));
        Close();
        return false;
    }
    if (!Append("BEGIN\n", error))
        return false;
    // The file's name must outlive a power loss as much as its lines.
    if (!m_door->SyncFolderOf(kRepairJournalName, &doorError))
    {
        error = "cannot flush the repair journal in " + NativeRoot(m_root) + ": " + ToNativePath(doorError);
        Close();
        return false;
    }
    m_begun = true;
    return true;
}

bool RepairJournal::Append(const std::string& payloads, std::string& error)
{
    if (!LumoUtil::AppendChecksummedLines(m_fd, payloads))
    {
        error = "cannot write the repair journal in " + NativeRoot(m_root) + ": " + std::strerror(errno);
        // A torn record may only ever be the last one: nothing more is written.
        Close();
        return false;
    }
    return true;
}

bool RepairJournal::BeforeChange(const std::wstring& path, bool exists, uint64_t size, uint64_t end, std::string& error)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_begun && !Begin(error))
        return false;
    if (m_fd < 0)
    {
        error = "the repair journal in " + NativeRoot(m_root) + " can no longer be written";
        return false;
    }
    if (exists && end <= size)
        return true;
    const std::string prefix = NativePrefix(m_root);
    const std::string full = ToNativePath(path);
    if (full.size() <= prefix.size() || full.compare(0, prefix.size(), prefix) != 0)
    {
        error = "the file " + full + " is not inside the installation " + NativeRoot(m_root);
        return false;
    }
    const std::string relative = full.substr(prefix.size());
    const int64_t length = exists ? int64_t(size) : -1;
    const auto found = m_least.find(relative);
    if (found != m_least.end() && found->second <= length)
        return true;
    if (!Append(exists ? "LENGTH " + std::to_string(size) + " " + relative + "\n" : "NEW " + relative + "\n", error))
        return false;
    m_least[relative] = length;
    return true;
}

bool RepairJournal::End(bool stopped, bool filesSettled, std::string& error)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_fd < 0 || !filesSettled)
    {
        // Nothing was begun, the record can no longer be written, or a file is still too long: what
        // is on the disk is what the next start must follow.
        Close();
        return true;
    }
    bool ok = true;
    // What the run wrote and cut reaches the disk before the record says it needs nothing more.
    std::wstring why;
    if (!m_door->Sync(why))
    {
        error = ToNativePath(why);
        ok = false;
    }
    else if (stopped)
        ok = Append("STOPPED\n", error);
    else if (!m_door->RemoveFile(kRepairJournalName, why))
    {
        error = "cannot remove the repair journal in " + NativeRoot(m_root) + ": " + ToNativePath(why);
        ok = false;
    }
    else
        m_door->SyncFolderOf(kRepairJournalName);
    Close();
    return ok;
}

bool RecoverStoppedRepair(const LumoUtil::InstallDoor& door, std::vector<RepairRecoveryLine>& lines,
                          const std::vector<std::wstring>& leftAlone)
{
    std::wstring error;
    bool refused = false;
    if (RecoverIn(door, leftAlone, lines, error, refused))
        return true;
    const std::wstring& root = door.Root();
    lines.push_back({3, refused ? L"A repair of " + root + L" was stopped, and " + error
                                : L"A repair of " + root + L" was stopped, and what it left could not be put right: " +
                                      error + L". Nothing more is done until it can be; the next start tries again."});
    return false;
}
