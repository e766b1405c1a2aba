#include "Kiln/Src/Kiln/KernelStandard/KilnFile.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BuildConfig.h"
#include "Kiln/Src/Kiln/KernelStandard/KilnException.h"
#include "tests/fixtures/PatternBytes.h"
#include "tests/fixtures/ScratchFolder.h"

namespace
{

using fixtures::ReadFile;
using fixtures::ScratchFolder;
using fixtures::WriteFile;

// A reader of the container written from its byte format alone, independent of ours.
const char* kPythonReader = R"PY(
import struct, sys
d = open(sys.argv[1], 'rb').read()
assert d[:4] == b'CFIL', 'magic'
version, size = struct.unpack_from('<II', d, 4)
assert version == 257, 'version'
p = 12
out = bytearray()
while len(out) < size:
    (h,) = struct.unpack_from('<H', d, p)
    p += 2
    if h & 0x8000:
        out += d[p:p + (h & 0x7FFF)]
        p += h & 0x7FFF
        continue
    end = p + h
    while p < end:
        left = list(range(256)); right = [0] * 256; c = 0
        while c < 256:
            n = d[p]; p += 1
            if n >= 128:
                c += n - 127
                continue
            for _ in range(n + 1):
                left[c] = d[p]; p += 1
                if left[c] != c:
                    right[c] = d[p]; p += 1
                c += 1
        count = d[p] << 8 | d[p + 1]; p += 2
        for b in d[p:p + count]:
            stack = [b]
            while stack:
                x = stack.pop()
                if left[x] == x:
                    out.append(x)
                else:
                    stack.append(right[x]); stack.append(left[x])
        p += count
    assert p == end, 'packed record length'
assert p == len(d), 'trailing bytes'
assert len(out) == size, 'size'
open(sys.argv[2], 'wb').write(out)
)PY";

std::string TextData(size_t length, unsigned seed)
{
    std::mt19937 random(seed);
    static const char* words[] = {"[Sollex] ", "loading ", "route ", "C:\\Games\\Sollex\\", "texture_", ".dds",
                                  "\r\n", "0x7F3A", " ok", "warning: "};
    std::string text;
    while (text.size() < length)
        text += words[random() % 10];
    text.resize(length);
    return text;
}

void WriteCompressed(const std::string& path, const std::string& data)
{
    Kiln::File file;
    ASSERT_TRUE(file.Open(path.c_str(), Kiln::File::OpenMode::CompressedWrite)) << file.ErrorText();
    // Pieces of mixed sizes, some above the buffer size.
    size_t done = 0;
    for (size_t step = 1; done < data.size(); step = step * 3 % 40000 + 1)
    {
        const size_t n = std::min(step, data.size() - done);
        ASSERT_EQ(file.Write(data.data() + done, static_cast<uint32_t>(n)), n);
        done += n;
    }
    ASSERT_EQ(file.Close(), 0) << file.ErrorText();
}

TEST(KilnFile, ToolOutputReadsBackWithAnIndependentReader)
{
    ScratchFolder folder;
    const std::string reader = folder / "reader.py";
    WriteFile(reader, kPythonReader);
    const std::string tool = std::string(LUMO_BIN_DIR) + "/cfil-tool";
    const std::string in = folder / "in", packed = folder / "packed", back = folder / "back", ours = folder / "ours";
    for (const std::string& data : {std::string(), std::string("x"), TextData(100000, 2), fixtures::PatternBytes(40000, 3),
                                    TextData(16384, 4), TextData(16385, 5), std::string(70000, '\0')})
    {
        SCOPED_TRACE(data.size());
        WriteFile(in, data);
        ASSERT_EQ(std::system((tool + " pack " + in + " " + packed).c_str()), 0);
        ASSERT_EQ(std::system(("python3 " + reader + " " + packed + " " + back).c_str()), 0);
        EXPECT_EQ(ReadFile(back), data);
        ASSERT_EQ(std::system((tool + " unpack " + packed + " " + ours).c_str()), 0);
        EXPECT_EQ(ReadFile(ours), data);
    }
    // Random bytes are stored raw, in chunks of 16384.
    WriteFile(in, fixtures::PatternBytes(16385, 9));
    ASSERT_EQ(std::system((tool + " pack " + in + " " + packed).c_str()), 0);
    const std::string raw = ReadFile(packed);
    ASSERT_GT(raw.size(), 12u + 2 + 16384);
    EXPECT_EQ(static_cast<uint8_t>(raw[12]) | static_cast<uint8_t>(raw[13]) << 8, 16384 | 0x8000);
}

