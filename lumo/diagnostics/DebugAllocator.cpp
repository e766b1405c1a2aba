#include "lumo/diagnostics/DebugAllocator.h"

#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>

#include "lumo/diagnostics/MallocAllocator.h"
#include "platform/NativePath.h"
#include "platform/Waitable.h"

namespace
{

// Set while the thread works inside an allocator: its own allocations (bookkeeping, symbol
// look-up, output) go straight to malloc. Constant-initialised and in the executable's static
// TLS, so reading it never allocates.
__attribute__((tls_model("initial-exec"))) thread_local bool t_inside = false;

class InsideScope
{
public:
    InsideScope() { t_inside = true; }
    ~InsideScope() { t_inside = false; }
    InsideScope(const InsideScope&) = delete;
    InsideScope& operator=(const InsideScope&) = delete;
};

struct GroupLess
{
    bool operator()(const AllocationRecord& a, const AllocationRecord& b) const { return RecordGroupLess(a, b); }
};

using GroupMap = std::map<AllocationRecord, size_t, GroupLess, MallocAllocator<std::pair<const AllocationRecord, size_t>>>;

// Moves the frames so that the one holding `site` is at kAllocationSiteFrame, whatever the
// compiler inlined or turned into jumps between the capture and operator new.
size_t ArrangeSite(uint64_t* frames, size_t count, size_t capacity, uint64_t site)
{
    if (site == 0)
        return count;
    size_t at = 0;
    while (at < count && frames[at] != site)
        ++at;
    if (at == count || at == kAllocationSiteFrame)
        return count;
    if (at > kAllocationSiteFrame)
    {
        const size_t drop = at - kAllocationSiteFrame;
        memmove(frames, frames + drop, (count - drop) * sizeof(uint64_t));
        return count - drop;
    }
    const size_t add = kAllocationSiteFrame - at;
    const size_t kept = count + add <= capacity ? count : capacity - add;
    memmove(frames + add, frames, kept * sizeof(uint64_t));
    for (size_t i = 0; i < add; ++i)
        frames[i] = frames[add];
    return kept + add;
}

}  // namespace

// A shard is held for a table look-up and a few stores: a thread that finds it taken spins (and
// yields after a while) rather than sleeps, so taking a free one is one exchange.
void DebugAllocator::LockShard(ShardSlot& slot)
{
    for (int spins = 0; slot.locked.exchange(true, std::memory_order_acquire);)
    {
        while (slot.locked.load(std::memory_order_relaxed))
        {
            if (spins++ < 64)
                __builtin_ia32_pause();
            else
                sched_yield();
        }
    }
}

void DebugAllocator::UnlockShard(ShardSlot& slot)
{
    slot.locked.store(false, std::memory_order_release);
}

// One shard's live blocks. Records sit in a slab of chunks that never move, unused ones on a free
// list; the index finds a block's record by open addressing (linear probing; a removal shifts the
// entries after it back, so there are no tombstones). Nothing is allocated per block: a chunk
// holds kRecordsPerChunk records and the index doubles when half full.
struct DebugAllocator::Shard
{
    struct Entry
    {
        uintptr_t block;  // 0: empty
        AllocationRecord* record;
    };
    static constexpr size_t kRecordsPerChunk = 256;
    static constexpr size_t kFirstCapacity = 256;

    Entry* entries = nullptr;
    size_t capacity = 0;  // a power of two
    size_t used = 0;
    AllocationRecord* unused = nullptr;  // linked through their `block` fields
    void* chunks = nullptr;              // linked through their first word

    ~Shard()
    {
        free(entries);
        while (chunks)
        {
            void* next;
            memcpy(&next, chunks, sizeof next);
            free(chunks);
            chunks = next;
        }
    }

    size_t Home(uintptr_t block) const
    {
        return static_cast<size_t>(((block >> 4) * 0x9E3779B97F4A7C15ull) >> 32) & (capacity - 1);
    }

