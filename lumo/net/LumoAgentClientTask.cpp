#include "lumo/net/LumoAgentClientTask.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

// Prints line followed by the reason (text, else the system's), and keeps the system's reason for
// the receive loop (a full disk stops it).
bool FailWithReason(SegmentWrite& write, const std::string& line, int reason, const std::wstring& text = L"")
{
    LumoNet::PrintConsoleLine("%s: %s\n", line.c_str(),
                              text.empty() ? std::strerror(reason ? reason : EIO) : LumoNet::ShownPath(text).c_str());
    write.systemError = reason ? reason : EIO;
    return false;
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
        LumoNet::PrintConsoleLine("LumoAgentClientTask::ReceiveFile> called while already busy\n");
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
    if (reader.firstError != LUMORESULT_OK)
    {
        LumoNet::PrintConsoleLine("LumoAgentClientTask::ReceiveFile> error %d\n", int(reader.firstError));
        Free();
        return false;
    }

    if ((m_checksum == 0 && (m_compressed != 0 || length != 0)) || (m_checksum != 0 && m_compressed != 0 && length == 0))
    {
        LumoNet::PrintConsoleLine("LumoAgentClientTask::ReceiveFile> mismatched flags from server\n");
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
        LumoNet::PrintConsoleLine("LumoAgentClientTask::ReceiveFile> refused segment name from server: %s %s\n",
                                  LumoNet::ShownPath(m_name).c_str(), LumoNet::ShownPath(reason).c_str());
        Free();
        return false;
    }
    const uint64_t limit = owner.GetSegmentLimit(path);
    if (index >= limit)
    {
        LumoNet::PrintConsoleLine("LumoAgentClientTask::ReceiveFile> refused %s from server: its file can have "
                                  "%llu segments at most\n",
                                  LumoNet::ShownPath(m_name).c_str(), static_cast<unsigned long long>(limit));
        Free();
        return false;
    }
    if (length > (m_compressed ? kMaxCompressedLength : kSegmentSize))
    {
        LumoNet::PrintConsoleLine("LumoAgentClientTask::ReceiveFile> %u bytes of data for %s is more than a segment\n",
                                  length, LumoNet::ShownPath(m_name).c_str());
        Free();
        return false;
    }

    LumoDataBufferMemoryDynamic& data = m_compressed ? m_compressedData : m_plainData;
    data.SetSize(0);
    data.SetPosition(0);
    if (const LUMORESULT result = LumoUtil::CopyData(data, stream, length))
    {
        LumoNet::PrintConsoleLine("LumoAgentClientTask::ReceiveFile> error %d\n", int(result));
        Free();
        return false;
    }
    m_plainData.SetPosition(0);
    m_compressedData.SetPosition(0);
    std::string threadError;
    if (m_compressed && !m_decompressThread.Start([this] { m_ok = ThreadedDecompress(); }, &threadError))
    {
        LumoNet::PrintConsoleLine("LumoAgentClientTask::ReceiveFile> cannot inflate %s: %s\n",
                                  LumoNet::ShownPath(m_name).c_str(), threadError.c_str());
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
        LumoNet::PrintConsoleLine("LumoAgentClientTask::ThreadedDecompress> error %d\n", int(result));
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
        LumoNet::PrintConsoleLine("LumoAgentClientTask::WriteFileBegin> called while already busy\n");
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
        LumoNet::PrintConsoleLine("LumoAgentClientTask::WriteFileBegin> cannot write %s: %s\n",
                                  LumoNet::ShownPath(m_name).c_str(), threadError.c_str());
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
        LumoNet::PrintConsoleLine("   error: no installation is open to write %s in\n", LumoNet::ShownPath(m_name).c_str());
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
        LumoNet::PrintConsoleLine("   error: %s\n", LumoNet::ShownPath(error).c_str());
        return false;
    }
    const std::wstring& path = file.path;
    const std::string narrow = LumoNet::ShownPath(path);
    // What the record says the bytes are is what the summary will claim: check it first.
    if (m_checksum != 0 && !MatchesChecksum())
    {
        LumoNet::PrintConsoleLine("   error: the data received for %s does not match its checksum\n", narrow.c_str());
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
        return FailWithReason(m_write, "   warning: failed to open path " + narrow, folder ? EISDIR : EINVAL);
    if (m_checksum == 0 && folder)
        return FailWithReason(m_write, std::string(index > 0 ? "   error: failed to truncate file "
                                                             : "   error: failed to delete file ") + narrow, EISDIR);
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
        int reason = 0;
        const int fd = LumoNet::OpenForRepairWrite(door, file.relative, !m_write.existedBefore, error, reason);
        if (fd < 0)
            return FailWithReason(m_write, "   warning: failed to open path " + narrow, reason, error);
        // Every failure from here on takes back what the write added to the file.
        auto fail = [&](const std::string& line) {
            const int failure = errno;
            UndoGrowth(door, m_write, fd);
            ::close(fd);
            return FailWithReason(m_write, line + narrow, failure);
        };
        struct stat status{};
        errno = 0;
        if (::fstat(fd, &status) != 0)
            return fail("   error: failed to set file position for ");
        const uint64_t oldSize = uint64_t(status.st_size);
        if (oldSize < start)
        {
            // The zeros that fill the gap change the old last segment and make new ones: their
            // entries no longer describe the disk (the next scan computes them afresh).
            if (::ftruncate(fd, off_t(start)) != 0)
                return fail("   error: failed to set file position for ");
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
                return fail("  error while downloading file ");
            position += n;
            left -= n;
        }
        // A short segment is the file's last: whatever lies behind it goes.
        const bool cut = position < end && ::fstat(fd, &status) == 0 && uint64_t(status.st_size) > position;
        if (cut && ::ftruncate(fd, off_t(position)) != 0)
            return fail("   error: failed to truncate file ");
        if (::fsync(fd) != 0)
            return fail("  error while downloading file ");
        if (::close(fd) != 0)
        {
            const int failure = errno;
            UndoGrowth(door, m_write, -1);
            return FailWithReason(m_write, "  error while downloading file " + narrow, failure);
        }
        if (cut)
            summary.RemoveSegmentsAfter(m_name);
        m_write.length = position - start;
        if (!summary.RegisterSegment(MakeSegmentName(path, index), m_name, m_checksum))
        {
            LumoNet::PrintConsoleLine("   error: failed to register file %s\n", narrow.c_str());
            return false;
        }
        return true;
    }

    // A cut or delete is done only when the file ends before the segment, or is gone: a folder
    // the record names stays, and the record fails.
    if (file.kind != LumoUtil::InstallFileKind::Missing)
    {
        if (index > 0)
        {
            if (!m_write.existedBefore)
                return FailWithReason(m_write, "   error: failed to truncate file " + narrow, EINVAL);
            int reason = 0;
            if (file.size > start && !LumoNet::CutForRepair(door, file.relative, start, error, reason))
                return FailWithReason(m_write, "   error: failed to truncate file " + narrow, reason, error);
            summary.RemoveSegmentsAfter(m_name);
        }
        else
        {
            errno = 0;
            if (!door.RemoveFile(file.relative, error))
                return FailWithReason(m_write, "   error: failed to delete file " + narrow, errno, error);
        }
    }
    summary.RemoveSegment(m_name);
    return true;
}
