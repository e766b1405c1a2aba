#pragma once
// The tracking allocator: records every live block with its size, the allocating thread and an
// 18-frame call stack, and writes a leak report that groups the blocks never freed by call site.
// The product executable and the allocator's own test binary route the global operator new and
// delete here (lumo/tracking/); everything else keeps the C library's heap. Blocks always come
// from malloc, so mismatched new/free pairs in other code stay harmless.
//
// What gets tracked on Linux: every operator new of the executable and of the C++ libraries it
// loads (libstdc++, the toolkit's C++ layer); GTK, GLib and other C libraries use malloc and are
// never seen. Blocks made before tracking started are unknown to it; one of them freed while
// tracking is reported like any unknown block (the global operators start tracking before any
// static initialiser runs, so in the product there are none). Blocks made after the start but
// before main (the static initialisers) are tracked, so their frees are known, and left out of
// the leak report. So are the blocks a library's static
// initialisers make when it is loaded later (dlopen: a renderer's compiler that the web view's
// graphics library loads), found by the dynamic loader's code on their stack (SetStartUpCode):
// such libraries keep their tables for the life of the process and are not ours to report.
//
// The report is written only when its lines reach someone (Hooks::outputRead, or an output
// callback); unread, it only ends tracking.
//
// States: not yet tracking (everything goes straight to malloc/free), tracking, and reported
// (after the leak report: untracked for good, so nothing reaches the emptied tables again).
// A thread inside the allocator (its bookkeeping, symbol look-up, output) is never tracked.
//
// Guard pages (off unless a test turns them on; nothing in the program does): every tracked block
// gets pages of its own from mmap, next to a read-only guard page, so that a write past the
// block's end (overrun mode) or before its start (underrun mode) faults at once:
//   overrun:  k = ceil((n + 4) / page) data pages and the guard page after them; the block ends
//             exactly at the guard page (so it is aligned only as far as its size is) and the u32
//             just before it holds its distance from the mapping's start;
//   underrun: the guard page, then ceil(n / page) data pages; the block starts right after it.
// A block is released the way it was made, whatever the mode is by then. The fault goes to the
// allocator's exception filter (DebugAllocatorFilter.h) until the crash handlers take over.
//
// Faults it reports instead of passing on: a block freed twice, or a pointer it never handed
// out, is written as an "unknown memory block" line and is NOT given to free (the C library
// would abort or corrupt its heap). Requests that cannot be met return null (operator new then
// throws std::bad_alloc); sizes are size_t end to end.
//
// Locking: the tables are split into shards by block address, each with its own spin lock, so
// threads seldom wait for each other. Stacks are captured before any lock is taken: the
// unwinder may take the dynamic loader's lock, and a thread inside dlopen may be waiting for
// ours. fork() is safe: the program's atfork handlers (lumo/tracking/) take every lock before
// it and release them after it, so a child that allocates never finds one held.

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t kAllocationFrames = 18;
// Frames of a record before the allocation site: the capture itself, Alloc and operator new.
constexpr size_t kAllocationSiteFrame = 3;

// Filled field by field by Alloc; only the first frameCount frames are meaningful. No default
// values: clearing 180 bytes on every allocation and free would cost more than the table itself.
struct AllocationRecord
{
    size_t size;
    uint32_t threadId;
    uint16_t frameCount;
    uint64_t frames[kAllocationFrames];
    uintptr_t block;
    bool startUp;     // made by a static initialiser (before main, or of a library loaded later): never reported
    uint8_t guard;    // how the block was made: a GuardPages value
};

enum class GuardPages : uint8_t
{
    Off = 0,       // blocks from malloc
    Underrun = 1,  // the guard page before each block
    Overrun = 2,   // the guard page after each block
};

// Grouping order: size, then the return addresses pairwise, then thread id, then frame count.
bool RecordGroupLess(const AllocationRecord& a, const AllocationRecord& b);

// Receives every report line besides the debugger output, as a wide string.
using DebugAllocatorOutputCallback = void (*)(const wchar_t* line);