    AllocationRecord** Find(uintptr_t block)
    {
        if (capacity == 0)
            return nullptr;
        for (size_t i = Home(block);; i = (i + 1) & (capacity - 1))
        {
            if (entries[i].block == block)
                return &entries[i].record;
            if (entries[i].block == 0)
                return nullptr;
        }
    }

    bool Grow()
    {
        const size_t bigger = capacity ? 2 * capacity : kFirstCapacity;
        Entry* fresh = static_cast<Entry*>(calloc(bigger, sizeof(Entry)));
        if (!fresh)
            return false;
        Entry* old = entries;
        const size_t oldCapacity = capacity;
        entries = fresh;
        capacity = bigger;
        for (size_t i = 0; i < oldCapacity; ++i)
        {
            if (old[i].block == 0)
                continue;
            size_t at = Home(old[i].block);
            while (entries[at].block != 0)
                at = (at + 1) & (capacity - 1);
            entries[at] = old[i];
        }
        free(old);
        return true;
    }

    AllocationRecord* TakeRecord()
    {
        if (!unused)
        {
            // Room for the chain word, then the records, aligned as records need.
            const size_t header = (sizeof(void*) + alignof(AllocationRecord) - 1) / alignof(AllocationRecord) *
                                  alignof(AllocationRecord);
            char* chunk = static_cast<char*>(malloc(header + kRecordsPerChunk * sizeof(AllocationRecord)));
            if (!chunk)
                return nullptr;
            memcpy(chunk, &chunks, sizeof chunks);
            chunks = chunk;
            AllocationRecord* records = reinterpret_cast<AllocationRecord*>(chunk + header);
            for (size_t i = 0; i < kRecordsPerChunk; ++i)
                GiveBack(&records[i]);
        }
        AllocationRecord* record = unused;
        unused = reinterpret_cast<AllocationRecord*>(record->block);
        return record;
    }

    void GiveBack(AllocationRecord* record)
    {
        record->block = reinterpret_cast<uintptr_t>(unused);
        unused = record;
    }

    // Stores the record of its block (replacing an older one of the same block). True when the
    // block was new; false with `failed` when there was no memory for it.
    bool Put(const AllocationRecord& record, bool& failed)
    {
        failed = false;
        if (AllocationRecord** known = Find(record.block))
        {
            **known = record;
            return false;
        }
        if (2 * (used + 1) > capacity && !Grow())
        {
            failed = true;
            return false;
        }
        AllocationRecord* slot = TakeRecord();
        if (!slot)
        {
            failed = true;
            return false;
        }
        *slot = record;
        size_t at = Home(record.block);
        while (entries[at].block != 0)
            at = (at + 1) & (capacity - 1);
        entries[at] = {record.block, slot};
        ++used;
        return true;
    }

    // Removes the block's record, copying it to `copy` when given; false when the block is unknown.
    // `size` and `guard` receive the block's size and how it was made.
    bool Remove(uintptr_t block, AllocationRecord* copy, size_t& size, uint8_t& guard)
    {
        AllocationRecord** found = Find(block);
        if (!found)
            return false;
        if (copy)
            *copy = **found;
        size = (*found)->size;
        guard = (*found)->guard;
        GiveBack(*found);
        size_t hole = static_cast<size_t>(reinterpret_cast<Entry*>(found) - entries);
        // Backward shift: each later entry of the run that may sit in the hole moves into it.
        for (size_t next = (hole + 1) & (capacity - 1); entries[next].block != 0; next = (next + 1) & (capacity - 1))
        {
            const size_t home = Home(entries[next].block);
            const bool movable = hole <= next ? (home <= hole || home > next) : (home <= hole && home > next);
            if (movable)
            {
                entries[hole] = entries[next];
                hole = next;
            }
        }
        entries[hole] = {0, nullptr};
        --used;
        return true;
    }

    template <class Visit>
    void ForEach(Visit visit) const
    {
        for (size_t i = 0; i < capacity; ++i)
            if (entries[i].block != 0)
                visit(*entries[i].record);
    }
};

struct DebugAllocator::SiteTable
{
    GroupMap counts;
};

