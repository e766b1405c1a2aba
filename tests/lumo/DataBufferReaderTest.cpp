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
struct Read { std::vector<std::string> items; LUMORESULT firstError; uint64_t position; };

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

// Lines with every kind of line end, and tokens, which never consume the line end.
TEST(DataBufferReader, LinesAndTokens)
{
    const auto line = &LumoDataBufferReader::ReadLine;
    const auto token = &LumoDataBufferReader::ReadToken;
    struct Case { void (LumoDataBufferReader::*method)(std::string&); std::string text; int count; Items items;
                  LUMORESULT firstError; uint64_t position; } const cases[] = {
        {line, "a\r\nb\n", 2, {"a", "b"}, LUMORESULT_OK, 5},
        {line, "a\n\rb\n", 2, {"a", "b"}, LUMORESULT_OK, 5},
        {line, "a\rb\n", 2, {"a", "b"}, LUMORESULT_OK, 4},
        {line, "a\nb\n", 2, {"a", "b"}, LUMORESULT_OK, 4},
        {line, "a\r\rb\n", 3, {"a", "", "b"}, LUMORESULT_OK, 5},
        {line, "a\n\nb\n", 3, {"a", "", "b"}, LUMORESULT_OK, 5},
        {line, "a\r\n\r\nb", 2, {"a", ""}, LUMORESULT_OK, 5},
        {line, "\r\n", 1, {""}, LUMORESULT_OK, 2},
        // A last line without an end comes back with the failure that ended it.
        {line, "x", 1, {"x"}, LUMORESULT_END_OF_DATA, 1},
        {line, "one\r\ntwo", 3, {"one", "two", ""}, LUMORESULT_END_OF_DATA, 8},
        // A line end as the last byte: the look-ahead failure is not kept.
        {line, "a\r", 1, {"a"}, LUMORESULT_OK, 2},
        {line, "", 1, {""}, LUMORESULT_END_OF_DATA, 0},
        {line, std::string("n\0l\xff\n", 5), 1, {std::string("n\0l\xff", 4)}, LUMORESULT_OK, 5},
        {token, "ab  \tcd\n", 4, {"ab", "cd", "", ""}, LUMORESULT_OK, 7},
        {token, "ab\r\n", 2, {"ab", ""}, LUMORESULT_OK, 2},
        {token, " \tx", 2, {"", "x"}, LUMORESULT_END_OF_DATA, 3},
        {token, "word", 1, {"word"}, LUMORESULT_END_OF_DATA, 4},
        // Blanks that run to the end of the data: the skipping failure is not kept.
        {token, "w  ", 1, {"w"}, LUMORESULT_OK, 3},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::PrintToString(c.text));
        const Read read = ReadItems(c.text, c.count, c.method);
        EXPECT_EQ(read.items, c.items);
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

