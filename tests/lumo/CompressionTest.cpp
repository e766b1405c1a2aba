#include "lumo/buffers/Compression.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "BuildConfig.h"
#include "lumo/buffers/LumoDataBuffer.h"
#include "lumo/diagnostics/SystemLog.h"
#include "lumo/os/GuardedThread.h"
#include "tests/fixtures/OutputCapture.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/PatternBytes.h"
#include "tests/fixtures/ScriptedBuffer.h"
#include "tests/fixtures/ShellCommand.h"

namespace
{
// Half text-like (compresses well), half noise (does not), in alternating runs.
std::string MixedBytes(size_t length, uint32_t seed = 1)
{
    static const char* const words[] = {"track ", "signal ", "points ", "route\n", "carriage ", "timetable ",
                                        "platform ", "junction\n", "freight ", "loco "};
    std::string bytes;
    bytes.reserve(length);
    uint32_t x = seed * 2654435761u + 1;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    while (bytes.size() < length)
    {
        const size_t run = 1 + next() % 5000;
        if (next() & 1)
        {
            for (size_t i = 0; i < run; ++i)
                bytes += char(next());
        }
        else
        {
            for (size_t i = 0; i < run / 6; ++i)
                bytes += words[next() % 10];
        }
    }
    bytes.resize(length);
    return bytes;
}

uint32_t Le32(const std::string& bytes, size_t at)
{
    return uint32_t(uint8_t(bytes[at])) | uint32_t(uint8_t(bytes[at + 1])) << 8 |
           uint32_t(uint8_t(bytes[at + 2])) << 16 | uint32_t(uint8_t(bytes[at + 3])) << 24;
}

void PutLe32(std::string& bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = char(value >> (8 * i));
}

std::string Le32Bytes(uint32_t value)
{
    std::string bytes(4, '\0');
    PutLe32(bytes, 0, value);
    return bytes;
}

struct Chunk { size_t offset /* of its packed length field */; uint32_t packedLength, rawLength; };

// Walks the container by its documented layout, independently of the reader under test.
std::vector<Chunk> ParseLayout(const std::string& container)
{
    std::vector<Chunk> chunks;
    EXPECT_GE(container.size(), 4u);
    const uint32_t count = Le32(container, 0);
    size_t at = 4;
    for (uint32_t i = 0; i < count && at + 8 <= container.size(); ++i)
    {
        chunks.push_back({at, Le32(container, at), Le32(container, at + 4)});
        at += 8 + chunks.back().packedLength;
    }
    EXPECT_EQ(chunks.size(), count);
    EXPECT_EQ(at, container.size());
    return chunks;
}

// Each chunk's stream must be a whole zlib stream that zlib's one-call inflate reads by itself.
std::string InflateEachChunk(const std::string& container)
{
    std::string raw;
    for (const Chunk& chunk : ParseLayout(container))
    {
        std::string out(chunk.rawLength, '\0');
        uLongf outLength = chunk.rawLength;
        const int result = uncompress(reinterpret_cast<Bytef*>(out.data()), &outLength,
                                      reinterpret_cast<const Bytef*>(container.data() + chunk.offset + 8),
                                      chunk.packedLength);
        EXPECT_EQ(result, Z_OK);
        EXPECT_EQ(outLength, chunk.rawLength);
        raw += out;
    }
    return raw;
}

std::string Compress(const std::string& raw, uint32_t chunkSize = LumoUtil::kContainerChunkSize)
{
    ScriptedBuffer source(raw);
    ScriptedBuffer destination;
    EXPECT_EQ(LumoUtil::CompressData(destination, source, chunkSize), LUMORESULT_OK);
    EXPECT_EQ(destination.GetPosition(), destination.GetSize());
    return destination.Bytes();
}

struct Decompressed { LUMORESULT result; std::string raw; uint64_t sourcePosition; };

Decompressed Decompress(const std::string& container, uint64_t maxOutput = LumoUtil::kNoOutputLimit)
{
    ScriptedBuffer source(container);
    ScriptedBuffer destination;
    const LUMORESULT result = LumoUtil::DecompressData(destination, source, maxOutput);
    return {result, destination.Bytes(), source.GetPosition()};
}

// A container built by hand: zlib's one-call compress of each piece.
std::string HandBuiltContainer(const std::vector<std::string>& chunks)
{
    std::string container = Le32Bytes(uint32_t(chunks.size()));
    for (const std::string& chunk : chunks)
    {
        std::string packed(compressBound(chunk.size()), '\0');
        uLongf packedLength = packed.size();
        EXPECT_EQ(compress(reinterpret_cast<Bytef*>(packed.data()), &packedLength,
                           reinterpret_cast<const Bytef*>(chunk.data()), chunk.size()),
                  Z_OK);
        packed.resize(packedLength);
        container += Le32Bytes(uint32_t(packed.size())) + Le32Bytes(uint32_t(chunk.size())) + packed;
    }
    return container;
}

// Collects the system log's lines while it lives.
class LogCollector : public LumoSystemLogObserver
{
public:
    LogCollector() { Register(); }
    ~LogCollector() override { Unregister(); }
    void OnLogLine(const wchar_t* line) override
    {
        for (const wchar_t* p = line; *p != 0; ++p)
            lines += char(*p);
    }
    std::string lines;
};

const std::string kInterop = std::string("/usr/bin/python3 ") + LUMO_SOURCE_DIR + "/tests/lumo/container_interop.py";
} // namespace

