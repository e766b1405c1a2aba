// The tracking allocator's logic on local instances with injected stacks, names and output, so
// every report line can be checked exactly. The global operators are tested in test_tracking.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lumo/diagnostics/DebugAllocator.h"
#include "lumo/diagnostics/DebugAllocatorFilter.h"
#include "platform/Waitable.h"

namespace
{

std::vector<uint64_t> g_fakeStack;
std::string g_output;

size_t FakeCapture(uint64_t* frames, size_t capacity)
{
    size_t count = 0;
    for (; count < g_fakeStack.size() && count < capacity; ++count)
        frames[count] = g_fakeStack[count];
    return count;
}

// Address 0xN0 is "fN.cpp" line N; 0xBAD is unknown.
bool FakeSymbolise(uint64_t address, std::string& file, int& line)
{
    if (address == 0xBAD)
        return false;
    file = "f" + std::to_string(address >> 4) + ".cpp";
    line = static_cast<int>(address >> 4);
    return true;
}

void CaptureOutput(const char* line)
{
    g_output += line;
}

constexpr DebugAllocator::Hooks kFakeHooks{FakeCapture, FakeSymbolise, CaptureOutput};

// Tracking and past the start of main, with nothing written yet.
struct StartedAllocator : DebugAllocator
{
    StartedAllocator() : DebugAllocator(kFakeHooks)
    {
        Start();
        MarkMainStarted();
        g_output.clear();
    }
};

class DebugAllocatorTest : public testing::Test
{
protected:
    DebugAllocatorTest() { g_fakeStack = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60}; }

    std::string Thread() const { return std::to_string(platform::CurrentThreadId()); }

    StartedAllocator allocator;
};

const char kBanner[] = "\n\n>>>>>>>>>> DEBUG ALLOCATION >>>>>>>>>>\n\n";
const char kEnd[] = "\n\n<<<<<<<<<< DEBUG ALLOCATION <<<<<<<<<<\n\n";

}  // namespace

TEST_F(DebugAllocatorTest, LeaksAreGroupedBySizeStackAndThread)
{
    void* same[3];
    for (void*& block : same)
        ASSERT_NE(block = allocator.Alloc(16), nullptr);
    void* single = allocator.Alloc(24);
    g_fakeStack = {0x10, 0x20};  // too short to name a place
    void* unknown = allocator.Alloc(8);
    EXPECT_EQ(allocator.BlockCount(), 5u);

    allocator.ReportLeaks();
    const std::string expected = std::string(kBanner) +
                                 // Groups in order: size 8, 16, 24.
                                 "Unknown location: 1 memory blocks of size 8 were never freed.\n\n"
                                 "f4.cpp(4): 3 memory blocks of size 16 were never freed (thread id " + Thread() + ").\n"
                                 "f5.cpp(5): Called from.\n"
                                 "f6.cpp(6): Called from.\n"
                                 "\n"
                                 "f4.cpp(4): 1 memory block of size 24 was never freed (thread id " + Thread() + ").\n"
                                 "f5.cpp(5): Called from.\n"
                                 "f6.cpp(6): Called from.\n"
                                 "\n"
                                 "\n\nA total of 5 leaks at 3 locations.\n" + kEnd;
    EXPECT_EQ(g_output, expected);
    // After the report nothing is tracked; the blocks are still malloc's to free.
    EXPECT_FALSE(allocator.IsTracking());
    EXPECT_EQ(allocator.BlockCount(), 0u);
    free(single);
    free(unknown);
    for (void* block : same)
        free(block);
}

// A double free or a pointer never handed out is reported and never reaches free(): passing a
// stack address or a freed block to free() would abort the process or corrupt the heap.
TEST_F(DebugAllocatorTest, UnknownAndDoubleFreesAreReportedNotFreed)
{
    void* block = allocator.Alloc(40);
    allocator.Free(block);
    allocator.Free(block);
    int onTheStack = 0;
    g_fakeStack = {0x10};
    allocator.Free(&onTheStack);

    char expected[256];
    snprintf(expected, sizeof(expected), "f4.cpp(4): unknown memory block starting at %p freed.\n", block);
    EXPECT_NE(g_output.find(expected), std::string::npos) << g_output;
    snprintf(expected, sizeof(expected), "Unknown location: Unknown memory block starting at %p freed.\n",
             static_cast<void*>(&onTheStack));
    EXPECT_NE(g_output.find(expected), std::string::npos) << g_output;
    EXPECT_EQ(allocator.BlockCount(), 0u);
}