bool RecordGroupLess(const AllocationRecord& a, const AllocationRecord& b)
{
    if (a.size != b.size)
        return a.size < b.size;
    const size_t common = a.frameCount < b.frameCount ? a.frameCount : b.frameCount;
    for (size_t i = 0; i < common; ++i)
    {
        if (a.frames[i] != b.frames[i])
            return a.frames[i] < b.frames[i];
    }
    if (a.threadId != b.threadId)
        return a.threadId < b.threadId;
    return a.frameCount < b.frameCount;
}

DebugAllocator::~DebugAllocator()
{
    InsideScope inside;
    for (ShardSlot& slot : m_shards)
    {
        if (slot.shard)
        {
            slot.shard->~Shard();
            free(slot.shard);
        }
    }
    if (m_sites)
    {
        m_sites->~SiteTable();
        free(m_sites);
    }
}

void DebugAllocator::Start()
{
    InsideScope inside;
    pthread_mutex_lock(&m_startLock);
    if (m_state.load() == kNotYet)
    {
        for (ShardSlot& slot : m_shards)
        {
            void* memory = malloc(sizeof(Shard));
            if (!memory)
                abort();  // cannot even start: nothing sensible is left to do
            slot.shard = new (memory) Shard();
        }
        void* memory = malloc(sizeof(SiteTable));
        if (!memory)
            abort();
        m_sites = new (memory) SiteTable();
        m_state.store(kTracking);
    }
    pthread_mutex_unlock(&m_startLock);
}

size_t DebugAllocator::ShardIndex(uintptr_t block)
{
    // By the address's high bits: the C library gives each thread its own heap arena (64 MiB
    // aligned regions), so threads keep to shards of their own and seldom share a lock; within
    // an arena, 1 MiB steps spread the blocks over a few shards.
    return static_cast<size_t>(((block >> 20) ^ (block >> 26) * 31) % kShards);
}

void* DebugAllocator::Alloc(size_t size, uint64_t site)
{
    // malloc(0) may return null; operator new must hand out a unique block.
    const size_t request = size ? size : 1;
    if (t_inside || m_state.load(std::memory_order_acquire) != kTracking)
        return malloc(request);
    InsideScope inside;

    AllocationRecord record;
    uint64_t frames[kAllocationFrames + 8];
    size_t count = m_hooks.capture ? m_hooks.capture(frames, kAllocationFrames + 8) : 0;
    bool startUp = !m_mainStarted.load(std::memory_order_relaxed);
    if (!startUp)
    {
        const uint64_t begin = m_startUpCodeBegin.load(std::memory_order_relaxed);
        const uint64_t end = m_startUpCodeEnd.load(std::memory_order_relaxed);
        for (size_t i = 0; i < count && !startUp; ++i)
            startUp = frames[i] >= begin && frames[i] < end;
    }
    count = ArrangeSite(frames, count, kAllocationFrames + 8, site);
    if (count > kAllocationFrames)
        count = kAllocationFrames;
    memcpy(record.frames, frames, count * sizeof(uint64_t));
    record.frameCount = static_cast<uint16_t>(count);
    record.size = size;
    record.threadId = static_cast<uint32_t>(platform::CurrentThreadId());
    record.startUp = startUp;
    const GuardPages mode = m_guardPages.load(std::memory_order_relaxed);
    record.guard = static_cast<uint8_t>(mode);

    void* block = AllocateBlock(request, mode);
    if (!block)
        return nullptr;
    record.block = reinterpret_cast<uintptr_t>(block);

    ShardSlot& slot = m_shards[ShardIndex(record.block)];
    LockShard(slot);
    bool stored = false;
    if (slot.shard)
    {
        // A block that was freed behind our back (inside the allocator) may come again.
        bool failed = false;
        if (slot.shard->Put(record, failed))
            ++slot.blocks;
        stored = !failed;
    }
    UnlockShard(slot);
    if (!stored)
    {
        // No room for the record (or the report has just run): the block cannot be tracked.
        ReleaseBlock(block, request, mode);
        return m_state.load() == kTracking ? nullptr : malloc(request);
    }

    if (m_siteStatistics.load(std::memory_order_relaxed))
    {
        pthread_mutex_lock(&m_siteLock);
        if (m_sites)
        {
            try
            {
                ++m_sites->counts[record];
            }
            catch (const std::bad_alloc&)
            {
            }
        }
        pthread_mutex_unlock(&m_siteLock);
    }
    return block;
}