TEST(CompressionTest, ReaderLimitMatchesZlibBound)
{
    EXPECT_EQ(LumoUtil::kContainerMaxPackedLength, compressBound(LumoUtil::kContainerChunkSize));
}

// Sizes around the chunk size, and chunks large enough to be deflated in several pieces at once:
// the layout must be the documented one and every chunk a stream of its own.
TEST(CompressionTest, RoundTripAndLayout)
{
    const struct { size_t size; uint32_t chunkSize; std::vector<uint32_t> rawLengths; } cases[] = {
        {0, 1000, {}},
        {1, 1000, {1}},
        {999, 1000, {999}},
        {1000, 1000, {1000}},
        {1001, 1000, {1000, 1}},
        {3007, 1000, {1000, 1000, 1000, 7}},
        {(5 << 20) + 3, LumoUtil::kContainerChunkSize, {(5 << 20) + 3}},
        {(9 << 20) + 5, 3 << 20, {3 << 20, 3 << 20, 3 << 20, 5}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.size);
        const std::string raw = MixedBytes(c.size);
        const std::string container = Compress(raw, c.chunkSize);
        std::vector<uint32_t> rawLengths;
        for (const Chunk& chunk : ParseLayout(container))
            rawLengths.push_back(chunk.rawLength);
        EXPECT_EQ(rawLengths, c.rawLengths);
        EXPECT_TRUE(InflateEachChunk(container) == raw);

        const Decompressed back = Decompress(container);
        EXPECT_EQ(back.result, LUMORESULT_OK);
        EXPECT_TRUE(back.raw == raw);
        EXPECT_EQ(back.sourcePosition, container.size());
    }
    EXPECT_EQ(Compress(""), std::string(4, '\0'));
}

// Data that does not shrink (archives, images) in chunks of several pieces, alone and mixed with
// text: every chunk is a whole stream within zlib's bound for its length, the limit readers keep.
TEST(CompressionTest, DataThatDoesNotShrinkStaysWithinTheBound)
{
    const std::string noise = fixtures::PatternBytes((7 << 20) + 5, 21);
    const struct { const char* what; std::string raw; uint32_t chunkSize; } cases[] = {
        {"3 MB of noise", noise.substr(0, 3000000), LumoUtil::kContainerChunkSize},
        {"one piece and a byte", noise.substr(0, (2 << 20) + 1), LumoUtil::kContainerChunkSize},
        {"noise in 5 MiB chunks", noise, 5 << 20},
        {"noise then text", noise.substr(0, 3 << 20) + MixedBytes(3 << 20, 22), LumoUtil::kContainerChunkSize},
        {"a stored block's worth", noise.substr(0, 65535), LumoUtil::kContainerChunkSize},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        const std::string container = Compress(c.raw, c.chunkSize);
        for (const Chunk& chunk : ParseLayout(container))
            EXPECT_LE(chunk.packedLength, compressBound(chunk.rawLength));
        EXPECT_TRUE(InflateEachChunk(container) == c.raw);
        const Decompressed back = Decompress(container);
        EXPECT_EQ(back.result, LUMORESULT_OK);
        EXPECT_TRUE(back.raw == c.raw);
    }
}