TEST(KilnFile, SeeksInsideTheChunkWithoutReadingAndBackwardsFromTheFirstRecord)
{
    ScratchFolder folder;
    const std::string path = folder / "c";
    const std::string data = TextData(100000, 6);
    WriteCompressed(path, data);
    Kiln::File file;
    ASSERT_TRUE(file.Open(path.c_str(), Kiln::File::OpenMode::CompressedRead)) << file.ErrorText();
    EXPECT_EQ(file.Size(), data.size());
    char piece[64];
    const uint32_t positions[] = {70000, 70100, 99990, 20, 16383, 16384, 50000, 0};
    for (uint32_t position : positions)
    {
        ASSERT_EQ(file.Seek(position), position);
        const uint32_t n = file.Read(piece, sizeof piece);
        ASSERT_EQ(n, std::min<size_t>(sizeof piece, data.size() - position));
        EXPECT_EQ(std::string(piece, n), data.substr(position, n)) << position;
    }
    // Inside the buffered chunk: no read at all.
    ASSERT_EQ(file.Seek(10), 10u);
    const uint32_t reads = file.ReadCount();
    ASSERT_EQ(file.Seek(5000), 5000u);
    EXPECT_EQ(file.Read(piece, 10), 10u);
    EXPECT_EQ(file.ReadCount(), reads);
    // Backwards out of the buffered chunk: the walk starts again at the first record (one
    // header read per record passed, one for the record's bytes).
    ASSERT_EQ(file.Seek(90000), 90000u);
    const uint32_t before = file.ReadCount();
    ASSERT_EQ(file.Seek(40000), 40000u);
    EXPECT_EQ(file.ReadCount() - before, 3u + 1u);
    // At or past the end: nothing to read.
    EXPECT_EQ(file.Seek(100000), 100000u);
    EXPECT_EQ(file.Read(piece, 10), 0u);
}

TEST(KilnFile, MisuseThrowsWithItsPlace)
{
    ScratchFolder folder;
    const std::string path = folder / "f";
    WriteFile(path, "abc");
    struct { Kiln::File::OpenMode mode; bool open; bool seek; uint32_t line; const char* message; } rows[] = {
        {Kiln::File::OpenMode::Read, false, false, 2130, "Write() File not open"},
        {Kiln::File::OpenMode::Read, true, false, 2134, "Write() File not open for writing"},
        {Kiln::File::OpenMode::CompressedWrite, true, true, 2336, "Seek() Can't seek writing compressed file"},
    };
    for (const auto& row : rows)
    {
        Kiln::File file;
        ASSERT_TRUE(!row.open || file.Open(path.c_str(), row.mode));
        try
        {
            if (row.seek)
                file.Seek(0);
            else
                file.Write("x", 1);
            ADD_FAILURE() << row.message;
        }
        catch (const Kiln::FileEx& error)
        {
            EXPECT_EQ(error.Line(), row.line);
            EXPECT_STREQ(error.Message(), row.message);
            EXPECT_STREQ(error.File(), "Kiln\\Src\\Kiln\\KernelStandard\\File");
        }
    }
}

