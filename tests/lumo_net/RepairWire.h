#pragma once
// Segment records of the repair protocol, built by hand as the server sends them.
#include <cstdint>
#include <string>

#include "lumo/net/SegmentCrc.h"
#include "lumo/text/Utf16.h"

namespace repairtest
{

inline void PutU32(std::string& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(char(value >> (8 * i)));
}

inline uint32_t ChecksumOf(const std::string& data) { return LumoUtil::SegmentChecksumOf(data.data(), data.size()); }

// One record as the server sends it; announced overrides the data length field.
inline std::string Record(uint8_t compressed, const std::wstring& name, uint32_t checksum, const std::string& data,
                          int64_t announced = -1)
{
    std::string out(1, char(compressed));
    PutU32(out, uint32_t(LumoUtil::Utf16Length(name)));
    for (uint8_t b : LumoUtil::EncodeUtf16LE(name))
        out.push_back(char(b));
    PutU32(out, checksum);
    PutU32(out, announced < 0 ? uint32_t(data.size()) : uint32_t(announced));
    return out + data;
}

inline std::string Plain(const std::wstring& name, const std::string& data) { return Record(0, name, ChecksumOf(data), data); }

} // namespace repairtest