// Without helper threads the pieces are deflated on the calling thread: the same container.
TEST(CompressionTest, NoHelperThreadsGiveTheSameContainer)
{
    const std::string raw = MixedBytes((5 << 20) + 9, 24);
    const std::string withHelpers = Compress(raw);
    OS::SetThreadRefusal([] { return true; });
    const std::string alone = Compress(raw);
    OS::SetThreadRefusal(nullptr);
    EXPECT_TRUE(alone == withHelpers);
    EXPECT_TRUE(InflateEachChunk(alone) == raw);
}

TEST(CompressionTest, CompressesFromSourcePositionToDestinationPosition)
{
    const std::string raw = MixedBytes(5000);
    ScriptedBuffer source(raw);
    ASSERT_EQ(source.SetPosition(1200), LUMORESULT_OK);
    ScriptedBuffer destination(std::string(25, 'x'));
    ASSERT_EQ(destination.SetPosition(10), LUMORESULT_OK);

    ASSERT_EQ(LumoUtil::CompressData(destination, source, 1000), LUMORESULT_OK);
    const std::string& written = destination.Bytes();
    EXPECT_EQ(written.substr(0, 10), std::string(10, 'x'));
    EXPECT_EQ(destination.GetPosition(), written.size());
    EXPECT_TRUE(InflateEachChunk(written.substr(10)) == raw.substr(1200));
}

// Written at the destination's position, an empty chunk among them.
TEST(CompressionTest, ReadsHandBuiltContainers)
{
    ScriptedBuffer destination(std::string("0123456789"));
    ASSERT_EQ(destination.SetPosition(4), LUMORESULT_OK);
    ScriptedBuffer source(HandBuiltContainer({"ab", "", "cd"}));
    EXPECT_EQ(LumoUtil::DecompressData(destination, source), LUMORESULT_OK);
    EXPECT_EQ(destination.Bytes(), "0123abcd89");
}

