#pragma once
// The game installer's uninstall log, "unins000.dat" in the install folder. After a patch has
// added files, one delete-file record per added file is put into the log, so that uninstalling
// the game also removes what patches added.
//
// Format (all integers little-endian; CRC-32 is zlib's, reflected polynomial 0xEDB88320):
//
//   header   448 bytes of installer data; only these fields are touched:
//              324  u32  NumRecs    number of records
//              328  u32  EndOffset  end of the record data
//              444  u32  CRC        CRC-32 of header bytes 0..443
//   blocks   to the end of the file, each:
//              0   u32  Size     data bytes, at most 4096; every block but the last holds 4096
//              4   u32  NotSize  ~Size
//              8   u32  CRC      CRC-32 of the data bytes
//              12  Size bytes    the next piece of the record stream
//
// The record stream is a chain of records: u16 type, u32 extraData, u32 dataSize, dataSize bytes.
// Its last record (28 bytes) closes the log and must stay last. A delete-file record is type
// 0x0082, extraData 0, and as data the full path in the compact string form followed by 0xFF:
//   length below 0xFD: one length byte; up to 0xFFFF: 0xFD and a u16 length; else 0xFE and a
//   u32 length; then the bytes of the path in Windows-1252 (the installer's code page, in which its
//   own records are written), no terminator.
//
// The log is only ever replaced as a whole, by one rename of a fully written and flushed file. A
// log that does not check out (header or block checksums, block sizes, the record chain, a
// closing record of another size) is left exactly as it is, with a warning: the update never
// makes a log it cannot read worse.

#include <cstdint>
#include <string>
#include <vector>

#include "patch/PatchFileRecord.h"

inline constexpr wchar_t kUninstallLogName[] = L"unins000.dat";
inline constexpr wchar_t kUninstallLogTempName[] = L"unins000_temp.dat";

inline constexpr size_t kUninstallHeaderSize = 448;
inline constexpr size_t kUninstallNumRecsOffset = 324;
inline constexpr size_t kUninstallEndOffsetOffset = 328;
inline constexpr size_t kUninstallHeaderCrcOffset = 444;
inline constexpr size_t kUninstallBlockHeaderSize = 12;
inline constexpr size_t kUninstallBlockDataSize = 4096;
inline constexpr size_t kUninstallClosingRecordSize = 28;
inline constexpr uint16_t kUninstallDeleteFileRecord = 0x0082;

// A log taken apart and checked.
struct UninstallLogImage
{
    std::string header;  // the 448 header bytes
    std::string stream;  // the record stream, the blocks' data joined
    uint32_t numRecs = 0;
    uint32_t endOffset = 0;
    uint64_t fileSize = 0;
};

// Checks the whole log and takes it apart. False with reason (8-bit text) when anything is off.
bool ParseUninstallLog(const std::string& bytes, UninstallLogImage& image, std::string& reason);

// The bytes of one delete-file record for the 8-bit path.
std::string MakeUninstallDeleteRecord(const std::string& path);

// The new log: the records put in front of the closing record, the stream cut into blocks again
// (the blocks before the change come out unchanged), NumRecs and EndOffset raised and the header
// checksum renewed. EndOffset: a log whose EndOffset equals its file size keeps that so; in any
// other log it grows by the record bytes plus 12 for every block written from the old last block on.
std::string BuildExtendedUninstallLog(const UninstallLogImage& image, const std::vector<std::string>& records);

// Puts a delete-file record for every file of the package's "addedFiles.txt" into the install's
// uninstall log (found ignoring case), unless the log already holds the same record. A file whose
// full path Windows-1252 cannot hold gets no record; one level-2 warning says how many such files
// the uninstaller will not know about and where they are (for the whole run, see UnrecordedFilesReport). True when there is nothing to add, no log, or a log that
// cannot be read safely (left unchanged, a level-2 warning); false when the new log cannot be
// written or a listed path is not one inside the installation (LumoUtil::IsSafeRelativePath; the
// uninstaller deletes what the log names) (level 3, the old log unchanged).
//
// With backups, the old log is kept as its ".pbk" backup (recorded in the run's journal) and the
// pair is appended, so the finishing step that handles the pairs restores it when the patch fails
// and removes it when it succeeds. Without, the new log simply replaces the old one.
bool UpdateUninstallLog(const std::wstring& installDir, const std::wstring& packageDir,
                        BackupPairArray* backups = nullptr);

// The README promises one warning per run about the added files the uninstall log cannot name,
// however many patches the run applies. While an UnrecordedFilesReport exists (one per run; a
// second one made meanwhile gathers nothing), UpdateUninstallLog keeps those files instead of
// warning; SettleUnrecordedFiles(applied) at the end of each patch keeps them when the patch was
// applied and drops them when it was rolled back; Report (at the latest the destructor) sends the
// one warning for all of them. Without one, each patch warns for itself.
struct UnrecordedFilesRun;
class UnrecordedFilesReport
{
public:
    UnrecordedFilesReport();
    ~UnrecordedFilesReport();
    UnrecordedFilesReport(const UnrecordedFilesReport&) = delete;
    UnrecordedFilesReport& operator=(const UnrecordedFilesReport&) = delete;
    void Report();

private:
    UnrecordedFilesRun* m_run = nullptr;
};
void SettleUnrecordedFiles(bool applied);

// The same for a list of added paths (relative to installDir, as the list gives them).
bool UpdateUninstallLogWith(const PatchStageContext& context, const std::vector<std::wstring>& addedPaths,
                            BackupPairArray* backups);
