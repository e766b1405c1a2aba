#include "lumo/buffers/LumoDataBuffer.h"

#include <algorithm>
#include <cstring>
#include <new>

LumoDataBufferMemoryStatic::LumoDataBufferMemoryStatic(void* data, uint32_t size)
    : LumoDataBufferMemoryStatic(data, size, 1)
{
}

LumoDataBufferMemoryStatic::LumoDataBufferMemoryStatic(void* data, uint32_t size, uint8_t flag)
    : m_data(static_cast<uint8_t*>(data)), m_size(size), m_flag(flag)
{
}

LumoDataBufferMemoryStatic::~LumoDataBufferMemoryStatic()
{
    if (m_ownsData)
        delete[] m_data;
}

LumoDataBufferMemoryStatic* LumoDataBufferMemoryStatic::CreateCopy(const void* data, uint32_t length)
{
    uint8_t* block = new (std::nothrow) uint8_t[length];
    if (block == nullptr)
        return nullptr;
    LumoDataBufferMemoryStatic* buffer = CreateOwning(block, length);
    if (buffer == nullptr)
        return nullptr;
    buffer->WriteData(data, length);
    buffer->SetPosition(0);
    return buffer;
}

LumoDataBufferMemoryStatic* LumoDataBufferMemoryStatic::CreateOwning(void* data, uint32_t length)
{
    auto* buffer = new (std::nothrow) LumoDataBufferMemoryStatic(data, length, 0);
    if (buffer == nullptr)
    {
        // Ownership was handed over, so the block goes even when the buffer cannot be made.
        delete[] static_cast<uint8_t*>(data);
        return nullptr;
    }
    buffer->m_ownsData = true;
    return buffer;
}

LumoDataBufferMemoryStatic* LumoDataBufferMemoryStatic::CreateFromRemainder(LumoDataBuffer& source)
{
    const uint64_t size = source.GetSize();
    const uint64_t position = source.GetPosition();
    // A file buffer may stand beyond its end; that leaves nothing, not a wrapped huge count.
    const uint64_t remainder = position >= size ? 0 : size - position;
    if (remainder > 0xFFFFFFFFu)
        return nullptr;
    const uint32_t length = static_cast<uint32_t>(remainder);
    uint8_t* block = new (std::nothrow) uint8_t[length];
    if (block == nullptr)
        return nullptr;
    if (source.ReadData(block, length) != LUMORESULT_OK)
    {
        delete[] block;
        return nullptr;
    }
    return CreateOwning(block, length);
}

LumoDataBufferMemoryStatic* LumoDataBufferMemoryStatic::CreateFromString(std::string text)
{
    if (text.size() > 0xFFFFFFFFu)
        return nullptr;
    return CreateCopy(text.data(), static_cast<uint32_t>(text.size()));
}

uint64_t LumoDataBufferMemoryStatic::GetSize() const
{
    return m_size;
}

LUMORESULT LumoDataBufferMemoryStatic::SetSize(uint64_t)
{
    return LUMORESULT_NOT_ALLOWED;
}

uint64_t LumoDataBufferMemoryStatic::GetPosition() const
{
    return m_position;
}

LUMORESULT LumoDataBufferMemoryStatic::SetPosition(uint64_t position)
{
    if (position > m_size)
    {
        m_position = m_size;
        return LUMORESULT_END_OF_DATA;
    }
    m_position = static_cast<uint32_t>(position);
    return LUMORESULT_OK;
}

LUMORESULT LumoDataBufferMemoryStatic::WriteData(const void* data, uint32_t length)
{
    const uint32_t count = std::min(length, m_size - m_position);
    if (count > 0)
        std::memcpy(m_data + m_position, data, count);
    m_position += count;
    return count < length ? LUMORESULT_OUT_OF_SPACE : LUMORESULT_OK;
}

LUMORESULT LumoDataBufferMemoryStatic::ReadData(void* data, uint32_t length)
{
    const uint32_t count = std::min(length, m_size - m_position);
    if (count > 0)
        std::memcpy(data, m_data + m_position, count);
    m_position += count;
    return count < length ? LUMORESULT_END_OF_DATA : LUMORESULT_OK;
}
