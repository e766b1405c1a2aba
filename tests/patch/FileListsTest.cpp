#include "patch/FileLists.h"

#include <gtest/gtest.h>

#include "patch/PatchMessages.h"
#include "tests/fixtures/FileListWriter.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/patch/PatchMessageLog.h"

using fixtures::LineEnd;

TEST(FileLists, SplitsGroupsWithEveryLineEnd)
{
    const std::vector<fixtures::ListGroup> groups = {{"bin\\a.dll", "n1", "o1"}, {"pack.ka", "", ""}};
    for (LineEnd end : {LineEnd::kCrLf, LineEnd::kLf, LineEnd::kCr}) {
        for (bool finalEnd : {true, false}) {
            int padded = -1;
            const PatchFileRecordArray records = ParseFileList(fixtures::MakeFileList(groups, end, finalEnd), padded);
            // Without a final line end the last (empty) line is lost, so the last group is one short.
            ASSERT_EQ(records.size(), 2u);
            EXPECT_EQ(padded, finalEnd ? 0 : 1);
            EXPECT_EQ(records[0].path, L"bin\\a.dll");
            EXPECT_EQ(records[0].newChecksum, L"n1");
            EXPECT_EQ(records[0].oldChecksum, L"o1");
            EXPECT_EQ(records[1].path, L"pack.ka");
            EXPECT_EQ(records[1].oldChecksum, L"");
        }
    }
}

TEST(FileLists, IncompleteGroupsArePaddedWithEmptyLines)
{
    struct Case
    {
        std::string bytes;
        size_t records;
        int padded;
    };
    const Case cases[] = {
        {"", 0, 0},
        {"a\r\n", 1, 2},
        {"a\r\nb\r\n", 1, 1},
        {"a\r\nb\r\nc\r\nd", 2, 2},
        {"\r\n", 1, 2},          // one empty line
        {"a\r\n\r\n\r\n\r\n", 2, 2}, // a stray line end after a whole group
        {"a\rb\nc\r\n", 1, 0},   // mixed line ends
    };
    for (const Case& c : cases) {
        int padded = -1;
        const PatchFileRecordArray records = ParseFileList(c.bytes, padded);
        EXPECT_EQ(records.size(), c.records) << c.bytes;
        EXPECT_EQ(padded, c.padded) << c.bytes;
    }
}

TEST(FileLists, ReadingFailsForMissingFilesAndFolders)
{
    fixtures::ScratchFolder scratch;
    PatchFileRecordArray records = {{L"x", L"", L""}};
    int padded = 0;
    EXPECT_FALSE(ReadFileList(scratch.WidePath() + L"/missing.txt", records, padded));
    EXPECT_TRUE(records.empty());
    EXPECT_FALSE(ReadFileList(scratch.WidePath(), records, padded));
}

