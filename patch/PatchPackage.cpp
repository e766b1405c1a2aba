#include "patch/PatchPackage.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "lumo/buffers/Compression.h"
#include "lumo/files/FileUtil.h"
#include "lumo/files/InstallDoor.h"
#include "lumo/buffers/LumoDataBufferFile.h"
#include "lumo/text/SafePath.h"
#include "lumo/text/Utf16.h"
#include "platform/NativePath.h"

namespace
{

// Deflate cannot expand one packed byte into more than 1032 bytes; a chunk that claims more is
// damaged, and its claim must not size an allocation.
constexpr uint64_t kMaxInflateRatio = 1032;

uint32_t ReadU32(const uint8_t* bytes)
{
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

LUMORESULT ReadU32(LumoDataBuffer& source, uint32_t& value)
{
    uint8_t bytes[4];
    const LUMORESULT result = source.ReadData(bytes, sizeof bytes);
    value = result == LUMORESULT_OK ? ReadU32(bytes) : 0;
    return result;
}

std::wstring Number(uint64_t value)
{
    return std::to_wstring(value);
}

// The path as a message shows it: control characters would garble a log line.
std::wstring Shown(const std::wstring& path)
{
    std::wstring shown = path;
    for (wchar_t& c : shown)
    {
        if ((c >= 0 && c < 0x20) || c == 0x7F)
            c = L'?';
    }
    return L"\"" + shown + L"\"";
}

// A sink that only counts, for listing a package without writing its files.
class CountingBuffer : public LumoDataBuffer
{
public:
    uint64_t GetSize() const override { return m_size; }
    LUMORESULT SetSize(uint64_t size) override
    {
        m_size = size;
        return LUMORESULT_OK;
    }
    uint64_t GetPosition() const override { return m_size; }
    LUMORESULT SetPosition(uint64_t position) override
    {
        return position == m_size ? LUMORESULT_OK : LUMORESULT_NOT_SUPPORTED;
    }
    LUMORESULT WriteData(const void*, uint32_t length) override
    {
        m_size += length;
        return LUMORESULT_OK;
    }
    LUMORESULT ReadData(void*, uint32_t) override { return LUMORESULT_NOT_ALLOWED; }

private:
    uint64_t m_size = 0;
};

} // namespace

LUMORESULT ParsePatchItemHeader(const uint8_t* bytes, size_t size, uint32_t formatVersion, PatchPackageItem& item,
                                std::wstring& error)
{
    if (formatVersion != kPatchPackageVersion1 && formatVersion != kPatchPackageVersion2)
    {
        error = L"format version " + Number(formatVersion) + L" is not supported";
        return LUMORESULT_INVALID_ARGUMENT;
    }
    if (size < 4)
    {
        error = L"the item header holds " + Number(size) + L" bytes, too few for its name length";
        return LUMORESULT_BAD_FORMAT;
    }
    const uint32_t nameLength = ReadU32(bytes);
    if ((size - 4) / 2 < nameLength)
    {
        error = L"the item's name of " + Number(nameLength) + L" UTF-16 units does not fit in its " + Number(size) +
                L"-byte header";
        return LUMORESULT_BAD_FORMAT;
    }
    item.path = LumoUtil::DecodeUtf16LE(bytes + 4, nameLength);
    if (formatVersion == kPatchPackageVersion2)
    {
        const size_t kindOffset = 4 + size_t(nameLength) * 2;
        if (kindOffset >= size)
        {
            error = L"the header of item " + Shown(item.path) + L" ends before its kind byte";
            return LUMORESULT_BAD_FORMAT;
        }
        item.isFolder = bytes[kindOffset] == 0;
    }
    else
    {
        // Version 1: a "." in the last part of the path makes a file.
        const size_t lastSeparator = item.path.find_last_of(L"/\\");
        const size_t lastPart = lastSeparator == std::wstring::npos ? 0 : lastSeparator + 1;
        item.isFolder = item.path.find(L'.', lastPart) == std::wstring::npos;
    }
    std::wstring why;
    if (!LumoUtil::IsSafeRelativePath(item.path, &why))
    {
        error = L"item refused: " + why;
        return LUMORESULT_BAD_FORMAT;
    }
    return LUMORESULT_OK;
}

LUMORESULT PatchPackageReader::ReadFormatVersion()
{
    m_error.clear();
    const uint64_t offset = m_source.GetPosition();
    uint32_t version = 0;
    const LUMORESULT result = ReadU32(m_source, version);
    if (result != LUMORESULT_OK)
    {
        m_error = L"the package is too short to hold its format version";
        return result;
    }
    if (version != kPatchPackageVersion1 && version != kPatchPackageVersion2)
    {
        m_error = L"format version " + Number(version) + L" at offset " + Number(offset) +
                  L" is not supported (1 or 2 expected)";
        return LUMORESULT_BAD_FORMAT;
    }
    m_version = version;
    return LUMORESULT_OK;
}

// Walks the lengths of the container at the position without decoding it, and puts the position
// back: every chunk must lie inside the stream, stay within the chunk limits and the output
// budget, and claim no more than deflate can produce. Only then may DecompressData size its
// blocks from them.
LUMORESULT PatchPackageReader::CheckContainer(uint64_t maxOutput, const wchar_t* what)
{
    const uint64_t start = m_source.GetPosition();
    const uint64_t size = m_source.GetSize();
    const std::wstring where = m_where + L": " + what + L" container at offset " + Number(start);
    uint32_t count = 0;
    LUMORESULT result = ReadU32(m_source, count);
    if (result != LUMORESULT_OK)
    {
        m_error = where + L": cut short before its chunk count";
        return LUMORESULT_END_OF_DATA;
    }
    uint64_t position = start + 4;
    if (uint64_t(count) * 8 > size - position)
    {
        m_error = where + L": " + Number(count) + L" chunks cannot fit in the " + Number(size - position) +
                  L" bytes left";
        return LUMORESULT_END_OF_DATA;
    }
    uint64_t output = 0;
    for (uint32_t index = 0; index < count; ++index)
    {
        const std::wstring chunk = where + L": chunk " + Number(index + 1) + L" of " + Number(count);
        uint32_t packed = 0, raw = 0;
        result = ReadU32(m_source, packed);
        if (result == LUMORESULT_OK)
            result = ReadU32(m_source, raw);
        if (result != LUMORESULT_OK)
        {
            m_error = chunk + L": cut short in its lengths";
            return LUMORESULT_END_OF_DATA;
        }
        position += 8;
        if (packed > size - position)
        {
            m_error = chunk + L": " + Number(packed) + L" packed bytes announced, " + Number(size - position) +
                      L" left in the package";
            return LUMORESULT_END_OF_DATA;
        }
        if (raw > LumoUtil::kContainerChunkSize || raw > maxOutput - output)
        {
            m_error = chunk + L": " + Number(raw) + L" bytes announced, over the limit of " +
                      Number(raw > LumoUtil::kContainerChunkSize ? LumoUtil::kContainerChunkSize : maxOutput);
            return LUMORESULT_OUT_OF_SPACE;
        }
        if (raw > uint64_t(packed) * kMaxInflateRatio)
        {
            m_error = chunk + L": " + Number(raw) + L" bytes cannot come from " + Number(packed) + L" packed bytes";
            return LUMORESULT_BAD_FORMAT;
        }
        output += raw;
        position += packed;
        result = m_source.SetPosition(position);
        if (result != LUMORESULT_OK)
        {
            m_error = chunk + L": cannot seek past it";
            return result;
        }
    }
    result = m_source.SetPosition(start);
    if (result != LUMORESULT_OK)
        m_error = where + L": cannot seek back to it";
    return result;
}

LUMORESULT PatchPackageReader::ReadItem(PatchPackageItem& item)
{
    m_error.clear();
    item = PatchPackageItem();
    item.offset = m_source.GetPosition();
    item.index = m_nextIndex++;
    m_where = L"item " + Number(item.index + 1) + L" at offset " + Number(item.offset);
    LUMORESULT result = CheckContainer(kMaxPackageItemHeaderSize, L"header");
    if (result != LUMORESULT_OK)
        return result;
    LumoDataBufferMemoryDynamic header;
    result = LumoUtil::DecompressData(header, m_source, kMaxPackageItemHeaderSize);
    if (result != LUMORESULT_OK)
    {
        m_error = m_where + L": its header container does not decompress";
        return result;
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(header.GetSize()));
    header.SetPosition(0);
    if (!bytes.empty() && header.ReadData(bytes.data(), static_cast<uint32_t>(bytes.size())) != LUMORESULT_OK)
    {
        m_error = m_where + L": its header cannot be read back";
        return LUMORESULT_OUT_OF_SPACE;
    }
    std::wstring why;
    result = ParsePatchItemHeader(bytes.data(), bytes.size(), m_version, item, why);
    if (result != LUMORESULT_OK)
    {
        m_error = m_where + L": " + why;
        return result;
    }
    m_where += L" (" + Shown(item.path) + L")";
    return LUMORESULT_OK;
}

LUMORESULT PatchPackageReader::ReadFileData(LumoDataBuffer& destination, uint64_t& size)
{
    m_error.clear();
    size = 0;
    LUMORESULT result = CheckContainer(LumoUtil::kNoOutputLimit, L"data");
    if (result != LUMORESULT_OK)
        return result;
    const uint64_t start = destination.GetPosition();
    result = LumoUtil::DecompressData(destination, m_source);
    size = destination.GetPosition() - start;
    if (result != LUMORESULT_OK)
        m_error = m_where + L": its content does not decompress or cannot be written";
    return result;
}

LUMORESULT ListPatchPackage(const std::wstring& packagePath, uint32_t& formatVersion,
                            std::vector<PatchPackageListing>& items, std::wstring& error)
{
    items.clear();
    formatVersion = 0;
    LumoDataBufferFile file(packagePath, LumoDataBufferFile::MODE_READ);
    if (!file.IsOpen())
    {
        error = packagePath + L": cannot be opened for reading";
        return LUMORESULT_IO_ERROR;
    }
    PatchPackageReader reader(file);
    LUMORESULT result = reader.ReadFormatVersion();
    formatVersion = reader.GetFormatVersion();
    while (result == LUMORESULT_OK && !reader.AtEnd())
    {
        PatchPackageItem item;
        result = reader.ReadItem(item);
        if (result != LUMORESULT_OK)
            break;
        PatchPackageListing listing{item.path, item.isFolder, 0};
        if (!item.isFolder)
        {
            CountingBuffer sink;
            result = reader.ReadFileData(sink, listing.size);
        }
        if (result == LUMORESULT_OK)
            items.push_back(listing);
    }
    if (result != LUMORESULT_OK)
        error = packagePath + L": " + reader.GetError();
    return result;
}

bool UnpackPatchPackage(const std::wstring& packagePath, const std::wstring& destination, std::wstring* error,
                        LUMORESULT* code)
{
    LumoDataBufferFile file(packagePath, LumoDataBufferFile::MODE_READ);
    if (file.IsOpen())
        return UnpackPatchPackage(file, packagePath, destination, error, code);
    if (code != nullptr)
        *code = LUMORESULT_IO_ERROR;
    if (error != nullptr)
        *error = packagePath + L": cannot be opened for reading";
    return false;
}

bool UnpackPatchPackage(LumoDataBuffer& package, const std::wstring& packageName, const std::wstring& destination,
                        std::wstring* error, LUMORESULT* code)
{
    std::wstring why;
    PatchPackageReader reader(package);
    LUMORESULT result = reader.ReadFormatVersion();
    why = reader.GetError();
    if (result == LUMORESULT_OK && !MakeDirectory(destination))
    {
        why = L"the destination folder " + destination + L" cannot be created";
        result = LUMORESULT_NOT_ALLOWED;
    }
    // Every folder is listed once; what the loop creates, it creates through the door, which
    // keeps its names true.
    std::shared_ptr<LumoUtil::InstallDoor> door;
    if (result == LUMORESULT_OK && !(door = LumoUtil::InstallDoor::Open(destination, why)))
        result = LUMORESULT_NOT_ALLOWED;
    while (result == LUMORESULT_OK && !reader.AtEnd())
    {
        PatchPackageItem item;
        result = reader.ReadItem(item);
        if (result != LUMORESULT_OK)
        {
            why = reader.GetError();
            break;
        }
        const std::wstring where = L"item " + Number(item.index + 1) + L" at offset " + Number(item.offset);
        LumoUtil::InstallFile found;
        std::wstring resolveError;
        if (!door->ReachAny(item.path, found, resolveError))
        {
            why = where + L": " + resolveError;
            result = LUMORESULT_BAD_FORMAT;
            break;
        }
        const std::wstring target = found.path;
        if (item.isFolder)
        {
            if (!door->MakeFolders(found.relative, resolveError))
            {
                why = where + L": the folder " + target + L" cannot be created";
                result = LUMORESULT_NOT_ALLOWED;
            }
            continue;
        }
        // Made through the door first (where its folder exists), so its name is known for the
        // items that follow; then written by name, in the run's own private folder.
        const int made = found.handle.Valid() && found.kind == LumoUtil::InstallFileKind::Missing
                             ? door->CreateOwnFile(found.relative, O_WRONLY, 0644, resolveError)
                             : -1;
        if (made >= 0)
            ::close(made);
        LumoDataBufferFile out(target, LumoDataBufferFile::MODE_WRITE);
        if (!out.IsOpen())
        {
            why = where + L": the file " + target + L" cannot be created" +
                  (LumoUtil::IsDirectory(target.substr(0, target.find_last_of(L'/'))) ? L""
                                                                                : L" (its folder does not exist)");
            result = LUMORESULT_NOT_ALLOWED;
            break;
        }
        uint64_t size = 0;
        result = reader.ReadFileData(out, size);
        const LUMORESULT closed = out.Close();
        // A write the system refused (a full temporary disk) is the cause, not the package's content.
        if (const int writeError = out.WriteErrorNumber(); writeError != 0)
        {
            why = where + L": the file " + target + L" cannot be written completely: " + FromNativePath(strerror(writeError));
            result = result != LUMORESULT_OK ? result : closed;
        }
        else if (result != LUMORESULT_OK)
            why = reader.GetError();
        else if (closed != LUMORESULT_OK)
        {
            why = where + L": the file " + target + L" cannot be written completely";
            result = closed;
        }
    }
    if (code != nullptr)
        *code = result;
    if (result != LUMORESULT_OK && error != nullptr)
        *error = packageName + L": " + why;
    return result == LUMORESULT_OK;
}
