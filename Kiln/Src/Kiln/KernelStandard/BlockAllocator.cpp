#include "Kiln/Src/Kiln/KernelStandard/BlockAllocator.h"

#include <cstdlib>
#include <cstring>
#include <atomic>
#include <mutex>
#include <thread>
#include <new>

#include "platform/DebugOutput.h"

namespace Kiln::Alloc
{

namespace
{

constexpr uint32_t kLargestRecordedClass = 0x7FFFFF;  // (k << 9) must fit 32 bits
constexpr size_t kLocks = 16;

// A class lock is held for a few instructions only, so waiting threads spin (yielding after a
// while) rather than sleep: a sleeping lock costs two atomic operations per call even when free.
class ClassLock
{
public:
    void lock()
    {
        while (m_held.exchange(true, std::memory_order_acquire))
        {
            for (int spins = 0; m_held.load(std::memory_order_relaxed); ++spins)
            {
                if (spins < 64)
                    __builtin_ia32_pause();
                else
                    std::this_thread::yield();
            }
        }
    }
    void unlock() { m_held.store(false, std::memory_order_release); }

private:
    std::atomic<bool> m_held{false};
};

struct alignas(64) ClassCache
{
    void* head = nullptr;  // block start; the next block's address is stored in its first 8 bytes
    uint32_t count = 0;
};

// Trivially destroyed: blocks may be freed by static destructors of other files at exit.
// One cache line each, so that neighbouring locks do not slow each other down.
struct alignas(64) PaddedLock
{
    ClassLock lock;
};
constinit PaddedLock g_locks[kLocks];
ClassCache g_caches[kCachedClasses];

uint32_t Header(uint32_t k)
{
    return (k << 9) | ((k ^ 341) & 511);
}

}  // namespace

uint32_t ClassOf(size_t size)
{
    if (size > (SIZE_MAX - 11) / 2)
        return kLargestRecordedClass;
    const size_t k = (size + 11) / 8;
    return k > kLargestRecordedClass ? kLargestRecordedClass : static_cast<uint32_t>(k);
}

uint32_t CacheLimit(uint32_t k)
{
    switch (k)
    {
    case 2: return 8192;
    case 3: return 5461;
    case 4: return 4096;
    default: return k > 0 && k < kCachedClasses ? 8192 / (8 * k) + 1 : 0;
    }
}

uint32_t CachedCount(uint32_t k)
{
    if (k == 0 || k >= kCachedClasses)
        return 0;
    std::lock_guard<ClassLock> lock(g_locks[k % kLocks].lock);
    return g_caches[k].count;
}

void* New(size_t size)
{
    const uint32_t k = ClassOf(size);
    if (k < kCachedClasses)
    {
        std::lock_guard<ClassLock> lock(g_locks[k % kLocks].lock);
        ClassCache& cache = g_caches[k];
        if (void* block = cache.head)
        {
            memcpy(&cache.head, block, sizeof cache.head);
            --cache.count;
            const uint32_t header = Header(k);
            memcpy(block, &header, sizeof header);
            return static_cast<char*>(block) + 4;
        }
    }
    // Large requests need their own size, not the recorded class's.
    const size_t bytes = k < kLargestRecordedClass ? size_t{8} * k : size + 4;
    void* block = size <= SIZE_MAX - 16 ? malloc(bytes) : nullptr;
    if (!block)
    {
        platform::WriteDebugOutput("Alloc::New> out of memory!\n");
        throw std::bad_alloc();
    }
    const uint32_t header = Header(k);
    memcpy(block, &header, sizeof header);
    return static_cast<char*>(block) + 4;
}

void Delete(void* pointer)
{
    if (!pointer)
        return;
    void* block = static_cast<char*>(pointer) - 4;
    uint32_t header;
    memcpy(&header, block, sizeof header);
    const uint32_t k = header >> 9;
    if (k == 0 || Header(k) != header)
    {
        platform::WriteDebugOutput("Alloc::Delete> not a block of this allocator; left alone\n");
        return;
    }
    if (k < kCachedClasses)
    {
        std::lock_guard<ClassLock> lock(g_locks[k % kLocks].lock);
        ClassCache& cache = g_caches[k];
        if (cache.count < CacheLimit(k))
        {
            memcpy(block, &cache.head, sizeof cache.head);
            cache.head = block;
            ++cache.count;
            return;
        }
    }
    free(block);
}

}  // namespace Kiln::Alloc
