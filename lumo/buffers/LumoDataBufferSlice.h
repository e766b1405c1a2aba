#pragma once
// A read-only view of a stretch of another stream: position 0 is the source's byte at `offset`,
// and the view ends `size` bytes later. Reads go to the source (not owned), which must outlive
// the view and is not used by anybody else meanwhile. Reads past the end behave as for memory:
// what is there is read and LUMORESULT_END_OF_DATA is returned.

#include "lumo/buffers/LumoDataBuffer.h"

class LumoDataBufferSlice : public LumoDataBuffer
{
public:
    LumoDataBufferSlice(LumoDataBuffer& source, uint64_t offset, uint64_t size);

    uint64_t GetSize() const override { return m_size; }
    LUMORESULT SetSize(uint64_t size) override;        // LUMORESULT_NOT_ALLOWED
    uint64_t GetPosition() const override { return m_position; }
    LUMORESULT SetPosition(uint64_t position) override;
    LUMORESULT WriteData(const void* data, uint32_t length) override;  // LUMORESULT_NOT_ALLOWED
    LUMORESULT ReadData(void* data, uint32_t length) override;

private:
    LumoDataBuffer& m_source;
    const uint64_t m_offset;
    const uint64_t m_size;
    uint64_t m_position = 0;
};
