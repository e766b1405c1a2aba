#include "sollex/BlockArrayHeap.h"

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

TEST(BlockArrayHeap, IsBuiltBeforeMainAndSharedByThreads)
{
    Kiln::PackedHeap& heap = BlockArrayHeap();
    EXPECT_STREQ(heap.Name(), "#BlockArray");
    EXPECT_GE(Kiln::PackedHeap::HeapCount(), 2u);  // with "FileSubArchive", both static
    ASSERT_TRUE(heap.IsEmpty());

    // Four threads fill and check chunks of their own at once: the heap's lock keeps them apart.
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t)
    {
        threads.emplace_back([&heap, &failures, t] {
            std::vector<std::pair<char*, size_t>> chunks;
            for (size_t i = 0; i < 2000; ++i)
            {
                const size_t size = 1 + (i * 37 + static_cast<size_t>(t)) % 300;
                char* chunk = static_cast<char*>(heap.Alloc(size));
                memset(chunk, 'a' + t, size);
                chunks.emplace_back(chunk, size);
                if (i % 3 == 2)
                {
                    auto [old, oldSize] = chunks[chunks.size() / 2];
                    failures[static_cast<size_t>(t)] += std::string(old, oldSize) != std::string(oldSize, 'a' + t);
                    heap.Free(old);
                    chunks.erase(chunks.begin() + static_cast<long>(chunks.size() / 2));
                }
            }
            for (auto [chunk, size] : chunks)
            {
                failures[static_cast<size_t>(t)] += std::string(chunk, size) != std::string(size, 'a' + t);
                heap.Free(chunk);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
    EXPECT_TRUE(heap.IsEmpty());
    EXPECT_LE(heap.BlockCount(), 1u) << "a heap keeps at most one empty block";
}
