#pragma once
// The file-tree summary: every 4 MiB segment of the files under an install folder with the
// checksum of its bytes (lumo/net/SegmentCrc.h) and its file's time. The repair client keeps it in
// "repair.cks", rescans it (reading only segments whose file time changed), and sends the same
// bytes to the repair server, which answers with the segments that differ.
//
// The file time is the later of the file's modification time and its status-change time (ctime):
// a file cut or rewritten and given its old modification time back ("touch -r", an archiver) still
// shows a new ctime, which no tool can set back. (A change within the second of the last scan
// keeps its second, and anything that only touches the file's status, a chmod or a copy of the
// installation, costs one more read of its segments.) A change within the second of the last
// save is caught as version-control indexes catch "racily clean" files: given the moment the table
// was last saved (SetSavedAt), a scan trusts the stored checksums only of files whose time is
// older than that moment; a file changed in that very second, or later, is read again.
//
// The "0stf" layout, on disk and on the wire (integers unsigned little-endian, no padding):
//
//   offset  size  field
//   0       4     magic 0x66747330: the bytes "0" "s" "t" "f"
//   4       4     entry count N
//   8       ...   N entries in table order:
//                   4      name length L in UTF-16 code units
//                   2 x L  segment name (lumo/net/SegmentName.h), UTF-16LE, no terminator
//                   4      checksum; 0 means the segment could not be read
//                   8      file time (above), seconds since 1970-01-01 UTC
//
// The table is ordered by UTF-16 code units, so "a.bin#1000" comes before "a.bin#101".
// One recursive mutex guards the table; every operation holds it for its whole run, which
// serialises the scan, the segment writers and the saves.

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "lumo/buffers/LumoDataBuffer.h"
#include "lumo/buffers/LumoResult.h"
#include "lumo/os/OSMutex.h"

constexpr uint32_t kSummaryMagic = 0x66747330;
// The longest name a reader accepts, in UTF-16 units (no path is longer).
constexpr uint32_t kMaxSummaryNameUnits = 32767;

struct SegmentEntry
{
    uint32_t checksum = 0;
    uint64_t time = 0;
    // Registered by the last scan or write; not stored.
    bool seen = false;
};

struct Utf16Order
{
    bool operator()(const std::wstring& a, const std::wstring& b) const;
};

class FileTreeSummary
{
public:
    using Table = std::map<std::wstring, SegmentEntry, Utf16Order>;
    using ExclusionSet = std::set<std::wstring>;
    // How a segment's checksum is found from the file's descriptor (ComputeSegmentChecksumAt in
    // lumo/net/FileSegment.h; tests count or fake it). shownPath: the segment path for lines.
    using ChecksumFunction = uint32_t (*)(int fd, uint64_t index, const std::wstring& shownPath);
    // Called by a scan once a folder's entries have been looked at, before any folder below it is
    // opened (relative: the folder's install-relative path, "" for the root). Tests change what
    // stands there at that moment.
    using WalkHook = void (*)(const std::wstring& relative);
    // Called by a scan once it has looked at a batch of files, before it reads any of them.
    using ReadHook = void (*)();

    FileTreeSummary();

    void Clear();

    // The "0stf" bytes of the table.
    std::vector<uint8_t> Serialise();
    // Writes them at the stream's position; the write's result.
    LUMORESULT Write(LumoDataBuffer& stream);
    // Replaces the table with the stream's "0stf" content. LUMORESULT_BAD_FORMAT for another magic
    // (the table stays empty); otherwise reading stops at the first failed read, keeping the entries
    // read whole before it, and returns that read's code (LUMORESULT_OUT_OF_SPACE for a name longer
    // than kMaxSummaryNameUnits; LUMORESULT_BAD_FORMAT for a name whose path could not lie inside
    // an installation, LumoUtil::IsSafeRelativePath). Memory grows only with the bytes actually read.
    LUMORESULT Read(LumoDataBuffer& stream);

    // Records a segment just written with that content (checksum non-zero) at the file time time
    // (FileTimeOf the descriptor it was written through); the file's other entries get that time.
    void RegisterSegment(const std::wstring& name, uint32_t checksum, uint64_t time);

    // The file time the table keeps (see above).
    static uint64_t FileTimeOf(const struct stat& status);

