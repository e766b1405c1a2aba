// Line and token reading: every kind of line end, the last line without one, the first-error rule,
// and sources that cannot seek back.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lumo/buffers/LumoDataBuffer.h"
#include "lumo/buffers/LumoDataBufferReader.h"
#include "tests/fixtures/ScriptedBuffer.h"

namespace
{
struct Read
{
    std::vector<std::string> items;
    LUMORESULT firstError;
    uint64_t position;
};

// Reads count items (lines or tokens) and notes the reader's state after them.
template <typename Method>
Read ReadItems(const std::string& text, int count, Method method)
{
    LumoDataBufferMemoryDynamic buffer;
    buffer.WriteData(text.data(), static_cast<uint32_t>(text.size()));
    buffer.SetPosition(0);
    LumoDataBufferReader reader(buffer);
    Read read{{}, LUMORESULT_OK, 0};
    for (int i = 0; i < count; ++i)
    {
        std::string item = "stale";
        (reader.*method)(item);
        read.items.push_back(item);
    }
    read.firstError = reader.firstError;
    read.position = buffer.GetPosition();
    return read;
}

using Items = std::vector<std::string>;
}

TEST(DataBufferReader, LineEnds)
{
    struct Case
    {
        std::string text;
        int count;
        Items lines;
        LUMORESULT firstError;
        uint64_t position;
    } const cases[] = {
        {"a\r\nb\n", 2, {"a", "b"}, LUMORESULT_OK, 5},
        {"a\n\rb\n", 2, {"a", "b"}, LUMORESULT_OK, 5},
        {"a\rb\n", 2, {"a", "b"}, LUMORESULT_OK, 4},
        {"a\nb\n", 2, {"a", "b"}, LUMORESULT_OK, 4},
        {"a\r\rb\n", 3, {"a", "", "b"}, LUMORESULT_OK, 5},
        {"a\n\nb\n", 3, {"a", "", "b"}, LUMORESULT_OK, 5},
        {"a\r\n\r\nb", 2, {"a", ""}, LUMORESULT_OK, 5},
        {"\r\n", 1, {""}, LUMORESULT_OK, 2},
        // A last line without an end comes back with the failure that ended it.
        {"x", 1, {"x"}, LUMORESULT_END_OF_DATA, 1},
        {"one\r\ntwo", 3, {"one", "two", ""}, LUMORESULT_END_OF_DATA, 8},
        // A line end as the last byte: the look-ahead failure is not kept.
        {"a\r", 1, {"a"}, LUMORESULT_OK, 2},
        {"", 1, {""}, LUMORESULT_END_OF_DATA, 0},
        {std::string("n\0l\xff\n", 5), 1, {std::string("n\0l\xff", 4)}, LUMORESULT_OK, 5},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::PrintToString(c.text));
        const Read read = ReadItems(c.text, c.count, &LumoDataBufferReader::ReadLine);
        EXPECT_EQ(read.items, c.lines);
        EXPECT_EQ(read.firstError, c.firstError);
        EXPECT_EQ(read.position, c.position);
    }
}

TEST(DataBufferReader, Tokens)
{
    struct Case
    {
        std::string text;
        int count;
        Items tokens;
        LUMORESULT firstError;
        uint64_t position;
    } const cases[] = {
        // A token never consumes the line end.
        {"ab  \tcd\n", 4, {"ab", "cd", "", ""}, LUMORESULT_OK, 7},
        {"ab\r\n", 2, {"ab", ""}, LUMORESULT_OK, 2},
        {" \tx", 2, {"", "x"}, LUMORESULT_END_OF_DATA, 3},
        {"word", 1, {"word"}, LUMORESULT_END_OF_DATA, 4},
        // Blanks that run to the end of the data: the skipping failure is not kept.
        {"w  ", 1, {"w"}, LUMORESULT_OK, 3},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::PrintToString(c.text));
        const Read read = ReadItems(c.text, c.count, &LumoDataBufferReader::ReadToken);
        EXPECT_EQ(read.items, c.tokens);
        EXPECT_EQ(read.firstError, c.firstError);
        EXPECT_EQ(read.position, c.position);
    }
}

TEST(DataBufferReader, KeepsOnlyTheFirstFailure)
{
    ScriptedBuffer source("ab\ncd\n");
    source.FailCall(ScriptedBuffer::Op::Read, 2, LUMORESULT_NETWORK_ERROR, 0);
    LumoDataBufferReader reader(source);
    std::string line;
    reader.ReadLine(line);
    EXPECT_EQ(line, "a");
    EXPECT_EQ(reader.firstError, LUMORESULT_NETWORK_ERROR);
    // Later reads go on and later failures do not overwrite the first.
    reader.ReadLine(line);
    EXPECT_EQ(line, "b");
    reader.ReadLine(line);
    reader.ReadLine(line);
    EXPECT_EQ(line, "");
    EXPECT_EQ(reader.firstError, LUMORESULT_NETWORK_ERROR);
}

// A byte that cannot be put back is not lost silently: the seek failure becomes the first error.
TEST(DataBufferReader, UnseekableSourceReportsLostByte)
{
    ScriptedBuffer source("a\rb\n");
    source.SetSeekable(false);
    LumoDataBufferReader reader(source);
    std::string line;
    reader.ReadLine(line);
    EXPECT_EQ(line, "a");
    EXPECT_EQ(reader.firstError, LUMORESULT_NOT_SUPPORTED);
}

