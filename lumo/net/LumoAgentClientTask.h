#pragma once
// One transfer slot of the repair client: it reads one segment record from the server's stream,
// inflates it on a thread of its own when it came compressed, and writes it into the installed file
// on another, updating the file-tree summary. The client rotates four slots so that receiving,
// inflating and writing overlap.
//
// Segment record (server to client, integers unsigned little-endian):
//
//   size   field
//   1      compressed: 0 plain, anything else compressed
//   4      name length L in UTF-16 units (at most 32767)
//   2 x L  segment name, UTF-16LE: install-relative path with "\" + "#" + index (lumo/net/SegmentName.h)
//   4      checksum of the segment as the server has it (lumo/net/SegmentCrc.h); 0: the segment is gone
//   4      data length D
//   D      plain: the segment's bytes (at most 4 MiB); compressed: a chunked zlib container
//          (lumo/buffers/Compression.h) of one chunk holding them
//
// A checksum of 0 needs compressed 0 and D 0: the file ends before this segment (index 0: the file
// is deleted); it never makes a file longer. A compressed record needs D > 0. The name may hold any
// Unicode character (no NUL, control character or lone surrogate) and must stay inside the
// installation; it must not name, in any spelling or through a link inside the installation, a file
// the summary leaves out (FileTreeSummary::LeavesOut: the patcher's own files, the excluded ones).
// Its index must lie within the segments the server's file can have: every segment from the end
// of the file the client described in its summary up to a record's index differs from the
// client's (the client has none there), so the server sends each of them, and an index at or
// beyond the client's segment count plus the records announced is a lie (a hostile index would
// otherwise zero-fill a file to terabytes). Anything else is refused.
//
// The file a record changes is the one its name reaches through the installation's door
// (lumo/files/InstallDoor.h): a link inside the installation leads to the file it names, and that
// file is the one written, cut, deleted, recorded and checked at the end of the run; a file with more
// than one name gets a copy of its own before it changes (lumo/net/RepairFileAccess.h).
//
// Nothing reaches the disk before the whole record has arrived and its bytes match its checksum; a
// record that fails on the way frees its slot and is never written. A write the disk refuses says
// the system's reason and takes back what it added past the file's old end, the folders it made
// for the file, and the file's entries in the summary (bytes within the old length may have
// changed). A cut or delete that meets a folder, or cannot be done, fails the record with the
// reason. Every failure reaches the owner's ReportFailure, naming the file.
//
// The inflate and write threads run under the crash guard (lumo/os/GuardedThread.h). A thread the
// system refuses fails the record with a line, like any other failure of the slot.

#include <cstdint>
#include <string>

#include "lumo/buffers/LumoDataBuffer.h"
#include "lumo/files/InstallDoor.h"
#include "lumo/net/FileTreeSummary.h"
#include "lumo/os/GuardedThread.h"

// What a slot reaches through the client that owns it.
class SegmentTransferOwner
{
public:
    virtual ~SegmentTransferOwner() = default;
    // The installation's door: every record's name is reached, and its file opened, cut and
    // deleted, through it only. Null: the owner writes nothing (every write fails with a line).
    virtual const LumoUtil::InstallDoor* GetDoor() const = 0;
    virtual LumoDataBuffer& GetStream() = 0;
    virtual FileTreeSummary& GetSummary() = 0;
    // One more record is on disk (the receive loop tells, once its write has succeeded).
    virtual void CountWrittenSegment() = 0;
    // How many segments the server's copy of the file at the install-relative path can have at
    // most; records for higher indexes are refused.
    virtual uint64_t GetSegmentLimit(const std::wstring& path) const = 0;
    // Called before a record's write changes the file at path (the file really written: the name
    // the door reached, links inside the installation followed; exists and size: the file as it is
    // now), which the write may make end bytes long. False, with a line printed: the write must not
    // happen. An owner that keeps no record of its changes lets every write go on.
    virtual bool BeforeFileChange(const std::wstring& /*path*/, bool /*exists*/, uint64_t /*size*/,
                                  uint64_t /*end*/)
    {
        return true;
    }
    // Why a record could not be received or written, in words for the user, naming its file (UTF-8,
    // whole however long). This one prints it; a client also keeps it for the run's log.
    virtual void ReportFailure(const std::string& reason);
};

// What one record's write did to its file, for the checks made when a run ends
// (lumo/net/FileGrowthCheck.h).
struct SegmentWrite
{
    // The file on disk (the name the door reached); empty when the record never reached it.
    std::wstring path;
    // The same file relative to the installation, link-free ("data/b.bin" for a record that named
    // a link to it): what later cuts open through the door.
    std::wstring reached;
    // Its install-relative path as the record named it ("data\\a.bin").
    std::wstring relativePath;
    uint32_t index = 0;
    // The record carried the segment's bytes (a checksum of 0 cuts or deletes instead).
    bool data = false;
    // The write succeeded.
    bool written = false;
    bool existedBefore = false;
    uint64_t sizeBefore = 0;
    // 0 when the file is gone.
    uint64_t sizeAfter = 0;
    // Bytes of the segment written (data records that succeeded).
    uint64_t length = 0;
    // The system's reason (an errno value) when the file refused the record (a full disk, a folder
    // where a file should be); 0 otherwise.
    int systemError = 0;
};

class LumoAgentClientTask
{
public:
    LumoAgentClientTask() = default;
    // Waits for the slot's threads.
    ~LumoAgentClientTask();
    LumoAgentClientTask(const LumoAgentClientTask&) = delete;
    LumoAgentClientTask& operator=(const LumoAgentClientTask&) = delete;

    // Reads one record from the owner's stream. False, with a line on standard output, for a failed
    // read, a refused record, a busy slot or an inflate thread that could not be started; the slot
    // is free then.
    bool ReceiveFile(SegmentTransferOwner& owner);
    // Starts writing the record held (waiting for its inflation first). True when the slot is free
    // or already writing; false when inflation failed or no write thread could be started (the slot
    // is freed, nothing written).
    bool WriteFileBegin();
    // Finishes the write (beginning it first when needed) and frees the slot; the write's result.
    // When the slot held a record whose write ran, outcome (when given) tells what it did to its
    // file, success or not; otherwise its path is left empty.
    bool WriteFileEnd(SegmentWrite* outcome = nullptr);

    bool IsBusy() const { return m_owner != nullptr; }

private:
    bool ThreadedDecompress();
    bool ThreadedWrite();
    bool WriteRecord();
    bool MatchesChecksum();
    void Free();

    SegmentTransferOwner* m_owner = nullptr;
    std::wstring m_name;
    uint32_t m_checksum = 0;
    uint8_t m_compressed = 0;
    bool m_writeBegun = false;
    // Set by the slot's thread before it ends; read after the join.
    bool m_ok = true;
    SegmentWrite m_write;
    OS::GuardedThread m_decompressThread;
    OS::GuardedThread m_writeThread;
    LumoDataBufferMemoryDynamic m_plainData;
    LumoDataBufferMemoryDynamic m_compressedData;
};
