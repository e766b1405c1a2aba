#pragma once
// The patch package: the single file in which one patch travels, from the archive appended to
// the patcher or from a patch server. Integers are little-endian.
//
//   offset 0  u32 formatVersion   1 or 2 (the packages in use are version 2)
//   offset 4  items, one after another up to the end of the file; each item is
//     a header container   one chunked zlib container (lumo/buffers/Compression.h) whose bytes are
//         0             u32   nameLength: UTF-16 code units of the path, no terminator
//         4             2*n   path: UTF-16LE, relative, for example .\data\bin\x.dll.diff;
//                             "/" and "\" both separate
//         4 + 2*n       u8    kind (version 2 only): 0 folder, anything else a file (1 is written)
//       (bytes after these fields are ignored)
//     a data container     files only: a second container holding the file's whole content
//                          (0 chunks for an empty file)
//
// Version 1 has no kind byte: an item is a file when the last part of its path holds a ".", and a
// folder otherwise. Folder items come before the items inside them; the unpacker does not create
// a file's folder itself.
//
// The package comes from outside (it is downloaded without a signature), so the reader refuses
// what would let it write elsewhere or allocate without bound: every item path must pass
// LumoUtil::IsSafeRelativePath ("..", absolute and drive paths, ":" and control characters are
// refused) and is resolved inside the destination; an item header may not exceed
// kMaxPackageItemHeaderSize bytes; and every container length is checked against the bytes left
// in the package before anything is allocated.

#include <cstdint>
#include <string>
#include <vector>

#include "lumo/buffers/LumoDataBuffer.h"
#include "lumo/buffers/LumoResult.h"

constexpr uint32_t kPatchPackageVersion1 = 1;
constexpr uint32_t kPatchPackageVersion2 = 2;
// Generous room for a path of 32767 UTF-16 units, the kind byte and slack.
constexpr uint32_t kMaxPackageItemHeaderSize = 0x10000 + 2 * 32767 + 5;

struct PatchPackageItem
{
    std::wstring path;     // as stored, separators as written
    bool isFolder = false;
    uint64_t offset = 0;   // where the item's header container starts in the package
    uint32_t index = 0;    // 0 for the first item
};

// Parses the decompressed bytes of an item header. LUMORESULT_OK, or LUMORESULT_BAD_FORMAT with
// error saying what is wrong (bytes missing, a path the validator refuses).
LUMORESULT ParsePatchItemHeader(const uint8_t* bytes, size_t size, uint32_t formatVersion, PatchPackageItem& item,
                                std::wstring& error);

// Reads a package item by item from any stream (not owned).
class PatchPackageReader
{
public:
    explicit PatchPackageReader(LumoDataBuffer& source) : m_source(source) {}

    // Reads the format version at the stream's position: LUMORESULT_BAD_FORMAT for a value other
    // than 1 or 2, the read's code when the 4 bytes are missing.
    LUMORESULT ReadFormatVersion();
    uint32_t GetFormatVersion() const { return m_version; }

    // True when the stream's position has reached its end: the package is complete.
    bool AtEnd() const { return m_source.GetPosition() >= m_source.GetSize(); }

    // The next item's header. For a file the data container must be consumed next, with
    // ReadFileData.
    LUMORESULT ReadItem(PatchPackageItem& item);
    // Decompresses the data container of the file item just read into destination (at its
    // position); size receives the content's length.
    LUMORESULT ReadFileData(LumoDataBuffer& destination, uint64_t& size);

    // What made the last call fail, naming the item and its offset; empty after success.
    const std::wstring& GetError() const { return m_error; }

private:
    LUMORESULT CheckContainer(uint64_t maxOutput, const wchar_t* what);

    LumoDataBuffer& m_source;
    uint32_t m_version = 0;
    uint32_t m_nextIndex = 0;
    std::wstring m_where;
    std::wstring m_error;
};

struct PatchPackageListing
{
    std::wstring path;
    bool isFolder = false;
    uint64_t size = 0; // content length of a file
};

// Reads the whole package and lists its items with their content sizes, decompressing every file
// to check it. On failure items holds what was read before and error says what failed and where.
LUMORESULT ListPatchPackage(const std::wstring& packagePath, uint32_t& formatVersion,
                            std::vector<PatchPackageListing>& items, std::wstring& error);

// Unpacks the package into the folder destination (created with its missing levels once the
// format version has been read): folders are created with
// their missing levels, files new (an existing file is replaced), each path resolved inside
// destination the way a case-insensitive file system would (LumoUtil::ResolveInstallPath).
// A file whose folder does not exist fails. Any failure stops at that item; items written before
// stay. Nothing is ever written outside destination. On failure *error (when given) says what
// failed and where, and *code (when given) holds the LUMORESULT.
bool UnpackPatchPackage(const std::wstring& packagePath, const std::wstring& destination,
                        std::wstring* error = nullptr, LUMORESULT* code = nullptr);
// The same from a stream at the package's first byte (a package read in place inside a larger
// file); packageName names it in error.
bool UnpackPatchPackage(LumoDataBuffer& package, const std::wstring& packageName, const std::wstring& destination,
                        std::wstring* error = nullptr, LUMORESULT* code = nullptr);
