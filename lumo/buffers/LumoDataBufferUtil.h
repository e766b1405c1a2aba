#pragma once
// Helpers over any pair of streams: block copy and read-to-string, and the little-endian u32 that
// every byte format of the system is built from.

#include <cstdint>
#include <string>

#include "lumo/buffers/LumoDataBuffer.h"
#include "lumo/buffers/LumoResult.h"

namespace LumoUtil
{
// Copies count bytes from the source's position to the destination's position, in blocks of
// 4096 bytes on the stack when count <= 8192, otherwise through one heap block of
// min(count, 131072) bytes. The first failing read or write ends the copy with its code; what was
// copied before stays written and both positions stand past it. LUMORESULT_OUT_OF_SPACE when the
// heap block cannot be had.
LUMORESULT CopyData(LumoDataBuffer& destination, LumoDataBuffer& source, uint64_t count);

// CopyData of everything from the source's position to its end (nothing when the position lies
// at or beyond the end).
LUMORESULT CopyRemainingData(LumoDataBuffer& destination, LumoDataBuffer& source);

// Reads the source's remaining bytes with one ReadData into out. out receives exactly the bytes
// that were read, also when the read fails. LUMORESULT_OUT_OF_SPACE (out emptied) when more than
// 0xFFFFFFFF bytes remain or the memory cannot be had.
LUMORESULT ReadAllToString(std::string& out, LumoDataBuffer& source);

// A u32 as four little-endian bytes, whatever the machine's order. A failed read leaves value
// holding what the bytes that did arrive make (the rest zero).
LUMORESULT WriteU32(LumoDataBuffer& destination, uint32_t value);
LUMORESULT ReadU32(LumoDataBuffer& source, uint32_t& value);
}