TEST(KilnFile, DamagedContainersAreRefusedWhenOpened)
{
    ScratchFolder folder;
    const std::string path = folder / "c";
    WriteCompressed(path, TextData(40000, 7));
    const std::string good = ReadFile(path);
    auto with = [&](size_t at, char value) {
        std::string d = good;
        d[at] = value;
        return d;
    };
    struct { const char* name; std::string bytes; const char* says; } rows[] = {
        {"empty", "", "shorter than its 12-byte header"},
        {"header cut", good.substr(0, 11), "shorter than its 12-byte header"},
        {"magic", with(0, 'X'), "magic"},
        {"version", with(4, 2), "unknown version"},
        {"size larger", with(10, 1), "missing"},
        {"size smaller", with(9, 0), "follow the last record"},
        {"record cut", good.substr(0, good.size() - 1), "past the end"},
        {"trailing byte", good + "x", "follow the last record"},
        {"raw length wrong", with(13, static_cast<char>(0x80)), "for a chunk of"},
        {"huge packed length", with(13, 0x7F), "for a chunk of"},
    };
    for (const auto& row : rows)
    {
        WriteFile(path, row.bytes);
        Kiln::File file;
        EXPECT_FALSE(file.Open(path.c_str(), Kiln::File::OpenMode::CompressedRead)) << row.name;
        EXPECT_NE(file.ErrorText().find(row.says), std::string::npos) << row.name << ": " << file.ErrorText();
        EXPECT_FALSE(file.IsOpen());
    }
}

// Runs body in a child process and returns its exit status (or 128 + signal).
template <class Body>
int InChild(Body body)
{
    const pid_t child = fork();
    if (child == 0)
    {
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(KilnFile, FailedCloseKeepsThePlainFile)
{
    ScratchFolder folder;
    const std::string path = folder / "f";
    const std::string data = fixtures::PatternBytes(50000, 8);  // packs larger than it is
    const int status = InChild([&] {
        // The plain file fits the limit; its container does not.
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {data.size(), data.size()};
        setrlimit(RLIMIT_FSIZE, &limit);
        Kiln::File file;
        if (!file.Open(path.c_str(), Kiln::File::OpenMode::CompressedWrite) ||
            file.Write(data.data(), static_cast<uint32_t>(data.size())) != data.size())
            _exit(3);
        if (file.Close() != -1 || file.ErrorText().find("left unpacked") == std::string::npos)
            _exit(4);
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadFile(path), data);
    EXPECT_EQ(std::system(("test $(ls -A " + folder.Path() + " | wc -l) -eq 1").c_str()), 0)
        << "the temporary file is removed";
}

TEST(KilnFile, KillDuringCloseLeavesTheOldOrTheNewFileWhole)
{
    ScratchFolder folder;
    const std::string path = folder / "f";
    const std::string data = TextData(3 << 20, 10);
    int sawOld = 0, sawNew = 0;
    for (int delayMs : {0, 15, 30, 60, 90, 120, 180, 250, 400, -1})  // -1: let it finish
    {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t child = fork();
        if (child == 0)
        {
            close(ready[0]);
            Kiln::File file;
            if (!file.Open(path.c_str(), Kiln::File::OpenMode::CompressedWrite) ||
                file.Write(data.data(), static_cast<uint32_t>(data.size())) != data.size())
                _exit(3);
            file.Flush();
            (void)!write(ready[1], "r", 1);
            _exit(file.Close() == 0 ? 0 : 4);
        }
        close(ready[1]);
        char c;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        close(ready[0]);
        if (delayMs >= 0)
        {
            usleep(static_cast<useconds_t>(delayMs) * 1000);
            kill(child, SIGKILL);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(delayMs >= 0 || (WIFEXITED(status) && WEXITSTATUS(status) == 0));
        if (ReadFile(path) == data && ++sawOld)
            continue;
        Kiln::File file;
        ASSERT_TRUE(file.Open(path.c_str(), Kiln::File::OpenMode::CompressedRead)) << delayMs << ": " << file.ErrorText();
        std::string back(data.size(), '\0');
        ASSERT_EQ(file.Read(back.data(), static_cast<uint32_t>(back.size())), data.size());
        EXPECT_EQ(back, data);
        ++sawNew;
    }
    EXPECT_GT(sawOld, 0);
    EXPECT_GT(sawNew, 0);
}

}  // namespace
