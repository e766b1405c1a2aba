#include "patch/EmbeddedPatchArchive.h"

#include "lumo/buffers/LumoDataBufferSlice.h"

#include <algorithm>
#include <cstring>

#include "lumo/files/FileUtil.h"
#include "lumo/buffers/LumoDataBufferUtil.h"
#include "lumo/text/TextConversion.h"
#include "patch/BuildName.h"

EmbeddedPatchArchive g_embeddedPatchArchive;

namespace
{

uint32_t ReadU32(const uint8_t* bytes)
{
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

uint64_t ReadU64(const uint8_t* bytes)
{
    return uint64_t(ReadU32(bytes)) | uint64_t(ReadU32(bytes + 4)) << 32;
}

// A NUL-padded field of which the last byte always counts as a terminator.
std::string ReadVersion(const uint8_t* field)
{
    size_t length = 0;
    while (length < kEmbeddedVersionFieldSize - 1 && field[length] != 0)
        ++length;
    return std::string(reinterpret_cast<const char*>(field), length);
}

// Large enough to read at the speed of the page cache, small enough not to matter in memory.
constexpr uint64_t kScanBlockSize = 1 << 20;

std::wstring Number(uint64_t value)
{
    return std::to_wstring(value);
}

} // namespace

void GetEmbeddedArchiveMagic(uint8_t magic[kEmbeddedArchiveMagicSize])
{
    // Each byte is stored one higher and read through a volatile, so that the compiler can neither
    // keep the plain bytes in our data nor fold them into one immediate in our code.
    static const volatile uint8_t kShifted[kEmbeddedArchiveMagicSize] = {'L' + 1, '0' + 1, 'u' + 1, '1' + 1,
                                                                         'm' + 1, '2' + 1, 'o' + 1, '3' + 1};
    for (size_t i = 0; i < kEmbeddedArchiveMagicSize; ++i)
        magic[i] = static_cast<uint8_t>(kShifted[i] - 1);
}

EmbeddedArchiveHeader EmbeddedArchiveHeader::Parse(const uint8_t bytes[kEmbeddedArchiveHeaderSize])
{
    EmbeddedArchiveHeader header;
    std::memcpy(header.magic, bytes, kEmbeddedArchiveMagicSize);
    header.totalSize = ReadU32(bytes + 8);
    header.entryCount = ReadU32(bytes + 12);
    header.directoryOffset = ReadU64(bytes + 16);
    header.reserved = ReadU32(bytes + 24);
    return header;
}

bool EmbeddedArchiveHeader::HasMagic() const
{
    uint8_t expected[kEmbeddedArchiveMagicSize];
    GetEmbeddedArchiveMagic(expected);
    return std::memcmp(magic, expected, kEmbeddedArchiveMagicSize) == 0;
}

EmbeddedPatchEntry EmbeddedPatchEntry::Parse(const uint8_t bytes[kEmbeddedPatchEntrySize])
{
    EmbeddedPatchEntry entry;
    entry.sourceVersion = ReadVersion(bytes);
    entry.targetVersion = ReadVersion(bytes + kEmbeddedVersionFieldSize);
    entry.payloadOffset = ReadU64(bytes + 64);
    entry.payloadSize = ReadU64(bytes + 72);
    return entry;
}

EmbeddedPatchArchive::EmbeddedPatchArchive() = default;

EmbeddedPatchArchive::~EmbeddedPatchArchive()
{
    Close();
}

void EmbeddedPatchArchive::Close()
{
    m_file.reset();
    m_header.reset();
    m_entries.clear();
    m_headerOffset = UINT64_MAX;
}

LUMORESULT EmbeddedPatchArchive::Open(const std::wstring& path)
{
    Close();
    m_error.clear();
    LUMORESULT result = FindHeader(path);
    if (result == LUMORESULT_OK)
        result = ReadDirectory(path);
    if (result != LUMORESULT_OK)
        Close();
    return result;
}

LUMORESULT EmbeddedPatchArchive::FindHeader(const std::wstring& path)
{
    m_file = std::make_unique<LumoDataBufferFile>(path, LumoDataBufferFile::MODE_READ);
    if (!m_file->IsOpen())
    {
        m_error = path + L": cannot be opened for reading";
        return LUMORESULT_IO_ERROR;
    }
    // Probe each boundary until fewer than 28 bytes are left. The file is read in large aligned
    // blocks (a probe never straddles one), which costs a fraction of one small read per boundary.
    const uint64_t fileSize = m_file->GetSize();
    const size_t blockSize = static_cast<size_t>(std::min<uint64_t>(kScanBlockSize, fileSize));
    std::vector<uint8_t> block(blockSize);
    uint8_t magic[kEmbeddedArchiveMagicSize];
    GetEmbeddedArchiveMagic(magic);
    for (uint64_t blockStart = 0; blockStart < fileSize; blockStart += kScanBlockSize)
    {
        const uint32_t wanted = static_cast<uint32_t>(std::min<uint64_t>(blockSize, fileSize - blockStart));
        if (m_file->SetPosition(blockStart) != LUMORESULT_OK)
            break;
        m_file->ReadData(block.data(), wanted);
        // A short read delivers what was there: probe that much.
        const uint64_t got = m_file->GetPosition() - blockStart;
        for (uint64_t at = 0; at + kEmbeddedArchiveHeaderSize <= got; at += kEmbeddedArchiveAlignment)
        {
            if (std::memcmp(block.data() + at, magic, sizeof magic) == 0)
                return AcceptHeader(path, blockStart + at, EmbeddedArchiveHeader::Parse(block.data() + at));
        }
        if (got < wanted)
            break;
    }
    m_error = path + L": no patch archive in the file";
    return LUMORESULT_NOT_SUPPORTED;
}

LUMORESULT EmbeddedPatchArchive::AcceptHeader(const std::wstring& path, uint64_t offset,
                                              const EmbeddedArchiveHeader& header)
{
    if (header.totalSize != m_file->GetSize())
    {
        m_error = path + L": the patch archive at offset " + Number(offset) + L" records a file size of " +
                  Number(header.totalSize) + L" bytes, but the file has " + Number(m_file->GetSize());
        return LUMORESULT_IO_ERROR;
    }
    m_headerOffset = offset;
    m_header = std::make_unique<EmbeddedArchiveHeader>(header);
    return LUMORESULT_OK;
}

LUMORESULT EmbeddedPatchArchive::ReadDirectory(const std::wstring& path)
{
    const uint64_t fileSize = m_file->GetSize();
    const uint64_t archiveStart = m_headerOffset + kEmbeddedArchiveHeaderSize;
    const uint64_t directoryOffset = m_header->directoryOffset;
    const uint64_t directoryBytes = uint64_t(kEmbeddedPatchEntrySize) * m_header->entryCount;
    if (directoryOffset < archiveStart || directoryOffset > fileSize || directoryBytes > fileSize - directoryOffset)
    {
        m_error = path + L": the patch archive's directory of " + Number(m_header->entryCount) +
                  L" entries at offset " + Number(directoryOffset) + L" does not lie between its header (offset " +
                  Number(m_headerOffset) + L") and the end of the file (" + Number(fileSize) + L" bytes)";
        return LUMORESULT_BAD_FORMAT;
    }
    const uint64_t directoryEnd = directoryOffset + directoryBytes;
    uint8_t bytes[kEmbeddedPatchEntrySize];
    for (uint32_t index = 0; index < m_header->entryCount; ++index)
    {
        const std::wstring where = path + L": patch archive entry " + Number(index);
        LUMORESULT result = m_file->SetPosition(directoryOffset + uint64_t(kEmbeddedPatchEntrySize) * index);
        if (result == LUMORESULT_OK)
            result = m_file->ReadData(bytes, sizeof bytes);
        if (result != LUMORESULT_OK)
        {
            m_error = where + L": cannot be read";
            return result;
        }
        EmbeddedPatchEntry entry = EmbeddedPatchEntry::Parse(bytes);
        std::wstring why;
        if (!IsSafeBuildName(entry.sourceVersion, &why) || !IsSafeBuildName(entry.targetVersion, &why))
        {
            m_error = where + L": " + why;
            return LUMORESULT_BAD_FORMAT;
        }
        const uint64_t offset = entry.payloadOffset;
        const uint64_t size = entry.payloadSize;
        const bool insideFile = offset <= fileSize && size <= fileSize - offset;
        const bool afterHeader = offset >= archiveStart;
        const bool overDirectory = size > 0 && directoryBytes > 0 && offset < directoryEnd && directoryOffset < offset + size;
        if (!insideFile || !afterHeader || overDirectory)
        {
            m_error = where + L" (source build " + ToWide(entry.sourceVersion) + L"): its package at offset " +
                      Number(offset) + L", " + Number(size) + L" bytes long, " +
                      (!insideFile    ? L"reaches beyond the end of the file (" + Number(fileSize) + L" bytes)"
                       : !afterHeader ? L"starts before the end of the archive header (offset " + Number(archiveStart) + L")"
                                      : L"overlaps the directory (offsets " + Number(directoryOffset) + L" to " +
                                            Number(directoryEnd) + L")");
            return LUMORESULT_BAD_FORMAT;
        }
        m_entries.push_back(std::move(entry));
    }
    return LUMORESULT_OK;
}

std::vector<std::string> EmbeddedPatchArchive::GetSourceVersions() const
{
    std::vector<std::string> versions;
    for (const EmbeddedPatchEntry& entry : m_entries)
        versions.push_back(entry.sourceVersion);
    return versions;
}

std::string EmbeddedPatchArchive::GetTargetVersion(const std::string& sourceVersion) const
{
    for (const EmbeddedPatchEntry& entry : m_entries)
    {
        if (entry.sourceVersion == sourceVersion)
            return entry.targetVersion;
    }
    return std::string();
}

const EmbeddedPatchEntry* EmbeddedPatchArchive::FindEntry(const std::string& sourceVersion)
{
    m_error.clear();
    if (!IsOpen())
    {
        m_error = L"no patch archive is open";
        return nullptr;
    }
    for (const EmbeddedPatchEntry& entry : m_entries)
    {
        if (entry.sourceVersion == sourceVersion)
            return &entry;
    }
    m_error = L"the patch archive holds no package for build " + ToWide(sourceVersion);
    return nullptr;
}

std::unique_ptr<LumoDataBuffer> EmbeddedPatchArchive::OpenPatch(const std::string& sourceVersion)
{
    const EmbeddedPatchEntry* found = FindEntry(sourceVersion);
    if (found == nullptr)
        return nullptr;
    return std::make_unique<LumoDataBufferSlice>(*m_file, found->payloadOffset, found->payloadSize);
}

LUMORESULT EmbeddedPatchArchive::ExtractPatch(const std::string& sourceVersion, const std::wstring& destinationPath)
{
    const EmbeddedPatchEntry* found = FindEntry(sourceVersion);
    if (found == nullptr)
        return IsOpen() ? LUMORESULT_NOT_FOUND : LUMORESULT_INVALID_STATE;
    LumoDataBufferFile destination(destinationPath, LumoDataBufferFile::MODE_WRITE);
    if (!destination.IsOpen())
    {
        m_error = destinationPath + L": cannot be created";
        return LUMORESULT_NOT_ALLOWED;
    }
    LUMORESULT result = m_file->SetPosition(found->payloadOffset);
    if (result == LUMORESULT_OK)
        result = LumoUtil::CopyData(destination, *m_file, found->payloadSize);
    const LUMORESULT closed = destination.Close();
    if (result == LUMORESULT_OK)
        result = closed;
    if (result != LUMORESULT_OK)
    {
        // A partial package must not be mistaken for a whole one later.
        LumoUtil::DeleteFile(destinationPath);
        m_error = L"copying the package of build " + ToWide(sourceVersion) + L" (" + Number(found->payloadSize) +
                  L" bytes at offset " + Number(found->payloadOffset) + L") to " + destinationPath + L" failed";
    }
    return result;
}
