#pragma once
// The packed heap: small chunks packed into 1 MiB blocks for the kernel's strings and byte
// arrays. Each chunk is a 4-byte size word and its payload; a chunk freed is reused only for a
// request of exactly its size; blocks are carved from their start like a stack; a block whose
// chunks are all free is reused from its start, and any further empty block goes back to the
// system at once, so a heap keeps at most one empty block.
//
// Layout on this 64-bit system: the block header is 16 bytes {u32 inUse, u32 used, 8 bytes
// reserved}, so chunk payloads are only 4-byte aligned: the heap is for byte and text data, not
// for general objects. A freed chunk's size word has bit 0 set (sizes are multiples of 4) and
// its payload holds the links of its size list, written byte-wise.
//
// Freeing a pointer that is not a live chunk of this heap (freed before, from another heap, or
// not a chunk start) is a program error: it fails an assertion and ends the process rather than
// corrupting the heap. Freeing null does nothing.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>

#include "Kiln/Src/Kiln/KernelStandard/SyncObject.h"

namespace Kiln
{

class PackedHeap
{
public:
    static constexpr size_t kBlockSize = 1 << 20;
    static constexpr size_t kBlockHeader = 16;
    static constexpr size_t kChunkArea = kBlockSize - kBlockHeader;
    static constexpr size_t kMinimumChunk = 16;

    // `locked`: guard every call with the heap's own critical section. A heap without it must be
    // used by one thread only.
    explicit PackedHeap(const char* name, bool locked = true);
    // Releases every empty block; a block that still holds chunks stays allocated.
    ~PackedHeap();
    PackedHeap(const PackedHeap&) = delete;
    PackedHeap& operator=(const PackedHeap&) = delete;

    // A chunk of at least `size` bytes (std::bad_alloc when it cannot fit a block or the system
    // has no memory).
    void* Alloc(size_t size);
    void Free(void* pointer);
    bool IsEmpty() const;

    const char* Name() const { return m_name; }
    size_t BlockCount() const;
    // The chunk size that holds `size` bytes.
    static size_t ChunkSize(size_t size);
    // How many heaps exist in the process.
    static size_t HeapCount();

private:
    struct Block;
    Block* AllocBlock();
    void* Carve(Block* block, uint32_t size);
    void RemoveFromSizeList(uint8_t* chunk, uint32_t size);
    void ResetEmptyBlock(Block* block);

    const char* m_name;
    std::unique_ptr<CriticalSection> m_lock;
    std::map<uintptr_t, Block*> m_blocks;      // by address
    std::map<uint32_t, uint8_t*> m_freeBySize;  // heads of the size lists (size-word addresses)
    uint32_t m_emptyBlocks = 0;
};

// The kernel's heap for file sub-archives: without a lock (one thread only), built at start-up
// and destroyed at exit.
PackedHeap& FileSubArchiveHeap();

}  // namespace Kiln
