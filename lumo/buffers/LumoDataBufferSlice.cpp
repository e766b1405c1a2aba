#include "lumo/buffers/LumoDataBufferSlice.h"

#include <algorithm>

LumoDataBufferSlice::LumoDataBufferSlice(LumoDataBuffer& source, uint64_t offset, uint64_t size)
    : m_source(source), m_offset(offset), m_size(size)
{
}

LUMORESULT LumoDataBufferSlice::SetSize(uint64_t)
{
    return LUMORESULT_NOT_ALLOWED;
}

LUMORESULT LumoDataBufferSlice::SetPosition(uint64_t position)
{
    if (position > m_size)
    {
        m_position = m_size;
        return LUMORESULT_END_OF_DATA;
    }
    m_position = position;
    return LUMORESULT_OK;
}

LUMORESULT LumoDataBufferSlice::WriteData(const void*, uint32_t)
{
    return LUMORESULT_NOT_ALLOWED;
}

LUMORESULT LumoDataBufferSlice::ReadData(void* data, uint32_t length)
{
    const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(length, m_size - m_position));
    if (count > 0)
    {
        LUMORESULT result = LUMORESULT_OK;
        // Only a real move repositions the source: a file stream drops its read-ahead on every seek.
        if (m_source.GetPosition() != m_offset + m_position)
            result = m_source.SetPosition(m_offset + m_position);
        if (result == LUMORESULT_OK)
            result = m_source.ReadData(data, count);
        if (result != LUMORESULT_OK)
            return result;
        m_position += count;
    }
    return count < length ? LUMORESULT_END_OF_DATA : LUMORESULT_OK;
}
