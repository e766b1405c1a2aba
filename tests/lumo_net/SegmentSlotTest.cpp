// Segment slots over a memory stream: what each record does to the installed file and to the
// summary, and that refused, damaged or cut records change nothing on disk.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "lumo/buffers/Compression.h"
#include "lumo/net/LumoAgentClientTask.h"
#include "lumo/net/SegmentPipeline.h"
#include "lumo/net/SegmentName.h"
#include "platform/NativePath.h"
#include "tests/fixtures/FakeInstall.h"
#include "tests/fixtures/OutputCapture.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/lumo_net/RepairWire.h"

namespace
{
using fixtures::PathExists;
using fixtures::ReadFile;
using fixtures::ScratchFolder;
using fixtures::WriteFile;
using repairtest::ChecksumOf;
using repairtest::Plain;
using repairtest::Record;

constexpr size_t kSegment = 4u << 20;

std::string Compress(std::string raw)
{
    LumoDataBufferMemoryStatic source(raw.data(), uint32_t(raw.size()));
    LumoDataBufferMemoryDynamic container;
    EXPECT_EQ(LumoUtil::CompressData(container, source), LUMORESULT_OK);
    std::string out(size_t(container.GetSize()), '\0');
    container.SetPosition(0);
    container.ReadData(out.data(), uint32_t(out.size()));
    return out;
}

struct MemoryOwner : SegmentTransferOwner
{
    explicit MemoryOwner(std::wstring root) : m_root(std::move(root)) {}
    const LumoUtil::InstallDoor* GetDoor() const override
    {
        std::wstring error;
        if (!m_door)
            m_door = LumoUtil::InstallDoor::Open(m_root, error);
        return m_door.get();
    }
    LumoDataBuffer& GetStream() override { return stream; }
    FileTreeSummary& GetSummary() override { return summary; }
    void CountWrittenSegment() override { ++received; }
    uint64_t GetSegmentLimit(const std::wstring&) const override { return limit; }

    void Feed(const std::string& bytes)
    {
        stream.SetSize(0);
        stream.WriteData(bytes.data(), uint32_t(bytes.size()));
        stream.SetPosition(0);
    }

