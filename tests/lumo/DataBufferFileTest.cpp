// The file stream: the access-mode table, direction switches, size changes with pending writes,
// large offsets, folders and odd names, a full disk, and descriptors kept from child processes.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "lumo/buffers/LumoDataBufferFile.h"
#include "lumo/buffers/LumoDataBufferReader.h"
#include "platform/NativePath.h"
#include "tests/fixtures/ScratchFolder.h"

namespace
{
class FileBufferTest : public testing::Test
{
protected:
    std::string Native(const std::string& name) const { return m_scratch / name; }
    std::wstring Wide(const std::string& name) const { return FromNativePath(Native(name)); }
    void Put(const std::string& name, const std::string& bytes) const { fixtures::WriteFile(Native(name), bytes); }
    std::string Get(const std::string& name) const { return fixtures::ReadFile(Native(name)); }
    bool Exists(const std::string& name) const { return fixtures::PathExists(Native(name)); }

    fixtures::ScratchFolder m_scratch;
};

std::string ReadSome(LumoDataBuffer& buffer, uint32_t length, LUMORESULT expected = LUMORESULT_OK)
{
    std::string bytes(length, '\0');
    EXPECT_EQ(buffer.ReadData(bytes.data(), length), expected);
    return bytes;
}
}

TEST_F(FileBufferTest, MissingFileByMode)
{
    struct Case { uint32_t mode; bool open; } const cases[] = {
        {LumoDataBufferFile::MODE_READ, false},
        {LumoDataBufferFile::MODE_WRITE, true},
        {LumoDataBufferFile::MODE_WRITE_KEEP, true},
        {LumoDataBufferFile::MODE_READ_WRITE, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.mode);
        const std::string name = "missing" + std::to_string(c.mode);
        LumoDataBufferFile file(Wide(name), c.mode);
        EXPECT_EQ(file.IsOpen(), c.open);
        EXPECT_EQ(Exists(name), c.open);
        EXPECT_EQ(file.GetSize(), 0u);
        if (!c.open)
        {
            char byte = 0;
            EXPECT_EQ(file.ReadData(&byte, 1), LUMORESULT_INVALID_STATE);
            EXPECT_EQ(file.WriteData(&byte, 1), LUMORESULT_INVALID_STATE);
            EXPECT_EQ(file.SetPosition(0), LUMORESULT_INVALID_STATE);
            EXPECT_EQ(file.SetSize(0), LUMORESULT_INVALID_STATE);
            EXPECT_EQ(file.Close(), LUMORESULT_INVALID_STATE);
            file.Flush();
        }
    }
}

TEST_F(FileBufferTest, ExistingFileByMode)
{
    struct Case { uint32_t mode; uint64_t size; LUMORESULT read, write; std::string after; uint64_t sizeAfter; };
    const Case cases[] = {
        {LumoDataBufferFile::MODE_READ, 10, LUMORESULT_OK, LUMORESULT_NOT_ALLOWED, "0123456789", 10},
        {LumoDataBufferFile::MODE_WRITE, 0, LUMORESULT_NOT_ALLOWED, LUMORESULT_OK, "abc", 3},
        {LumoDataBufferFile::MODE_WRITE_KEEP, 10, LUMORESULT_NOT_ALLOWED, LUMORESULT_OK, "abc3456789", 10},
        {LumoDataBufferFile::MODE_READ_WRITE, 10, LUMORESULT_OK, LUMORESULT_OK, "0abc456789", 10},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.mode);
        Put("f", "0123456789");
        {
            LumoDataBufferFile file(Wide("f"), c.mode);
            ASSERT_TRUE(file.IsOpen());
            EXPECT_EQ(file.GetSize(), c.size);
            EXPECT_EQ(file.GetPosition(), 0u);
            char byte = 0;
            EXPECT_EQ(file.ReadData(&byte, 1), c.read);
            EXPECT_EQ(file.WriteData("abc", 3), c.write);
            EXPECT_EQ(file.GetSize(), c.sizeAfter);
            EXPECT_EQ(file.Close(), LUMORESULT_OK);
        }
        EXPECT_EQ(Get("f"), c.after);
    }
}

TEST_F(FileBufferTest, ShortReadAtTheEnd)
{
    Put("f", std::string(20, 'q'));
    LumoDataBufferFile file(Wide("f"), LumoDataBufferFile::MODE_READ);
    ASSERT_EQ(file.SetPosition(15), LUMORESULT_OK);
    std::string bytes(100, '\0');
    EXPECT_EQ(file.ReadData(bytes.data(), 100), LUMORESULT_IO_ERROR);
    EXPECT_EQ(bytes.substr(0, 5), "qqqqq");
    EXPECT_EQ(file.GetPosition(), 20u);
    EXPECT_EQ(file.ReadData(bytes.data(), 1), LUMORESULT_IO_ERROR);
    EXPECT_EQ(file.GetPosition(), 20u);

    // Reading lines until the first failure stops after the last line.
    ASSERT_EQ(file.SetPosition(0), LUMORESULT_OK);
    LumoDataBufferReader reader(file);
    std::string line;
    reader.ReadLine(line);
    EXPECT_EQ(line, std::string(20, 'q'));
    EXPECT_EQ(reader.firstError, LUMORESULT_IO_ERROR);
}