void DebugAllocator::Free(void* block, uint64_t site)
{
    if (!block)
        return;
    if (t_inside || m_state.load(std::memory_order_acquire) != kTracking)
    {
        free(block);
        return;
    }
    InsideScope inside;
    const uintptr_t address = reinterpret_cast<uintptr_t>(block);
    ShardSlot& slot = m_shards[ShardIndex(address)];

    bool known = false;
    bool countSite = m_siteStatistics.load(std::memory_order_relaxed) && m_siteFrees.load(std::memory_order_relaxed);
    AllocationRecord record;  // copied only when the site records need it
    LockShard(slot);
    // Removed before the block goes back to malloc: once freed, another thread may get the same
    // address and record it.
    size_t size = 0;
    uint8_t guard = 0;
    if (slot.shard && slot.shard->Remove(address, countSite ? &record : nullptr, size, guard))
    {
        known = true;
        --slot.blocks;
    }
    const bool tablesGone = slot.shard == nullptr;
    UnlockShard(slot);

    if (tablesGone)
    {
        free(block);  // the report ran meanwhile: untracked from now on
        return;
    }
    if (!known)
    {
        // Freed twice, or never handed out by us: free() would abort or corrupt the heap.
        uint64_t frames[kAllocationFrames + 8];
        size_t count = m_hooks.capture ? m_hooks.capture(frames, kAllocationFrames + 8) : 0;
        count = ArrangeSite(frames, count, kAllocationFrames + 8, site);
        ReportUnknownFree(block, frames, count < kAllocationFrames ? count : kAllocationFrames);
        return;
    }
    ReleaseBlock(block, size, static_cast<GuardPages>(guard));

    if (countSite)
    {
        pthread_mutex_lock(&m_siteLock);
        if (m_sites)
        {
            auto found = m_sites->counts.find(record);
            if (found != m_sites->counts.end() && --found->second == 0)
                m_sites->counts.erase(found);
        }
        pthread_mutex_unlock(&m_siteLock);
    }
}