TEST_F(DebugAllocatorTest, SizesNeverWrapAndZeroGivesABlock)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's malloc ends the process on sizes it cannot meet";
#endif
    EXPECT_EQ(allocator.Alloc(SIZE_MAX), nullptr);
    EXPECT_EQ(allocator.Alloc(SIZE_MAX - 8), nullptr);
    EXPECT_EQ(allocator.Alloc(size_t(1) << 50), nullptr);
    void* a = allocator.Alloc(0);
    void* b = allocator.Alloc(0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(allocator.BlockCount(), 2u);
    allocator.Free(a);
    allocator.Free(b);
    // Sizes beyond 32 bits are recorded whole.
    void* big = allocator.Alloc((size_t(1) << 32) + 16);
    if (big)
    {
        allocator.ReportLeaks();
        EXPECT_NE(g_output.find("of size 4294967312 was never freed"), std::string::npos) << g_output;
        free(big);
    }
}

TEST_F(DebugAllocatorTest, SiteStatisticsSection)
{
    struct Case { bool statistics, siteFrees; const char* section; /* null: no section */ };
    const Case cases[] = {
        {false, false, nullptr},
        {true, false,
         "\n\n----------- RUN-TIME ALLOCATIONS ------------\n\n"
         "f4.cpp(4): 2 memory blocks of size 16 were allocated at run-time.\n"
         "f5.cpp(5): Called from.\n"
         "f6.cpp(6): Called from.\n"
         "\n"
         "\n\nA total of 2 run-time allocation at 1 locations.\n"},
        {true, true,
         "\n\n----------- RUN-TIME ALLOCATIONS ------------\n\n"
         "f4.cpp(4): 1 memory blocks of size 16 were allocated at run-time.\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.statistics + 2 * c.siteFrees);
        StartedAllocator local;
        local.SetOptions(c.statistics, c.siteFrees);
        void* kept = local.Alloc(16);
        local.Free(local.Alloc(16));
        local.ReportLeaks();
        if (c.section)
            EXPECT_NE(g_output.find(c.section), std::string::npos) << g_output;
        else
            EXPECT_EQ(g_output.find("RUN-TIME"), std::string::npos) << g_output;
        free(kept);
    }
}

// The allocation site lands at the fourth frame whatever the capture saw between it and Alloc.
TEST_F(DebugAllocatorTest, SiteIsMovedToTheFourthFrame)
{
    struct Case { std::vector<uint64_t> stack; const char* site; };
    const Case cases[] = {
        {{0x10, 0x70, 0x80}, "f7.cpp(7): 1 memory block"},                    // jumps dropped frames
        {{0x10, 0x20, 0x30, 0x40, 0x50, 0x70, 0x80}, "f7.cpp(7): 1 memory block"},  // extra frames
        {{0x10, 0x20, 0x30, 0x40, 0x50}, "f4.cpp(4): 1 memory block"},        // site not on the stack
        {{0x10, 0x20, 0x30, 0xBAD, 0x50}, "<unknown>(-1): 1 memory block of size 8 was never freed"},
    };
    for (const Case& c : cases)
    {
        StartedAllocator local;
        g_fakeStack = c.stack;
        void* block = local.Alloc(8, 0x70);
        local.ReportLeaks();
        EXPECT_NE(g_output.find(c.site), std::string::npos) << g_output;
        free(block);
    }
}

TEST_F(DebugAllocatorTest, UntrackedBeforeStartAndStartUpBlocksNotReported)
{
    DebugAllocator local(kFakeHooks);
    void* early = local.Alloc(8);  // not started: plain malloc
    EXPECT_EQ(local.BlockCount(), 0u);
    local.Start();
    void* startUp = local.Alloc(8);  // before main: tracked, not reported
    local.MarkMainStarted();
    void* late = local.Alloc(8);
    // After main, a block whose stack passes through the start-up code (the loader running a
    // library's initialisers) is a start-up block too, whatever frame it is in.
    local.SetStartUpCode(0x50, 0x60);
    void* loaded = local.Alloc(8);
    g_fakeStack = {0x10, 0x20, 0x30, 0x40, 0x60};
    void* pastTheEnd = local.Alloc(8);
    EXPECT_EQ(local.BlockCount(), 4u);
    g_output.clear();
    local.ReportLeaks();
    EXPECT_NE(g_output.find("A total of 2 leaks at 2 locations."), std::string::npos) << g_output;
    for (void* block : {early, startUp, late, loaded, pastTheEnd})
        free(block);
}

bool g_outputRead = false;

bool OutputRead()
{
    return g_outputRead;
}

void IgnoreLine(const wchar_t*)
{
}

// The report is written only when its lines reach someone: the debugger output's reader or the
// output callback. Unread, it still ends tracking.
TEST(DebugAllocatorReport, WrittenOnlyForAReader)
{
    constexpr DebugAllocator::Hooks hooks{FakeCapture, FakeSymbolise, CaptureOutput, OutputRead};
    const struct
    {
        bool read;
        bool callback;
    } cases[] = {{false, false}, {true, false}, {false, true}};
    for (const auto& c : cases)
    {
        DebugAllocator local(hooks);
        local.Start();
        local.MarkMainStarted();
        void* leak = local.Alloc(8);
        g_outputRead = c.read;
        if (c.callback)
            local.SetOutputCallback(IgnoreLine);
        g_output.clear();
        local.ReportLeaks();
        EXPECT_EQ(g_output.find("A total of 1 leaks at 1 locations.") != std::string::npos, c.read || c.callback)
            << c.read << c.callback << g_output;
        EXPECT_FALSE(local.IsTracking());
        free(leak);
    }
    g_outputRead = false;
}

// Each mode puts blocks against their guard page; freeing unmaps the pages, also after a mode change.
TEST_F(DebugAllocatorTest, GuardPagesBorderEachBlock)
{
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    for (GuardPages mode : {GuardPages::Overrun, GuardPages::Underrun})
        for (size_t size : {size_t{1}, size_t{page + 5}})
        {
            allocator.SetGuardPages(mode);
            EXPECT_EQ(allocator.Alloc(SIZE_MAX - 8), nullptr);
            char* block = static_cast<char*>(allocator.Alloc(size));
            allocator.SetGuardPages(GuardPages::Off);
            ASSERT_NE(block, nullptr);
            memset(block, 0xA5, size);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(mode == GuardPages::Overrun ? block + size : block) % page, 0u);
            allocator.Free(block);
            EXPECT_NE(msync(block - reinterpret_cast<uintptr_t>(block) % page, page, MS_ASYNC), 0) << "not unmapped";
        }
}

// The filter's text keeps whole lines: once the buffer is full no further line is begun.
TEST(DebugAllocatorFilter, CallStackTextStopsAtTheLastWholeLine)
{
    const std::vector<uint64_t> addresses(40, reinterpret_cast<uint64_t>(&FormatFaultCallStack) + 1);
    const auto format = [&](size_t capacity) {
        std::vector<char> text(capacity + 1);  // a NUL after the end, whatever is written
        const size_t length = FormatFaultCallStack(addresses.data(), addresses.size(), text.data(), capacity);
        EXPECT_EQ(length, strlen(text.data()));
        return std::string(text.data());
    };
    const std::string full = format(64 * 1024);
    for (size_t capacity : {size_t{1}, size_t{14}, size_t{200}, full.size() + 1})  // the whole lines before the NUL
        EXPECT_EQ(format(capacity), full.substr(0, full.substr(0, capacity - 1).rfind('\n') + 1)) << capacity;
}
