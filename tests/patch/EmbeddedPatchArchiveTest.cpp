#include "patch/EmbeddedPatchArchive.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "BuildConfig.h"
#include "platform/NativePath.h"
#include "tests/fixtures/ArchiveWriter.h"
#include "tests/fixtures/PatternBytes.h"
#include "tests/fixtures/ScratchFolder.h"

using fixtures::AppendArchive;
using fixtures::ArchiveEntry;
using fixtures::ArchiveOptions;
using fixtures::PathExists;
using fixtures::ReadFile;

namespace
{

class EmbeddedPatchArchiveTest : public ::testing::Test
{
protected:
    std::wstring Exe() const { return FromNativePath(m_scratch / "patcher.exe"); }
    std::wstring Out() const { return FromNativePath(m_scratch / "out.zip"); }

    // A prefix of prefixSize random bytes with an archive of the two usual entries appended.
    fixtures::ArchiveLayout MakeExe(size_t prefixSize, const ArchiveOptions& options = {})
    {
        fixtures::WriteFile(m_scratch / "patcher.exe", fixtures::PatternBytes(prefixSize, 1));
        return AppendArchive(m_scratch / "patcher.exe", m_entries, options);
    }

    fixtures::ScratchFolder m_scratch;
    std::vector<ArchiveEntry> m_entries = {
        {"43434", "44088", fixtures::PatternBytes(10000, 2), {}, {}},
        {"44088", "45000", fixtures::PatternBytes(5000, 3), {}, {}},
    };
    EmbeddedPatchArchive m_archive;
};

TEST_F(EmbeddedPatchArchiveTest, FindsTheHeaderAtAnyBoundaryAndAnswersFromItsDirectory)
{
    const auto layout = MakeExe(412 * 4096 + 17);
    ASSERT_EQ(1691648u, layout.headerOffset);
    ASSERT_EQ(LUMORESULT_OK, m_archive.Open(Exe())) << ToNativePath(m_archive.GetLastErrorText());
    EXPECT_EQ(1691648u, m_archive.GetHeaderOffset());
    EXPECT_EQ(2u, m_archive.GetHeader()->entryCount);
    EXPECT_EQ(layout.directoryOffset, m_archive.GetHeader()->directoryOffset);
    EXPECT_EQ((std::vector<std::string>{"43434", "44088"}), m_archive.GetSourceVersions());
    EXPECT_EQ("44088", m_archive.GetTargetVersion("43434"));
    EXPECT_EQ("", m_archive.GetTargetVersion("4343"));
    EXPECT_EQ(LUMORESULT_NOT_FOUND, m_archive.ExtractPatch("4343", Out()));
    EXPECT_FALSE(PathExists(m_scratch / "out.zip"));
    for (const ArchiveEntry& entry : m_entries)
    {
        ASSERT_EQ(LUMORESULT_OK, m_archive.ExtractPatch(entry.source, Out()));
        EXPECT_EQ(entry.payload, ReadFile(m_scratch / "out.zip"));
    }
    EXPECT_EQ(layout.payloadOffsets[1], m_archive.GetEntries()[1].payloadOffset);

    m_archive.Close();
    EXPECT_EQ(UINT64_MAX, m_archive.GetHeaderOffset());
    EXPECT_TRUE(m_archive.GetSourceVersions().empty());
    EXPECT_EQ(LUMORESULT_INVALID_STATE, m_archive.ExtractPatch("43434", Out()));
}

TEST_F(EmbeddedPatchArchiveTest, OpenReportsMissingArchivesAndSizeMismatches)
{
    EXPECT_EQ(LUMORESULT_IO_ERROR, m_archive.Open(FromNativePath(m_scratch / "missing.exe")));
    for (size_t size : {size_t(0), size_t(27), size_t(4096 + 27), size_t(300000)})
    {
        fixtures::WriteFile(m_scratch / "plain.exe", fixtures::PatternBytes(size, 4));
        EXPECT_EQ(LUMORESULT_NOT_SUPPORTED, m_archive.Open(FromNativePath(m_scratch / "plain.exe"))) << size;
        EXPECT_NE(std::wstring::npos, m_archive.GetLastErrorText().find(L"no patch archive"));
    }
    for (int64_t delta : {-1, 1})
    {
        ArchiveOptions options;
        options.totalSizeDelta = delta;
        MakeExe(5000, options);
        EXPECT_EQ(LUMORESULT_IO_ERROR, m_archive.Open(Exe())) << delta;
        EXPECT_FALSE(m_archive.IsOpen());
        EXPECT_EQ(LUMORESULT_INVALID_STATE, m_archive.ExtractPatch("43434", Out()));
    }
}

// An archive at the very start of a file is found; a stray header before the real one is the one read.
TEST_F(EmbeddedPatchArchiveTest, TheFirstHeaderCountsEvenAtTheStart)
{
    ASSERT_EQ(0u, AppendArchive(m_scratch / "patcher.exe", m_entries).headerOffset);
    EXPECT_EQ(LUMORESULT_OK, m_archive.Open(Exe()));
    ArchiveOptions stray;
    stray.totalSizeDelta = 12345;
    fixtures::WriteFile(m_scratch / "patcher.exe", fixtures::PatternBytes(100, 5));
    AppendArchive(m_scratch / "patcher.exe", {}, stray);
    AppendArchive(m_scratch / "patcher.exe", m_entries);
    EXPECT_EQ(LUMORESULT_IO_ERROR, m_archive.Open(Exe()));
}

// A damaged directory is refused as a whole, saying which entry is wrong.
TEST_F(EmbeddedPatchArchiveTest, DamagedDirectoriesAreRefused)
{
    struct Case { const char* what; std::function<void(std::vector<ArchiveEntry>&, ArchiveOptions&)> damage;
                  const wchar_t* message; } cases[] = {
        {"payload beyond the end", [](auto& e, auto&) { e[1].sizeOverride = 5001 + 160; }, L"beyond the end"},
        {"payload size wraps", [](auto& e, auto&) { e[0].sizeOverride = UINT64_MAX; }, L"beyond the end"},
        {"offset wraps", [](auto& e, auto&) { e[0].offsetOverride = UINT64_MAX - 3; }, L"beyond the end"},
        {"payload over the header", [](auto& e, auto&) { e[0].offsetOverride = 4096 + 20; }, L"before the end of"},
        {"payload in the prefix", [](auto& e, auto&) { e[0].offsetOverride = 0; }, L"before the end of"},
        {"payload over the directory", [](auto& e, auto&) { e[1].sizeOverride = 5001; }, L"overlaps the directory"},
        {"directory beyond the end", [](auto&, auto& o) { o.entryCountOverride = 3; }, L"directory of 3 entries"},
        {"4 G entries", [](auto&, auto& o) { o.entryCountOverride = 0xFFFFFFFF; }, L"does not lie between"},
        {"directory over the header", [](auto&, auto& o) { o.directoryOffsetOverride = 4096 + 8; },
         L"does not lie between"},
        {"directory offset wraps", [](auto&, auto& o) { o.directoryOffsetOverride = UINT64_MAX - 10; },
         L"does not lie between"},
        {"build with a separator", [](auto& e, auto&) { e[1].target = "..\\..\\x"; }, L"separator"},
        {"build with a colon", [](auto& e, auto&) { e[0].source = "C:x"; }, L"unsafe path"},
        {"build with a control character", [](auto& e, auto&) { e[0].target = "1\x01"; }, L"unsafe path"},
        {"empty build", [](auto& e, auto&) { e[1].source = ""; }, L"empty"},
        {"dot-dot build", [](auto& e, auto&) { e[1].source = ".."; }, L"unsafe path"},
    };
    for (const Case& c : cases)
    {
        std::vector<ArchiveEntry> entries = m_entries;
        ArchiveOptions options;
        c.damage(entries, options);
        fixtures::WriteFile(m_scratch / "patcher.exe", fixtures::PatternBytes(4000, 6));
        AppendArchive(m_scratch / "patcher.exe", entries, options);
        EXPECT_EQ(LUMORESULT_BAD_FORMAT, m_archive.Open(Exe())) << c.what;
        EXPECT_NE(std::wstring::npos, m_archive.GetLastErrorText().find(c.message))
            << c.what << ": " << ToNativePath(m_archive.GetLastErrorText());
        EXPECT_FALSE(m_archive.IsOpen()) << c.what;
    }
}

TEST_F(EmbeddedPatchArchiveTest, FailedExtractionsLeaveNoFileBehind)
{
    // Large enough that the copy must go back to the disk past any read buffer.
    m_entries[0].payload = fixtures::PatternBytes(8 << 20, 7);
    MakeExe(100);
    ASSERT_EQ(LUMORESULT_OK, m_archive.Open(Exe()));
    EXPECT_EQ(LUMORESULT_NOT_ALLOWED, m_archive.ExtractPatch("43434", FromNativePath(m_scratch / "no/such/dir/x")));

    // The file shrinks under the open reader: the copy fails and its partial output goes away.
    ASSERT_EQ(0, truncate((m_scratch / "patcher.exe").c_str(), 4096 + 28 + (4 << 20)));
    EXPECT_NE(LUMORESULT_OK, m_archive.ExtractPatch("43434", Out()));
    EXPECT_FALSE(PathExists(m_scratch / "out.zip"));
    EXPECT_NE(std::wstring::npos, m_archive.GetLastErrorText().find(L"failed"));
}

// A copy of a real executable of ours, several MB, carrying an archive.
TEST_F(EmbeddedPatchArchiveTest, WorksOnACopyOfARealExecutable)
{
    const std::string self = ReadFile("/proc/self/exe");
    ASSERT_GT(self.size(), 1000000u);
    fixtures::WriteFile(m_scratch / "patcher.exe", self);
    EXPECT_EQ(LUMORESULT_NOT_SUPPORTED, m_archive.Open(Exe()));
    AppendArchive(m_scratch / "patcher.exe", m_entries);
    ASSERT_EQ(LUMORESULT_OK, m_archive.Open(Exe()));
    ASSERT_EQ(LUMORESULT_OK, m_archive.ExtractPatch("44088", Out()));
    EXPECT_EQ(m_entries[1].payload, ReadFile(m_scratch / "out.zip"));
    // The executable part is untouched.
    EXPECT_EQ(self, ReadFile(m_scratch / "patcher.exe").substr(0, self.size()));
}

} // namespace
