#pragma once
// The archive of patch packages appended to a patcher executable.
//
// Layout inside the file (integers little-endian; offsets are absolute positions in the whole
// file, not relative to the header):
//
//   archive header  at a multiple of 4096 bytes from the start of the file, 28 bytes:
//     0   8  magic            the 8 ASCII bytes "L0u1m2o3", no terminator
//     8   4  totalSize  u32   size of the whole file, everything before the archive included
//     12  4  entryCount u32   number of directory entries
//     16  8  directoryOffset u64  file offset of the first directory entry
//     24  4  reserved   u32   0, not read
//   packages        after the header (the first directly after it), each a patch package
//   directory       at directoryOffset (the end of the file), entryCount entries of 80 bytes:
//     0   32 sourceVersion    build the package patches from, 8-bit, NUL-padded; byte 31 is
//                             always taken as a terminator
//     32  32 targetVersion    build it produces, same form; byte 63 taken as a terminator
//     64  8  payloadOffset u64  file offset of the package
//     72  8  payloadSize   u64  package length in bytes
//
// The reader probes every 4096-byte boundary from the start; the first header found is the only
// one that counts. Besides the checks of the format itself it refuses, when opening, a directory
// that lies outside the file or over the header, an entry whose payload lies outside the file or
// overlaps the header or the directory, and an entry whose builds could not stand in a file name:
// such an archive is damaged, and nothing of it is used.

#include <boost/noncopyable.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lumo/buffers/LumoDataBufferFile.h"
#include "lumo/buffers/LumoResult.h"

constexpr uint64_t kEmbeddedArchiveAlignment = 4096;
constexpr uint32_t kEmbeddedArchiveHeaderSize = 28;
constexpr uint32_t kEmbeddedPatchEntrySize = 80;
constexpr uint32_t kEmbeddedVersionFieldSize = 32;
constexpr size_t kEmbeddedArchiveMagicSize = 8;

// The magic bytes. They are put together at run time and never stand as one literal in our own
// executable, so the scan of the patcher's own file cannot meet a false header in its code or data.
void GetEmbeddedArchiveMagic(uint8_t magic[kEmbeddedArchiveMagicSize]);

struct EmbeddedArchiveHeader
{
    uint8_t magic[kEmbeddedArchiveMagicSize] = {};
    uint32_t totalSize = 0;
    uint32_t entryCount = 0;
    uint64_t directoryOffset = 0;
    uint32_t reserved = 0;

    static EmbeddedArchiveHeader Parse(const uint8_t bytes[kEmbeddedArchiveHeaderSize]);
    bool HasMagic() const;
};

struct EmbeddedPatchEntry
{
    std::string sourceVersion;
    std::string targetVersion;
    uint64_t payloadOffset = 0;
    uint64_t payloadSize = 0;

    // Bytes 31 and 63 count as terminators, so a version is at most 31 bytes.
    static EmbeddedPatchEntry Parse(const uint8_t bytes[kEmbeddedPatchEntrySize]);
};

class EmbeddedPatchArchive : private boost::noncopyable
{
public:
    EmbeddedPatchArchive();
    ~EmbeddedPatchArchive();

    // LUMORESULT_OK: archive found and its directory sound.
    // LUMORESULT_IO_ERROR: the file cannot be opened, or the header's totalSize differs from the
    //   file's size (a file of 4 GiB or more never matches).
    // LUMORESULT_NOT_SUPPORTED: no header at any 4096-byte boundary (also a file under 28 bytes).
    // LUMORESULT_BAD_FORMAT: the directory or an entry is damaged (see above); GetLastErrorText
    //   says which and why.
    // Whatever was open is closed first; on failure the reader stays closed.
    LUMORESULT Open(const std::wstring& path);
    void Close();
    bool IsOpen() const { return m_file != nullptr; }

    // The sourceVersion of every entry in directory order; empty when no archive is open.
    std::vector<std::string> GetSourceVersions() const;
    // The targetVersion of the first entry whose sourceVersion equals sourceVersion (byte for
    // byte); empty when there is none or no archive is open.
    std::string GetTargetVersion(const std::string& sourceVersion) const;

    // Copies the package of the first entry for sourceVersion, byte for byte, into a new file.
    // LUMORESULT_OK; LUMORESULT_INVALID_STATE no archive open; LUMORESULT_NOT_FOUND no entry for
    // that build; LUMORESULT_NOT_ALLOWED the destination cannot be created; otherwise the seek,
    // read, write or close error met on the way. A failed copy removes the destination again.
    LUMORESULT ExtractPatch(const std::string& sourceVersion, const std::wstring& destinationPath);

    // The package of the first entry for sourceVersion read in place, without a copy: a stream
    // whose position 0 is the package's first byte (lumo/buffers/LumoDataBufferSlice.h). Null when
    // no archive is open or there is no entry for that build (GetLastErrorText says which). The
    // stream reads through the archive's own file: drop it before the archive is used otherwise.
    std::unique_ptr<LumoDataBuffer> OpenPatch(const std::string& sourceVersion);

    // The directory in its order, for listings.
    const std::vector<EmbeddedPatchEntry>& GetEntries() const { return m_entries; }
    // Offset of the header found; all ones while no archive is open.
    uint64_t GetHeaderOffset() const { return m_headerOffset; }
    const EmbeddedArchiveHeader* GetHeader() const { return m_header.get(); }
    // What made the last Open or ExtractPatch fail, naming the file and the entry; empty after
    // success.
    const std::wstring& GetLastErrorText() const { return m_error; }

private:
    LUMORESULT FindHeader(const std::wstring& path);
    LUMORESULT AcceptHeader(const std::wstring& path, uint64_t offset, const EmbeddedArchiveHeader& header);
    LUMORESULT ReadDirectory(const std::wstring& path);
    const EmbeddedPatchEntry* FindEntry(const std::string& sourceVersion);

    std::unique_ptr<LumoDataBufferFile> m_file;
    uint64_t m_headerOffset = UINT64_MAX;
    std::unique_ptr<EmbeddedArchiveHeader> m_header;
    // Read and checked once by Open; the queries answer from it.
    std::vector<EmbeddedPatchEntry> m_entries;
    std::wstring m_error;
};

// The process-wide reader: the application opens it on its own executable during install
// discovery and uses it in the local patch chain.
extern EmbeddedPatchArchive g_embeddedPatchArchive;
