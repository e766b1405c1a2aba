#include "lumo/net/FileTreeSummary.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <thread>

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
            LumoNet::PrintConsoleLine("FileTreeSummary::Scan> checksums on %zu of %zu threads: %s\n", t, threads,
                                      error.c_str());
            break;
        }
        pool.push_back(std::move(helper));
    }
    worker();
    for (const auto& thread : pool)
        thread->Join();
}

// How many segments the table holds for the file path in a row from #000.
uint64_t StoredSegmentCount(const FileTreeSummary::Table& table, const std::wstring& path)
{
    uint64_t count = 0;
    while (table.count(MakeSegmentName(path, count)))
        ++count;
    return count;
}

// The file time the table keeps (see the header): the later of modification and status change.
uint64_t FileTimeOf(const struct stat& status)
{
    return uint64_t(std::max(status.st_mtim.tv_sec, status.st_ctim.tv_sec));
}

bool ReadFileTime(const std::wstring& path, uint64_t& time)
{
    struct stat status{};
    if (::stat(ToNativePath(path).c_str(), &status) != 0)
        return false;
    time = FileTimeOf(status);
    return true;
}
} // namespace

bool Utf16Order::operator()(const std::wstring& a, const std::wstring& b) const
{
    return LumoUtil::CompareUtf16(a, b) < 0;
}

FileTreeSummary::FileTreeSummary() : m_checksum(&ComputeSegmentChecksum) {}

void FileTreeSummary::Clear()
{
    OS::MutexLock lock(m_mutex);
    m_table.clear();
}

std::vector<uint8_t> FileTreeSummary::Serialise()
{
    OS::MutexLock lock(m_mutex);
    std::vector<uint8_t> bytes;
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
        m_table[name] = entry;
    }
    return LUMORESULT_OK;
}

bool FileTreeSummary::RegisterSegment(const std::wstring& segmentPath, const std::wstring& name, uint32_t checksum)
{
    OS::MutexLock lock(m_mutex);
    uint64_t time = 0;
    if (!ReadFileTime(GetSegmentPath(segmentPath), time))
        return false;
    auto found = m_table.find(name);
    if (found == m_table.end())
        m_table[name] = SegmentEntry{checksum ? checksum : m_checksum(segmentPath), time, true};
    else
    {
        SegmentEntry& entry = found->second;
        if (entry.time != time || checksum != 0)
        {
            entry.checksum = checksum ? checksum : m_checksum(segmentPath);
            entry.time = time;
        }
        entry.seen = true;
    }
    // A segment written from the server changes the file's time; its other segments did not change.
    if (checksum != 0)
        StampFileTime(GetSegmentPath(name), time);
    return true;
}

bool FileTreeSummary::RegisterFile(const std::wstring& relativePath, const std::wstring& fullPath)
{
    OS::MutexLock lock(m_mutex);
    FileToRegister file{relativePath, fullPath, 0, 0};
    if (LumoUtil::GetFileSize(fullPath, file.size) != LUMORESULT_OK ||
        !ReadFileTime(fullPath, file.time))
    {
        LumoNet::PrintConsoleLine("FileTreeSummary::RegisterFile> unable to get filesize for %s\n",
                                  LumoNet::ShownPath(fullPath).c_str());
        return false;
    }
    return RegisterFiles({file}, nullptr);
}

