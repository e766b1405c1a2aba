// Takes arbitrary bytes for an uninstall log: the reader must refuse anything it cannot extend
// safely, and whatever it accepts must come back, once extended, as a log it accepts again, with
// the records in front of the closing record and everything else unchanged.
//
// Input: the first byte holds options: bit 0 renews the header and block checksums first (so that
// the fuzzer gets past them to the structure), bits 1-2 the number of records to add. The rest is
// the log.

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "patch/UninstallLog.h"

namespace
{

uint32_t Get32(const std::string& bytes, size_t offset)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | uint8_t(bytes[offset + i]);
    return value;
}

void Put32(std::string& bytes, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = char(value >> (8 * i));
}

uint32_t Crc(const std::string& bytes, size_t offset, size_t size)
{
    return uint32_t(crc32(0L, reinterpret_cast<const Bytef*>(bytes.data() + offset), uInt(size)));
}

// Renews the checksums where the sizes let it: the header's, then each block's in turn.
void RenewChecksums(std::string& log)
{
    if (log.size() < kUninstallHeaderSize)
        return;
    Put32(log, kUninstallHeaderCrcOffset, Crc(log, 0, kUninstallHeaderCrcOffset));
    size_t pos = kUninstallHeaderSize;
    while (log.size() - pos >= kUninstallBlockHeaderSize)
    {
        const uint32_t size = Get32(log, pos);
        if (size > kUninstallBlockDataSize || log.size() - pos - kUninstallBlockHeaderSize < size)
            return;
        Put32(log, pos + 8, Crc(log, pos + kUninstallBlockHeaderSize, size));
        pos += kUninstallBlockHeaderSize + size;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || size > 64 * 1024)
        return 0;
    const uint8_t options = data[0];
    std::string log(reinterpret_cast<const char*>(data + 1), size - 1);
    if (options & 1)
        RenewChecksums(log);

    UninstallLogImage image;
    std::string reason;
    if (!ParseUninstallLog(log, image, reason))
    {
        Check(!reason.empty());
        return 0;
    }
    Check(image.header.size() == kUninstallHeaderSize);
    Check(image.stream.size() >= kUninstallClosingRecordSize);

    std::vector<std::string> records;
    const size_t count = (options >> 1) & 3;
    for (size_t i = 0; i < count; ++i)
        records.push_back(MakeUninstallDeleteRecord(std::string(i * 150, char('a' + i))));
    const std::string extended = BuildExtendedUninstallLog(image, records);

    UninstallLogImage again;
    Check(ParseUninstallLog(extended, again, reason));
    Check(again.numRecs == uint32_t(image.numRecs + count));  // the update itself refuses a count that wraps
    Check(again.header.substr(0, kUninstallNumRecsOffset) == image.header.substr(0, kUninstallNumRecsOffset));
    const size_t splice = image.stream.size() - kUninstallClosingRecordSize;
    std::string expected = image.stream.substr(0, splice);
    for (const std::string& record : records)
        expected += record;
    expected += image.stream.substr(splice);
    Check(again.stream == expected);
    if (uint64_t(image.endOffset) == image.fileSize)
        Check(again.endOffset == extended.size());
    return 0;
}
