#include "sollex/BlockArrayHeap.h"

#include <gtest/gtest.h>

// Built before main, next to "FileSubArchive" (both static), and ready for use.
TEST(BlockArrayHeap, IsBuiltBeforeMain)
{
    Kiln::PackedHeap& heap = BlockArrayHeap();
    EXPECT_STREQ(heap.Name(), "#BlockArray");
    EXPECT_GE(Kiln::PackedHeap::HeapCount(), 2u);
    ASSERT_TRUE(heap.IsEmpty());
    void* chunk = heap.Alloc(100);
    EXPECT_FALSE(heap.IsEmpty());
    heap.Free(chunk);
    EXPECT_TRUE(heap.IsEmpty());
}