    // Rebuilds the table from the folder tree under the folder rootFd (a descriptor of the
    // installation, root its path for lines): files whose install-relative path matches
    // a pattern of excluded are left out (folders are always walked), checksums are computed only
    // for new segments and changed files, on all cores, and entries of files that are gone are
    // dropped. A file is changed when its time differs from its entries' or when its size no longer
    // gives the segments the table holds for it (the stored times are whole seconds, so a file
    // cut or grown within the second of its last write keeps its time; one given its old
    // modification time back does not, see the file time above). The checksum threads run under the crash guard; when the system gives fewer threads
    // than cores, the scan goes on with those it got (at least the calling one). Symbolic links and other non-regular files are skipped, as are names that could not be
    // repaired (a "\" inside a name, bytes that are no UTF-8, control characters, ":"), each with a
    // line; every other name is carried, whatever its script. The patcher's own run folders directly
    // under root (lumo/files/InstallFolder.h) are not walked, and the patcher's own files are left
    // out (LeavesOut). When cancel becomes true the scan stops without dropping anything and
    // returns false.
    // The walk goes through descriptors only: each folder is opened relative to its parent's
    // descriptor without following a link, each entry looked at without following one, and each
    // segment read through a descriptor of its file opened the same way (never waiting on a FIFO)
    // and checked to be the regular file the walk saw. A folder swapped for a link meanwhile is
    // not entered (a line says so); a file swapped meanwhile gives checksum 0 (the server sends
    // its own). At most a few hundred folders are held open at once.
    bool Scan(int rootFd, const std::wstring& root, const ExclusionSet& excluded,
              const std::atomic<bool>* cancel = nullptr);
    // The same for a folder named by its path (opened here, following a link there).
    bool Scan(const std::wstring& root, const ExclusionSet& excluded, const std::atomic<bool>* cancel = nullptr);

    static bool IsExcluded(const std::wstring& name, const ExclusionSet& excluded);

    // Whether the summary leaves the file at the install-relative path ("\" or "/" between its
    // parts) out: one the patcher keeps for itself (LumoUtil::IsReservedInstallName: its backups and
    // journal, the repair's summary, its run folders) or one matching a pattern of the exclusion set
    // the last Scan was given. A repair never writes, cuts or deletes such a file. reason (when
    // given) says why, naming the path.
    bool LeavesOut(const std::wstring& relative, std::wstring* reason = nullptr);

    void RemoveSegment(const std::wstring& name);
    // Removes the entries of the name's file from the name's index + 1 on.
    void RemoveSegmentsAfter(const std::wstring& name);
    // Removes every entry of the file path (install-relative) from firstIndex on, gaps or not.
    void RemoveSegmentsFrom(const std::wstring& path, uint64_t firstIndex);
    // Sets the time of the entries #000, #001, ... of the file path (up to the first gap).
    void StampFileTime(const std::wstring& path, uint64_t time);

    // The moment (file time, whole seconds) the table was last saved: the next Scans read every
    // file whose time is not older again. Until it is given, every unchanged time is trusted.
    void SetSavedAt(uint64_t time);

    // The checksum starts from 0 with no final complement, so zero bytes at the start of a segment
    // do not change it: a file's last segment that begins with a zero byte checks the same as the
    // same bytes with more or fewer zeros before them (every all-zero segment checks as an empty
    // one), and a server holding the file longer or shorter would find nothing to send. With the
    // rule on, the scan gives such a segment checksum 0 ("could not be read"), which makes a
    // server send its own; the server's checksum replaces it once written, and is kept while the
    // file's time and the segment's checksum stay as they were. The repair client turns the rule
    // on; a server's own table must not.
    void SetZeroLedLastSegmentsUnreadable(bool on);

    Table Snapshot();
    // How many segments the table holds for each file: its highest index plus one. Read in place,
    // without a copy of the table.
    std::unordered_map<std::wstring, uint64_t> SegmentCounts();
    void SetChecksumFunction(ChecksumFunction function);
    void SetWalkHook(WalkHook hook);
    void SetReadHook(ReadHook hook);

private:
    struct OpenFolder;
    struct Walk;
    struct WalkJob;
    struct WalkFile;
    struct WalkPlan;
    // The entries of the file that stay as they are, and the reads of its segments that are due
    // (any thread: the table is only read).
    void PlanFile(const Walk& walk, const WalkFile& file, const struct stat& status, WalkPlan& plan);
    // Looks at the files the walk listed, on all cores, and plans their reads; false on cancel.
    bool PlanFiles(Walk& walk, const std::atomic<bool>* cancel);
    // Reads the planned segments on all cores and records them; false on cancel.
    bool ReadPlanned(Walk& walk, const std::atomic<bool>* cancel);

    OS::Mutex m_mutex;
    Table m_table;
    ExclusionSet m_excluded; // as the last Scan was given it
    ChecksumFunction m_checksum;
    WalkHook m_walkHook = nullptr;
    ReadHook m_readHook = nullptr;
    uint64_t m_savedAt = UINT64_MAX;
    bool m_zeroLedLastUnreadable = false;
};