class DebugAllocator
{
public:
    struct Hooks
    {
        // Records up to `capacity` return addresses of the calling thread; returns the count.
        size_t (*capture)(uint64_t* frames, size_t capacity) = nullptr;
        // Source file and line of a return address; false when unknown.
        bool (*symbolise)(uint64_t address, std::string& file, int& line) = nullptr;
        // Writes one report line (the debugger output).
        void (*output)(const char* line) = nullptr;
        // Whether the output reaches anyone; null: always. The leak report names its sites only
        // for a reader (reading the symbols of every library costs tens of MB at exit).
        bool (*outputRead)() = nullptr;
    };

    constexpr explicit DebugAllocator(Hooks hooks) : m_hooks(hooks) {}
    DebugAllocator(const DebugAllocator&) = delete;
    DebugAllocator& operator=(const DebugAllocator&) = delete;
    // Only for local instances; the global one is never destroyed.
    ~DebugAllocator();

    // Starts tracking (once); sets up the tables and the fork handlers.
    void Start();

    // A block of `size` bytes (a unique block for 0), or null. `site`: the return address into
    // the code that asked (from operator new); the record's stack is arranged so that it is
    // frame kAllocationSiteFrame.
    void* Alloc(size_t size, uint64_t site = 0);
    // site: the return address into the code that freed (from operator delete), for the report
    // of an unknown block.
    void Free(void* block, uint64_t site = 0);

    void SetOptions(bool siteStatistics, bool siteFrees);
    // For tests: how tracked blocks are made from now on.
    void SetGuardPages(GuardPages mode);

    // Keeps the calling thread's allocations out of every allocator for the scope (they go
    // straight to malloc and free), for code that must not wait for the allocator's locks.
    class UntrackedScope
    {
    public:
        UntrackedScope();
        ~UntrackedScope();
        UntrackedScope(const UntrackedScope&) = delete;
        UntrackedScope& operator=(const UntrackedScope&) = delete;

    private:
        bool m_wasInside;
    };
    void SetOutputCallback(DebugAllocatorOutputCallback callback);

    // Writes the leak report and switches to the reported state.
    void ReportLeaks();

    // From now on blocks are no longer start-up blocks (the program's main has begun).
    void MarkMainStarted();
    // Code whose return addresses on a block's stack make it a start-up block: the dynamic
    // loader's, which runs the static initialisers of libraries loaded after main. [begin, end).
    void SetStartUpCode(uint64_t begin, uint64_t end);

    size_t BlockCount();
    bool IsTracking() const;

    // pthread_atfork handlers, for every instance there is (the global one in practice).
    void LockAllForFork();
    void UnlockAllAfterFork(bool child);

private:
    struct Shard;
    struct SiteTable;
    static constexpr size_t kShards = 256;
    static constexpr size_t kQuarantine = 256;  // recently freed blocks per shard

    static size_t ShardIndex(uintptr_t block);
    struct ShardSlot;
    static void LockShard(ShardSlot& slot);
    static void UnlockShard(ShardSlot& slot);
    void Output(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void ReportUnknownFree(void* block, const uint64_t* frames, size_t count);
    bool SiteOf(const uint64_t* frames, size_t count, std::string& file, int& line);
    void WriteGroups(bool leaks);
    static void* AllocateBlock(size_t size, GuardPages mode);
    static void ReleaseBlock(void* block, size_t size, GuardPages mode);

    enum State : int
    {
        kNotYet = 0,
        kTracking = 1,
        kReported = 2,
    };

    // One cache line each, so that threads working on different shards do not slow each other.
    struct alignas(64) ShardSlot
    {
        std::atomic<bool> locked{false};
        Shard* shard = nullptr;
        size_t blocks = 0;  // under the lock
    };

    Hooks m_hooks;
    std::atomic<int> m_state{kNotYet};
    std::atomic<bool> m_mainStarted{false};
    std::atomic<uint64_t> m_startUpCodeBegin{0};
    std::atomic<uint64_t> m_startUpCodeEnd{0};
    ShardSlot m_shards[kShards];
    pthread_mutex_t m_siteLock = PTHREAD_MUTEX_INITIALIZER;
    SiteTable* m_sites = nullptr;
    std::atomic<bool> m_siteStatistics{false};
    std::atomic<bool> m_siteFrees{false};
    std::atomic<GuardPages> m_guardPages{GuardPages::Off};
    std::atomic<DebugAllocatorOutputCallback> m_callback{nullptr};
    pthread_mutex_t m_startLock = PTHREAD_MUTEX_INITIALIZER;
};
