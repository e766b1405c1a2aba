#include "lumo/net/FileTreeSummary.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <deque>
#include <memory>
#include <thread>

#include "lumo/files/UniqueFd.h"
#include "lumo/buffers/LumoDataBufferReader.h"
#include "lumo/files/FileUtil.h"
#include "lumo/files/InstallFolder.h"
#include "lumo/net/ConsoleLine.h"
#include "lumo/net/FileSegment.h"
#include "lumo/net/SegmentName.h"
#include "lumo/net/WireIntegers.h"
#include "lumo/os/GuardedThread.h"
#include "lumo/text/PathUtil.h"
#include "lumo/text/SafePath.h"
#include "lumo/text/Utf16.h"
#include "platform/NativePath.h"

namespace
{
using LumoNet::AppendU32;
using LumoNet::AppendU64;
using LumoNet::ReadU32;
using LumoNet::ReadU64;

// A name on disk that the summary can carry and that the segment slots would accept back from the
// server: a "\\" inside it would read as a separator, and a name the slots refuse (bytes that are no
// UTF-8, which come back as lone surrogates, control characters, ":") could never be repaired.
bool IsCarriableName(const std::wstring& name)
{
    return name.find(L'\\') == std::wstring::npos &&
           LumoUtil::IsSafeRelativePath(name, nullptr, LumoUtil::NameText::Utf16);
}

// Runs work(i) for i in [0, count) on all cores; stops early once cancel is set. The helpers run
// under the crash guard; a helper the system refuses leaves its share to the others.
template <class Work>
void RunOnAllCores(size_t count, const std::atomic<bool>* cancel, Work work)
{
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t i = next++; i < count; i = next++)
        {
            if (cancel && cancel->load(std::memory_order_relaxed))
                return;
            work(i);
        }
    };
    const size_t threads = std::min<size_t>(std::max(1u, std::thread::hardware_concurrency()), count);
    std::vector<std::unique_ptr<OS::GuardedThread>> pool;
    for (size_t t = 1; t < threads; ++t)
    {
        auto helper = std::make_unique<OS::GuardedThread>();
        std::string error;
        if (!helper->Start(worker, &error))
        {
            LumoNet::PrintDebugLine("checksums on %zu of %zu threads: %s\n", t, threads,
                                      error.c_str());
            break;
        }
        pool.push_back(std::move(helper));
    }
    worker();
    for (const auto& thread : pool)
        thread->Join();
}

// The table's entries #000, #001, ... of the file path, in a row up to the first gap. They nearly
// always follow each other in the table, so each is compared with the entry after the last one
// found and looked up only when it is not that one (a name such as "a.bin#000.x#000" sorts
// between "a.bin#000" and "a.bin#001").
void StoredSegments(FileTreeSummary::Table& table, const std::wstring& path,
                    std::vector<FileTreeSummary::Table::iterator>& found)
{
    found.clear();
    auto next = table.end();
    for (uint64_t i = 0;; ++i)
    {
        const std::wstring name = MakeSegmentName(path, i);
        const auto at = next != table.end() && next->first == name ? next : table.find(name);
        if (at == table.end())
            return;
        found.push_back(at);
        next = std::next(at);
    }
}


// An entry of a folder listing, with the type the listing gives (DT_UNKNOWN when it gives none).
struct ListedName
{
    std::string name;
    unsigned char type;
    bool operator<(const ListedName& other) const { return name < other.name; }
};

// The entries of the open folder (its descriptor stays as it is), "." and ".." left out, sorted;
// false with errno set when it cannot be listed.
bool ListFolder(int folder, std::vector<ListedName>& names)
{
    const int listing = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listing < 0 ? nullptr : ::fdopendir(listing);
    if (!dir)
    {
        const int e = errno;
        if (listing >= 0)
            ::close(listing);
        errno = e;
        return false;
    }
    errno = 0;
    while (const dirent* item = ::readdir(dir))
        if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0)
            names.push_back(ListedName{item->d_name, item->d_type});
    const int e = errno;
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    errno = e;
    return e == 0;
}