TEST(CompressionTest, DamagedContainers)
{
    const std::string first = MixedBytes(1000, 3);
    const std::string second = MixedBytes(700, 4);
    const std::string good = Compress(first + second, 1000);
    const std::vector<Chunk> chunks = ParseLayout(good);
    ASSERT_EQ(chunks.size(), 2u);

    const auto withRawLength = [&](uint32_t rawLength) {
        std::string bytes = good;
        PutLe32(bytes, chunks[1].offset + 4, rawLength);
        return bytes;
    };
    std::string corruptSecond = good;
    corruptSecond[chunks[1].offset + 8 + 5] ^= 0x55;
    corruptSecond[chunks[1].offset + 8 + 6] ^= 0x55;
    std::string badChecksum = good;
    badChecksum[chunks[1].offset + 8 + chunks[1].packedLength - 1] ^= 1;

    const struct
    {
        const char* name;
        std::string container;
        LUMORESULT result;
        std::string raw;     // what reaches the destination
        std::string logHead; // the start of the log output
    } cases[] = {
        {"raw length one short", withRawLength(699), LUMORESULT_OUT_OF_SPACE, first,
         "LumoUtil::DecompressData> err -5\nLumoUtil::DecompressData> srcLen=" +
             std::to_string(chunks[1].packedLength) + ", dstLen=699, actualDstLen=699\n"},
        {"raw length one long", withRawLength(701), LUMORESULT_END_OF_DATA, first, ""},
        {"second stream corrupt", corruptSecond, LUMORESULT_OUT_OF_SPACE, first, "LumoUtil::DecompressData> err -3\n"},
        {"second checksum wrong", badChecksum, LUMORESULT_OUT_OF_SPACE, first, "LumoUtil::DecompressData> err -3\n"},
        {"raw length over the chunk size", withRawLength(0x10000001), LUMORESULT_OUT_OF_SPACE, first,
         "LumoUtil::DecompressData> chunk 2 of 2: raw length 268435457 over the limit of 268435456\n"},
        {"raw length 0xFFFFFFFF", withRawLength(0xFFFFFFFF), LUMORESULT_OUT_OF_SPACE, first,
         "LumoUtil::DecompressData> chunk 2 of 2: raw length 4294967295 over the limit"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        LogCollector log;
        const Decompressed out = Decompress(c.container);
        EXPECT_EQ(out.result, c.result);
        EXPECT_TRUE(out.raw == c.raw);
        EXPECT_EQ(log.lines.substr(0, c.logHead.size()), c.logHead);
    }

    // A packed length beyond any real chunk is refused before anything is read or allocated.
    std::string hugePacked = good;
    PutLe32(hugePacked, chunks[0].offset, 0xFFFFFFFF);
    const Decompressed refused = Decompress(hugePacked);
    EXPECT_EQ(refused.result, LUMORESULT_OUT_OF_SPACE);
    EXPECT_EQ(refused.sourcePosition, chunks[0].offset + 8);
}

// A stream that cannot tell its size (a socket) is read as it arrives; a packed length that
// promises more than arrives ends with the read's code.
TEST(CompressionTest, ReadsStreamsThatCannotSeek)
{
    const std::string noise = fixtures::PatternBytes(3 << 20, 99);
    ScriptedBuffer source(Compress(noise));
    source.SetSeekable(false);
    ScriptedBuffer destination;
    EXPECT_EQ(LumoUtil::DecompressData(destination, source), LUMORESULT_OK);
    EXPECT_TRUE(destination.Bytes() == noise);

    ScriptedBuffer promise(Le32Bytes(1) + Le32Bytes(200u << 20) + Le32Bytes(1000) + "only this");
    promise.SetSeekable(false);
    ScriptedBuffer sink;
    LogCollector log;
    fixtures::StdoutCapture console;
    EXPECT_EQ(LumoUtil::DecompressData(sink, promise), LUMORESULT_END_OF_DATA);
    // A developer's line: the caller says the failure in words, the console never reads the code.
    EXPECT_EQ(log.lines, "LumoUtil::DecompressData> ReadData returned 8\n");
    EXPECT_EQ(console.Text(), "");
}

// Cut anywhere, only whole chunks reach the destination. A cut count or stream ends with the
// read's own failure code; a cut chunk header is a damaged container (9).
TEST(CompressionTest, TruncatedContainerKeepsWholeChunksOnly)
{
    const std::string first = MixedBytes(1000, 5);
    const std::string good = Compress(first + MixedBytes(10, 6), 1000);
    const std::vector<Chunk> chunks = ParseLayout(good);
    for (size_t length = 0; length < good.size(); ++length)
    {
        SCOPED_TRACE(length);
        const Chunk* cut = nullptr;  // the chunk whose 8-byte header the cut falls in
        for (const Chunk& chunk : chunks)
            if (length >= chunk.offset && length < chunk.offset + 8)
                cut = &chunk;
        LogCollector log;
        const Decompressed out = Decompress(good.substr(0, length));
        EXPECT_TRUE(out.raw == (length >= chunks[1].offset ? first : std::string()));
        EXPECT_EQ(out.result, cut ? LUMORESULT_OUT_OF_SPACE : LUMORESULT_END_OF_DATA);
        EXPECT_EQ(log.lines, !cut ? std::string("LumoUtil::DecompressData> ReadData returned 8\n")
                                  : "LumoUtil::DecompressData> err -3\nLumoUtil::DecompressData> srcLen=" +
                                        std::to_string(length >= cut->offset + 4 ? cut->packedLength : 0) +
                                        ", dstLen=0, actualDstLen=0\n");
    }
}

TEST(CompressionTest, OutputCapIsCheckedBeforeReading)
{
    const std::string raw = MixedBytes(2500, 8);
    const std::string container = Compress(raw, 1000);
    const std::vector<Chunk> chunks = ParseLayout(container);

    EXPECT_EQ(Decompress(container, 2500).result, LUMORESULT_OK);

    LogCollector log;
    const Decompressed capped = Decompress(container, 1999);
    EXPECT_EQ(capped.result, LUMORESULT_OUT_OF_SPACE);
    EXPECT_TRUE(capped.raw == raw.substr(0, 1000));
    EXPECT_EQ(capped.sourcePosition, chunks[1].offset + 8);
    EXPECT_EQ(log.lines, "LumoUtil::DecompressData> chunk 2 of 3: output over the limit of 1999 bytes\n");
}

// Every failing write, seek or read of CompressData is reported, never turned into success.
TEST(CompressionTest, CompressFailuresAreReported)
{
    using Op = ScriptedBuffer::Op;
    const std::string raw = MixedBytes(2500, 9);
    const struct
    {
        const char* name;
        bool failSource;
        Op op;
        uint32_t call;
        LUMORESULT code;
        uint32_t countAfter; // the count field at the end
    } cases[] = {
        {"placeholder write", false, Op::Write, 1, LUMORESULT_IO_ERROR, 0},
        {"first chunk's packed length", false, Op::Write, 2, LUMORESULT_IO_ERROR, 1},
        {"first chunk's zlib header", false, Op::Write, 4, LUMORESULT_OUT_OF_SPACE, 1},
        {"first chunk's deflate data", false, Op::Write, 5, LUMORESULT_IO_ERROR, 1},
        {"second chunk's raw length", false, Op::Write, 8, LUMORESULT_IO_ERROR, 2},
        {"third chunk's checksum", false, Op::Write, 16, LUMORESULT_IO_ERROR, 3},
        {"count rewrite", false, Op::Write, 17, LUMORESULT_IO_ERROR, 0},
        {"seek back to the count", false, Op::SetPosition, 1, LUMORESULT_IO_ERROR, 0},
        {"seek to the end", false, Op::SetPosition, 2, LUMORESULT_IO_ERROR, 3},
        {"source read of the second chunk", true, Op::Read, 2, LUMORESULT_END_OF_DATA, 1},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        ScriptedBuffer source(raw);
        ScriptedBuffer destination;
        (c.failSource ? source : destination).FailCall(c.op, c.call, c.code);
        EXPECT_EQ(LumoUtil::CompressData(destination, source, 1000), c.code);
        if (destination.Bytes().size() >= 4)
        {
            EXPECT_EQ(Le32(destination.Bytes(), 0), c.countAfter);
        }
    }

    // Too small to hold even the count.
    uint8_t tiny[3];
    LumoDataBufferMemoryStatic tooSmall(tiny, sizeof tiny);
    ScriptedBuffer empty;
    EXPECT_EQ(LumoUtil::CompressData(tooSmall, empty), LUMORESULT_OUT_OF_SPACE);

    // A stream that cannot seek cannot take the count.
    ScriptedBuffer unseekable;
    unseekable.SetSeekable(false);
    ScriptedBuffer source(raw);
    EXPECT_EQ(LumoUtil::CompressData(unseekable, source, 1000), LUMORESULT_NOT_SUPPORTED);

    ScriptedBuffer sink;
    EXPECT_EQ(LumoUtil::CompressData(sink, source, 0), LUMORESULT_INVALID_ARGUMENT);
    EXPECT_EQ(LumoUtil::CompressData(sink, source, LumoUtil::kContainerChunkSize + 1), LUMORESULT_INVALID_ARGUMENT);
}

// The real chunk size over a source too large to hold: 600 MiB of zeros.
TEST(CompressionTest, FullSizeChunks)
{
    ScriptedBuffer source(ScriptedBuffer::Synthetic{600ull << 20});
    ScriptedBuffer container;
    ASSERT_EQ(LumoUtil::CompressData(container, source), LUMORESULT_OK);
    std::vector<uint32_t> rawLengths;
    for (const Chunk& chunk : ParseLayout(container.Bytes()))
        rawLengths.push_back(chunk.rawLength);
    EXPECT_EQ(rawLengths, (std::vector<uint32_t>{268435456, 268435456, 92274688}));

    ASSERT_EQ(container.SetPosition(0), LUMORESULT_OK);
    ScriptedBuffer sink(ScriptedBuffer::Synthetic{0});
    EXPECT_EQ(LumoUtil::DecompressData(sink, container), LUMORESULT_OK);
    EXPECT_EQ(sink.bytesWritten, 600ull << 20);
}

// The driver: its containers are read by the independent reader, it reads theirs, and a damaged
// input fails with the result's name and leaves no output behind.
TEST(CompressionTest, ContainerToolInteroperatesAndReportsFailures)
{
    fixtures::ScratchFolder folder;
    const std::string tool = std::string(LUMO_BIN_DIR) + "/container-tool";
    const std::string raw = MixedBytes(300000, 11);
    fixtures::WriteFile(folder / "raw", raw);

    int status = 0;
    fixtures::RunShell(tool + " compress '" + folder / "raw" + "' '" + folder / "c.lzc" + "'", &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(fixtures::RunShell(kInterop + " read '" + folder / "c.lzc" + "' '" + folder / "c.out" + "'", &status),
              "300000\n");
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(fixtures::ReadFile(folder / "c.out") == raw);

    // 20 MiB that do not compress: a chunk of many pieces, each stored.
    const std::string noise = fixtures::PatternBytes(20 << 20, 23);
    fixtures::WriteFile(folder / "noise", noise);
    fixtures::RunShell(tool + " compress '" + folder / "noise" + "' '" + folder / "n.lzc" + "'", &status);
    ASSERT_EQ(status, 0);
    fixtures::RunShell(tool + " decompress '" + folder / "n.lzc" + "' '" + folder / "n.out" + "'", &status);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(fixtures::ReadFile(folder / "n.out") == noise);
    EXPECT_EQ(fixtures::RunShell(kInterop + " read '" + folder / "n.lzc" + "' '" + folder / "n.py" + "'", &status),
              std::to_string(20 << 20) + "\n");
    EXPECT_EQ(status, 0);

    fixtures::RunShell(kInterop + " write '" + folder / "raw" + "' '" + folder / "p.lzc" + "' 65536", &status);
    ASSERT_EQ(status, 0);
    fixtures::RunShell(tool + " decompress '" + folder / "p.lzc" + "' '" + folder / "p.out" + "'", &status);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(fixtures::ReadFile(folder / "p.out") == raw);

    const std::string container = fixtures::ReadFile(folder / "p.lzc");
    fixtures::WriteFile(folder / "cut.lzc", container.substr(0, container.size() - 1));
    fixtures::WriteFile(folder / "trailing.lzc", container + "x");
    fixtures::WriteFile(folder / "random.lzc", MixedBytes(5000, 3));
    const struct { const char* input; const char* expected; } failures[] = {
        {"cut.lzc", "bad.out: the container is cut short\n"},
        {"random.lzc", "bad.out: the container is damaged (not what compress writes)\n"},
        {"trailing.lzc", "bad.out: bytes follow the container's last chunk\n"},
        {"missing.lzc", "cannot open"},
    };
    for (const auto& f : failures)
    {
        SCOPED_TRACE(f.input);
        fixtures::WriteFile(folder / "bad.out", "kept");
        const std::string err = fixtures::RunShell(
            tool + " decompress '" + folder / f.input + "' '" + folder / "bad.out" + "' 2>&1 >/dev/null", &status);
        EXPECT_NE(status, 0);
        EXPECT_EQ(err.find("LumoUtil"), std::string::npos) << err; // no library lines
        EXPECT_EQ(err.find("LUMORESULT"), std::string::npos) << err; // nor the code's names for results
        EXPECT_NE(err.find(f.expected), std::string::npos) << err;
        EXPECT_EQ(fixtures::ReadFile(folder / "bad.out"), "kept"); // a failed run leaves it alone
    }

    const std::string err =
        fixtures::RunShell(tool + " compress '" + folder / "raw" + "' '" + folder / "raw" + "' 2>&1 >/dev/null", &status);
    EXPECT_NE(status, 0);
    EXPECT_NE(err.find("are the same file"), std::string::npos) << err;
    EXPECT_TRUE(fixtures::ReadFile(folder / "raw") == raw);
}
