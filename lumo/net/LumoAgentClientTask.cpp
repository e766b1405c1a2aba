#include "lumo/net/LumoAgentClientTask.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstring>
#include <vector>

#include "lumo/buffers/Compression.h"
#include "lumo/buffers/LumoDataBufferReader.h"
#include "lumo/buffers/LumoDataBufferUtil.h"
#include "lumo/net/ConsoleLine.h"
#include "lumo/net/FileGrowthCheck.h"
#include "lumo/net/RepairFileAccess.h"
#include "lumo/net/SegmentCrc.h"
#include "lumo/net/SegmentName.h"
#include "lumo/net/WireIntegers.h"
#include "lumo/text/SafePath.h"
#include "lumo/text/StringUtil.h"
#include "platform/NativePath.h"

namespace
{
using LumoUtil::kSegmentSize;
// A compressed segment: the container's count and chunk header around zlib's bound for 4 MiB.
constexpr uint64_t kMaxCompressedLength =
    kSegmentSize + (kSegmentSize >> 12) + (kSegmentSize >> 14) + (kSegmentSize >> 25) + 13 + 12;

using LumoNet::ReadU32;

// Reports line followed by the reason (text, else the system's), and keeps the system's reason
// for the receive loop (a full disk stops it).
bool FailWithReason(SegmentTransferOwner& owner, SegmentWrite& write, const std::string& line, int reason,
                    const std::wstring& text = L"")
{
    owner.ReportFailure(line + ": " + (text.empty() ? std::strerror(reason ? reason : EIO) : LumoNet::ShownPath(text)));
    write.systemError = reason ? reason : EIO;
    return false;
}

// Why a read from the server's stream failed, in words.
std::string ConnectionFailureText(LUMORESULT result)
{
    switch (result)
    {
    case LUMORESULT_ABORTED: return "the connection to the repair server was closed";
    case LUMORESULT_NETWORK_ERROR: return "the connection to the repair server was lost";
    case LUMORESULT_OUT_OF_SPACE: return "there was no memory for the data";
    default: return LumoUtil::DescribeResult(result);
    }
}

// Removes the folders a write made for its file when the write fails: a record that never
// reached the disk leaves no empty folders behind. Only empty folders go, innermost first, each
// reached through the door one name at a time (so no depth makes a path too long).
class FoldersMade
{
public:
    // The folders above relative (link-free) that do not exist yet, outermost first.
    FoldersMade(const LumoUtil::InstallDoor& door, const std::wstring& relative) : m_door(door)
    {
        std::wstring folder = relative;
        for (size_t slash = folder.rfind(L'/'); slash != std::wstring::npos && slash > 0; slash = folder.rfind(L'/'))
        {
            folder.resize(slash);
            if (door.Look(folder).kind != LumoUtil::InstallFileKind::Missing)
                break;
            m_folders.insert(m_folders.begin(), folder);
        }
    }
    ~FoldersMade()
    {
        // One that holds something now stays, and so do the folders above it.
        for (auto folder = m_folders.rbegin(); folder != m_folders.rend(); ++folder)
        {
            LumoUtil::InstallDoor::FolderRemoval outcome;
            std::wstring ignored;
            if (!m_door.RemoveEmptyFolder(*folder, outcome, ignored) ||
                outcome == LumoUtil::InstallDoor::FolderRemoval::Stayed)
                break;
        }
    }
    void Keep() { m_folders.clear(); }

private:
    const LumoUtil::InstallDoor& m_door;
    std::vector<std::wstring> m_folders;
};

// The install-relative path a summary keys a file under ("\\" between parts).
std::wstring BackslashPath(std::wstring path)
{
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

// Takes back what a failed write through fd added past the file's old end (gap zeros and part of
// the segment), or the file it created: only bytes the server sent whole may lengthen a file.
// Bytes it changed within the old length stay; the file's new time makes the next scan read them.
// fd: the file's descriptor while it is open, else -1.
void UndoGrowth(const LumoUtil::InstallDoor& door, const SegmentWrite& write, int fd)
{
    std::wstring ignored;
    int reason = 0;
    struct stat status{};
    if (!write.existedBefore)
        door.RemoveFile(write.reached, ignored);
    else if (fd < 0 && door.Look(write.reached).size > write.sizeBefore)
        LumoNet::CutForRepair(door, write.reached, write.sizeBefore, ignored, reason);
    else if (::fstat(fd, &status) == 0 && uint64_t(status.st_size) > write.sizeBefore)
        (void)::ftruncate(fd, off_t(write.sizeBefore));
}

// Writes all of data at offset.
bool WriteAt(int fd, const uint8_t* data, size_t length, uint64_t offset)
{
    while (length > 0)
    {
        const ssize_t n = ::pwrite(fd, data, length, off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= size_t(n);
        offset += uint64_t(n);
    }
    return true;
}
} // namespace

void SegmentTransferOwner::ReportFailure(const std::string& reason)
{
    LumoNet::PrintWholeLine(reason);
}

LumoAgentClientTask::~LumoAgentClientTask()
{
    m_writeThread.Join();
    Free();
}

void LumoAgentClientTask::Free()
{
    m_decompressThread.Join();
    m_plainData.SetSize(0);
    m_compressedData.SetSize(0);
    m_owner = nullptr;
    m_writeBegun = false;
}

bool LumoAgentClientTask::ReceiveFile(SegmentTransferOwner& owner)
{
    if (m_owner)
    {
        LumoNet::PrintDebugLine("a record arrived while the previous one was still being received\n");
        return false;
    }
    m_owner = &owner;
    m_compressed = 0;
    m_name.clear();
    m_checksum = 0;
    m_ok = true;

    LumoDataBuffer& stream = owner.GetStream();
    LumoDataBufferReader reader(stream);
    uint32_t length = 0;
    reader.firstError = stream.ReadData(&m_compressed, 1);
    if (reader.firstError == LUMORESULT_OK)
        reader.ReadWideString(m_name, kMaxSummaryNameUnits);
    if (reader.firstError == LUMORESULT_OK)
        reader.firstError = ReadU32(stream, m_checksum);
    if (reader.firstError == LUMORESULT_OK)
        reader.firstError = ReadU32(stream, length);
    const std::string shownName = LumoNet::ShownPath(m_name);
    if (reader.firstError != LUMORESULT_OK)
    {
        owner.ReportFailure("No further record came from the repair server" +
                            (m_name.empty() ? std::string() : " (it was sending " + shownName + ")") + ": " +
                            ConnectionFailureText(reader.firstError) + ".");
        Free();
        return false;
    }

    if ((m_checksum == 0 && (m_compressed != 0 || length != 0)) || (m_checksum != 0 && m_compressed != 0 && length == 0))
    {
        owner.ReportFailure("The repair server sent a record for " + shownName +
                            " whose flags contradict each other (a cut that carries data, or compressed data of "
                            "no length); it is refused.");
        Free();
        return false;
    }
    // The name becomes a path below the install folder: it must stay there.
    std::wstring path;
    uint32_t index = 0;
    std::wstring reason;
    if (!ParseSegmentName(m_name, path, index))
        reason = L"it is no file path followed by \"#\" and a segment index";
    else if (LumoUtil::IsSafeRelativePath(path, &reason, LumoUtil::NameText::Utf16) &&
             !owner.GetSummary().LeavesOut(path, &reason))
        reason.clear();
    if (!reason.empty())
    {
        owner.ReportFailure("The repair server sent a record named " + shownName + ", which is refused: " +
                            LumoNet::ShownPath(reason));
        Free();
        return false;
    }
    const uint64_t limit = owner.GetSegmentLimit(path);
    if (index >= limit)
    {
        owner.ReportFailure("The repair server sent " + shownName + ", but its file can have " +
                            std::to_string(limit) + " segments at most; the record is refused.");
        Free();
        return false;
    }
    if (length > (m_compressed ? kMaxCompressedLength : kSegmentSize))
    {
        owner.ReportFailure("The repair server sent " + std::to_string(length) + " bytes of data for " + shownName +
                            ", more than a segment holds; the record is refused.");
        Free();
        return false;
    }

    LumoDataBufferMemoryDynamic& data = m_compressed ? m_compressedData : m_plainData;
    data.SetSize(0);
    data.SetPosition(0);
    if (const LUMORESULT result = LumoUtil::CopyData(data, stream, length))
    {
        owner.ReportFailure("The data of " + shownName + " did not arrive whole from the repair server: " +
                            ConnectionFailureText(result) + ".");
        Free();
        return false;
    }
    m_plainData.SetPosition(0);
    m_compressedData.SetPosition(0);
    std::string threadError;
    if (m_compressed && !m_decompressThread.Start([this] { m_ok = ThreadedDecompress(); }, &threadError))
    {
        owner.ReportFailure("Cannot unpack the data of " + shownName + ": " + threadError);
        Free();
        return false;
    }
    return true;
}

bool LumoAgentClientTask::ThreadedDecompress()
{
    m_plainData.SetSize(0);
    m_plainData.SetPosition(0);
    // One chunk at most: a segment is 4 MiB, and the output limit below bounds the chunk's size.
    uint32_t chunks = 0;
    LUMORESULT result = ReadU32(m_compressedData, chunks);
    if (result == LUMORESULT_OK && chunks > 1)
        result = LUMORESULT_BAD_FORMAT;
    if (result == LUMORESULT_OK && (result = m_compressedData.SetPosition(0)) == LUMORESULT_OK)
        result = LumoUtil::DecompressData(m_plainData, m_compressedData, kSegmentSize);
    m_compressedData.SetSize(0);
    m_plainData.SetPosition(0);
    if (result != LUMORESULT_OK)
    {
        m_owner->ReportFailure("The compressed data the repair server sent for " + LumoNet::ShownPath(m_name) +
                               " is damaged (it does not unpack to one segment); nothing of it was written.");
        return false;
    }
    return true;
}

bool LumoAgentClientTask::WriteFileBegin()
{
    if (!m_owner || m_writeBegun)
        return true;
    if (m_writeThread.Started())
    {
        LumoNet::PrintDebugLine("a file write began while the previous one was still under way\n");
        return false;
    }
    m_decompressThread.Join();
    if (!m_ok)
    {
        Free();
        return false;
    }
    m_write = SegmentWrite();
    std::string threadError;
    if (!m_writeThread.Start([this] { m_ok = ThreadedWrite(); }, &threadError))
    {
        m_owner->ReportFailure("Cannot write " + LumoNet::ShownPath(m_name) + ": " + threadError);
        Free();
        return false;
    }
    m_writeBegun = true;
    return true;
}

bool LumoAgentClientTask::WriteFileEnd(SegmentWrite* outcome)
{
    if (outcome)
        *outcome = SegmentWrite();
    if (!m_owner)
        return true;
    if (!m_writeBegun && !WriteFileBegin())
        return false;
    m_writeThread.Join();
    const bool ok = m_ok;
    if (outcome)
        *outcome = m_write;
    Free();
    return ok;
}

bool LumoAgentClientTask::MatchesChecksum()
{
    uint8_t block[65536];
    uint32_t crc = 0;
    const uint64_t size = m_plainData.GetSize();
    m_plainData.SetPosition(0);
    for (uint64_t done = 0; done < size;)
    {
        const uint32_t n = uint32_t(std::min<uint64_t>(sizeof block, size - done));
        if (m_plainData.ReadData(block, n) != LUMORESULT_OK)
            return false;
        crc = LumoUtil::UpdateSegmentCrc(crc, block, n);
        done += n;
    }
    m_plainData.SetPosition(0);
    return (crc == 0 ? 1 : crc) == m_checksum;
}

bool LumoAgentClientTask::ThreadedWrite()
{
    const bool ok = WriteRecord();
    m_write.written = ok;
    if (!m_write.path.empty())
    {
        // What the file is now, whatever step failed.
        const LumoUtil::InstallFile now = m_owner->GetDoor()->Look(m_write.reached);
        m_write.sizeAfter = now.kind == LumoUtil::InstallFileKind::Regular ? now.size : 0;
    }
    return ok;
}

bool LumoAgentClientTask::WriteRecord()
{
    FileTreeSummary& summary = m_owner->GetSummary();
    if (!m_owner->GetDoor())
    {
        m_owner->ReportFailure("No installation is open to write " + LumoNet::ShownPath(m_name) + " in.");
        return false;
    }
    const LumoUtil::InstallDoor& door = *m_owner->GetDoor();
    std::wstring relative;
    uint32_t index = 0;
    ParseSegmentName(m_name, relative, index); // checked on receipt
    const std::wstring relativeName = GetSegmentPath(m_name);
    std::wstring error;
    // The name was checked on receipt; the file it reaches in another spelling ("PATCH.JOURNAL") or
    // through a link inside the installation is checked here, and is the one written, cut, deleted
    // and recorded.
    LumoUtil::InstallFile file;
    if (!door.Reach(relative, file, error, LumoUtil::NameText::Utf16) || summary.LeavesOut(file.relative, &error))
    {
        m_owner->ReportFailure("The repair server's record " + LumoNet::ShownPath(m_name) +
                               " is refused: " + LumoNet::ShownPath(error));
        return false;
    }
    const std::wstring& path = file.path;
    const std::string narrow = LumoNet::ShownPath(path);
    // What the record says the bytes are is what the summary will claim: check it first.
    if (m_checksum != 0 && !MatchesChecksum())
    {
        m_owner->ReportFailure("The data the repair server sent for " + narrow + " (segment " +
                               std::to_string(index) + ") does not match its checksum; it was not written.");
        return false;
    }
    const uint64_t start = uint64_t(index) * kSegmentSize;
    const uint64_t end = start + kSegmentSize;

    // From here on the file may change: the outcome names it.
    m_write.path = path;
    m_write.reached = file.relative;
    m_write.relativePath = relativeName;
    m_write.index = index;
    m_write.data = m_checksum != 0;
    m_write.existedBefore = file.kind == LumoUtil::InstallFileKind::Regular;
    m_write.sizeBefore = file.size;
    // A folder, FIFO or device standing there is never written, cut or deleted.
    const bool folder = file.kind == LumoUtil::InstallFileKind::Folder;
    if (m_checksum != 0 && !m_write.existedBefore && file.kind != LumoUtil::InstallFileKind::Missing)
        return FailWithReason(*m_owner, m_write, "Cannot open " + narrow + " to write the repair's data into it",
                              folder ? EISDIR : EINVAL, LumoNet::NotAFileText(door, file.relative));
    if (m_checksum == 0 && folder)
        return FailWithReason(*m_owner, m_write, (index > 0 ? "Cannot cut " : "Cannot delete ") + narrow, EISDIR);
    // The door could reach a file deeper than a path can name, but nothing else could look at it
    // again (the scan, the next run's checks): such a file is never made.
    if (m_checksum != 0 && ToNativePath(path).size() >= PATH_MAX)
        return FailWithReason(*m_owner, m_write, "Cannot open " + narrow + " to write the repair's data into it",
                              ENAMETOOLONG);
    // A data record may make the file longer; a cut or a delete changes a file that exists.
    if ((m_checksum != 0 || m_write.existedBefore) &&
        !m_owner->BeforeFileChange(path, m_write.existedBefore, m_write.sizeBefore,
                                   m_checksum != 0 ? start + m_plainData.GetSize() : 0))
    {
        m_write.path.clear(); // nothing was changed
        return false;
    }

    if (m_checksum != 0)
    {
        FoldersMade folders(door, file.relative);
        int reason = 0;
        const int fd = LumoNet::OpenForRepairWrite(door, file.relative, !m_write.existedBefore, error, reason);
        if (fd < 0)
            return FailWithReason(*m_owner, m_write, "Cannot open " + narrow + " to write the repair's data into it",
                                  reason, error);
        // Every failure from here on takes back what the write added to the file, and the file's
        // entries: bytes within its old length may have changed within the second of the last scan.
        bool open = true;
        auto fail = [&](const std::string& line) {
            const int failure = errno;
            UndoGrowth(door, m_write, open ? fd : -1);
            if (open)
                ::close(fd);
            summary.RemoveSegmentsFrom(relativeName, 0);
            summary.RemoveSegmentsFrom(BackslashPath(file.relative), 0);
            return FailWithReason(*m_owner, m_write, line, failure);
        };
        struct stat status{};
        errno = 0;
        if (::fstat(fd, &status) != 0)
            return fail("Cannot look at " + narrow);
        const uint64_t oldSize = uint64_t(status.st_size);
        if (oldSize < start)
        {
            // The zeros that fill the gap change the old last segment and make new ones: their
            // entries no longer describe the disk (the next scan computes them afresh).
            if (::ftruncate(fd, off_t(start)) != 0)
                return fail("Cannot fill " + narrow + " up to byte " + std::to_string(start));
            for (uint64_t i = oldSize / kSegmentSize; i < index; ++i)
                summary.RemoveSegment(MakeSegmentName(relativeName, i));
        }
        uint8_t block[65536];
        uint64_t position = start;
        m_plainData.SetPosition(0);
        for (uint64_t left = m_plainData.GetSize(); left > 0;)
        {
            const uint32_t n = uint32_t(std::min<uint64_t>(sizeof block, left));
            if (m_plainData.ReadData(block, n) != LUMORESULT_OK || !WriteAt(fd, block, n, position))
                return fail("Cannot write the repair's data into " + narrow);
            position += n;
            left -= n;
        }
        // A short segment is the file's last: whatever lies behind it goes.
        const bool cut = position < end && ::fstat(fd, &status) == 0 && uint64_t(status.st_size) > position;
        if (cut && ::ftruncate(fd, off_t(position)) != 0)
            return fail("Cannot cut " + narrow + " to the end of its last segment");
        // Not flushed here: the summary that records this segment is saved only after a flush of
        // the whole file system (RepairClient::SaveSummary), one for all the segments written since.
        // The time of the file written, whatever stands at its name by now.
        if (::fstat(fd, &status) != 0)
            return fail("Cannot look at " + narrow + " after writing the repair's data into it");
        open = false;
        if (::close(fd) != 0)
            return fail("Cannot write the repair's data into " + narrow);
        folders.Keep();
        if (cut)
            summary.RemoveSegmentsAfter(m_name);
        m_write.length = position - start;
        summary.RegisterSegment(m_name, m_checksum, FileTreeSummary::FileTimeOf(status));
        return true;
    }

    // A cut or delete is done only when the file ends before the segment, or is gone: a folder
    // the record names stays, and the record fails.
    if (file.kind != LumoUtil::InstallFileKind::Missing)
    {
        if (index > 0)
        {
            if (!m_write.existedBefore)
                return FailWithReason(*m_owner, m_write, "Cannot cut " + narrow + " short", EINVAL,
                                      LumoNet::NotAFileText(door, file.relative));
            int reason = 0;
            if (file.size > start && !LumoNet::CutForRepair(door, file.relative, start, error, reason))
                return FailWithReason(*m_owner, m_write, "Cannot cut " + narrow + " short", reason, error);
            summary.RemoveSegmentsAfter(m_name);
        }
        else
        {
            errno = 0;
            if (!door.RemoveFile(file.relative, error))
                return FailWithReason(*m_owner, m_write, "Cannot delete " + narrow, errno, error);
        }
    }
    summary.RemoveSegment(m_name);
    return true;
}
