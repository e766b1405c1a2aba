// The file-tree summary: segment names, wildcard exclusions, the "0stf" bytes against an
// independent reader and writer, hostile summary files, and what a scan keeps, recomputes and drops.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <cstdio>
#include <string>

#include "BuildConfig.h"
#include "lumo/buffers/LumoDataBuffer.h"
#include "lumo/net/FileSegment.h"
#include "lumo/net/FileTreeSummary.h"
#include "lumo/net/SegmentCrc.h"
#include "lumo/net/SegmentName.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/lumo_net/RepairWire.h"
#include "tests/fixtures/ShellCommand.h"

namespace
{
using fixtures::ReadFile;
using fixtures::ScratchFolder;
using fixtures::WriteFile;

constexpr size_t kSegment = 4u << 20;

std::string Bytes(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

LUMORESULT ReadSummary(FileTreeSummary& summary, std::string bytes)
{
    LumoDataBufferMemoryStatic stream(bytes.data(), uint32_t(bytes.size()));
    return summary.Read(stream);
}

std::string RunCommand(const std::string& command)
{
    int status = -1;
    std::string out = fixtures::RunShell(command, &status);
    EXPECT_EQ(status, 0) << command;
    return out;
}

const std::string kFormat = std::string("/usr/bin/python3 ") + LUMO_SOURCE_DIR + "/tests/lumo_net/summary_format.py";

std::atomic<int> g_checksumCalls{0};
uint32_t CountingChecksum(int, uint64_t, const std::wstring&) { return ++g_checksumCalls, 0x1234; }

TEST(SegmentName, Table)
{
    EXPECT_EQ(MakeSegmentName(L"data\\a.bin", 7), L"data\\a.bin#007");
    EXPECT_EQ(MakeSegmentName(L"a.bin", 1000), L"a.bin#1000");
    struct Case { const wchar_t* name; bool valid; const wchar_t* path; uint32_t index; };
    const Case cases[] = {
        {L"data\\a.bin#123", true, L"data\\a.bin", 123},
        {L"a#b.bin#000", true, L"a#b.bin", 0},     // the index follows the last "#"
        {L"a.bin#1048576", true, L"a.bin", 1u << 20},
        {L"a.bin#1048577", false, L"", 0},         // beyond 4 TiB from outside
        {L"a.bin#-1", false, L"", 0},
        {L"a.bin#1x", false, L"", 0},
        {L"a.bin", false, L"", 0},
    };
    for (const Case& c : cases)
    {
        std::wstring path;
        uint32_t index = 99;
        EXPECT_EQ(ParseSegmentName(c.name, path, index), c.valid) << c.name;
        if (c.valid)
            EXPECT_TRUE(path == c.path && index == c.index && GetSegmentIndex(c.name) == int(c.index)) << c.name;
        else  // local files may be larger than a server may name
            EXPECT_EQ(GetSegmentIndex(c.name), c.name == std::wstring(L"a.bin#1048577") ? 1048577 : 0) << c.name;
    }
    EXPECT_EQ(GetSegmentPath(L"/games#2/x#1.bin#004"), L"/games#2/x#1.bin");
}

TEST(WildcardMatch, Table)
{
    struct Case { std::wstring pattern, text; bool match; };
    const Case cases[] = {
        {L"*.log", L"a.b.log", true},      {L"*.log", L"logs\\run.log", true}, {L"*.log", L"a.logx", false},
        {L"*ab", L"aab", true},            {L"data\\*\\x.bin", L"data\\a\\b\\x.bin", true},
        {L"a*", L"a", true},               {L"a", L"A", false},                 {L"", L"", true},
        {L"**", L"", true},                {L"a*b*c", L"abxbc", true},          {L"a*b*c", L"acb", false},
        {L"*a*a*a*b", std::wstring(200, L'a'), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(WildcardMatch(c.pattern, c.text), c.match) << c.pattern << L" " << c.text;
    // Backtracking must not explode: thousands of stars against a long text stay fast.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(WildcardMatch(std::wstring(2000, L'*') + L"b", std::wstring(20000, L'a')));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));  // an explosion takes ages
}

TEST(SummaryFormat, EmptyTableAndHandEncodedEntry)
{
    FileTreeSummary summary;
    EXPECT_EQ(Bytes(summary.Serialise()), std::string("0stf\0\0\0\0", 8));

    // "a#000", checksum 0x89A1897F, time 0x0102030405060708, encoded by hand.
    const std::string entry("0stf\x01\0\0\0\x05\0\0\0a\0#\0" "0\0" "0\0" "0\0\x7F\x89\xA1\x89"
                            "\x08\x07\x06\x05\x04\x03\x02\x01", 34);
    ASSERT_EQ(ReadSummary(summary, entry), LUMORESULT_OK);
    const auto table = summary.Snapshot();
    ASSERT_EQ(table.size(), 1u);
    EXPECT_EQ(table.begin()->first, L"a#000");
    EXPECT_EQ(table.begin()->second.checksum, 0x89A1897Fu);
    EXPECT_EQ(table.begin()->second.time, 0x0102030405060708u);
    EXPECT_EQ(Bytes(summary.Serialise()), entry);
}

TEST(SummaryFormat, AgreesWithAnIndependentReaderAndWriter)
{
    ScratchFolder folder;
    // Non-ASCII and non-BMP names, and #1000 against #101, whose order only UTF-16 units decide.
    WriteFile(folder / "in.txt", "a.bin#101\t7\t1700000000\na.bin#1000\t1\t1700000000\n"
                                 "data\\\xef\xbc\xa1.bin#000\t4294967295\t18446744073709551615\n"
                                 "data\\\xf0\x9f\x98\x80.bin#000\t0\t0\nZ#000\t42\t5\n");
    RunCommand(kFormat + " write " + folder / "in.txt " + folder / "python.cks");
    const std::string pythonBytes = ReadFile(folder / "python.cks");

    FileTreeSummary summary;
    ASSERT_EQ(ReadSummary(summary, pythonBytes), LUMORESULT_OK);
    EXPECT_EQ(summary.Snapshot().size(), 5u);
    EXPECT_EQ(Bytes(summary.Serialise()), pythonBytes);

    WriteFile(folder / "ours.cks", Bytes(summary.Serialise()));
    // In UTF-16 unit order: "Z" < "a", "#1000" < "#101", a surrogate pair < U+FF21.
    EXPECT_EQ(RunCommand(kFormat + " read " + folder / "ours.cks"),
              "Z#000\t42\t5\na.bin#1000\t1\t1700000000\na.bin#101\t7\t1700000000\n"
              "data\\\xf0\x9f\x98\x80.bin#000\t0\t0\ndata\\\xef\xbc\xa1.bin#000\t4294967295\t18446744073709551615\n");
}

TEST(SummaryFormat, HostileInputStopsAtOnce)
{
    FileTreeSummary summary;
    const std::string good("0stf\x01\0\0\0\x01\0\0\0x\0\x05\0\0\0\x06\0\0\0\0\0\0\0", 26);
    ASSERT_EQ(ReadSummary(summary, good), LUMORESULT_OK);
    ASSERT_EQ(summary.Snapshot().size(), 1u);

    struct Case { std::string bytes; LUMORESULT result; size_t entries; };
    const Case cases[] = {
        {std::string("0stg\0\0\0\0", 8), LUMORESULT_BAD_FORMAT, 0},
        {std::string("0st"), LUMORESULT_END_OF_DATA, 0},
        // A count far beyond the data: the first entry is read, then the end stops it.
        {std::string("0stf\xFF\xFF\xFF\xFF\x01\0\0\0x\0\x05\0\0\0\x06\0\0\0\0\0\0\0", 26), LUMORESULT_END_OF_DATA, 1},
        // A name length of 4 Gi units is refused before anything is allocated.
        {std::string("0stf\x01\0\0\0\xFF\xFF\xFF\xFF", 12), LUMORESULT_OUT_OF_SPACE, 0},
        {std::string("0stf\x01\0\0\0\x00\x80\0\0", 12), LUMORESULT_OUT_OF_SPACE, 0},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(ReadSummary(summary, c.bytes), c.result) << c.bytes.size();
        EXPECT_EQ(summary.Snapshot().size(), c.entries);
    }
    // Cut at every byte: never more entries than whole records, never success.
    for (size_t cut = 0; cut < 26; ++cut)
    {
        EXPECT_NE(ReadSummary(summary, std::string(good.data(), cut)), LUMORESULT_OK) << cut;
        EXPECT_TRUE(summary.Snapshot().empty());
    }
}

class SummaryScan : public ::testing::Test
{
protected:
    ScratchFolder folder;
    FileTreeSummary summary;

    std::map<std::wstring, uint32_t> Checksums()
    {
        std::map<std::wstring, uint32_t> out;
        for (const auto& [name, entry] : summary.Snapshot())
            out[name] = entry.checksum;
        return out;
    }

    // Returns once the file system stamps a change with a later second than the file at path got:
    // a change made now can no longer hide in the second of the last scan. It waits on the file
    // system's own clock (at most a second), with a file beside the scanned folder.
    void WaitForTheClockToPass(const std::string& path)
    {
        struct stat status{};
        ASSERT_EQ(stat(path.c_str(), &status), 0);
        const std::string probe = folder.Path() + ".clock";
        struct stat now{};
        do
        {
            WriteFile(probe, "tick");
            ASSERT_EQ(stat(probe.c_str(), &now), 0);
        } while (now.st_ctim.tv_sec <= std::max(status.st_ctim.tv_sec, status.st_mtim.tv_sec));
        unlink(probe.c_str());
    }
};

// Counts the segments a scan reads.
std::atomic<int> g_checksumsComputed{0};
uint32_t CountedChecksum(int fd, uint64_t index, const std::wstring& shownPath)
{
    ++g_checksumsComputed;
    return ComputeSegmentChecksumAt(fd, index, shownPath);
}

TEST_F(SummaryScan, SegmentsAndBoundaries)
{
    WriteFile(folder / "empty.bin", "");
    WriteFile(folder / "exact.bin", std::string(kSegment, 'x'));
    WriteFile(folder / "sub/over.bin", std::string(kSegment, 'y') + "z");
    WriteFile(folder / "sub/deeper/zeros.bin", std::string(100, '\0'));
    ASSERT_TRUE(summary.Scan(folder.WidePath(), {}));

    const std::string exact(kSegment, 'x');
    const std::map<std::wstring, uint32_t> expected = {
        {L"exact.bin#000", LumoUtil::SegmentChecksumOf(exact.data(), exact.size())},
        {L"sub\\over.bin#000", LumoUtil::SegmentChecksumOf(std::string(kSegment, 'y').data(), kSegment)},
        {L"sub\\over.bin#001", LumoUtil::SegmentChecksumOf("z", 1)},
        {L"sub\\deeper\\zeros.bin#000", 1},
    };
    EXPECT_EQ(Checksums(), expected);
}

TEST_F(SummaryScan, KeepsUnchangedTimesAndDropsWhatIsGone)
{
    WriteFile(folder / "keep.bin", "original");
    WriteFile(folder / "gone.bin", "x");
    WriteFile(folder / "logs/run.log", "log");
    ASSERT_TRUE(summary.Scan(folder.WidePath(), {}));
    EXPECT_EQ(summary.Snapshot().size(), 3u);
    const uint32_t original = Checksums()[L"keep.bin#000"];

    // A file nobody touched keeps its stored checksum: its segments are not read again.
    ASSERT_EQ(unlink((folder / "gone.bin").c_str()), 0);
    summary.SetChecksumFunction(&CountedChecksum);
    g_checksumsComputed = 0;
    ASSERT_TRUE(summary.Scan(folder.WidePath(), {L"*.log"}));
    EXPECT_EQ(Checksums(), (std::map<std::wstring, uint32_t>{{L"keep.bin#000", original}}));
    EXPECT_EQ(g_checksumsComputed.load(), 0);

    // New content under the old modification time is read again: its change time moved on.
    WaitForTheClockToPass(folder / "keep.bin");
    struct stat status{};
    ASSERT_EQ(stat((folder / "keep.bin").c_str(), &status), 0);
    WriteFile(folder / "keep.bin", "changed!");
    const timespec times[2] = {status.st_atim, status.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, (folder / "keep.bin").c_str(), times, 0), 0);
    ASSERT_TRUE(summary.Scan(folder.WidePath(), {L"*.log"}));
    EXPECT_EQ(Checksums(), (std::map<std::wstring, uint32_t>{{L"keep.bin#000", LumoUtil::SegmentChecksumOf("changed!", 8)}}));
}

// A file cut short or grown and given its old modification time back is checksummed again, as a
// fresh scan finds it: where its segment count changed, and within its last segment too (its
// change time moved on, which no tool sets back).
TEST_F(SummaryScan, ASizeThatNoLongerFitsTheStoredSegmentsIsChecksummedAgain)
{
    const std::string full = std::string(2 * kSegment, 'a') + "tail";
    const struct { const char* name; std::string before, after; } cases[] = {
        {"cut-to-1000-bytes", full, full.substr(0, 1000)},
        {"cut-to-one-segment", full, full.substr(0, kSegment)},
        {"grown-by-a-segment", full.substr(0, 1000), full},
        {"cut-within-the-last-segment", full, full.substr(0, 2 * kSegment + 2)},
        {"rewritten-in-place", full, std::string(2 * kSegment, 'b') + "tail"},
    };
    for (const auto& c : cases)
        WriteFile(folder / c.name, c.before);
    ASSERT_TRUE(summary.Scan(folder.WidePath(), {}));
    WaitForTheClockToPass(folder / cases[0].name);
    for (const auto& c : cases)
    {
        struct stat status{};
        ASSERT_EQ(stat((folder / c.name).c_str(), &status), 0);
        WriteFile(folder / c.name, c.after);
        const timespec times[2] = {status.st_atim, status.st_mtim};
        ASSERT_EQ(utimensat(AT_FDCWD, (folder / c.name).c_str(), times, 0), 0);
    }
    ASSERT_TRUE(summary.Scan(folder.WidePath(), {}));
    FileTreeSummary fresh;
    ASSERT_TRUE(fresh.Scan(folder.WidePath(), {}));
    EXPECT_EQ(summary.Serialise(), fresh.Serialise());
    const FileTreeSummary::Table got = summary.Snapshot(), expected = fresh.Snapshot();
    for (const auto& [name, entry] : expected)
        EXPECT_TRUE(got.count(name) && got.at(name).checksum == entry.checksum) << name;
}

TEST_F(SummaryScan, CarriesNamesInAnyScriptAndSkipsLinksAndNamesItCannotCarry)
{
    WriteFile(folder / "a/file.bin", "a");
    ASSERT_EQ(symlink("..", (folder / "a/loop").c_str()), 0);
    ASSERT_EQ(symlink("file.bin", (folder / "a/link.bin").c_str()), 0);
    ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
    std::map<std::wstring, uint32_t> expected = {{L"a\\file.bin#000", LumoUtil::SegmentChecksumOf("a", 1)}};
    // Names as the disk holds them (UTF-8) and as the summary carries them; no key: skipped, since
    // the repair could never write such a name back.
    const struct { std::string onDisk; std::wstring key; } cases[] = {
        {"café.bin", L"café.bin#000"}, {"Привет/мир.txt", L"Привет\\мир.txt#000"},
        {"\xF0\x9F\x98\x80.bin", L"\U0001F600.bin#000"}, {"back\\slash.bin", L""},
        {"bad\xFF.bin", L""}, {"tab\tname.bin", L""}, {"drive:x.bin", L""},
    };
    for (const auto& c : cases)
    {
        WriteFile(folder / c.onDisk, c.onDisk);
        if (!c.key.empty())
            expected[c.key] = LumoUtil::SegmentChecksumOf(c.onDisk.data(), c.onDisk.size());
    }
    ASSERT_TRUE(summary.Scan(folder.WidePath(), {}));
    EXPECT_EQ(Checksums(), expected);
    // The bytes hold the names in UTF-16LE: the emoji as its surrogate pair D83D DE00.
    const std::string bytes = Bytes(summary.Serialise());
    EXPECT_NE(bytes.find(std::string("\x3D\xD8\x00\xDE.\0b\0i\0n\0#\0", 14)), std::string::npos);
}

// The patcher's own files and the excluded ones are never the server's business: left out, and
// their names refused when a record names them in any spelling.
TEST_F(SummaryScan, LeavesOutWhatThePatcherKeepsForItselfAndTheExcludedFiles)
{
    const struct { std::string onDisk; std::wstring key; /* empty: left out */ } cases[] = {
        {"patch.journal", L""},       {"data/x.dll.pbk", L""},       {"data/x.dll.Pbk.New", L""},
        {"repair.cks", L""},          {"repair.cks.tmp", L""},       {"unins000.exe", L""},
        {"data/patch.journal", L"data\\patch.journal#000"},          {"data/x.dll", L"data\\x.dll#000"},
        {"data/unins000.exe", L"data\\unins000.exe#000"},
    };
    std::map<std::wstring, uint32_t> expected;
    for (const auto& c : cases)
    {
        WriteFile(folder / c.onDisk, c.onDisk);
        if (!c.key.empty())
            expected[c.key] = LumoUtil::SegmentChecksumOf(c.onDisk.data(), c.onDisk.size());
    }
    ASSERT_TRUE(summary.Scan(folder.WidePath(), {L"unins000.exe"}));
    EXPECT_EQ(Checksums(), expected);
    // Excluded in the scan's own spelling only: a record in another spelling is refused as the file
    // it resolves to (SegmentSlot.NamesTheRepairLeavesAloneAreRefused).
    std::wstring reason;
    EXPECT_TRUE(summary.LeavesOut(L"unins000.exe", &reason));
    EXPECT_EQ(reason, L"path \"unins000.exe\": the repair leaves it out of its summary");
    EXPECT_FALSE(summary.LeavesOut(L"data/unins000.exe"));
}

// A summary file is anyone's to shape who can write the installation: a name no installed file
// could have ends the reading there.
// Each file's count is its highest index plus one, also where another file's names sort between
// its segments, a gap lies among them, or the index has more than three digits.
TEST(SummaryFormat, SegmentCountsPerFile)
{
    FileTreeSummary summary;
    for (const wchar_t* name : {L"a.bin#000", L"a.bin#000.x#000", L"a.bin#001", L"gap.bin#000", L"gap.bin#004",
                                L"d\\big.bin#1000", L"d\\big.bin#999"})
        summary.RegisterSegment(name, 1, 1);
    const auto counts = summary.SegmentCounts();
    const std::map<std::wstring, uint64_t> expected = {
        {L"a.bin", 2}, {L"a.bin#000.x", 1}, {L"gap.bin", 5}, {L"d\\big.bin", 1001}};
    const std::map<std::wstring, uint64_t> got(counts.begin(), counts.end());
    EXPECT_EQ(expected, got);
    summary.Clear();
    EXPECT_TRUE(summary.SegmentCounts().empty());
}

TEST(SummaryFormat, ANameThatCouldNotLieInsideEndsTheReading)
{
    auto entry = [](const std::wstring& name) {
        std::string out;
        repairtest::PutU32(out, uint32_t(name.size()));
        for (wchar_t c : name)
            out += std::string{char(c & 0xFF), char(c >> 8)};
        return out + std::string(12, '\x01');
    };
    for (const std::wstring name : {L"..\\x.bin#000", L"\\etc\\passwd#000", L"a\\..\\..\\b#000", L"C:x#000"})
    {
        FileTreeSummary summary;
        EXPECT_EQ(ReadSummary(summary, std::string("0stf\x02\0\0\0", 8) + entry(L"ok.bin#000") + entry(name)),
                  LUMORESULT_BAD_FORMAT);
        ASSERT_EQ(summary.Snapshot().size(), 1u);
        EXPECT_EQ(summary.Snapshot().begin()->first, L"ok.bin#000");
    }
}

TEST_F(SummaryScan, ThousandAndFirstSegmentSortsBeforeTheHundredAndFirst)
{
    const int fd = open((folder / "big.bin").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_EQ(ftruncate(fd, off_t(1000) * kSegment + 1), 0);
    close(fd);
    g_checksumCalls = 0;
    summary.SetChecksumFunction(&CountingChecksum);
    ASSERT_TRUE(summary.Scan(folder.WidePath(), {}));
    EXPECT_EQ(g_checksumCalls, 1001);
    const auto table = summary.Snapshot();
    ASSERT_EQ(table.size(), 1001u);
    EXPECT_EQ(std::next(table.begin(), 100)->first, L"big.bin#100");
    EXPECT_EQ(std::next(table.begin(), 101)->first, L"big.bin#1000");
    EXPECT_EQ(std::next(table.begin(), 102)->first, L"big.bin#101");

    // A segment written from the server stamps the file's other entries without reading them.
    g_checksumCalls = 0;
    summary.RegisterSegment(L"big.bin#005", 0xABCD, 12345);
    EXPECT_EQ(g_checksumCalls, 0);
    EXPECT_EQ(summary.Snapshot()[L"big.bin#005"].checksum, 0xABCDu);
    EXPECT_EQ(summary.Snapshot()[L"big.bin#004"].time, 12345u);
    summary.RemoveSegmentsAfter(L"big.bin#997");
    EXPECT_EQ(summary.Snapshot().size(), 998u);
}

// What a walk hook does once the root has been looked at: the scan has seen "sub" as a folder and
// "swap.bin" as a file, and meets what the test put there instead.
std::string g_walkRoot;
void (*g_swap)(const std::string& root) = nullptr;
void SwapOnceTheRootIsListed(const std::wstring& relative)
{
    if (relative.empty() && g_swap)
        g_swap(g_walkRoot);
}

// A folder swapped for a link after its parent was listed is not entered: no name from where the
// link leads (outside, or another folder inside) reaches what the server is sent.
TEST_F(SummaryScan, AFolderSwappedForALinkMidScanIsNotEntered)
{
    ScratchFolder outside;
    WriteFile(outside / "secret.bin", "outside");
    const struct { const char* what; std::string target; } cases[] = {
        {"a link out", outside.Path()},
        {"a link to a folder inside", "a"},
        {"a link up", ".."},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        ScratchFolder install;
        WriteFile(install / "a/file.bin", "a");
        WriteFile(install / "sub/own.bin", "own");
        static std::string target;
        target = c.target;
        g_walkRoot = install.Path();
        g_swap = [](const std::string& root) {
            ASSERT_EQ(::rename((root + "/sub").c_str(), (root + ".away").c_str()), 0);
            ASSERT_EQ(::symlink(target.c_str(), (root + "/sub").c_str()), 0);
        };
        FileTreeSummary scan;
        scan.SetWalkHook(&SwapOnceTheRootIsListed);
        ASSERT_TRUE(scan.Scan(install.WidePath(), {}));
        g_swap = nullptr;
        std::vector<std::wstring> names;
        for (const auto& [name, entry] : scan.Snapshot())
            names.push_back(name);
        EXPECT_EQ(names, std::vector<std::wstring>{L"a\\file.bin#000"});
        fixtures::RemoveTree(install.Path() + ".away");
    }
}

// A file swapped after the walk saw it is read only when it is still that regular file: a FIFO is
// not waited on, a link not followed, another file not taken for it. Its checksum reads as
// unreadable (0), so the server sends its own.
TEST_F(SummaryScan, AFileSwappedMidScanIsNeitherFollowedNorWaitedOn)
{
    ScratchFolder outside;
    WriteFile(outside / "secret.bin", "outside");
    static std::string secret;
    secret = outside / "secret.bin";
    const struct { const char* what; void (*swap)(const std::string& root); } cases[] = {
        {"a FIFO", [](const std::string& root) {
             ASSERT_EQ(::unlink((root + "/swap.bin").c_str()), 0);
             ASSERT_EQ(::mkfifo((root + "/swap.bin").c_str(), 0600), 0);
         }},
        {"a link out", [](const std::string& root) {
             ASSERT_EQ(::unlink((root + "/swap.bin").c_str()), 0);
             ASSERT_EQ(::symlink(secret.c_str(), (root + "/swap.bin").c_str()), 0);
         }},
        {"another file renamed over it", [](const std::string& root) {
             WriteFile(root + "/other.tmp", "other!!");
             ASSERT_EQ(::rename((root + "/other.tmp").c_str(), (root + "/swap.bin").c_str()), 0);
         }},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        ScratchFolder install;
        WriteFile(install / "swap.bin", "mine!!!");
        g_walkRoot = install.Path();
        g_swap = c.swap;
        // Swapped once the file was looked at, before it is read: the server is asked for it.
        FileTreeSummary scan;
        scan.SetReadHook([] { SwapOnceTheRootIsListed(L""); });
        ASSERT_TRUE(scan.Scan(install.WidePath(), {}));
        const FileTreeSummary::Table table = scan.Snapshot();
        ASSERT_EQ(table.size(), 1u);
        EXPECT_EQ(table.begin()->first, L"swap.bin#000");
        EXPECT_EQ(table.begin()->second.checksum, 0u);
        // Swapped once the folder was listed, before the file is looked at: a file renamed over it
        // is read, a FIFO or a link is no file and has no entry.
        const bool file = std::string(c.what).starts_with("another");
        WriteFile(install / "swap.tmp", "mine!!!");
        ASSERT_EQ(::rename((install / "swap.tmp").c_str(), (install / "swap.bin").c_str()), 0);
        FileTreeSummary listed;
        listed.SetWalkHook(&SwapOnceTheRootIsListed);
        ASSERT_TRUE(listed.Scan(install.WidePath(), {}));
        g_swap = nullptr;
        const FileTreeSummary::Table seen = listed.Snapshot();
        ASSERT_EQ(seen.size(), file ? 1u : 0u);
        if (file)
        {
            EXPECT_EQ(seen.begin()->second.checksum, LumoUtil::SegmentChecksumOf("other!!", 7));
        }
    }
}

} // namespace
