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
// installation. Its index must lie within the segments the server's file can have: every segment
// from the end of the file the client described in its summary up to a record's index differs
// from the client's (the client has none there), so the server sends each of them, and an index
// at or beyond the client's segment count plus the records announced is a lie (a hostile index
// would otherwise zero-fill a file to terabytes). Anything else is refused.
//
// Nothing reaches the disk before the whole record has arrived and its bytes match its checksum; a
// record that fails on the way frees its slot and is never written.

#include <cstdint>
#include <string>
#include <thread>

#include "lumo/buffers/LumoDataBuffer.h"
#include "lumo/net/FileTreeSummary.h"

// What a slot reaches through the client that owns it.
class SegmentTransferOwner
{
public:
    virtual ~SegmentTransferOwner() = default;
    virtual const std::wstring& GetRootFolder() const = 0;
    virtual LumoDataBuffer& GetStream() = 0;
    virtual FileTreeSummary& GetSummary() = 0;
    virtual void CountReceivedSegment() = 0;
    // How many segments the server's copy of the file at the install-relative path can have at
    // most; records for higher indexes are refused.
    virtual uint64_t GetSegmentLimit(const std::wstring& path) const = 0;
};

class LumoAgentClientTask
{
public:
    LumoAgentClientTask() = default;
    // Waits for the slot's threads.
    ~LumoAgentClientTask();
    LumoAgentClientTask(const LumoAgentClientTask&) = delete;
    LumoAgentClientTask& operator=(const LumoAgentClientTask&) = delete;

    // Reads one record from the owner's stream; the owner counts it on success. False, with a line
    // on standard output, for a failed read, a refused record or a busy slot; the slot is free then.
    bool ReceiveFile(SegmentTransferOwner& owner);
    // Starts writing the record held (waiting for its inflation first). True when the slot is free
    // or already writing; false when inflation failed (the slot is freed, nothing written).
    bool WriteFileBegin();
    // Finishes the write (beginning it first when needed) and frees the slot; the write's result.
    bool WriteFileEnd();

    bool IsBusy() const { return m_owner != nullptr; }

private:
    bool ThreadedDecompress();
    bool ThreadedWrite();
    bool MatchesChecksum();
    void Free();

    SegmentTransferOwner* m_owner = nullptr;
    std::wstring m_name;
    uint32_t m_checksum = 0;
    uint8_t m_compressed = 0;
    bool m_writeBegun = false;
    // Set by the slot's thread before it ends; read after the join.
    bool m_ok = true;
    std::thread m_decompressThread;
    std::thread m_writeThread;
    LumoDataBufferMemoryDynamic m_plainData;
    LumoDataBufferMemoryDynamic m_compressedData;
};