// Opens the folder leaf in folder for walking, never through a link: -1 with errno set.
int OpenFolderAt(int folder, const std::string& leaf)
{
    return ::openat(folder, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Opens the file leaf in folder for reading when it is still the regular file the walk saw
// (device and inode): never through a link, never waiting on a FIFO. -1 otherwise.
int OpenSeenFileAt(int folder, const std::string& leaf, dev_t device, ino_t inode)
{
    const int fd = ::openat(folder, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat status{};
    if (fd >= 0 && ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_dev == device &&
        status.st_ino == inode)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

// Whether the segment read through fd begins with a zero byte.
bool BeginsWithZeroByte(int fd, uint64_t index)
{
    uint8_t first = 1;
    return ::pread(fd, &first, 1, off_t(index * LumoUtil::kSegmentSize)) == 1 && first == 0;
}

// How many files waiting to be looked at, or folders held open for them, make the scan read them
// before it walks on: the folders stay far below the descriptor limit, and each batch still keeps
// every core busy.
constexpr size_t kBatchFiles = 8192;
constexpr size_t kBatchFolders = 256;
} // namespace

bool Utf16Order::operator()(const std::wstring& a, const std::wstring& b) const
{
    return LumoUtil::CompareUtf16(a, b) < 0;
}

// A folder held open while segments of its files wait to be read.
struct FileTreeSummary::OpenFolder
{
    explicit OpenFolder(int descriptor) : fd(descriptor) {}
    ~OpenFolder() { ::close(fd); }
    OpenFolder(const OpenFolder&) = delete;
    OpenFolder& operator=(const OpenFolder&) = delete;
    const int fd;
};

// One planned read of a segment.
struct FileTreeSummary::WalkJob
{
    std::shared_ptr<const OpenFolder> folder;
    std::string leaf;
    dev_t device;
    ino_t inode;
    std::wstring shownPath; // the segment path, for lines
    std::wstring name;
    uint64_t index;
    uint64_t time;
    uint32_t checksum;
    // The file's last segment: the rule of SetZeroLedLastSegmentsUnreadable applies.
    bool last;
    // The checksum the table holds for the segment under the same file time (0: none).
    uint32_t stored;
};

// A file the walk listed, looked at (and its reads planned) on all cores.
struct FileTreeSummary::WalkFile
{
    std::shared_ptr<const OpenFolder> folder;
    std::string leaf;
    std::wstring relative;
};

// What looking at one file found: the segments to read, and the entries it keeps unread.
struct FileTreeSummary::WalkPlan
{
    std::vector<WalkJob> jobs;
    std::vector<Table::iterator> kept;
};

// One scan's files waiting to be looked at, and planned reads.
struct FileTreeSummary::Walk
{
    std::wstring root;
    std::vector<WalkFile> files;
    size_t fileFolders = 0; // folders the waiting files are in
    std::vector<WalkJob> jobs;
};

uint64_t FileTreeSummary::FileTimeOf(const struct stat& status)
{
    return uint64_t(std::max(status.st_mtim.tv_sec, status.st_ctim.tv_sec));
}

FileTreeSummary::FileTreeSummary() : m_checksum(&ComputeSegmentChecksumAt) {}

void FileTreeSummary::Clear()
{
    OS::MutexLock lock(m_mutex);
    m_table.clear();
}

std::vector<uint8_t> FileTreeSummary::Serialise()
{
    OS::MutexLock lock(m_mutex);
    std::vector<uint8_t> bytes;
    // Reserved once for the usual names (one unit a character): no copy of megabytes as it grows.
    size_t expected = 8;
    for (const auto& item : m_table)
        expected += 4 + 2 * item.first.size() + 12;
    bytes.reserve(expected);
    AppendU32(bytes, kSummaryMagic);
    AppendU32(bytes, uint32_t(m_table.size()));
    for (const auto& [name, entry] : m_table)
    {
        AppendU32(bytes, uint32_t(LumoUtil::Utf16Length(name)));
        LumoUtil::AppendUtf16LE(bytes, name);
        AppendU32(bytes, entry.checksum);
        AppendU64(bytes, entry.time);
    }
    return bytes;
}

LUMORESULT FileTreeSummary::Write(LumoDataBuffer& stream)
{
    const std::vector<uint8_t> bytes = Serialise();
    if (bytes.size() > UINT32_MAX)
        return LUMORESULT_OUT_OF_SPACE;
    return stream.WriteData(bytes.data(), uint32_t(bytes.size()));
}

LUMORESULT FileTreeSummary::Read(LumoDataBuffer& stream)
{
    OS::MutexLock lock(m_mutex);
    Clear();
    uint32_t magic = 0;
    if (const LUMORESULT result = ReadU32(stream, magic))
        return result;
    if (magic != kSummaryMagic)
        return LUMORESULT_BAD_FORMAT;
    uint32_t count = 0;
    if (const LUMORESULT result = ReadU32(stream, count))
        return result;
    // No space is reserved for the count: a damaged count only reads on until the data ends.
    LumoDataBufferReader reader(stream);
    for (uint32_t i = 0; i < count; ++i)
    {
        std::wstring name;
        SegmentEntry entry;
        reader.ReadWideString(name, kMaxSummaryNameUnits);
        if (reader.firstError == LUMORESULT_OK &&
            !LumoUtil::IsSafeRelativePath(GetSegmentPath(name), nullptr, LumoUtil::NameText::Utf16))
            reader.firstError = LUMORESULT_BAD_FORMAT;
        if (reader.firstError == LUMORESULT_OK)
            reader.firstError = ReadU32(stream, entry.checksum);
        if (reader.firstError == LUMORESULT_OK)
            reader.firstError = ReadU64(stream, entry.time);
        if (reader.firstError != LUMORESULT_OK)
            return reader.firstError;
        // Saved in table order, so each entry goes in at the end (any order is read all the same;
        // a name met twice keeps its last entry).
        m_table.insert_or_assign(m_table.end(), std::move(name), entry);
    }
    return LUMORESULT_OK;
}

void FileTreeSummary::RegisterSegment(const std::wstring& name, uint32_t checksum, uint64_t time)
{
    OS::MutexLock lock(m_mutex);
    m_table[name] = SegmentEntry{checksum, time, true};
    // A segment written from the server changes the file's time; its other segments did not change.
    StampFileTime(GetSegmentPath(name), time);
}

void FileTreeSummary::PlanFile(const Walk& walk, const WalkFile& file, const struct stat& status,
                               WalkPlan& plan)
{
    // A size that gives another number of segments than the table holds is a change, even under
    // the same time: a file cut short within the second of the last scan must not keep the
    // checksums of bytes it no longer has.
    const uint64_t time = FileTimeOf(status);
    const uint64_t segments = LumoUtil::SegmentCountOf(uint64_t(status.st_size));
    std::vector<Table::iterator> stored;
    if (segments > 0)
        StoredSegments(m_table, file.relative, stored);
    const bool sameSegments = segments == 0 || stored.size() == segments;
    std::wstring fullPath;
    for (uint64_t i = 0; i < segments; ++i)
    {
        // An unchanged file keeps the stored checksum without reading the segment, unless its time
        // is that of the last save or later: a change within that second keeps the time.
        const auto found = sameSegments ? stored[i] : m_table.end();
        const bool sameTime = found != m_table.end() && found->second.time == time;
        if (sameTime && time < m_savedAt)
        {
            plan.kept.push_back(found);
            continue;
        }
        if (fullPath.empty())
            fullPath = LumoUtil::JoinPath(walk.root, file.relative);
        plan.jobs.push_back(WalkJob{file.folder, file.leaf, status.st_dev, status.st_ino,
                                      MakeSegmentName(fullPath, i), MakeSegmentName(file.relative, i), i, time, 0,
                                      i + 1 == segments, sameTime ? found->second.checksum : 0});
    }
}

bool FileTreeSummary::PlanFiles(Walk& walk, const std::atomic<bool>* cancel)
{
    // Each file is looked at on some core: the table is only read meanwhile (the scan holds it).
    std::vector<WalkPlan> plans(walk.files.size());
    RunOnAllCores(walk.files.size(), cancel, [&](size_t i) {
        const WalkFile& file = walk.files[i];
        struct stat status{};
        // Gone since the listing, or no longer a regular file (a link is never followed): no segments.
        if (::fstatat(file.folder->fd, file.leaf.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(status.st_mode))
            PlanFile(walk, file, status, plans[i]);
    });
    walk.files.clear();
    walk.fileFolders = 0;
    if (cancel && cancel->load())
        return false;
    for (WalkPlan& plan : plans)
    {
        for (const Table::iterator& kept : plan.kept)
            kept->second.seen = true;
        std::move(plan.jobs.begin(), plan.jobs.end(), std::back_inserter(walk.jobs));
    }
    return true;
}

bool FileTreeSummary::ReadPlanned(Walk& walk, const std::atomic<bool>* cancel)
{
    if (m_readHook)
        m_readHook();
    RunOnAllCores(walk.jobs.size(), cancel, [&](size_t i) {
        WalkJob& job = walk.jobs[i];
        // Through the folder the walk saw the file in, and only the file it saw there: a link or
        // FIFO swapped in meanwhile is neither followed nor waited on, and reads as unreadable.
        const LumoUtil::UniqueFd file(OpenSeenFileAt(job.folder->fd, job.leaf, job.device, job.inode));
        if (file.Get() < 0)
        {
            LumoNet::PrintConsoleLine("%s changed while it was scanned; the server is asked "
                                      "for it\n",
                                      LumoNet::ShownPath(GetSegmentPath(job.shownPath)).c_str());
            job.checksum = 0;
            return;
        }
        job.checksum = m_checksum(file.Get(), job.index, job.shownPath);
        // A zero-led last segment keeps a checksum only when it is the one the table held for the
        // file at this very time (the server's, written by the repair): else the server is asked.
        if (m_zeroLedLastUnreadable && job.last && job.checksum != job.stored &&
            BeginsWithZeroByte(file.Get(), job.index))
            job.checksum = 0;
    });
    if (cancel && cancel->load())
        return false;
    for (const WalkJob& job : walk.jobs)
        m_table[job.name] = SegmentEntry{job.checksum, job.time, true};
    walk.jobs.clear();
    return true;
}

bool FileTreeSummary::Scan(const std::wstring& root, const ExclusionSet& excluded, const std::atomic<bool>* cancel)
{
    const LumoUtil::UniqueFd folder(::open(ToNativePath(root).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.Get() < 0)
    {
        const int e = errno;
        LumoNet::PrintConsoleLine("The scan cannot open %s: %s\n", LumoNet::ShownPath(root).c_str(),
                                  std::strerror(e));
        return false;
    }
    return Scan(folder.Get(), root, excluded, cancel);
}

bool FileTreeSummary::Scan(int rootFd, const std::wstring& root, const ExclusionSet& excluded,
                           const std::atomic<bool>* cancel)
{
    OS::MutexLock lock(m_mutex);
    m_excluded = excluded;
    for (auto& item : m_table)
        item.second.seen = false;

    const int rootCopy = ::fcntl(rootFd, F_DUPFD_CLOEXEC, 0);
    if (rootCopy < 0)
    {
        const int e = errno;
        LumoNet::PrintConsoleLine("The scan cannot use the folder %s: %s\n",
                                  LumoNet::ShownPath(root).c_str(), std::strerror(e));
        return false;
    }
    Walk walk;
    walk.root = root;
    // Depth first, so that only the folders above the one being walked (and those whose files wait
    // to be read) are open. A folder waiting to be walked is named by its parent's descriptor.
    struct Pending
    {
        std::shared_ptr<const OpenFolder> parent; // null: the root
        std::string leaf;
        std::wstring relative;
    };
    std::vector<Pending> stack;
    stack.push_back(Pending{nullptr, "", L""});
    auto rootFolder = std::make_shared<const OpenFolder>(rootCopy);
    while (!stack.empty())
    {
        if (cancel && cancel->load())
            return false;
        const Pending pending = std::move(stack.back());
        stack.pop_back();
        std::shared_ptr<const OpenFolder> folder = rootFolder;
        if (pending.parent)
        {
            const int fd = OpenFolderAt(pending.parent->fd, pending.leaf);
            if (fd < 0)
            {
                // Swapped for a link or a file since its parent was listed, gone, or not ours to read.
                const int e = errno;
                LumoNet::PrintConsoleLine("The scan skips the folder %s: %s\n",
                                          LumoNet::ShownPath(LumoUtil::JoinPath(root, pending.relative)).c_str(),
                                          e == ELOOP ? "it is a symbolic link now" : std::strerror(e));
                continue;
            }
            folder = std::make_shared<const OpenFolder>(fd);
        }
        if (pending.relative.empty())
            rootFolder.reset(); // held by folder, and by the pending entries below it
        std::vector<ListedName> names;
        if (!ListFolder(folder->fd, names))
        {
            const int e = errno;
            LumoNet::PrintConsoleLine("The scan cannot list the folder %s: %s\n",
                                      LumoNet::ShownPath(LumoUtil::JoinPath(root, pending.relative)).c_str(),
                                      std::strerror(e));
            continue;
        }
        std::vector<Pending> below;
        const size_t filesBefore = walk.files.size();
        for (const auto& [name, listedType] : names)
        {
            // The listing's type where it gives one; a file is looked at again (on all cores) before
            // anything is read.
            unsigned char type = listedType;
            if (type == DT_UNKNOWN)
            {
                struct stat status{};
                if (::fstatat(folder->fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
                    continue; // gone since the listing
                type = S_ISDIR(status.st_mode) ? DT_DIR : S_ISREG(status.st_mode) ? DT_REG : DT_UNKNOWN;
            }
            // Links are never followed (a link to a parent folder would make the walk endless), and
            // only regular files have segments.
            if (type != DT_DIR && type != DT_REG)
                continue;
            const std::wstring wideName = FromNativePath(name);
            // The patcher's own unpack folders below the installation are never the game's.
            if (pending.relative.empty() && LumoUtil::IsRunFolderName(wideName))
                continue;
            std::wstring relative = pending.relative.empty() ? wideName : pending.relative + L"\\" + wideName;
            if (!IsCarriableName(wideName))
            {
                LumoNet::PrintConsoleLine("The scan skips %s: its name cannot be repaired\n",
                                          LumoNet::ShownPath(LumoUtil::JoinPath(root, relative)).c_str());
                continue;
            }
            if (type == DT_DIR)
                below.push_back(Pending{folder, name, std::move(relative)});
            else if (!LeavesOut(relative))
                walk.files.push_back(WalkFile{folder, name, std::move(relative)});
        }
        if (walk.files.size() > filesBefore)
            ++walk.fileFolders;
        if (m_walkHook)
            m_walkHook(pending.relative);
        // Walked in name order: the last pushed is taken first.
        stack.insert(stack.end(), std::make_move_iterator(below.rbegin()), std::make_move_iterator(below.rend()));
        if ((walk.files.size() >= kBatchFiles || walk.fileFolders >= kBatchFolders) &&
            (!PlanFiles(walk, cancel) || !ReadPlanned(walk, cancel)))
            return false;
    }
    if (!PlanFiles(walk, cancel))
        return false;
    if (!ReadPlanned(walk, cancel))
        return false;
    std::erase_if(m_table, [](const auto& item) { return !item.second.seen; });
    return true;
}

bool FileTreeSummary::IsExcluded(const std::wstring& name, const ExclusionSet& excluded)
{
    const std::wstring path = GetSegmentPath(name);
    return std::any_of(excluded.begin(), excluded.end(),
                       [&](const std::wstring& pattern) { return WildcardMatch(pattern, path); });
}

bool FileTreeSummary::LeavesOut(const std::wstring& relative, std::wstring* reason)
{
    OS::MutexLock lock(m_mutex);
    if (LumoUtil::IsReservedInstallName(relative, reason))
        return true;
    std::wstring path = relative;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    if (!IsExcluded(MakeSegmentName(path, 0), m_excluded))
        return false;
    if (reason)
        *reason = L"path \"" + relative + L"\": the repair leaves it out of its summary";
    return true;
}

void FileTreeSummary::RemoveSegment(const std::wstring& name)
{
    OS::MutexLock lock(m_mutex);
    m_table.erase(name);
}

void FileTreeSummary::RemoveSegmentsAfter(const std::wstring& name)
{
    OS::MutexLock lock(m_mutex);
    const std::wstring path = GetSegmentPath(name);
    for (uint64_t i = uint64_t(GetSegmentIndex(name)) + 1; m_table.erase(MakeSegmentName(path, i)) > 0; ++i)
    {
    }
}

void FileTreeSummary::RemoveSegmentsFrom(const std::wstring& path, uint64_t firstIndex)
{
    OS::MutexLock lock(m_mutex);
    // Every name of the file begins with path + "#", so its entries lie together in the table.
    const std::wstring prefix = path + L"#";
    for (auto it = m_table.lower_bound(prefix); it != m_table.end() && it->first.starts_with(prefix);)
    {
        if (GetSegmentPath(it->first) == path && uint64_t(GetSegmentIndex(it->first)) >= firstIndex)
            it = m_table.erase(it);
        else
            ++it;
    }
}

void FileTreeSummary::StampFileTime(const std::wstring& path, uint64_t time)
{
    OS::MutexLock lock(m_mutex);
    for (uint64_t i = 0;; ++i)
    {
        auto found = m_table.find(MakeSegmentName(path, i));
        if (found == m_table.end())
            return;
        found->second.time = time;
    }
}

void FileTreeSummary::SetSavedAt(uint64_t time)
{
    OS::MutexLock lock(m_mutex);
    m_savedAt = time;
}

void FileTreeSummary::SetZeroLedLastSegmentsUnreadable(bool on)
{
    OS::MutexLock lock(m_mutex);
    m_zeroLedLastUnreadable = on;
}

FileTreeSummary::Table FileTreeSummary::Snapshot()
{
    OS::MutexLock lock(m_mutex);
    return m_table;
}

std::unordered_map<std::wstring, uint64_t> FileTreeSummary::SegmentCounts()
{
    OS::MutexLock lock(m_mutex);
    std::unordered_map<std::wstring, uint64_t> counts;
    counts.reserve(m_table.size());
    for (const auto& [name, entry] : m_table)
    {
        uint64_t& count = counts[GetSegmentPath(name)];
        count = std::max(count, uint64_t(GetSegmentIndex(name)) + 1);
    }
    return counts;
}

void FileTreeSummary::SetChecksumFunction(ChecksumFunction function)
{
    OS::MutexLock lock(m_mutex);
    m_checksum = function;
}

void FileTreeSummary::SetWalkHook(WalkHook hook)
{
    OS::MutexLock lock(m_mutex);
    m_walkHook = hook;
}

void FileTreeSummary::SetReadHook(ReadHook hook)
{
    OS::MutexLock lock(m_mutex);
    m_readHook = hook;
}
