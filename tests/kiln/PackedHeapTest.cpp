#include "Kiln/Src/Kiln/KernelStandard/PackedHeap.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Kiln/Src/Kiln/KernelStandard/BlockAllocator.h"
#include "tests/fixtures/DebugCapture.h"

namespace
{

uint32_t SizeWord(const void* chunk)
{
    uint32_t word;
    memcpy(&word, static_cast<const uint8_t*>(chunk) - 4, sizeof word);
    return word;
}

TEST(PackedHeap, ChunkSizesAndExactReuse)
{
    Kiln::PackedHeap heap("test");
    for (const auto& [request, chunk] : {std::pair{0u, 16u}, {1u, 16u}, {16u, 16u}, {17u, 20u}, {21u, 24u}, {1000u, 1000u}})
    {
        void* p = heap.Alloc(request);
        EXPECT_EQ(SizeWord(p), chunk) << request;
        heap.Free(p);
    }
    void* keep = heap.Alloc(40);  // keeps the block from being reset
    void* a = heap.Alloc(24);
    void* b = heap.Alloc(24);
    EXPECT_EQ(static_cast<uint8_t*>(b) - static_cast<uint8_t*>(a), 28);  // packed: size word + 24
    heap.Free(a);
    EXPECT_EQ(heap.Alloc(32) != a, true);  // another size never takes it
    EXPECT_EQ(heap.Alloc(21), a);          // same chunk size: the same address
    heap.Free(keep);
}

TEST(PackedHeap, OversizedRequestAllocatesNoBlock)
{
    Kiln::PackedHeap heap("test");
    for (size_t size : {size_t{1048561}, size_t{1048565} - 4, size_t{1} << 40, SIZE_MAX})
        EXPECT_THROW(heap.Alloc(size), std::bad_alloc) << size;
    EXPECT_EQ(heap.BlockCount(), 0u);
    void* largest = heap.Alloc(Kiln::PackedHeap::kChunkArea - 4);  // exactly one block
    EXPECT_EQ(heap.BlockCount(), 1u);
    heap.Free(largest);
}

TEST(PackedHeap, KeepsOneEmptyBlock)
{
    Kiln::PackedHeap heap("test");
    const size_t big = 600 * 1024;  // two of them do not share a block
    void* first = heap.Alloc(big);
    void* second = heap.Alloc(big);
    ASSERT_EQ(heap.BlockCount(), 2u);
    heap.Free(first);
    EXPECT_EQ(heap.BlockCount(), 2u);  // the first empty block stays, used from its start again
    EXPECT_FALSE(heap.IsEmpty());
    heap.Free(second);
    EXPECT_EQ(heap.BlockCount(), 1u);  // a second empty block goes
    EXPECT_TRUE(heap.IsEmpty());
    void* again = heap.Alloc(big);
    EXPECT_EQ(again, first);  // the kept block was reset
    heap.Free(again);
}

TEST(PackedHeapDeathTest, RefusesDoubleAndForeignFrees)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Each case builds its own heaps: a chunk p freed once, a live chunk q, a chunk of another heap.
    struct Case
    {
        const char* name;
        void* (*target)(void* p, void* q, void* foreign);
        const char* message;
    } cases[] = {
        {"double free", [](void* p, void*, void*) { return p; }, "freed already"},
        {"another heap's chunk", [](void*, void*, void* foreign) { return foreign; }, "never gave out"},
        {"inside a chunk", [](void*, void* q, void*) -> void* { return static_cast<uint8_t*>(q) + 2; }, "not a chunk"},
        {"beyond the carved area", [](void*, void* q, void*) -> void* { return static_cast<uint8_t*>(q) + 200; },
         "not a chunk"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_DEATH(
            {
                dup2(2, 1);  // the report may go to either stream
                Kiln::PackedHeap heap("test");
                Kiln::PackedHeap other("other");
                void* p = heap.Alloc(32);
                void* q = heap.Alloc(32);
                void* foreign = other.Alloc(32);
                heap.Free(nullptr);  // nothing
                heap.Free(p);
                heap.Free(c.target(p, q, foreign));
            },
            c.message);
    }
    int onStack = 0;
    EXPECT_DEATH(
        {
            dup2(2, 1);
            Kiln::PackedHeap heap("test");
            heap.Alloc(16);
            heap.Free(&onStack);
        },
        "never gave out");
}

TEST(BlockAllocator, SizeClassesAndCacheLimit)
{
    for (const auto& [size, sizeClass] : {std::pair{0u, 1u}, {4u, 1u}, {5u, 2u}, {12u, 2u}, {13u, 3u}, {1012u, 127u}, {1013u, 128u}})
        EXPECT_EQ(Kiln::Alloc::ClassOf(size), sizeClass) << size;

    // A cached block comes back for the next request of its class.
    void* a = Kiln::Alloc::New(5);
    Kiln::Alloc::Delete(a);
    EXPECT_EQ(Kiln::Alloc::New(12), a);
    Kiln::Alloc::Delete(a);

    // Past the limit, deletes go back to the C library: the cache holds exactly 8,192.
    std::vector<void*> blocks;
    for (int i = 0; i < 8300; ++i)
        blocks.push_back(Kiln::Alloc::New(5));
    for (void* block : blocks)
        Kiln::Alloc::Delete(block);
    EXPECT_EQ(Kiln::Alloc::CachedCount(2), 8192u);

    const uint32_t before = Kiln::Alloc::CachedCount(127);
    void* large = Kiln::Alloc::New(1013);
    memset(large, 0xAB, 1013);
    Kiln::Alloc::Delete(large);
    EXPECT_EQ(Kiln::Alloc::CachedCount(127), before);
}

// A thread keeps freed blocks of its own; when it ends they go back to the shared list, where
// the next thread finds them, rather than being lost.
TEST(BlockAllocator, AnEndingThreadGivesItsBlocksBack)
{
    const uint32_t sizeClass = Kiln::Alloc::ClassOf(469);
    const uint32_t before = Kiln::Alloc::CachedCount(sizeClass);
    std::thread([] {
        std::vector<void*> blocks;
        for (int i = 0; i < 10; ++i)
            blocks.push_back(Kiln::Alloc::New(469));
        for (void* block : blocks)
            Kiln::Alloc::Delete(block);
    }).join();
    EXPECT_EQ(Kiln::Alloc::CachedCount(sizeClass), std::min(before + 10, Kiln::Alloc::CacheLimit(sizeClass)));
}

TEST(BlockAllocator, LeavesBlocksWithABadHeaderAlone)
{
    fixtures::DebugCapture debug;
    alignas(8) uint8_t fake[16] = {};
    const uint32_t badHeader = (2u << 9) | 0x1FF;
    memcpy(fake, &badHeader, sizeof badHeader);
    const uint32_t cached = Kiln::Alloc::CachedCount(2);
    Kiln::Alloc::Delete(fake + 4);
    EXPECT_EQ(Kiln::Alloc::CachedCount(2), cached);
    EXPECT_TRUE(debug.Saw("Alloc::Delete>"));
}

// Eight threads of random allocations and frees on one shared heap and on the block allocator:
// every block keeps its pattern until it is freed, and no block is handed out twice.
TEST(PackedHeap, EightThreadsKeepEveryBlockIntact)
{
    Kiln::PackedHeap heap("shared");
    std::atomic<bool> failed{false};
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t) * 7919u + 1);
            struct Held { uint8_t* p; size_t size; uint8_t pattern; bool fromHeap; };
            std::vector<Held> held;
            auto check = [&](const Held& h) {
                for (size_t i = 0; i < h.size; ++i)
                    if (h.p[i] != static_cast<uint8_t>(h.pattern ^ i))
                        failed = true;
            };
            int round = 0;
            while (!failed && (++round % 256 != 0 || std::chrono::steady_clock::now() < end))
            {
                if (held.size() < 64 && (held.empty() || random() % 2 == 0))
                {
                    const bool fromHeap = random() % 2 == 0;
                    const size_t size = random() % (fromHeap ? 600 : 1100);
                    auto* p = static_cast<uint8_t*>(fromHeap ? heap.Alloc(size) : Kiln::Alloc::New(size));
                    // The pattern carries the thread number: a block handed out twice is seen.
                    const uint8_t pattern = static_cast<uint8_t>(t * 31 + random() % 8);
                    for (size_t i = 0; i < size; ++i)
                        p[i] = static_cast<uint8_t>(pattern ^ i);
                    held.push_back({p, size, pattern, fromHeap});
                }
                else
                {
                    const size_t index = random() % held.size();
                    check(held[index]);
                    if (held[index].fromHeap)
                        heap.Free(held[index].p);
                    else
                        Kiln::Alloc::Delete(held[index].p);
                    held[index] = held.back();
                    held.pop_back();
                }
            }
            for (const Held& h : held)
            {
                check(h);
                h.fromHeap ? heap.Free(h.p) : Kiln::Alloc::Delete(h.p);
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_FALSE(failed.load());
    EXPECT_TRUE(heap.IsEmpty());
}

}  // namespace
