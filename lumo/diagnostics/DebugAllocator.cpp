#include "lumo/diagnostics/DebugAllocator.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <unordered_map>

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

struct DebugAllocator::Shard
{
    std::unordered_map<uintptr_t, AllocationRecord, std::hash<uintptr_t>, std::equal_to<uintptr_t>,
                       MallocAllocator<std::pair<const uintptr_t, AllocationRecord>>>
        blocks;
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
    // malloc's blocks are 16-byte aligned; mix in higher bits so neighbours spread out.
    return static_cast<size_t>(((block >> 4) ^ (block >> 12) ^ (block >> 20)) % kShards);
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
    count = ArrangeSite(frames, count, kAllocationFrames + 8, site);
    if (count > kAllocationFrames)
        count = kAllocationFrames;
    memcpy(record.frames, frames, count * sizeof(uint64_t));
    record.frameCount = static_cast<uint16_t>(count);
    record.size = size;
    record.threadId = static_cast<uint32_t>(platform::CurrentThreadId());
    record.beforeMain = !m_mainStarted.load(std::memory_order_relaxed);

    void* block = malloc(request);
    if (!block)
        return nullptr;
    record.block = reinterpret_cast<uintptr_t>(block);

    ShardSlot& slot = m_shards[ShardIndex(record.block)];
    pthread_mutex_lock(&slot.lock);
    bool stored = false;
    if (slot.shard)
    {
        try
        {
            // A block that was freed behind our back (inside the allocator) may come again.
            if (slot.shard->blocks.insert_or_assign(record.block, record).second)
                ++slot.blocks;
            stored = true;
        }
        catch (const std::bad_alloc&)
        {
        }
    }
    pthread_mutex_unlock(&slot.lock);
    if (!stored)
    {
        // No room for the record (or the report has just run): the block cannot be tracked.
        free(block);
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
    pthread_mutex_lock(&slot.lock);
    if (slot.shard)
    {
        auto found = slot.shard->blocks.find(address);
        if (found != slot.shard->blocks.end())
        {
            known = true;
            if (countSite)
                record = found->second;
            // Erased before the block goes back to malloc: once freed, another thread may get the
            // same address and record it.
            slot.shard->blocks.erase(found);
            --slot.blocks;
        }
    }
    const bool tablesGone = slot.shard == nullptr;
    pthread_mutex_unlock(&slot.lock);

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
    free(block);

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

size_t DebugAllocator::BlockCount()
{
    size_t count = 0;
    for (ShardSlot& slot : m_shards)
    {
        pthread_mutex_lock(&slot.lock);
        count += slot.blocks;
        pthread_mutex_unlock(&slot.lock);
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
        pthread_mutex_lock(&slot.lock);
    pthread_mutex_lock(&m_siteLock);
}

void DebugAllocator::UnlockAllAfterFork(bool child)
{
    if (child)
    {
        // The child has only the forking thread; no other thread can hold or wait for a lock.
        pthread_mutex_init(&m_siteLock, nullptr);
        for (ShardSlot& slot : m_shards)
            pthread_mutex_init(&slot.lock, nullptr);
        pthread_mutex_init(&m_startLock, nullptr);
        return;
    }
    pthread_mutex_unlock(&m_siteLock);
    for (size_t i = kShards; i > 0; --i)
        pthread_mutex_unlock(&m_shards[i - 1].lock);
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
            pthread_mutex_lock(&slot.lock);
            if (slot.shard)
            {
                for (const auto& entry : slot.shard->blocks)
                {
                    if (entry.second.beforeMain)
                        continue;
                    ++groups[entry.second];
                    ++records;
                }
            }
            pthread_mutex_unlock(&slot.lock);
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

    // Empty the tables; threads that still free tracked blocks now find none and free them
    // directly.
    for (ShardSlot& slot : m_shards)
    {
        pthread_mutex_lock(&slot.lock);
        Shard* shard = slot.shard;
        slot.shard = nullptr;
        slot.blocks = 0;
        pthread_mutex_unlock(&slot.lock);
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
