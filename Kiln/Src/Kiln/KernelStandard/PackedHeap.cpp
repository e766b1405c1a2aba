#include "Kiln/Src/Kiln/KernelStandard/PackedHeap.h"

#include <sys/mman.h>

#include <cstring>
#include <mutex>
#include <new>
#include <set>

#include "lumo/diagnostics/Assert.h"
#include "platform/DebugOutput.h"

namespace Kiln
{

struct PackedHeap::Block
{
    uint32_t inUse;
    uint32_t used;
    uint64_t reserved;

    uint8_t* Area() { return reinterpret_cast<uint8_t*>(this) + kBlockHeader; }
};

namespace
{

constexpr uint32_t kFreeBit = 1;

// Every live heap; changed under its lock (heaps come and go at start-up, exit and whenever the
// string allocator re-creates its heap).
std::mutex& HeapSetLock()
{
    static std::mutex* lock = new std::mutex;
    return *lock;
}
std::set<PackedHeap*>* g_heaps = nullptr;

uint32_t ReadWord(const uint8_t* at)
{
    uint32_t value;
    memcpy(&value, at, sizeof value);
    return value;
}

void WriteWord(uint8_t* at, uint32_t value)
{
    memcpy(at, &value, sizeof value);
}

// A free chunk's payload: previous and next chunk of its size list.
uint8_t* Link(const uint8_t* chunk, int which)
{
    uint8_t* value;
    memcpy(&value, chunk + 4 + which * sizeof value, sizeof value);
    return value;
}

void SetLink(uint8_t* chunk, int which, uint8_t* value)
{
    memcpy(chunk + 4 + which * sizeof value, &value, sizeof value);
}

constexpr int kPrevious = 0;
constexpr int kNext = 1;

class MaybeLock
{
public:
    explicit MaybeLock(CriticalSection* lock) : m_lock(lock)
    {
        if (m_lock)
            m_lock->Lock(kInfinite);
    }
    ~MaybeLock()
    {
        if (m_lock)
            m_lock->Unlock();
    }

private:
    CriticalSection* m_lock;
};

}  // namespace

namespace
{

PackedHeap g_fileSubArchiveHeap("FileSubArchive", false);

}  // namespace

PackedHeap& FileSubArchiveHeap()
{
    return g_fileSubArchiveHeap;
}

PackedHeap::PackedHeap(const char* name, bool locked)
    : m_name(name), m_lock(locked ? std::make_unique<CriticalSection>() : nullptr)
{
    std::lock_guard<std::mutex> guard(HeapSetLock());
    if (!g_heaps)
        g_heaps = new std::set<PackedHeap*>;
    g_heaps->insert(this);
}

PackedHeap::~PackedHeap()
{
    {
        std::lock_guard<std::mutex> guard(HeapSetLock());
        g_heaps->erase(this);
        if (g_heaps->empty())
        {
            delete g_heaps;
            g_heaps = nullptr;
        }
    }
    for (auto& [address, block] : m_blocks)
        if (block->inUse == 0)
            munmap(block, kBlockSize);
}

size_t PackedHeap::HeapCount()
{
    std::lock_guard<std::mutex> guard(HeapSetLock());
    return g_heaps ? g_heaps->size() : 0;
}

size_t PackedHeap::ChunkSize(size_t size)
{
    return size < kMinimumChunk ? kMinimumChunk : (size + 3) & ~size_t{3};
}

PackedHeap::Block* PackedHeap::AllocBlock()
{
    void* memory = mmap(nullptr, kBlockSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
    {
        platform::WriteDebugOutput("PackedHeap::AllocBlock> out of memory\n");
        throw std::bad_alloc();
    }
    Block* block = static_cast<Block*>(memory);  // arrives zeroed
    m_blocks.emplace(reinterpret_cast<uintptr_t>(block), block);
    return block;
}

void* PackedHeap::Carve(Block* block, uint32_t size)
{
    uint8_t* chunk = block->Area() + block->used;
    WriteWord(chunk, size);
    block->used += size + 4;
    if (block->inUse++ == 0 && m_emptyBlocks > 0)
        --m_emptyBlocks;
    return chunk + 4;
}

void PackedHeap::RemoveFromSizeList(uint8_t* chunk, uint32_t size)
{
    uint8_t* previous = Link(chunk, kPrevious);
    uint8_t* next = Link(chunk, kNext);
    if (previous)
        SetLink(previous, kNext, next);
    else if (next)
        m_freeBySize[size] = next;
    else
        m_freeBySize.erase(size);
    if (next)
        SetLink(next, kPrevious, previous);
}

void* PackedHeap::Alloc(size_t size)
{
    if (size > kChunkArea || ChunkSize(size) + 4 > kChunkArea)
        throw std::bad_alloc();
    const uint32_t s = static_cast<uint32_t>(ChunkSize(size));
    MaybeLock lock(m_lock.get());

    auto reuse = m_freeBySize.find(s);
    if (reuse != m_freeBySize.end())
    {
        uint8_t* chunk = reuse->second;
        RemoveFromSizeList(chunk, s);
        WriteWord(chunk, s);
        Block* block = std::prev(m_blocks.upper_bound(reinterpret_cast<uintptr_t>(chunk)))->second;
        if (block->inUse++ == 0 && m_emptyBlocks > 0)
            --m_emptyBlocks;
        return chunk + 4;
    }
    for (auto& [address, block] : m_blocks)
        if (block->used + s + 4 <= kChunkArea)
            return Carve(block, s);
    return Carve(AllocBlock(), s);
}

void PackedHeap::ResetEmptyBlock(Block* block)
{
    // Every chunk of the block is free: take them all off their size lists.
    for (uint32_t offset = 0; offset < block->used;)
    {
        uint8_t* chunk = block->Area() + offset;
        const uint32_t size = ReadWord(chunk) & ~kFreeBit;
        RemoveFromSizeList(chunk, size);
        offset += size + 4;
    }
    block->used = 0;
}

void PackedHeap::Free(void* pointer)
{
    if (!pointer)
        return;
    MaybeLock lock(m_lock.get());
    const uintptr_t address = reinterpret_cast<uintptr_t>(pointer);
    auto found = m_blocks.upper_bound(address);
    const bool inBlock = found != m_blocks.begin() && address - std::prev(found)->first < kBlockSize;
    Assert(inBlock, "PackedHeap::Free of a pointer this heap never gave out");
    Block* block = std::prev(found)->second;
    const uintptr_t offset = address - reinterpret_cast<uintptr_t>(block);
    uint8_t* chunk = static_cast<uint8_t*>(pointer) - 4;
    const bool placed = offset >= kBlockHeader + 4 && offset < kBlockHeader + block->used && offset % 4 == 0;
    Assert(placed, "PackedHeap::Free of a pointer that is not a chunk of this heap");
    const uint32_t word = ReadWord(chunk);
    Assert(!(word & kFreeBit), "PackedHeap::Free of a chunk that was freed already");
    const uint32_t size = word;
    const bool sized = size % 4 == 0 && size >= kMinimumChunk && offset + size <= kBlockHeader + block->used;
    Assert(sized, "PackedHeap::Free of a pointer that is not a chunk of this heap");

    WriteWord(chunk, size | kFreeBit);
    uint8_t*& head = m_freeBySize[size];
    SetLink(chunk, kPrevious, nullptr);
    SetLink(chunk, kNext, head);
    if (head)
        SetLink(head, kPrevious, chunk);
    head = chunk;

    if (--block->inUse > 0)
        return;
    ++m_emptyBlocks;
    ResetEmptyBlock(block);
    if (m_emptyBlocks < 2)
        return;  // keep one empty block for reuse
    m_blocks.erase(reinterpret_cast<uintptr_t>(block));
    munmap(block, kBlockSize);
    --m_emptyBlocks;
}

bool PackedHeap::IsEmpty() const
{
    MaybeLock lock(m_lock.get());
    for (const auto& [address, block] : m_blocks)
        if (block->inUse != 0)
            return false;
    return true;
}

size_t PackedHeap::BlockCount() const
{
    MaybeLock lock(m_lock.get());
    return m_blocks.size();
}

}  // namespace Kiln
