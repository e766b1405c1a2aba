#pragma once
// A string with its length in front: u32 little-endian byte count, then the bytes, no terminator.
// Lengths are limited to 0x400000 (4 MiB) both ways. The writer and reader keep their stream's
// first failure, so a caller writes or reads many items and tests once.

#include <cstdint>
#include <string>

#include "lumo/buffers/LumoDataBuffer.h"
#include "lumo/buffers/LumoDataBufferReader.h"

inline constexpr uint32_t kMaxSizedStringLength = 0x400000;

class LumoDataBufferWriter
{
public:
    explicit LumoDataBufferWriter(LumoDataBuffer& destination) : buffer(&destination) {}

    // Keeps result as firstError when none is there yet.
    void Keep(LUMORESULT result)
    {
        if (firstError == LUMORESULT_OK)
            firstError = result;
    }

    LumoDataBuffer* buffer; // not owned
    LUMORESULT firstError = LUMORESULT_OK;
};

// A longer string is cut to the limit and LUMORESULT_OUT_OF_SPACE kept.
void WriteSizedString(LumoDataBufferWriter& writer, const std::string& text);

// A length over the limit keeps LUMORESULT_BAD_FORMAT and leaves text unchanged, as does a length
// beyond what a source with a known size has left (LUMORESULT_END_OF_DATA): nothing is allocated
// for bytes that cannot come.
void ReadSizedString(LumoDataBufferReader& reader, std::string& text);

// Whether count bytes are more than source has left after its position. A source of size 0 (also
// what a TCP stream reports) is not judged: its reads fail on their own.
bool ExceedsRemainder(const LumoDataBuffer& source, uint64_t count);
