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
    std::atomic<uint32_t> published{0};  // count, for a look without the lock
};

// Trivially destroyed: blocks may be freed by static destructors of other files at exit.
// One cache line each, so that neighbouring locks do not slow each other down.
struct alignas(64) PaddedLock
{
    ClassLock lock;
};
constinit PaddedLock g_locks[kLocks];
ClassCache g_caches[kCachedClasses];

// Each thread keeps up to kThreadBlocks free blocks of each class of its own, taken from and
// given to the shared lists kBatch at a time, so that threads seldom meet on a class lock. A
// thread's blocks count towards the class's limit. Trivially destroyed (see above); a separate
// object gives the blocks back when the thread ends.
constexpr uint32_t kBatch = 32;
constexpr uint32_t kThreadBlocks = 2 * kBatch;

struct ThreadCache
{
    void* head[kCachedClasses];
    uint32_t count[kCachedClasses];
    bool registered;
    bool ended;  // the thread's cache is gone: shared lists only
};
constinit thread_local ThreadCache t_cache{};

void Push(void*& head, void* block)
{
    memcpy(block, &head, sizeof head);
    head = block;
}

void* Pop(void*& head)
{
    void* block = head;
    memcpy(&head, block, sizeof head);
    return block;
}

// Moves the thread's blocks of class k down to `keep`, into the shared list while the class
// stays within its limit; the rest go back to the C library. Called with the class lock held.
void GiveBackLocked(uint32_t k, uint32_t keep)
{
    ClassCache& shared = g_caches[k];
    ThreadCache& local = t_cache;
    while (local.count[k] > keep)
    {
        void* block = Pop(local.head[k]);
        --local.count[k];
        if (shared.count + local.count[k] < CacheLimit(k))
        {
            Push(shared.head, block);
            ++shared.count;
        }
        else
        {
            free(block);
        }
    }
    shared.published.store(shared.count, std::memory_order_relaxed);
}

struct ThreadCacheReturn
{
    ~ThreadCacheReturn()
    {
        for (uint32_t k = 1; k < kCachedClasses; ++k)
        {
            std::lock_guard<ClassLock> lock(g_locks[k % kLocks].lock);
            GiveBackLocked(k, 0);
        }
        t_cache.ended = true;
    }
};
thread_local ThreadCacheReturn t_cacheReturn;

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
    return g_caches[k].count + (t_cache.ended ? 0 : t_cache.count[k]);
}

namespace
{

void* WithHeader(void* block, uint32_t k)
{
    const uint32_t header = Header(k);
    memcpy(block, &header, sizeof header);
    return static_cast<char*>(block) + 4;
}

// The thread's blocks go back to the shared lists when it ends: noted once, when it first keeps any.
void NoteThreadKeepsBlocks(ThreadCache& local)
{
    if (!local.registered)
    {
        local.registered = true;
        (void)&t_cacheReturn;  // its destructor gives the blocks back at the thread's end
    }
}

// A free block of class k from the thread's own blocks, refilled from the shared list; null
// when neither has one.
void* TakeCached(uint32_t k)
{
    ThreadCache& local = t_cache;
    if (local.ended)
    {
        std::lock_guard<ClassLock> lock(g_locks[k % kLocks].lock);
        ClassCache& shared = g_caches[k];
        if (!shared.head)
            return nullptr;
        --shared.count;
        shared.published.store(shared.count, std::memory_order_relaxed);
        return Pop(shared.head);
    }
    if (local.count[k] == 0)
    {
        ClassCache& shared = g_caches[k];
        if (shared.published.load(std::memory_order_relaxed) == 0)
            return nullptr;
        NoteThreadKeepsBlocks(local);
        std::lock_guard<ClassLock> lock(g_locks[k % kLocks].lock);
        for (uint32_t i = 0; i < kBatch && shared.head; ++i)
        {
            Push(local.head[k], Pop(shared.head));
            --shared.count;
            ++local.count[k];
        }
        shared.published.store(shared.count, std::memory_order_relaxed);
        if (local.count[k] == 0)
            return nullptr;
    }
    --local.count[k];
    return Pop(local.head[k]);
}

// Keeps a freed block of class k for reuse; false when the class is at its limit.
bool KeepCached(uint32_t k, void* block)
{
    ThreadCache& local = t_cache;
    const uint32_t limit = CacheLimit(k);
    if (!local.ended)
    {
        if (local.count[k] < kThreadBlocks &&
            g_caches[k].published.load(std::memory_order_relaxed) + local.count[k] < limit)
        {
            NoteThreadKeepsBlocks(local);
            Push(local.head[k], block);
            ++local.count[k];
            return true;
        }
    }
    std::lock_guard<ClassLock> lock(g_locks[k % kLocks].lock);
    ClassCache& shared = g_caches[k];
    if (!local.ended)
    {
        GiveBackLocked(k, kBatch < limit ? kBatch : 0);
        if (local.count[k] < kThreadBlocks && shared.count + local.count[k] < limit)
        {
            NoteThreadKeepsBlocks(local);
            Push(local.head[k], block);
            ++local.count[k];
            return true;
        }
    }
    if (shared.count + (local.ended ? 0 : local.count[k]) >= limit)
        return false;
    Push(shared.head, block);
    ++shared.count;
    shared.published.store(shared.count, std::memory_order_relaxed);
    return true;
}

}  // namespace

void* New(size_t size)
{
    const uint32_t k = ClassOf(size);
    if (k < kCachedClasses)
    {
        if (void* block = TakeCached(k))
            return WithHeader(block, k);
    }
    // Large requests need their own size, not the recorded class's.
    const size_t bytes = k < kLargestRecordedClass ? size_t{8} * k : size + 4;
    void* block = size <= SIZE_MAX - 16 ? malloc(bytes) : nullptr;
    if (!block)
    {
        platform::WriteDebugOutput("Alloc::New> out of memory!\n");
        throw std::bad_alloc();
    }
    return WithHeader(block, k);
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
    if (k < kCachedClasses && KeepCached(k, block))
        return;
    free(block);
}

}  // namespace Kiln::Alloc