bool FileTreeSummary::RegisterFiles(const std::vector<FileToRegister>& files, const std::atomic<bool>* cancel)
{
    struct Job
    {
        std::wstring segmentPath;
        std::wstring name;
        uint64_t time;
        uint32_t checksum;
        // The file's last segment: the rule of SetZeroLedLastSegmentsUnreadable applies.
        bool last;
        // The checksum the table holds for the segment under the same file time (0: none).
        uint32_t stored;
    };
    std::vector<Job> jobs;
    for (const FileToRegister& file : files)
    {
        // A size that gives another number of segments than the table holds is a change, even
        // under the same time: a file cut short within the second of the last scan must not keep
        // the checksums of bytes it no longer has.
        const uint64_t segments = LumoUtil::SegmentCountOf(file.size);
        const bool sameSegments = segments == 0 || StoredSegmentCount(m_table, file.relativePath) == segments;
        for (uint64_t i = 0; i < segments; ++i)
        {
            std::wstring name = MakeSegmentName(file.relativePath, i);
            auto found = m_table.find(name);
            // An unchanged file keeps the stored checksum without reading the segment, unless its
            // time is that of the last save or later: a change within that second keeps the time.
            const bool sameTime = sameSegments && found != m_table.end() && found->second.time == file.time;
            if (sameTime && file.time < m_savedAt)
                found->second.seen = true;
            else
                jobs.push_back(Job{MakeSegmentName(file.fullPath, i), std::move(name), file.time, 0, i + 1 == segments,
                                   sameTime ? found->second.checksum : 0});
        }
    }
    RunOnAllCores(jobs.size(), cancel, [&](size_t i) {
        Job& job = jobs[i];
        job.checksum = m_checksum(job.segmentPath);
        // A zero-led last segment keeps a checksum only when it is the one the table held for the
        // file at this very time (the server's, written by the repair): else the server is asked.
        if (m_zeroLedLastUnreadable && job.last && job.checksum != job.stored &&
            SegmentBeginsWithZeroByte(job.segmentPath))
            job.checksum = 0;
    });
    if (cancel && cancel->load())
        return false;
    for (const Job& job : jobs)
        m_table[job.name] = SegmentEntry{job.checksum, job.time, true};
    return true;
}

bool FileTreeSummary::Scan(const std::wstring& root, const ExclusionSet& excluded, const std::atomic<bool>* cancel)
{
    OS::MutexLock lock(m_mutex);
    m_excluded = excluded;
    for (auto& item : m_table)
        item.second.seen = false;

    std::vector<FileToRegister> files;
    struct Folder
    {
        std::string nativePath;
        std::wstring relativePath;
    };
    std::deque<Folder> queue{{ToNativePath(root), L""}};
    while (!queue.empty())
    {
        if (cancel && cancel->load())
            return false;
        const Folder folder = std::move(queue.front());
        queue.pop_front();
        DIR* dir = ::opendir(folder.nativePath.c_str());
        if (!dir)
            continue;
        std::vector<std::string> names;
        while (const dirent* item = ::readdir(dir))
            if (std::string(item->d_name) != "." && std::string(item->d_name) != "..")
                names.emplace_back(item->d_name);
        ::closedir(dir);
        std::sort(names.begin(), names.end());

        for (const std::string& name : names)
        {
            const std::string nativePath = folder.nativePath + "/" + name;
            struct stat status{};
            if (::lstat(nativePath.c_str(), &status) != 0)
                continue;
            // Links are never followed (a link to a parent folder would make the walk endless), and
            // only regular files have segments.
            if (!S_ISDIR(status.st_mode) && !S_ISREG(status.st_mode))
                continue;
            const std::wstring wideName = FromNativePath(name);
            // The patcher's own unpack folders below the installation are never the game's.
            if (folder.relativePath.empty() && LumoUtil::IsRunFolderName(wideName))
                continue;
            if (!IsCarriableName(wideName))
            {
                LumoNet::PrintConsoleLine("FileTreeSummary::Scan> skipping %s, its name cannot be repaired\n",
                                          nativePath.c_str());
                continue;
            }
            const std::wstring relative =
                folder.relativePath.empty() ? wideName : folder.relativePath + L"\\" + wideName;
            if (S_ISDIR(status.st_mode))
                queue.push_back(Folder{nativePath, relative});
            else if (!LeavesOut(relative))
                files.push_back(FileToRegister{relative, LumoUtil::JoinPath(root, relative), uint64_t(status.st_size),
                                               FileTimeOf(status)});
        }
    }
    if (!RegisterFiles(files, cancel))
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

void FileTreeSummary::SetChecksumFunction(ChecksumFunction function)
{
    OS::MutexLock lock(m_mutex);
    m_checksum = function;
}