namespace
{

size_t PageSize()
{
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

// Data pages of a guarded block of `size` bytes: the block alone (underrun mode), or the block
// and the u32 before it (overrun mode). 0 when the size is beyond any mapping.
size_t DataPages(size_t size, GuardPages mode)
{
    const size_t page = PageSize();
    if (size == 0)
        size = 1;  // as the block was asked for
    const size_t needed = mode == GuardPages::Overrun ? size + 4 : size;
    if (size > SIZE_MAX / 2 - 2 * page)
        return 0;
    return (needed + page - 1) / page;
}

}  // namespace

void* DebugAllocator::AllocateBlock(size_t size, GuardPages mode)
{
    if (mode == GuardPages::Off)
        return malloc(size);
    const size_t page = PageSize();
    const size_t pages = DataPages(size, mode);
    if (pages == 0)
        return nullptr;
    const size_t length = (pages + 1) * page;
    void* mapped = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        return nullptr;
    uint8_t* base = static_cast<uint8_t*>(mapped);
    if (mode == GuardPages::Underrun)
    {
        if (mprotect(base, page, PROT_READ) != 0)
        {
            munmap(base, length);
            return nullptr;
        }
        return base + page;
    }
    if (mprotect(base + pages * page, page, PROT_READ) != 0)
    {
        munmap(base, length);
        return nullptr;
    }
    const uint32_t offset = static_cast<uint32_t>(pages * page - size);
    uint8_t* block = base + offset;
    memcpy(block - 4, &offset, sizeof offset);
    return block;
}

void DebugAllocator::ReleaseBlock(void* block, size_t size, GuardPages mode)
{
    if (mode == GuardPages::Off)
    {
        free(block);
        return;
    }
    const size_t page = PageSize();
    const size_t length = (DataPages(size, mode) + 1) * page;
    uint8_t* at = static_cast<uint8_t*>(block);
    if (mode == GuardPages::Underrun)
    {
        munmap(at - page, length);
        return;
    }
    uint32_t offset;
    memcpy(&offset, at - 4, sizeof offset);
    munmap(at - offset, length);
}

void DebugAllocator::SetGuardPages(GuardPages mode)
{
    m_guardPages = mode;
}

DebugAllocator::UntrackedScope::UntrackedScope() : m_wasInside(t_inside)
{
    t_inside = true;
}

DebugAllocator::UntrackedScope::~UntrackedScope()
{
    t_inside = m_wasInside;
}

void DebugAllocator::SetOptions(bool siteStatistics, bool siteFrees)
{
    m_siteStatistics = siteStatistics;
    m_siteFrees = siteFrees;
}

void DebugAllocator::SetOutputCallback(DebugAllocatorOutputCallback callback)
{
    m_callback = callback;
}

void DebugAllocator::MarkMainStarted()
{
    m_mainStarted = true;
}

void DebugAllocator::SetStartUpCode(uint64_t begin, uint64_t end)
{
    m_startUpCodeEnd = 0;  // never a range that is half the old one and half the new
    m_startUpCodeBegin = begin;
    m_startUpCodeEnd = end;
}

size_t DebugAllocator::BlockCount()
{
    size_t count = 0;
    for (ShardSlot& slot : m_shards)
    {
        LockShard(slot);
        count += slot.blocks;
        UnlockShard(slot);
    }
    return count;
}

bool DebugAllocator::IsTracking() const
{
    return m_state.load() == kTracking;
}

void DebugAllocator::LockAllForFork()
{
    pthread_mutex_lock(&m_startLock);
    for (ShardSlot& slot : m_shards)
        LockShard(slot);
    pthread_mutex_lock(&m_siteLock);
}

void DebugAllocator::UnlockAllAfterFork(bool child)
{
    if (child)
    {
        // The child has only the forking thread; no other thread can hold or wait for a lock.
        pthread_mutex_init(&m_siteLock, nullptr);
        for (ShardSlot& slot : m_shards)
            slot.locked.store(false);
        pthread_mutex_init(&m_startLock, nullptr);
        return;
    }
    pthread_mutex_unlock(&m_siteLock);
    for (size_t i = kShards; i > 0; --i)
        UnlockShard(m_shards[i - 1]);
    pthread_mutex_unlock(&m_startLock);
}

void DebugAllocator::Output(const char* format, ...)
{
    char line[1024];  // longer lines are cut
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (m_hooks.output)
        m_hooks.output(line);
    if (DebugAllocatorOutputCallback callback = m_callback.load())
        callback(FromNativePath(line).c_str());
}

bool DebugAllocator::SiteOf(const uint64_t* frames, size_t count, std::string& file, int& line)
{
    file = "<unknown>";
    line = -1;
    if (count <= kAllocationSiteFrame)
        return false;
    if (m_hooks.symbolise)
        m_hooks.symbolise(frames[kAllocationSiteFrame], file, line);
    return true;
}

void DebugAllocator::ReportUnknownFree(void* block, const uint64_t* frames, size_t count)
{
    std::string file;
    int line = -1;
    if (SiteOf(frames, count, file, line))
        Output("%s(%d): unknown memory block starting at %p freed.\n", file.c_str(), line, block);
    else
        Output("Unknown location: Unknown memory block starting at %p freed.\n", block);
}

void DebugAllocator::WriteGroups(bool leaks)
{
    // Groups of equal size, stack and thread, in the grouping order.
    GroupMap groups;
    size_t records = 0;
    if (leaks)
    {
        for (ShardSlot& slot : m_shards)
        {
            LockShard(slot);
            if (slot.shard)
            {
                slot.shard->ForEach([&](const AllocationRecord& record) {
                    if (record.startUp)
                        return;
                    ++groups[record];
                    ++records;
                });
            }
            UnlockShard(slot);
        }
    }
    else
    {
        pthread_mutex_lock(&m_siteLock);
        if (m_sites)
            groups = m_sites->counts;
        pthread_mutex_unlock(&m_siteLock);
        for (const auto& group : groups)
            records += group.second;
    }

    // Neighbouring groups share most of their frames: look each address up once.
    std::map<uint64_t, std::pair<std::string, int>, std::less<uint64_t>,
             MallocAllocator<std::pair<const uint64_t, std::pair<std::string, int>>>>
        names;
    auto name = [&](uint64_t address) -> const std::pair<std::string, int>& {
        auto found = names.find(address);
        if (found != names.end())
            return found->second;
        std::pair<std::string, int> entry{"<unknown>", -1};
        if (m_hooks.symbolise)
            m_hooks.symbolise(address, entry.first, entry.second);
        return names.emplace(address, std::move(entry)).first->second;
    };

    const char* verb = leaks ? "were never freed" : "were allocated at run-time";
    for (const auto& [record, count] : groups)
    {
        if (record.frameCount <= kAllocationSiteFrame)
        {
            Output("Unknown location: %zu memory blocks of size %zu %s.\n\n", count, record.size, verb);
            continue;
        }
        const auto& site = name(record.frames[kAllocationSiteFrame]);
        if (!leaks)
            Output("%s(%d): %zu memory blocks of size %zu were allocated at run-time.\n", site.first.c_str(),
                   site.second, count, record.size);
        else if (count == 1)
            Output("%s(%d): 1 memory block of size %zu was never freed (thread id %u).\n", site.first.c_str(),
                   site.second, record.size, record.threadId);
        else
            Output("%s(%d): %zu memory blocks of size %zu were never freed (thread id %u).\n", site.first.c_str(),
                   site.second, count, record.size, record.threadId);
        for (size_t i = kAllocationSiteFrame + 1; i < record.frameCount; ++i)
        {
            const auto& caller = name(record.frames[i]);
            Output("%s(%d): Called from.\n", caller.first.c_str(), caller.second);
        }
        Output("\n");
    }
    if (leaks)
        Output("\n\nA total of %zu leaks at %zu locations.\n", records, groups.size());
    else
        Output("\n\nA total of %zu run-time allocation at %zu locations.\n", records, groups.size());
}

void DebugAllocator::ReportLeaks()
{
    InsideScope inside;
    int expected = kTracking;
    if (!m_state.compare_exchange_strong(expected, kReported))
        return;
    const bool read = !m_hooks.outputRead || m_hooks.outputRead() || m_callback.load();
    if (read)
    {
        Output("\n\n>>>>>>>>>> DEBUG ALLOCATION >>>>>>>>>>\n\n");
        WriteGroups(true);
        bool sites = false;
        pthread_mutex_lock(&m_siteLock);
        sites = m_sites && !m_sites->counts.empty();
        pthread_mutex_unlock(&m_siteLock);
        if (sites)
        {
            Output("\n\n----------- RUN-TIME ALLOCATIONS ------------\n\n");
            WriteGroups(false);
        }
        Output("\n\n<<<<<<<<<< DEBUG ALLOCATION <<<<<<<<<<\n\n");
    }

    // Empty the tables; threads that still free tracked blocks now find none and free them
    // directly.
    for (ShardSlot& slot : m_shards)
    {
        LockShard(slot);
        Shard* shard = slot.shard;
        slot.shard = nullptr;
        slot.blocks = 0;
        UnlockShard(slot);
        if (shard)
        {
            shard->~Shard();
            free(shard);
        }
    }
    pthread_mutex_lock(&m_siteLock);
    SiteTable* sitesTable = m_sites;
    m_sites = nullptr;
    pthread_mutex_unlock(&m_siteLock);
    if (sitesTable)
    {
        sitesTable->~SiteTable();
        free(sitesTable);
    }
}
