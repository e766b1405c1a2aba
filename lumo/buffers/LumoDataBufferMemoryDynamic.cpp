#include "lumo/buffers/LumoDataBuffer.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

namespace
{
// The size and position are 32-bit inside.
constexpr uint64_t kMaxSize = 0xFFFFFFFFu;

// Resizes without letting an allocation failure escape: callers are result-code functions that
// may run on worker threads, where an escaping exception ends the process.
bool TryResize(std::vector<uint8_t>& bytes, uint64_t size)
{
    try
    {
        bytes.resize(static_cast<size_t>(size));
        return true;
    }
    catch (const std::bad_alloc&)
    {
        return false;
    }
    catch (const std::length_error&)
    {
        return false;
    }
}
}

LumoDataBufferMemoryDynamic::LumoDataBufferMemoryDynamic() = default;

LumoDataBufferMemoryDynamic::~LumoDataBufferMemoryDynamic() = default;

uint64_t LumoDataBufferMemoryDynamic::GetSize() const
{
    return m_data.size();
}

LUMORESULT LumoDataBufferMemoryDynamic::SetSize(uint64_t size)
{
    // Keeping only the low 32 bits would turn a 4 GiB request into an empty buffer.
    if (size > kMaxSize || !TryResize(m_data, size))
        return LUMORESULT_OUT_OF_SPACE;
    if (m_position > size)
        m_position = static_cast<uint32_t>(size);
    return LUMORESULT_OK;
}

uint64_t LumoDataBufferMemoryDynamic::GetPosition() const
{
    return m_position;
}

LUMORESULT LumoDataBufferMemoryDynamic::SetPosition(uint64_t position)
{
    if (position > m_data.size())
    {
        m_position = static_cast<uint32_t>(m_data.size());
        return LUMORESULT_END_OF_DATA;
    }
    m_position = static_cast<uint32_t>(position);
    return LUMORESULT_OK;
}

LUMORESULT LumoDataBufferMemoryDynamic::WriteData(const void* data, uint32_t length)
{
    if (length == 0)
        return LUMORESULT_OK;
    // In 64 bits: position + length wraps in 32 and the copy would run past the array.
    const uint64_t end = uint64_t{m_position} + length;
    if (end > kMaxSize)
        return LUMORESULT_OUT_OF_SPACE;
    if (end > m_data.size() && !TryResize(m_data, end))
        return LUMORESULT_OUT_OF_SPACE;
    std::memcpy(m_data.data() + m_position, data, length);
    m_position = static_cast<uint32_t>(end);
    return LUMORESULT_OK;
}

LUMORESULT LumoDataBufferMemoryDynamic::ReadData(void* data, uint32_t length)
{
    if (length == 0)
        return LUMORESULT_OK;
    const uint32_t available = static_cast<uint32_t>(m_data.size()) - m_position;
    const uint32_t count = std::min(length, available);
    if (count > 0)
        std::memcpy(data, m_data.data() + m_position, count);
    m_position += count;
    return count < length ? LUMORESULT_END_OF_DATA : LUMORESULT_OK;
}

void LumoDataBufferMemoryDynamic::DiscardFront(uint64_t count)
{
    const uint32_t dropped = static_cast<uint32_t>(std::min<uint64_t>(count, m_data.size()));
    m_data.erase(m_data.begin(), m_data.begin() + dropped);
    m_position = m_position > dropped ? m_position - dropped : 0;
}
