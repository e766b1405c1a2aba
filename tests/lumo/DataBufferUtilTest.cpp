// Block copy and read-to-string over scripted streams: block sizes, failures midway, and remainders
// that do not fit 32 bits or start beyond the end.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lumo/buffers/LumoDataBufferUtil.h"
#include "lumo/buffers/LumoResult.h"
#include "tests/fixtures/PatternBytes.h"
#include "tests/fixtures/ScriptedBuffer.h"

using fixtures::PatternBytes;

TEST(CopyData, BlockSizes)
{
    struct Case { uint64_t count; std::vector<uint32_t> blocks; } const cases[] = {
        {0, {}},
        {1, {1}},
        {4096, {4096}},
        {8192, {4096, 4096}},
        {8193, {8193}},
        {131072, {131072}},
        {300000, {131072, 131072, 37856}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.count);
        const std::string bytes = PatternBytes(c.count + 7);
        ScriptedBuffer source(bytes);
        ScriptedBuffer destination("0123");
        ASSERT_EQ(source.SetPosition(5), LUMORESULT_OK);
        ASSERT_EQ(destination.SetPosition(2), LUMORESULT_OK);

        EXPECT_EQ(LumoUtil::CopyData(destination, source, c.count), LUMORESULT_OK);
        EXPECT_EQ(source.readLengths, c.blocks);
        EXPECT_EQ(destination.writeLengths, c.blocks);
        EXPECT_EQ(source.GetPosition(), 5 + c.count);
        EXPECT_EQ(destination.GetPosition(), 2 + c.count);
        // Written over the destination from its position on.
        std::string expected = "0123";
        expected.replace(2, c.count, bytes.substr(5, c.count));
        EXPECT_EQ(destination.Bytes(), expected);
    }
}

// The first failing read or write ends the copy with its code; earlier blocks stay copied.
TEST(CopyData, FailureMidwayKeepsEarlierBlocks)
{
    struct Case { const char* name; ScriptedBuffer::Op op; LUMORESULT code; uint64_t sourceEnd, destinationEnd; };
    const Case cases[] = {
        {"second read", ScriptedBuffer::Op::Read, LUMORESULT_NETWORK_ERROR, 131072 + 100, 131072},
        {"second write", ScriptedBuffer::Op::Write, LUMORESULT_IO_ERROR, 2 * 131072, 131072 + 100},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::string bytes = PatternBytes(300000);
        ScriptedBuffer source(bytes);
        ScriptedBuffer destination;
        (c.op == ScriptedBuffer::Op::Read ? source : destination).FailCall(c.op, 2, c.code, 100);

        EXPECT_EQ(LumoUtil::CopyData(destination, source, 300000), c.code);
        EXPECT_EQ(source.GetPosition(), c.sourceEnd);
        EXPECT_EQ(destination.GetPosition(), c.destinationEnd);
        EXPECT_EQ(destination.Bytes(), bytes.substr(0, c.destinationEnd));
        EXPECT_EQ(source.readLengths.size(), 2u);
    }
}

TEST(CopyData, ShortSourceReportsEndOfData)
{
    ScriptedBuffer source("abc");
    ScriptedBuffer destination;
    EXPECT_EQ(LumoUtil::CopyData(destination, source, 10), LUMORESULT_END_OF_DATA);
    EXPECT_TRUE(destination.writeLengths.empty());
}

// Remainders past 4 GiB are copied whole, and a position beyond the end copies nothing.
TEST(CopyRemainingData, FullSixtyFourBitRemainder)
{
    const uint64_t size = (uint64_t{1} << 32) + 10;
    ScriptedBuffer source(ScriptedBuffer::Synthetic{size});
    ScriptedBuffer sink(ScriptedBuffer::Synthetic{0});
    EXPECT_EQ(LumoUtil::CopyRemainingData(sink, source), LUMORESULT_OK);
    EXPECT_EQ(sink.bytesWritten, size);
    EXPECT_EQ(source.GetPosition(), size);

    ScriptedBuffer beyond("abc");
    ASSERT_EQ(beyond.SetPosition(7), LUMORESULT_OK);
    ScriptedBuffer destination;
    EXPECT_EQ(LumoUtil::CopyRemainingData(destination, beyond), LUMORESULT_OK);
    EXPECT_TRUE(beyond.readLengths.empty());
    EXPECT_EQ(destination.bytesWritten, 0u);
}

TEST(ReadAllToString, Cases)
{
    struct Case { const char* name; std::string content; uint64_t position; bool failRead; LUMORESULT result;
                  std::string out; };
    const Case cases[] = {
        {"from the middle", "abcdef", 2, false, LUMORESULT_OK, "cdef"},
        {"at the end", "abc", 3, false, LUMORESULT_OK, ""},
        {"beyond the end", "abc", 9, false, LUMORESULT_OK, ""},
        {"failing read keeps only what arrived", "abcdef", 1, true, LUMORESULT_IO_ERROR, "bc"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ScriptedBuffer source(c.content);
        ASSERT_EQ(source.SetPosition(c.position), LUMORESULT_OK);
        if (c.failRead)
            source.FailCall(ScriptedBuffer::Op::Read, 1, LUMORESULT_IO_ERROR, 2);
        std::string out = "previous";
        EXPECT_EQ(LumoUtil::ReadAllToString(out, source), c.result);
        EXPECT_EQ(out, c.out);
    }

    ScriptedBuffer huge(ScriptedBuffer::Synthetic{uint64_t{1} << 33});
    std::string out = "previous";
    EXPECT_EQ(LumoUtil::ReadAllToString(out, huge), LUMORESULT_OUT_OF_SPACE);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(huge.readLengths.empty());
}