    LumoDataBufferMemoryDynamic stream;
    FileTreeSummary summary;
    int received = 0;
    uint64_t limit = uint64_t(LumoUtil::kMaxSegmentIndex) + 1;
    std::wstring m_root;
    mutable std::shared_ptr<LumoUtil::InstallDoor> m_door;
};

// Receives one record and writes it; true only when every step succeeded.
bool Apply(MemoryOwner& owner, const std::string& record)
{
    owner.Feed(record);
    LumoAgentClientTask slot;
    const bool received = slot.ReceiveFile(owner);
    const bool written = slot.WriteFileEnd();
    EXPECT_FALSE(slot.IsBusy());
    return received && written;
}

TEST(SegmentSlot, RefusedRecordsChangeNothing)
{
    ScratchFolder folder;
    WriteFile(folder / "install/a.bin", "original");
    MemoryOwner owner(folder.WidePath() + L"/install");
    const std::string data = "new data";
    std::string tooManyChunks = Compress(data);
    tooManyChunks[0] = 2;
    std::string bomb = Compress(std::string(kSegment + 1, 'b'));

    const std::string cases[] = {
        // The three mismatched flag combinations.
        Record(1, L"a.bin#000", 0, ""), Record(0, L"a.bin#000", 0, "x"), Record(1, L"a.bin#000", ChecksumOf(data), ""),
        // Names that would leave the installation or carry no index (bad indexes: SegmentName.Table).
        Plain(L"..\\a.bin#000", data), Plain(L"..\\install\\a.bin#000", data), Plain(L"\\a.bin#000", data),
        Plain(L"/tmp/a.bin#000", data), Plain(L"C:a.bin#000", data), Plain(L"a.bin", data), Plain(L"#000", data),
        Plain(L"", data),
        // What no UTF-16 name of a file may hold: a lone surrogate, NUL, a control character.
        Plain(std::wstring(L"a") + wchar_t(0xD800) + L".bin#000", data), Plain(std::wstring(L"a\0.bin#000", 10), data),
        Plain(L"a\n.bin#000", data),
        // Lengths beyond a segment, damaged containers, data that is not what the checksum says.
        Record(0, L"a.bin#000", 1, std::string(kSegment + 1, '\0')),
        Record(1, L"a.bin#000", ChecksumOf(data), tooManyChunks),
        Record(1, L"a.bin#000", ChecksumOf(std::string(kSegment + 1, 'b')), bomb),
        Record(0, L"a.bin#000", ChecksumOf(data), data.substr(1)),
        Record(0, L"a.bin#000", ChecksumOf(data + "x"), data),
        // Cut inside the header, the name and the data.
        Plain(L"a.bin#000", data).substr(0, 3), Plain(L"a.bin#000", data).substr(0, 9),
        Plain(L"a.bin#000", data).substr(0, 30),
    };
    for (const std::string& record : cases)
    {
        EXPECT_FALSE(Apply(owner, record)) << record.size();
        EXPECT_EQ(ReadFile(folder / "install/a.bin"), "original");
        EXPECT_FALSE(PathExists(folder / "a.bin"));
        EXPECT_FALSE(PathExists(folder / "escape.bin"));
        EXPECT_TRUE(owner.summary.Snapshot().empty());
    }
    EXPECT_EQ(owner.received, 0); // bad containers and checksums arrive whole, but nothing was written
}

// What the patcher keeps for itself and what the summary leaves out are never written, cut or
// deleted, however the server spells the name and whatever link inside the installation it goes
// through. A record planting a journal would have the next start "recover" files outside.
// A record cut short is said in words, naming the segment once its name has arrived.
TEST(SegmentSlot, ARecordCutShortIsSaidInWords)
{
    ScratchFolder folder;
    MemoryOwner owner(folder.WidePath() + L"/install");
    const std::string whole = Plain(L"a.bin#000", "new data");
    const struct { size_t length; const char* line; } cases[] = {
        {3, "No further record came from the repair server: the data ended early."},
        {whole.size() - 1, "The data of a.bin#000 did not arrive whole from the repair server: the data ended early."},
    };
    for (const auto& c : cases)
    {
        fixtures::StdoutCapture out;
        fixtures::StderrCapture err;
        EXPECT_FALSE(Apply(owner, whole.substr(0, c.length)));
        const std::string said = out.Text() + err.Text();
        EXPECT_NE(said.find(c.line), std::string::npos) << said;
        EXPECT_EQ(said.find("::"), std::string::npos) << said; // no names of the code
    }
    for (LUMORESULT code = 1; code <= LUMORESULT_PARTIAL_DATA + 1; ++code)
        EXPECT_EQ(LumoUtil::DescribeResult(code).find("LUMORESULT"), std::string::npos) << code;
    EXPECT_EQ(LumoUtil::DescribeResult(LUMORESULT_ABORTED), "the connection was closed or the transfer was cancelled");
    EXPECT_EQ(LumoUtil::DescribeResult(99), "an unknown failure (99)");
}

TEST(SegmentSlot, NamesTheRepairLeavesAloneAreRefused)
{
    ScratchFolder folder;
    const std::string install = folder / "install";
    const fixtures::TreeContent kept = {
        {"patch.journal", "mine"}, {"bin/x.dll.pbk", "backup"}, {"bin/x.dll.pbk.new", "half"},
        {"repair.cks", "summary"}, {"unins000.exe", "uninstaller"}, {".sollex-patcher-u1-ab/p.bin", "unpacked"},
    };
    fixtures::WriteTree(install, kept);
    std::filesystem::create_directory_symlink(install, install + "/inner");
    const fixtures::TreeContent before = fixtures::SnapshotTree(install);
    MemoryOwner owner(FromNativePath(install));
    ASSERT_TRUE(owner.summary.Scan(owner.m_root, {L"unins000.exe"}));
    const std::string journal = "8dd157a5 BEGIN\nf38f8ba2 NEW ../precious.txt\n";

    const std::string cases[] = {
        Plain(L"patch.journal#000", journal), Plain(L"PATCH.JOURNAL#000", journal), Plain(L".\\patch.journal#000", journal),
        Plain(L"inner\\patch.journal#000", journal), Plain(L"inner\\Patch.Journal#000", journal),
        Record(0, L"patch.journal#000", 0, ""), Record(0, L"bin\\x.dll.pbk#000", 0, ""),
        Plain(L"bin\\x.dll.PBK#001", "x"), Plain(L"bin\\x.dll.pbk.new#000", "x"), Plain(L"repair.cks#000", "x"),
        Plain(L"repair.cks.tmp#000", "x"), Plain(L"unins000.exe#000", "x"), Plain(L"UNINS000.EXE#000", "x"),
        Record(0, L"inner\\unins000.exe#000", 0, ""), Plain(L".sollex-patcher-u1-ab\\p.bin#000", "x"),
        Plain(L".sollex-patcher-u2-cd\\new.bin#000", "x"),
    };
    for (const std::string& record : cases)
    {
        EXPECT_FALSE(Apply(owner, record)) << record.substr(9);
        EXPECT_EQ(fixtures::DescribeTreeDifference(before, fixtures::SnapshotTree(install)), "") << record.substr(9);
        EXPECT_FALSE(PathExists(folder / "precious.txt"));
    }
    EXPECT_EQ(owner.received, 0);
    // The same names are the game's own anywhere else.
    EXPECT_TRUE(Apply(owner, Plain(L"data\\patch.journal#000", journal)));
    EXPECT_TRUE(Apply(owner, Plain(L"data\\repair.cks#000", "game")));
    EXPECT_EQ(ReadFile(install + "/data/patch.journal"), journal);
}

TEST(SegmentSlot, WritesSegmentsWhereTheyBelong)
{
    ScratchFolder folder;
    const std::wstring root = folder.WidePath();
    const std::string tail = "last segment";
    const std::string full(kSegment, 'F');

    // missing: no file before; gone: no file after.
    struct Case { const char* what; std::string before; bool missing; std::string record, after; bool gone; };
    const Case cases[] = {
        {"index 2 into a 1 MiB file", std::string(1 << 20, 'o'), false, Plain(L"f.bin#002", tail),
         std::string(1 << 20, 'o') + std::string(7 << 20, '\0') + tail, false},
        {"compressed equals plain", std::string(1 << 20, 'o'), false,
         Record(1, L"f.bin#002", ChecksumOf(tail), Compress(tail)),
         std::string(1 << 20, 'o') + std::string(7 << 20, '\0') + tail, false},
        {"full middle segment", std::string(3 * kSegment, 'o'), false, Plain(L"f.bin#001", full),
         std::string(kSegment, 'o') + full + std::string(kSegment, 'o'), false},
        {"short last segment cuts", std::string(3 * kSegment, 'o'), false, Plain(L"f.bin#001", tail),
         std::string(kSegment, 'o') + tail, false},
        {"checksum 0 cuts at index 3", std::string(5 * kSegment, 'o'), false, Record(0, L"f.bin#003", 0, ""),
         std::string(3 * kSegment, 'o'), false},
        {"checksum 0 at index 0 deletes", "x", false, Record(0, L"f.bin#000", 0, ""), "", true},
        {"missing folder is made", "", true, Plain(L"new\\dir\\f.bin#000", tail), tail, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        fixtures::RemoveTree(folder / "f.bin");
        fixtures::RemoveTree(folder / "new");
        if (!c.missing)
            WriteFile(folder / "f.bin", c.before);
        MemoryOwner owner(root);
        ASSERT_TRUE(owner.summary.Scan(root, {}));
        ASSERT_TRUE(Apply(owner, c.record));
        const std::string path = c.missing ? folder / "new/dir/f.bin" : folder / "f.bin";
        EXPECT_EQ(PathExists(path), !c.gone);
        if (!c.gone)
        {
            EXPECT_TRUE(ReadFile(path) == c.after);
            // Every entry the summary holds is true of the disk, and the next run's rescan
            // completes it to exactly what a fresh scan finds.
            FileTreeSummary fresh;
            ASSERT_TRUE(fresh.Scan(root, {}));
            auto truth = fresh.Snapshot();
            for (const auto& [name, entry] : owner.summary.Snapshot())
                EXPECT_EQ(entry.checksum, truth[name].checksum) << name;
            ASSERT_TRUE(owner.summary.Scan(root, {}));
            EXPECT_EQ(owner.summary.Serialise(), fresh.Serialise());
        }
    }
}

TEST(SegmentSlot, ReadOnlyFileAndSegmentBeyondFourGiB)
{
    ScratchFolder folder;
    WriteFile(folder / "ro.bin", "old");
    ASSERT_EQ(chmod((folder / "ro.bin").c_str(), 0444), 0);
    MemoryOwner owner(folder.WidePath());
    ASSERT_TRUE(Apply(owner, Plain(L"ro.bin#000", "new")));
    EXPECT_EQ(ReadFile(folder / "ro.bin"), "new");

    ASSERT_TRUE(Apply(owner, Plain(L"sparse.bin#1024", "far")));
    struct stat status{};
    ASSERT_EQ(stat((folder / "sparse.bin").c_str(), &status), 0);
    EXPECT_EQ(uint64_t(status.st_size), (uint64_t(4) << 30) + 3);
    EXPECT_EQ(owner.summary.Snapshot()[L"sparse.bin#1024"].checksum, ChecksumOf("far"));
}

TEST(SegmentSlot, NamesInAnyScriptLandUnderTheirOwnNames)
{
    ScratchFolder folder;
    MemoryOwner owner(folder.WidePath());
    WriteFile(folder / "café.bin", "old");
    const struct { std::wstring name; std::string onDisk, segment, content; } cases[] = {
        {L"café.bin#000", "café.bin", "cafe data", "cafe data"},
        {L"Привет\\мир.txt#000", "Привет/мир.txt", "mir", "mir"},
        {L"データ\\ファイル.bin#001", "データ/ファイル.bin", "second", std::string(kSegment, '\0') + "second"},
        {L"\U0001F600 #1.bin#000", "\xF0\x9F\x98\x80 #1.bin", "emoji", "emoji"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.onDisk);
        ASSERT_TRUE(Apply(owner, Plain(c.name, c.segment)));
        EXPECT_TRUE(ReadFile(folder / c.onDisk) == c.content);
    }
    // A scan names the files exactly as the records did, so the next run finds nothing to do.
    FileTreeSummary scanned;
    ASSERT_TRUE(scanned.Scan(folder.WidePath(), {}));
    for (const auto& c : cases)
        EXPECT_EQ(scanned.Snapshot()[c.name].checksum, ChecksumOf(c.segment));
}

TEST(SegmentSlot, IndexesPastTheServersFileAreRefusedAndCutsNeverLengthen)
{
    ScratchFolder folder;
    const std::string before(1 << 20, 'o');
    const std::string grown = before + std::string(2 * kSegment - before.size(), '\0') + "near";
    // The server's file has three segments at most.
    const struct { std::string record; bool accepted; const std::string& after; } cases[] = {
        {Plain(L"f.bin#003", "far"), false, before},
        {Record(0, L"f.bin#003", 0, ""), false, before},
        {Record(0, L"f.bin#002", 0, ""), true, before},
        {Record(0, L"new\\g.bin#001", 0, ""), true, before},
        {Plain(L"f.bin#002", "near"), true, grown},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(&c - cases);
        WriteFile(folder / "f.bin", before);
        MemoryOwner owner(folder.WidePath());
        owner.limit = 3;
        EXPECT_EQ(Apply(owner, c.record), c.accepted);
        EXPECT_TRUE(ReadFile(folder / "f.bin") == c.after);
        EXPECT_FALSE(PathExists(folder / "new"));
    }
}

TEST(SegmentPipeline, WritesInReceiveOrderWhereverTheLoopEnds)
{
    // Every record rewrites the same last segment with a different length, so any write out of
    // order, or two writers at once, leaves another tail. The loop ends at every slot position,
    // after the announced count or at a record cut short.
    ScratchFolder folder;
    for (int count = 4; count < 8; ++count)
        for (bool cut : {false, true})
        {
            SCOPED_TRACE(std::to_string(count) + (cut ? " then a cut record" : ""));
            fixtures::RemoveTree(folder / "f.bin");
            MemoryOwner owner(folder.WidePath());
            std::string stream;
            for (int r = 0; r < count; ++r)
                stream += Plain(L"f.bin#001", std::string(size_t(100 + r), char('a' + r)));
            if (cut)
                stream += Plain(L"f.bin#001", std::string(500, 'z')).substr(0, 300);
            owner.Feed(stream);
            int saves = 0;
            const SegmentPipelineResult result =
                ReceiveSegments(owner, uint32_t(count + (cut ? 1 : 0)), [] { return true; }, [&] { ++saves; });
            EXPECT_EQ(result.received, uint32_t(count));
            EXPECT_EQ(result.failed, cut);
            EXPECT_EQ(saves, 1);
            const std::string last(size_t(100 + count - 1), char('a' + count - 1));
            EXPECT_TRUE(ReadFile(folder / "f.bin") == std::string(kSegment, '\0') + last);
            EXPECT_EQ(owner.summary.Snapshot()[L"f.bin#001"].checksum, ChecksumOf(last));
        }
}

// Mid-run saves follow the schedule the caller gives (its clock here moves on by a step for every
// record); without one the summary is saved once, at the end.
TEST(SegmentPipeline, SavesWhenTheScheduleSaysSo)
{
    ScratchFolder folder;
    const struct { int stepMs; bool scheduled; int saves; } cases[] = {
        {1000, true, 6 + 1}, {500, true, 3 + 1}, {250, true, 1 + 1}, {1000, false, 1},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::to_string(c.stepMs) + " ms a record" + (c.scheduled ? "" : ", no schedule"));
        MemoryOwner owner(folder.WidePath());
        std::string stream;
        for (int r = 0; r < 6; ++r)
            stream += Plain(L"f" + std::to_wstring(r) + L".bin#000", "data");
        owner.Feed(stream);
        SaveSchedule::Clock::time_point now{};
        SaveSchedule schedule([&] { return now; });
        int saves = 0;
        const SegmentPipelineResult result = ReceiveSegments(
            owner, 6,
            [&] {
                now += std::chrono::milliseconds(c.stepMs);
                return true;
            },
            [&] { ++saves; }, nullptr, c.scheduled ? &schedule : nullptr);
        EXPECT_EQ(result.written, 6u);
        EXPECT_EQ(saves, c.saves);
    }
}

// Only records that reach the disk are counted: one refused on arrival ends the loop, one whose
// bytes do not match its checksum or whose file cannot be written is received but never counted.
TEST(SegmentPipeline, CountsOnlyTheRecordsItWrote)
{
    ScratchFolder folder;
    WriteFile(folder / "dir.bin/inside", ""); // a folder where the record names a file
    const std::string good1 = Plain(L"a.bin#000", "one"), good2 = Plain(L"b.bin#000", "two");
    const std::string badChecksum = Record(0, L"c.bin#000", ChecksumOf("other"), "three");
    const std::string onAFolder = Plain(L"dir.bin#000", "four");
    const struct { std::vector<std::string> records; uint32_t received, written; } cases[] = {
        {{good1, good2}, 2, 2},
        {{good1, badChecksum, good2}, 3, 2},
        {{onAFolder, good1}, 2, 1},
        {{good1, Plain(L"..\\out.bin#000", "x"), good2}, 1, 1},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(&c - cases);
        MemoryOwner owner(folder.WidePath());
        std::string stream;
        for (const std::string& record : c.records)
            stream += record;
        owner.Feed(stream);
        const SegmentPipelineResult result =
            ReceiveSegments(owner, uint32_t(c.records.size()), [] { return true; }, [] {});
        EXPECT_EQ(result.received, c.received);
        EXPECT_EQ(result.written, c.written);
        EXPECT_EQ(owner.received, int(c.written));
        EXPECT_EQ(result.failed, c.written < c.records.size());
    }
}

} // namespace
