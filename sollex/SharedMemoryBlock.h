#pragma once
// A named block of shared memory as the asset-database owner block uses it: made or opened by
// name, mapped whole for reading and writing, zero bytes when new. It lives while any process
// has it open (platform/SharedMemory.h).

#include <cstdint>
#include <memory>

namespace platform
{
class SharedMemory;
}

class SharedMemoryBlock
{
public:
    // `name` is referenced, not copied: it must outlive Create.
    SharedMemoryBlock(const char* name, uint32_t size);
    ~SharedMemoryBlock();
    SharedMemoryBlock(const SharedMemoryBlock&) = delete;
    SharedMemoryBlock& operator=(const SharedMemoryBlock&) = delete;

    // Makes or opens the block and maps it. False when it cannot (the last error says why), or
    // when this object holds a block already.
    bool Create();
    // Unmaps and closes the block. False when none is held.
    bool Close();
    void* GetView() const { return m_view; }

private:
    void* m_view = nullptr;
    const char* m_name;
    uint32_t m_size;
    std::unique_ptr<platform::SharedMemory> m_handle;
};
