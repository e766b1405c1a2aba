#pragma once
// Little-endian integers of the "0stf" summary and the repair protocol, read from and written to
// streams or byte vectors.

#include <cstdint>
#include <vector>

#include "lumo/buffers/LumoDataBuffer.h"
#include "lumo/buffers/LumoResult.h"

namespace LumoNet
{

inline void AppendU32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(uint8_t(value >> (8 * i)));
}

inline void AppendU64(std::vector<uint8_t>& out, uint64_t value)
{
    AppendU32(out, uint32_t(value));
    AppendU32(out, uint32_t(value >> 32));
}

// value is set only when the read succeeds.
inline LUMORESULT ReadU32(LumoDataBuffer& stream, uint32_t& value)
{
    uint8_t bytes[4] = {};
    const LUMORESULT result = stream.ReadData(bytes, sizeof bytes);
    if (result == LUMORESULT_OK)
        value = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
    return result;
}

inline LUMORESULT ReadU64(LumoDataBuffer& stream, uint64_t& value)
{
    uint32_t low = 0;
    uint32_t high = 0;
    LUMORESULT result = ReadU32(stream, low);
    if (result == LUMORESULT_OK)
        result = ReadU32(stream, high);
    if (result == LUMORESULT_OK)
        value = uint64_t(high) << 32 | low;
    return result;
}

inline LUMORESULT WriteU32(LumoDataBuffer& stream, uint32_t value)
{
    const uint8_t bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
    return stream.WriteData(bytes, sizeof bytes);
}

} // namespace LumoNet
