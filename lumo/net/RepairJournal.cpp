#include "lumo/net/RepairJournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <utility>

#include "lumo/files/ChecksummedLines.h"
#include "lumo/net/SavedSummary.h"
#include "lumo/text/SafePath.h"
#include "platform/NativePath.h"

namespace
{

const std::string& JournalName()
{
    static const std::string name = ToNativePath(kRepairJournalName);
    return name;
}

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

// The files named after the last STOPPED, each with its least length; what cannot be followed goes
// to lines. begun: an intact BEGIN was met.
std::map<std::string, Target> ParseRecords(const std::wstring& root, const std::string& bytes, bool& begun,
                                           std::vector<RepairRecoveryLine>& lines)
{
    std::map<std::string, Target> targets;
    const std::wstring where = L"The record of a stopped repair in " + root;
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
            begun = true;
            continue;
        }
        if (payload == "STOPPED")
        {
            targets.clear();
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
        // Only the very file recorded, reached inside the installation.
        const std::wstring relative = FromNativePath(path);
        std::wstring resolved, error;
        if (!LumoUtil::ResolveInstallPath(root, relative, resolved, error, LumoUtil::NameText::Utf16))
        {
            lines.push_back(
                {3, where + L" names a file it may not touch" + at + L": " + error + L"; it is left alone."});
            continue;
        }
        if (ToNativePath(resolved) != NativePrefix(root) + path)
            continue; // no file of that very name: nothing of it to cut
        const auto [found, first] = targets.try_emplace(path, Target{least, line.number});
        if (!first && least < found->second.least)
            found->second = Target{least, line.number};
    }
    return targets;
}

// Cuts back (or removes) one file; changed says whether it did. False with error set when that
// failed.
bool Settle(int folderFd, const std::wstring& root, const std::string& path, const Target& target,
            std::vector<RepairRecoveryLine>& lines, std::wstring& error, bool& changed)
{
    changed = false;
    const std::wstring full = FromNativePath(NativePrefix(root) + path);
    struct stat status{};
    if (::fstatat(folderFd, path.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return true; // gone: nothing of it is left to be too long
    if (S_ISLNK(status.st_mode))
    {
        lines.push_back({3, L"The record of a stopped repair in " + root + L" names " + full + L" (line " +
                                std::to_wstring(target.line) + L"), which is a link; it is left alone."});
        return true;
    }
    if (!S_ISREG(status.st_mode))
        return true;
    if (target.least < 0)
    {
        if (::unlinkat(folderFd, path.c_str(), 0) != 0)
        {
            error = L"cannot remove " + full + L", which the stopped repair had begun: " + ErrnoText(errno);
            return false;
        }
        changed = true;
        lines.push_back({1, L"Removed a file that the stopped repair had begun: " + full});
        return true;
    }
    if (uint64_t(status.st_size) <= uint64_t(target.least))
        return true;
    const int fd = ::openat(folderFd, path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    const bool cut = fd >= 0 && ::ftruncate(fd, off_t(target.least)) == 0 && ::fsync(fd) == 0;
    const int cutError = errno;
    if (fd >= 0)
        ::close(fd);
    if (!cut)
    {
        error = L"cannot cut " + full + L" back to the " + std::to_wstring(target.least) +
                L" bytes it had before the stopped repair: " + ErrnoText(cutError);
        return false;
    }
    changed = true;
    lines.push_back({1, L"Cut back to the " + std::to_wstring(target.least) +
                            L" bytes it had before the stopped repair: " + full});
    return true;
}

bool RecoverIn(int folderFd, const std::wstring& root, std::vector<RepairRecoveryLine>& lines, std::wstring& error)
{
    std::string bytes;
    bool present = false;
    int readError = 0;
    if (!LumoUtil::ReadFramedFile(folderFd, JournalName(), bytes, present, readError))
    {
        error = (present ? L"cannot read the record of a stopped repair in " : L"cannot open the record of a stopped repair in ") +
                root + L": " + ErrnoText(readError);
        return false;
    }
    if (!present)
        return true;
    bool begun = false;
    std::vector<RepairRecoveryLine> found;
    const std::map<std::string, Target> targets = ParseRecords(root, bytes, begun, found);
    // A record torn before its first line was whole: the repair had changed nothing yet.
    if (begun || !found.empty())
        lines.push_back({2, L"A repair of " + root + L" was stopped before it finished: files it was mending may "
                                                     L"be part old, part new. Run the repair again."});
    lines.insert(lines.end(), found.begin(), found.end());
    std::vector<std::wstring> changed;
    for (const auto& [path, target] : targets)
    {
        bool cut = false;
        if (!Settle(folderFd, root, path, target, lines, error, cut))
            return false;
        if (cut)
            changed.push_back(FromNativePath(path));
    }
    // A cut within the second of the summary's last look keeps the time the summary holds.
    std::string forgetError;
    if (!ForgetFilesInSummary(root, changed, forgetError))
    {
        error = L"cannot drop the files cut back from the repair's summary: " + FromNativePath(forgetError);
        return false;
    }
    if (::unlinkat(folderFd, JournalName().c_str(), 0) != 0)
    {
        error = L"cannot remove the record of a stopped repair in " + root + L": " + ErrnoText(errno);
        return false;
    }
    ::fsync(folderFd);
    return true;
}

} // namespace

RepairJournal::RepairJournal(std::wstring root) : m_root(std::move(root)) {}

RepairJournal::~RepairJournal()
{
    Close();
}

void RepairJournal::Close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_folderFd >= 0)
        ::close(m_folderFd);
    m_fd = m_folderFd = -1;
}

bool RepairJournal::Begin(std::string& error)
{
    m_folderFd = ::open(NativeRoot(m_root).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_folderFd >= 0)
        m_fd = ::openat(m_folderFd, JournalName().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC,
                        0644);
    if (m_fd < 0)
    {
        error = "cannot create the repair journal in " + NativeRoot(m_root) + ": " + std::strerror(errno);
        Close();
        return false;
    }
    if (!Append("BEGIN\n", error))
        return false;
    // The file's name must outlive a power loss as much as its lines.
    if (::fsync(m_folderFd) != 0)
    {
        error = "cannot flush the repair journal in " + NativeRoot(m_root) + ": " + std::strerror(errno);
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
    if (::syncfs(m_folderFd) != 0)
    {
        error = "cannot flush the installation " + NativeRoot(m_root) + ": " + std::strerror(errno);
        ok = false;
    }
    else if (stopped)
        ok = Append("STOPPED\n", error);
    else if (::unlinkat(m_folderFd, JournalName().c_str(), 0) != 0)
    {
        error = "cannot remove the repair journal in " + NativeRoot(m_root) + ": " + std::strerror(errno);
        ok = false;
    }
    else
        ::fsync(m_folderFd);
    Close();
    return ok;
}

bool RecoverStoppedRepair(const std::wstring& root, std::vector<RepairRecoveryLine>& lines)
{
    if (root.empty())
        return true;
    const int folderFd = ::open(NativeRoot(root).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0)
        return true; // no folder: no record (the run reports a folder it cannot use)
    std::wstring error;
    const bool ok = RecoverIn(folderFd, root, lines, error);
    ::close(folderFd);
    if (!ok)
        lines.push_back({3, L"A repair of " + root + L" was stopped, and what it left could not be put right: " +
                                error + L". Nothing more is done until it can be; the next start tries again."});
    return ok;
}
