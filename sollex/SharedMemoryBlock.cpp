#include "sollex/SharedMemoryBlock.h"

#include "platform/SharedMemory.h"

SharedMemoryBlock::SharedMemoryBlock(const char* name, uint32_t size) : m_name(name), m_size(size) {}

SharedMemoryBlock::~SharedMemoryBlock()
{
    Close();
}

bool SharedMemoryBlock::Create()
{
    if (m_handle || !m_name)
        return false;
    bool created = false;
    m_handle = platform::SharedMemory::Open(m_name, m_size, created);
    if (!m_handle)
        return false;
    m_view = m_handle->View();
    return true;
}

bool SharedMemoryBlock::Close()
{
    if (!m_handle)
        return false;
    m_view = nullptr;
    m_handle.reset();
    return true;
}