TEST_F(FileBufferTest, SetSize)
{
    struct Case { const char* name; uint64_t position, size, newPosition; std::string after; } const cases[] = {
        {"cut below the position", 8, 4, 4, "0123"},
        {"cut above the position", 2, 4, 2, "0123"},
        {"extend", 10, 12, 10, std::string("0123456789\0\0", 12)},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Put("f", "0123456789");
        {
            LumoDataBufferFile file(Wide("f"), LumoDataBufferFile::MODE_READ_WRITE);
            ASSERT_EQ(file.SetPosition(c.position), LUMORESULT_OK);
            EXPECT_EQ(file.SetSize(c.size), LUMORESULT_OK);
            EXPECT_EQ(file.GetSize(), c.size);
            EXPECT_EQ(file.GetPosition(), c.newPosition);
        }
        EXPECT_EQ(Get("f"), c.after);
    }
}

// Sizes and offsets are 64-bit all the way (a sparse file costs no space).
TEST_F(FileBufferTest, OffsetsBeyondFourGiB)
{
    const uint64_t offset = uint64_t{5} << 30;
    {
        LumoDataBufferFile file(Wide("big"), LumoDataBufferFile::MODE_WRITE);
        ASSERT_EQ(file.SetPosition(offset), LUMORESULT_OK);
        ASSERT_EQ(file.WriteData("z", 1), LUMORESULT_OK);
        EXPECT_EQ(file.GetSize(), offset + 1);
        EXPECT_EQ(file.Close(), LUMORESULT_OK);
    }
    LumoDataBufferFile file(Wide("big"), LumoDataBufferFile::MODE_READ);
    EXPECT_EQ(file.GetSize(), offset + 1);
    ASSERT_EQ(file.SetPosition(offset), LUMORESULT_OK);
    EXPECT_EQ(ReadSome(file, 1), "z");
}

TEST_F(FileBufferTest, FoldersAreRefused)
{
    ASSERT_EQ(::mkdir(Native("dir").c_str(), 0700), 0);
    for (uint32_t mode = 0; mode <= LumoDataBufferFile::MODE_READ_WRITE; ++mode)
    {
        SCOPED_TRACE(mode);
        LumoDataBufferFile file(Wide("dir"), mode);
        EXPECT_FALSE(file.IsOpen());
        char byte = 0;
        EXPECT_EQ(file.ReadData(&byte, 1), LUMORESULT_INVALID_STATE);
        EXPECT_EQ(file.GetSize(), 0u);
    }
}

// A descriptor opened elsewhere is taken over: read from its start with its size, or refused (a
// folder, an unknown mode, none at all) and closed all the same.
TEST_F(FileBufferTest, ATakenOverDescriptorIsReadOrRefusedAndAlwaysClosed)
{
    Put("a.bin", "abc");
    ASSERT_EQ(::mkdir(Native("dir").c_str(), 0700), 0);
    const struct { const char* name; uint32_t mode; bool open; } cases[] = {
        {"a.bin", LumoDataBufferFile::MODE_READ, true}, {"dir", LumoDataBufferFile::MODE_READ, false},
        {"a.bin", 7, false}, {nullptr, LumoDataBufferFile::MODE_READ, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::string(c.name ? c.name : "no descriptor") + " " + std::to_string(c.mode));
        const int fd = c.name ? ::open(Native(c.name).c_str(), O_RDONLY | O_CLOEXEC) : -1;
        {
            LumoDataBufferFile file(fd, c.mode);
            EXPECT_EQ(file.IsOpen(), c.open);
            if (c.open)
            {
                EXPECT_EQ(file.GetSize(), 3u);
                EXPECT_EQ(ReadSome(file, 3), "abc");
            }
        }
        if (fd >= 0)
        {
            EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "the descriptor was left open";
        }
    }
}

// A full disk may only show when the last buffered block is written: Close must say so.
TEST_F(FileBufferTest, CloseReportsAFullDisk)
{
    if (::access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    LumoDataBufferFile file(L"/dev/full", LumoDataBufferFile::MODE_WRITE);
    ASSERT_TRUE(file.IsOpen());
    const std::string bytes(100, 'x');
    EXPECT_EQ(file.WriteData(bytes.data(), 100), LUMORESULT_OK);
    EXPECT_EQ(file.Close(), LUMORESULT_IO_ERROR);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.Close(), LUMORESULT_INVALID_STATE);

    // A device that takes everything closes cleanly although it cannot be synced.
    LumoDataBufferFile sink(L"/dev/null", LumoDataBufferFile::MODE_WRITE);
    EXPECT_EQ(sink.WriteData(bytes.data(), 100), LUMORESULT_OK);
    sink.Flush();
    EXPECT_EQ(sink.Close(), LUMORESULT_OK);

    // A write that overflows the stream's own buffer meets the full disk at once.
    LumoDataBufferFile large(L"/dev/full", LumoDataBufferFile::MODE_WRITE_KEEP);
    const std::string block(1 << 20, 'y');
    EXPECT_EQ(large.WriteData(block.data(), static_cast<uint32_t>(block.size())), LUMORESULT_IO_ERROR);
}

// Child processes must not inherit the descriptor.
TEST_F(FileBufferTest, DescriptorIsCloseOnExec)
{
    for (uint32_t mode = 0; mode <= LumoDataBufferFile::MODE_READ_WRITE; ++mode)
    {
        SCOPED_TRACE(mode);
        Put("f", "abc");
        LumoDataBufferFile file(Wide("f"), mode);
        ASSERT_TRUE(file.IsOpen());
        const std::filesystem::path target = std::filesystem::canonical(Native("f"));
        int found = 0;
        for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd"))
        {
            std::error_code gone;  // the iterator's own descriptor may be closed by now
            if (std::filesystem::read_symlink(fd.path(), gone) != target)
                continue;
            ++found;
            EXPECT_TRUE(::fcntl(std::stoi(fd.path().filename()), F_GETFD) & FD_CLOEXEC);
        }
        EXPECT_EQ(found, 1);
    }
}
