#include "lumo/net/LumoAgentClientTask.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lumo/buffers/Compression.h"
#include "lumo/buffers/LumoDataBufferFile.h"
#include "lumo/buffers/LumoDataBufferReader.h"
#include "lumo/buffers/LumoDataBufferUtil.h"
#include "lumo/files/FileUtil.h"
#include "lumo/net/ConsoleLine.h"
#include "lumo/net/FileGrowthCheck.h"
#include "lumo/net/SegmentCrc.h"
#include "lumo/net/SegmentName.h"
#include "lumo/net/WireIntegers.h"
#include "lumo/text/SafePath.h"
#include "lumo/text/StringUtil.h"
#include "platform/NativePath.h"

#include <cerrno>
#include <cstring>

namespace
{
using LumoUtil::kSegmentSize;
// A compressed segment: the container's count and chunk header around zlib's bound for 4 MiB.
constexpr uint64_t kMaxCompressedLength =
    kSegmentSize + (kSegmentSize >> 12) + (kSegmentSize >> 14) + (kSegmentSize >> 25) + 13 + 12;

using LumoNet::ReadU32;

// Prints line followed by the system's reason, and keeps the reason for the receive loop (a full
// disk stops it).
bool FailWithReason(SegmentWrite& write, const std::string& line, int reason)
{
    LumoNet::PrintConsoleLine("%s: %s\n", line.c_str(), std::strerror(reason ? reason : EIO));
    write.systemError = reason ? reason : EIO;
    return false;
}

// Takes back what a failed write added past the file's old end (gap zeros and part of the
// segment), or the file it created: only bytes the server sent whole may lengthen a file. Bytes
// it changed within the old length stay; the file's new time makes the next scan read them.
void UndoGrowth(const SegmentWrite& write)
{
    uint64_t size = 0;
    if (!GetRegularFileSize(write.path, size))
        return;
    if (!write.existedBefore)
        LumoUtil::DeleteFile(write.path);
    else if (size > write.sizeBefore)
        (void)::truncate(ToNativePath(write.path).c_str(), off_t(write.sizeBefore));
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
        LumoNet::PrintConsoleLine("A segment record from the repair server could not be read: %s\n",
                                  LumoUtil::DescribeResult(reader.firstError).c_str());
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
        LumoNet::PrintConsoleLine("The data of %s could not be received from the repair server: %s\n",
                                  LumoNet::ShownPath(m_name).c_str(), LumoUtil::DescribeResult(result).c_str());
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
        uint64_t size = 0;
        GetRegularFileSize(m_write.path, size);
        m_write.sizeAfter = size;
    }
    return ok;
}

bool LumoAgentClientTask::WriteRecord()
{
    FileTreeSummary& summary = m_owner->GetSummary();
    std::wstring relative;
    uint32_t index = 0;
    ParseSegmentName(m_name, relative, index); // checked on receipt
    const std::wstring relativeName = GetSegmentPath(m_name);
    std::wstring path;
    std::wstring error;
    // The name was checked on receipt; the file it reaches in another spelling ("PATCH.JOURNAL") or
    // through a link inside the installation is checked here.
    std::wstring reached;
    if (!LumoUtil::ResolveInstallPath(m_owner->GetRootFolder(), relative, path, error, LumoUtil::NameText::Utf16,
                                      &reached) ||
        summary.LeavesOut(reached, &error))
    {
        LumoNet::PrintConsoleLine("   error: %s\n", LumoNet::ShownPath(error).c_str());
        return false;
    }
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
    m_write.relativePath = relativeName;
    m_write.index = index;
    m_write.data = m_checksum != 0;
    uint64_t sizeBefore = 0;
    m_write.existedBefore = GetRegularFileSize(path, sizeBefore);
    m_write.sizeBefore = sizeBefore;
    // A data record may make the file longer; a cut or a delete changes a file that exists.
    if ((m_checksum != 0 || m_write.existedBefore) &&
        !m_owner->BeforeFileChange(path, m_write.existedBefore, m_write.sizeBefore,
                                   m_checksum != 0 ? start + m_plainData.GetSize() : 0))
    {
        m_write.path.clear(); // nothing was changed
        return false;
    }

    LumoUtil::ClearReadOnly(path);
    if (m_checksum != 0)
    {
        errno = 0;
        const int folderError = MakeDirectory(path.substr(0, path.rfind(L'/'))) ? 0 : errno;
        errno = 0;
        LumoDataBufferFile file(path, LumoDataBufferFile::MODE_WRITE_KEEP);
        if (!file.IsOpen())
        {
            // A folder is refused without a reason of the system's; a parent folder that could
            // not be made (a full disk) leaves the open nothing to look in.
            const int reason = errno == 0 ? EISDIR : errno == ENOENT && folderError ? folderError : errno;
            return FailWithReason(m_write, "   warning: failed to open path " + narrow, reason);
        }
        const uint64_t oldSize = file.GetSize();
        if (oldSize < start)
        {
            // The zeros that fill the gap change the old last segment and make new ones: their
            // entries no longer describe the disk (the next scan computes them afresh).
            file.SetSize(start);
            for (uint64_t i = oldSize / kSegmentSize; i < index; ++i)
                summary.RemoveSegment(MakeSegmentName(relativeName, i));
        }
        // Every failure from here on takes back what the write added to the file.
        auto fail = [&](const std::string& line) {
            const int reason = errno;
            file.Close();
            UndoGrowth(m_write);
            return FailWithReason(m_write, line + narrow, reason);
        };
        errno = 0;
        if (file.SetPosition(start) != LUMORESULT_OK)
            return fail("   error: failed to set file position for ");
        LUMORESULT result = LumoUtil::CopyRemainingData(file, m_plainData);
        const uint64_t position = file.GetPosition();
        // A short segment is the file's last: whatever lies behind it goes.
        const bool cut = result == LUMORESULT_OK && position < end && file.GetSize() > position;
        if (cut && file.SetSize(position) != LUMORESULT_OK)
            return fail("   error: failed to truncate file ");
        if (result == LUMORESULT_OK)
            result = file.Close();
        if (result != LUMORESULT_OK)
            return fail("  error " + std::to_string(int(result)) + " while downloading file ");
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
    if (LumoUtil::FileExists(path))
    {
        const int notAFile = LumoUtil::IsDirectory(path) ? EISDIR : EINVAL;
        uint64_t size = 0;
        if (index > 0)
        {
            if (!GetRegularFileSize(path, size))
                return FailWithReason(m_write, "   error: failed to truncate file " + narrow, notAFile);
            if (size > start)
            {
                errno = 0;
                LumoDataBufferFile file(path, LumoDataBufferFile::MODE_WRITE_KEEP);
                if (!file.IsOpen() || file.SetSize(start) != LUMORESULT_OK || file.Close() != LUMORESULT_OK)
                    return FailWithReason(m_write, "   error: failed to truncate file " + narrow, errno);
            }
            summary.RemoveSegmentsAfter(m_name);
        }
        else
        {
            errno = 0;
            if (!LumoUtil::DeleteFile(path))
                return FailWithReason(m_write, "   error: failed to delete file " + narrow,
                                      GetRegularFileSize(path, size) ? errno : notAFile);
        }
    }
    summary.RemoveSegment(m_name);
    return true;
}
