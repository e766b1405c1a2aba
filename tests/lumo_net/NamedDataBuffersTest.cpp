// Named data buffers: the serialised form byte for byte, hostile input, and the collection's rules.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "lumo/net/NamedDataBuffers.h"
#include "lumo/net/SizedString.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/ScriptedBuffer.h"
#include "tests/fixtures/TestServers.h"

namespace
{

std::string U32(uint32_t value)
{
    return {char(value), char(value >> 8), char(value >> 16), char(value >> 24)};
}

std::string Serialised(NamedDataBuffers& buffers)
{
    LumoDataBufferMemoryDynamic out;
    EXPECT_EQ(LUMORESULT_OK, buffers.Write(out));
    std::string bytes(out.GetSize(), '\0');
    out.SetPosition(0);
    out.ReadData(bytes.data(), static_cast<uint32_t>(bytes.size()));
    return bytes;
}

LUMORESULT ReadFrom(NamedDataBuffers& buffers, std::string bytes)
{
    LumoDataBufferMemoryStatic source(bytes.data(), static_cast<uint32_t>(bytes.size()));
    return buffers.Read(source);
}

std::string Get(NamedDataBuffers& buffers, const std::string& name)
{
    std::string value = "missing";
    buffers.GetString(name, value);
    return value;
}

TEST(NamedDataBuffers, SerialisesEveryEntryWholeAndReadsItBack)
{
    NamedDataBuffers buffers;
    buffers.AddString("first", "alpha");
    buffers.AddString("empty", "");
    std::string middle = "0123456789";
    LumoDataBufferMemoryStatic source(middle.data(), 10);
    source.SetPosition(4);
    ASSERT_EQ(LUMORESULT_OK, buffers.AddBuffer("dir/tail.bin", source));
    const std::string expected = U32(3) + U32(5) + "first" + U32(5) + "alpha" + U32(5) + "empty" + U32(0) +
                                 U32(12) + "dir/tail.bin" + U32(6) + "456789";
    EXPECT_EQ(expected, Serialised(buffers));
    // A blob left at its end by a read is still written whole.
    EXPECT_EQ(expected, Serialised(buffers));
    LumoDataBufferMemoryDynamic sink;

    NamedDataBuffers copy;
    copy.AddString("stale", "x");
    ASSERT_EQ(LUMORESULT_OK, ReadFrom(copy, expected));
    ASSERT_EQ(3u, copy.GetCount());
    EXPECT_EQ("dir/tail.bin", copy.GetName(2));
    EXPECT_EQ("", copy.GetName(3));
    EXPECT_EQ("alpha", Get(copy, "first"));
    EXPECT_EQ("", Get(copy, "empty"));
    EXPECT_EQ("456789", Get(copy, "dir/tail.bin"));
    EXPECT_EQ("missing", Get(copy, "stale"));
    EXPECT_EQ(LUMORESULT_NOT_FOUND, copy.GetBuffer("stale", sink));
}

TEST(NamedDataBuffers, RefusesHostileInputBeforeAllocating)
{
    const std::string good = U32(2) + U32(1) + "a" + U32(3) + "xyz" + U32(1) + "b" + U32(0);
    const struct
    {
        const char* name;
        std::string bytes;
        LUMORESULT result;
        uint32_t countAfter;  // 99: the collection as it was
    } cases[] = {
        {"count 129", U32(129), LUMORESULT_BAD_FORMAT, 99},
        {"no count", "ab", LUMORESULT_END_OF_DATA, 99},
        {"name over 4 MiB", U32(1) + U32(0x400001) + "a", LUMORESULT_BAD_FORMAT, 0},
        {"name longer than the input", U32(1) + U32(0x400000) + "a", LUMORESULT_END_OF_DATA, 0},
        {"data length of 4 GiB", U32(1) + U32(1) + "a" + U32(0xFFFFFFFF) + "short", LUMORESULT_END_OF_DATA, 0},
        {"second entry cut", good.substr(0, good.size() - 2), LUMORESULT_END_OF_DATA, 1},
    };
    for (const auto& c : cases)
    {
        NamedDataBuffers buffers;
        buffers.AddString("kept", "1");
        EXPECT_EQ(c.result, ReadFrom(buffers, c.bytes)) << c.name;
        const bool unchanged = c.countAfter == 99;
        EXPECT_EQ(unchanged ? 1u : c.countAfter, buffers.GetCount()) << c.name;
        EXPECT_EQ(unchanged ? "1" : "missing", Get(buffers, "kept")) << c.name;
    }
    // Every cut of a good stream is an error, never a crash or a whole read.
    for (size_t cut = 0; cut < good.size(); ++cut)
    {
        NamedDataBuffers buffers;
        EXPECT_NE(LUMORESULT_OK, ReadFrom(buffers, good.substr(0, cut))) << cut;
    }
}

TEST(NamedDataBuffers, OversizedNamesAreCutWithAnError)
{
    LumoDataBufferMemoryDynamic out;
    LumoDataBufferWriter writer(out);
    WriteSizedString(writer, std::string(kMaxSizedStringLength + 1, 'n'));
    EXPECT_EQ(LUMORESULT_OUT_OF_SPACE, writer.firstError);
    EXPECT_EQ(4u + kMaxSizedStringLength, out.GetSize());
    out.SetPosition(0);
    uint8_t length[4];
    out.ReadData(length, 4);
    EXPECT_EQ(0x00400000u, length[0] | length[1] << 8 | length[2] << 16 | uint32_t(length[3]) << 24);
}

TEST(NamedDataBuffers, AddingANameAgainMovesItToTheEnd)
{
    NamedDataBuffers buffers;
    buffers.AddString("a", "1");
    buffers.AddString("b", "2");
    buffers.AddString("a", "3");
    ASSERT_EQ(2u, buffers.GetCount());
    EXPECT_EQ("b", buffers.GetName(0));
    EXPECT_EQ("a", buffers.GetName(1));
    EXPECT_EQ("3", Get(buffers, "a"));
    EXPECT_EQ(LUMORESULT_OK, buffers.Remove("b"));
    EXPECT_EQ(LUMORESULT_NOT_FOUND, buffers.Remove("b"));
    EXPECT_EQ(1u, buffers.GetCount());
    // A copy that cannot be made leaves the entry of that name as it was; a failing copy out is
    // reported.
    ScriptedBuffer failing("new content");
    failing.FailCall(ScriptedBuffer::Op::Read, 1, LUMORESULT_IO_ERROR, 3);
    EXPECT_EQ(LUMORESULT_IO_ERROR, buffers.AddBuffer("a", failing));
    EXPECT_EQ("3", Get(buffers, "a"));
    ScriptedBuffer refusing;
    refusing.FailCall(ScriptedBuffer::Op::Write, 1, LUMORESULT_OUT_OF_SPACE);
    EXPECT_EQ(LUMORESULT_OUT_OF_SPACE, buffers.GetBuffer("a", refusing));
}

TEST(NamedDataBuffers, SavesEachBlobUnderTheLastPartOfItsName)
{
    fixtures::ScratchFolder folder;
    NamedDataBuffers buffers;
    buffers.AddString("sub/x.bin", "xx");
    buffers.AddString("C:\\y.txt", "y");
    ASSERT_EQ(LUMORESULT_OK, buffers.SaveToDirectory(folder.WidePath()));
    auto read = [&](const std::string& name) {
        std::ifstream file(folder / name, std::ios::binary);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    };
    EXPECT_EQ("xx", read("x.bin"));
    EXPECT_EQ("y", read("y.txt"));
    for (const char* bad : {"dir/", "..", "a/."})
    {
        NamedDataBuffers unsafe;
        unsafe.AddString(bad, "z");
        EXPECT_EQ(LUMORESULT_INVALID_ARGUMENT, unsafe.SaveToDirectory(folder.WidePath())) << bad;
    }
    nettest::StdoutCapture output;
    EXPECT_EQ(LUMORESULT_NOT_SUPPORTED, buffers.PackDirectory(folder.WidePath()));
    EXPECT_EQ("PackDirectory not implemented yet.\n", output.Text());
}

} // namespace
