// The memory streams: growth, cuts, seeks and short transfers, the factories, and refusals of
// sizes the 32-bit buffers cannot hold.

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "lumo/buffers/LumoDataBuffer.h"
#include "tests/fixtures/BufferContents.h"
#include "tests/fixtures/ScriptedBuffer.h"

namespace
{
void Fill(LumoDataBufferMemoryDynamic& buffer, const std::string& bytes, uint64_t position)
{
    ASSERT_EQ(buffer.WriteData(bytes.data(), static_cast<uint32_t>(bytes.size())), LUMORESULT_OK);
    ASSERT_EQ(buffer.SetPosition(position), LUMORESULT_OK);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
}

// Both memory streams share the seek rules (up to the size is fine, beyond it the position stops
// at the end with LUMORESULT_END_OF_DATA) and deliver what is there on a short read.
TEST(MemoryBuffer, SeekLimitsAndShortReadsOnBothKinds)
{
    char block[5] = {'a', 'b', 'c', 'd', 'e'};
    LumoDataBufferMemoryStatic fixed(block, 5);
    LumoDataBufferMemoryDynamic growable;
    Fill(growable, "abcde", 0);

    struct Case { uint64_t target; LUMORESULT result; uint64_t position; } const cases[] = {
        {5, LUMORESULT_OK, 5},
        {2, LUMORESULT_OK, 2},
        {6, LUMORESULT_END_OF_DATA, 5},
        {uint64_t{1} << 32, LUMORESULT_END_OF_DATA, 5},
        {0, LUMORESULT_OK, 0},
    };
    for (LumoDataBuffer* buffer : {static_cast<LumoDataBuffer*>(&fixed), static_cast<LumoDataBuffer*>(&growable)})
    {
        for (const Case& c : cases)
        {
            SCOPED_TRACE(c.target);
            EXPECT_EQ(buffer->SetPosition(c.target), c.result);
            EXPECT_EQ(buffer->GetPosition(), c.position);
        }
        ASSERT_EQ(buffer->SetPosition(2), LUMORESULT_OK);
        char out[10] = {};
        EXPECT_EQ(buffer->ReadData(out, 10), LUMORESULT_END_OF_DATA);
        EXPECT_EQ(std::string(out, 3), "cde");
        EXPECT_EQ(buffer->GetPosition(), 5u);
        out[0] = 'x';
        EXPECT_EQ(buffer->ReadData(out, 1), LUMORESULT_END_OF_DATA);
        EXPECT_EQ(out[0], 'x');
        EXPECT_EQ(buffer->ReadData(out, 0), LUMORESULT_OK);
    }
}

TEST(MemoryBufferDynamic, DiscardFront)
{
    struct Case { uint64_t position; uint64_t count; std::string rest; uint64_t newPosition; } const cases[] = {
        {1, 2, "cde", 0},
        {4, 2, "cde", 2},
        {5, 5, "", 0},
        {3, 99, "", 0},
        {2, 0, "abcde", 2},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.count);
        LumoDataBufferMemoryDynamic buffer;
        Fill(buffer, "abcde", c.position);
        buffer.DiscardFront(c.count);
        EXPECT_EQ(fixtures::Contents(buffer), c.rest);
        EXPECT_EQ(buffer.GetPosition(), c.newPosition);
    }
}

// A size the 32-bit buffer cannot hold is refused rather than cut to its low bits.
TEST(MemoryBufferDynamic, RefusesSizesBeyond32Bits)
{
    LumoDataBufferMemoryDynamic buffer;
    Fill(buffer, "abc", 1);
    for (uint64_t size : {uint64_t{1} << 32, (uint64_t{1} << 32) + 2, ~uint64_t{0}})
    {
        EXPECT_EQ(buffer.SetSize(size), LUMORESULT_OUT_OF_SPACE);
        EXPECT_EQ(fixtures::Contents(buffer), "abc");
        EXPECT_EQ(buffer.GetPosition(), 1u);
    }
}

// An allocation failure comes back as a code and leaves the buffer as it was.
TEST(MemoryBufferDynamicDeathTest, AllocationFailureIsReported)
{
    if (kSanitized)
        GTEST_SKIP() << "sanitizers reserve more address space than the cap allows";
    // In a child whose address space is capped at 256 MiB.
    const auto run = [] {
        const rlimit limit = {rlim_t{256} << 20, rlim_t{256} << 20};
        setrlimit(RLIMIT_AS, &limit);
        LumoDataBufferMemoryDynamic buffer;
        if (buffer.WriteData("abc", 3) != LUMORESULT_OK)
            std::_Exit(1);
        if (buffer.SetSize(0xF0000000u) != LUMORESULT_OUT_OF_SPACE || buffer.GetSize() != 3)
            std::_Exit(2);
        // The data pointer is only touched once the growth has succeeded, which it must not.
        if (buffer.WriteData("x", 0x80000000u) != LUMORESULT_OUT_OF_SPACE)
            std::_Exit(3);
        std::_Exit(buffer.GetSize() != 3 || buffer.GetPosition() != 3 ? 4 : 0);
    };
    EXPECT_EXIT(run(), testing::ExitedWithCode(0), "");
}

TEST(MemoryBufferStatic, ShortWriteStoresWhatFits)
{
    char block[4] = {'.', '.', '.', '.'};
    LumoDataBufferMemoryStatic buffer(block, 4);
    ASSERT_EQ(buffer.SetPosition(1), LUMORESULT_OK);
    EXPECT_EQ(buffer.WriteData("abcdef", 6), LUMORESULT_OUT_OF_SPACE);
    EXPECT_EQ(std::string(block, 4), ".abc");
    EXPECT_EQ(buffer.GetPosition(), 4u);
    EXPECT_EQ(buffer.WriteData("z", 1), LUMORESULT_OUT_OF_SPACE);
    EXPECT_EQ(buffer.WriteData("z", 0), LUMORESULT_OK);
    EXPECT_EQ(std::string(block, 4), ".abc");
}

TEST(MemoryBufferStatic, CreateFromRemainder)
{
    struct Case { const char* name; uint64_t position; bool failRead; bool made; std::string bytes; } const cases[] = {
        {"middle", 2, false, true, "cdef"},
        {"at the end", 6, false, true, ""},
        {"beyond the end", 9, false, true, ""},
        {"failing read", 2, true, false, ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ScriptedBuffer source("abcdef");
        ASSERT_EQ(source.SetPosition(c.position), LUMORESULT_OK);
        if (c.failRead)
            source.FailCall(ScriptedBuffer::Op::Read, 1, LUMORESULT_IO_ERROR, 1);
        std::unique_ptr<LumoDataBufferMemoryStatic> copy(LumoDataBufferMemoryStatic::CreateFromRemainder(source));
        ASSERT_EQ(copy != nullptr, c.made);
        if (copy)
        {
            EXPECT_EQ(fixtures::Contents(*copy), c.bytes);
            EXPECT_EQ(copy->GetPosition(), 0u);
        }
    }

    // More than a 32-bit buffer can hold is refused before anything is allocated or read.
    ScriptedBuffer huge(ScriptedBuffer::Synthetic{(uint64_t{1} << 32) + 10});
    EXPECT_EQ(LumoDataBufferMemoryStatic::CreateFromRemainder(huge), nullptr);
    EXPECT_TRUE(huge.readLengths.empty());
}
