#include "lumo/buffers/Md5.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>

#include "BuildConfig.h"
#include "tests/fixtures/PatternBytes.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/ShellCommand.h"

namespace
{
std::string HexOf(MD5& md5)
{
    std::unique_ptr<char[]> text(md5.hex_digest());
    return text.get();
}

// The first field of md5sum's output for a command's standard output piped into it.
std::string OutsideMd5Of(const std::string& shellCommand)
{
    return fixtures::RunShell(shellCommand + " | md5sum").substr(0, 32);
}
} // namespace

// Lengths around the padding boundaries and the 1024-byte read pieces, hashed in update pieces of
// awkward sizes (the last one: all in one update), from a FILE and through the whole-file path.
// All must agree with the outside md5sum.
TEST(Md5Test, AgreesWithMd5sumAcrossBoundaries)
{
    fixtures::ScratchFolder folder;
    for (size_t length : {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 1023, 1024, 1025, 4097, 300001})
    {
        SCOPED_TRACE(length);
        const std::string bytes = fixtures::PatternBytes(length);
        const std::string path = folder / ("f" + std::to_string(length));
        fixtures::WriteFile(path, bytes);
        const std::string expected = OutsideMd5Of("cat '" + path + "'");

        for (size_t step : {1ul, 3ul, 63ul, 64ul, 65ul, 1000ul, ~0ul})
        {
            MD5 md5;
            for (size_t at = 0; at < bytes.size(); at += step)
                md5.update(reinterpret_cast<const uint8_t*>(bytes.data()) + at,
                           uint32_t(std::min(step, bytes.size() - at)));
            md5.finalize();
            EXPECT_EQ(HexOf(md5), expected) << "step " << step;
        }

        MD5 fromFile(std::fopen(path.c_str(), "rb"));
        EXPECT_FALSE(fromFile.read_failed());
        EXPECT_EQ(HexOf(fromFile), expected);

        std::string whole;
        EXPECT_EQ(ComputeFileMD5Hex(path, whole), 0);
        EXPECT_EQ(whole, expected);
    }
}

// Past 2^32 bits the length's low word carries into the high word.
TEST(Md5Test, LengthCountCarriesPastFourGigabits)
{
    const size_t block = 1 << 20;
    const size_t blocks = 520; // 520 MiB > 2^32 bits
    const std::string zeros(block, '\0');
    MD5 md5;
    for (size_t i = 0; i < blocks; ++i)
        md5.update(reinterpret_cast<const uint8_t*>(zeros.data()), uint32_t(block));
    md5.finalize();
    EXPECT_EQ(HexOf(md5), OutsideMd5Of("head -c " + std::to_string(block * blocks) + " /dev/zero"));
}

TEST(Md5Test, MisuseIsReportedAndIgnored)
{
    MD5 md5;
    testing::internal::CaptureStderr();
    std::unique_ptr<char[]> early(md5.hex_digest());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "MD5::hex_digest:  Can't get digest if you haven't finalized the digest!\n");
    EXPECT_STREQ(early.get(), "");

    md5.update(reinterpret_cast<const uint8_t*>("abc"), 3);
    md5.finalize();

    testing::internal::CaptureStderr();
    md5.finalize();
    md5.update(reinterpret_cast<const uint8_t*>("x"), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "MD5::finalize:  Already finalized this digest!\n"
              "MD5::update:  Can't update a finalized digest!\n");
    EXPECT_EQ(HexOf(md5), "900150983cd24fb0d6963f7d28e17f72");
}

// A file that cannot be read to its end must not yield a digest that looks valid.
TEST(Md5Test, UnreadableFileGivesNoDigest)
{
    fixtures::ScratchFolder folder;
    // On Linux a folder opens with fopen but every read fails (EISDIR).
    FILE* folderStream = std::fopen(folder.Path().c_str(), "rb");
    ASSERT_NE(folderStream, nullptr);
    MD5 fromFolder(folderStream);
    EXPECT_TRUE(fromFolder.read_failed());
    EXPECT_EQ(HexOf(fromFolder), "");

    MD5 fromNull(static_cast<FILE*>(nullptr));
    EXPECT_TRUE(fromNull.read_failed());
    EXPECT_EQ(HexOf(fromNull), "");

    std::string digest = "stale";
    EXPECT_EQ(ComputeFileMD5Hex(folder.Path(), digest), EISDIR);
    EXPECT_EQ(digest, "");
    EXPECT_EQ(ComputeFileMD5Hex(folder / "missing", digest), ENOENT);
    EXPECT_EQ(digest, "");
}

TEST(Md5Test, ToolPrintsLikeMd5sum)
{
    fixtures::ScratchFolder folder;
    fixtures::WriteFile(folder / "abc", "abc");
    fixtures::WriteFile(folder / "empty", "");
    const std::string tool = std::string(LUMO_BIN_DIR) + "/md5-tool";
    int status = 0;
    const std::string output = fixtures::RunShell(tool + " '" + folder / "abc" + "' '" + folder / "missing" + "' '" +
                                            folder / "empty" + "' 2>'" + folder / "err" + "'",
                                        &status);
    EXPECT_NE(status, 0);
    EXPECT_EQ(output, "900150983cd24fb0d6963f7d28e17f72  " + folder / "abc" + "\n" +
                          "d41d8cd98f00b204e9800998ecf8427e  " + folder / "empty" + "\n");
    EXPECT_EQ(fixtures::ReadFile(folder / "err"),
              "md5-tool: " + folder / "missing" + ": cannot read the file: No such file or directory\n");
}

// The descriptor entry hashes from the descriptor's position to the end, as the name entry does
// from the start; a long hash asks to keep going every kMD5BlocksPerCheck blocks and a stop ends
// it with ECANCELED and no digest.
TEST(Md5Test, DescriptorEntryHashesToTheEndAndCanBeStopped)
{
    fixtures::ScratchFolder folder;
    const std::string path = folder / "big";
    const size_t size = kMD5BlockSize * kMD5BlocksPerCheck + 7;
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = char(i * 131 + (i >> 9));
    fixtures::WriteFile(path, bytes);
    std::string byName;
    ASSERT_EQ(ComputeFileMD5Hex(path, byName), 0);

    struct Case { off_t from; int stopAt; int error; size_t asked; } cases[] = {
        {0, -1, 0, 1}, {0, 0, ECANCELED, 1}, {off_t(size - 7), -1, 0, 0}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.from);
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(lseek(fd, c.from, SEEK_SET), c.from);
        int asked = 0;
        std::string digest = "stale";
        EXPECT_EQ(ComputeDescriptorMD5Hex(fd, digest, [&] { return asked++ != c.stopAt; }), c.error);
        EXPECT_EQ(size_t(asked), c.asked);
        close(fd);
        MD5 tail;
        tail.update(reinterpret_cast<const uint8_t*>(bytes.data()) + c.from, uint32_t(size - size_t(c.from)));
        tail.finalize();
        std::unique_ptr<char[]> expected(tail.hex_digest());
        EXPECT_EQ(digest, c.error == 0 ? std::string(expected.get()) : std::string());
        if (c.from == 0 && c.error == 0)
        {
            EXPECT_EQ(digest, byName);
        }
    }
}
