// What the repair's summary vouches for, against the honest repair-server double: zero bytes the
// checksum cannot see, files the patcher changed itself, and files changed within the second of
// the summary's last save.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "lumo/buffers/LumoDataBufferFile.h"
#include "lumo/net/RepairClient.h"
#include "lumo/net/RepairJournal.h"
#include "lumo/net/SavedSummary.h"
#include "lumo/net/SegmentName.h"
#include "platform/NativePath.h"
#include "tests/fixtures/PatternBytes.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/WaitFor.h"
#include "tests/lumo_net/RepairServerProcess.h"
#include "tests/lumo_net/RepairWire.h"
#include "tests/lumo_net/FolderDoor.h"

namespace
{
using fixtures::ReadFile;
using fixtures::ScratchFolder;
using fixtures::WriteFile;

constexpr size_t kMiB = 1u << 20;

std::string Zeros(size_t count)
{
    return std::string(count, '\0');
}

struct Outcome
{
    LUMORESULT error = LUMORESULT_UNKNOWN_ERROR;
    uint32_t received = 0;
    uint32_t total = 0;
};

// One repair of install against the server, as the repair run sets the client up.
Outcome Repair(const std::string& install, const repairtest::RepairServer& server)
{
    RepairClient client;
    const std::wstring root = FromNativePath(install);
    client.SetRootFolder(repairtest::DoorOf(root));
    client.SetSummaryFile(root + L"/repair.cks");
    client.SetServerAddress(SocketAddress{0x7F000001, uint16_t(server.Port())});
    client.Start();
    EXPECT_TRUE(fixtures::WaitFor([&] { return !client.IsRunning(); }));
    return {client.GetError(), client.GetSegmentsReceived(), client.GetSegmentsTotal()};
}

// The names of the saved summary's entries for the file (install-relative, "\" between parts).
std::vector<std::wstring> SavedEntriesOf(const std::string& install, const std::wstring& file,
                                         const std::string& name = "repair.cks")
{
    FileTreeSummary summary;
    LumoDataBufferFile saved(FromNativePath(install + "/" + name), LumoDataBufferFile::MODE_READ);
    EXPECT_TRUE(saved.IsOpen());
    EXPECT_EQ(summary.Read(saved), LUMORESULT_OK);
    std::vector<std::wstring> names;
    for (const auto& [name, entry] : summary.Snapshot())
        if (GetSegmentPath(name) == file)
            names.push_back(name);
    return names;
}

// The file time the summary keeps: the later of modification and status change, whole seconds.
uint64_t FileTime(const std::string& path)
{
    struct stat status{};
    EXPECT_EQ(::stat(path.c_str(), &status), 0);
    return uint64_t(std::max(status.st_mtim.tv_sec, status.st_ctim.tv_sec));
}

// A zero-padded file cut short, or zeros the server's copy lacks, check the same under the segment
// checksum: the client asks for such a last segment again, and the next run has nothing to do.
TEST(RepairSummaryTruth, ZeroBytesTheChecksumCannotSeeAreSentAgain)
{
    const std::string data = fixtures::PatternBytes(4 * kMiB, 7);
    const struct { const char* what; std::string server, local; } cases[] = {
        {"data and 2 MiB of zeros, 1 MiB of them here", data + Zeros(2 * kMiB), data + Zeros(kMiB)},
        {"10 MiB of zeros, 9 MiB here", Zeros(10 * kMiB), Zeros(9 * kMiB)},
        {"abcdefghij, with 5000 zeros before it here", "abcdefghij", Zeros(5000) + "abcdefghij"},
        {"a whole segment of zeros, 1 MiB here", Zeros(4 * kMiB), Zeros(kMiB)},
        {"1 MiB of zeros, a whole segment here", Zeros(kMiB), Zeros(4 * kMiB)},
        {"data then zeros, one zero byte more here", data + "x" + Zeros(3), data + "x" + Zeros(4)},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        ScratchFolder scratch;
        WriteFile(scratch / "reference/F.bin", c.server);
        WriteFile(scratch / "install/F.bin", c.local);
        repairtest::RepairServer server(scratch / "reference", scratch / "server.log");
        ASSERT_NE(server.Port(), 0);
        const Outcome first = Repair(scratch / "install", server);
        EXPECT_EQ(first.error, LUMORESULT_OK) << server.Log();
        EXPECT_GE(first.received, 1u);
        EXPECT_TRUE(ReadFile(scratch / "install/F.bin") == c.server) << server.Log();
        const Outcome again = Repair(scratch / "install", server);
        EXPECT_EQ(again.error, LUMORESULT_OK);
        EXPECT_EQ(again.total, 0u) << server.Log();
    }
}

// F.bin is 14 MiB here and 16 MiB on the server; a repair writes F.bin#003 and saves its summary,
// then is killed. The next start cuts F.bin back to 14 MiB, perhaps within the same second: the
// cut drops F.bin's entries, so the next repair reads it again and mends it.
TEST(RepairSummaryTruth, AFileTheRecoveryCutBackIsReadAgain)
{
    ScratchFolder scratch;
    const std::string install = scratch / "install";
    const std::string whole = fixtures::PatternBytes(16 * kMiB, 3);
    WriteFile(scratch / "reference/F.bin", whole);
    WriteFile(install + "/F.bin", whole.substr(0, 14 * kMiB));
    WriteFile(install + "/other.bin", "kept");
    WriteFile(scratch / "reference/other.bin", "kept");
    repairtest::RepairServer server(scratch / "reference", scratch / "server.log");
    ASSERT_NE(server.Port(), 0);
    const Outcome first = Repair(install, server);
    EXPECT_EQ(first.error, LUMORESULT_OK);
    EXPECT_EQ(first.received, 1u);
    EXPECT_TRUE(ReadFile(install + "/F.bin") == whole);

    // What a kill after that write leaves: the record that F.bin was 14 MiB before the repair.
    {
        RepairJournal journal(repairtest::DoorOf(install));
        std::string error;
        ASSERT_TRUE(journal.BeforeChange(FromNativePath(install + "/F.bin"), true, 14 * kMiB, 16 * kMiB, error))
            << error;
    }
    std::vector<RepairRecoveryLine> lines;
    ASSERT_TRUE(RecoverStoppedRepair(*repairtest::DoorOf(install), lines));
    ASSERT_EQ(std::filesystem::file_size(install + "/F.bin"), 14 * kMiB);
    EXPECT_TRUE(SavedEntriesOf(install, L"F.bin").empty());
    EXPECT_EQ(SavedEntriesOf(install, L"other.bin").size(), 1u);

    const Outcome next = Repair(install, server);
    EXPECT_EQ(next.error, LUMORESULT_OK);
    EXPECT_EQ(next.received, 1u) << server.Log();
    EXPECT_TRUE(ReadFile(install + "/F.bin") == whole);
}

// A file changed in the very second the summary was saved keeps the time the summary holds: it is
// read again. One whose time is older than the save is trusted, as before.
TEST(RepairSummaryTruth, AFileChangedInTheSecondOfTheLastSaveIsReadAgain)
{
    const struct { const char* what; int64_t savedAfterChange; std::string after; } cases[] = {
        {"saved in the second of the change", 0, "right!"},
        {"saved 100 s after the change", 100, "wrong!"}, // the stored checksum is believed
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        ScratchFolder scratch;
        const std::string install = scratch / "install";
        WriteFile(scratch / "reference/F.bin", "right!");
        WriteFile(install + "/F.bin", "wrong!");
        const uint64_t time = FileTime(install + "/F.bin");
        // The summary a look at "right!" within that same second left: the entry's time matches.
        std::string bytes = "0stf";
        repairtest::PutU32(bytes, 1);
        const std::wstring name = L"F.bin#000";
        repairtest::PutU32(bytes, uint32_t(name.size()));
        for (wchar_t unit : name)
            bytes += std::string{char(unit), '\0'};
        repairtest::PutU32(bytes, repairtest::ChecksumOf("right!"));
        repairtest::PutU32(bytes, uint32_t(time));
        repairtest::PutU32(bytes, uint32_t(time >> 32));
        WriteFile(install + "/repair.cks", bytes);
        const timespec saved[2] = {{time_t(time + c.savedAfterChange), 0}, {time_t(time + c.savedAfterChange), 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, (install + "/repair.cks").c_str(), saved, 0), 0);

        repairtest::RepairServer server(scratch / "reference", scratch / "server.log");
        ASSERT_NE(server.Port(), 0);
        EXPECT_EQ(Repair(install, server).error, LUMORESULT_OK);
        EXPECT_EQ(ReadFile(install + "/F.bin"), c.after);
    }
}

// The summary forgets the files it is told of in any spelling and keeps every other; a summary it
// cannot read whole goes; none is nothing to do.
TEST(RepairSummaryTruth, ForgettingFilesKeepsTheOthers)
{
    ScratchFolder scratch;
    const std::string install = scratch / "install";
    const std::wstring root = FromNativePath(install);
    WriteFile(install + "/data/A.bin", std::string(5 * kMiB, 'a'));
    WriteFile(install + "/data/A.binx", "x");
    WriteFile(install + "/b.bin", "b");
    std::string error;
    EXPECT_TRUE(ForgetFilesInSummary(*repairtest::DoorOf(root), {L"data/A.bin"}, error)) << error; // no summary yet

    FileTreeSummary summary;
    ASSERT_TRUE(summary.Scan(root, {}));
    const std::vector<uint8_t> saved = summary.Serialise();
    std::wstring saveError;
    ASSERT_TRUE(repairtest::DoorOf(root)->ReplaceOwnFile(L"repair.cks", L"repair.cks.tmp",
                                                          std::string(saved.begin(), saved.end()), saveError))
        << ToNativePath(saveError);
    EXPECT_TRUE(ForgetFilesInSummary(*repairtest::DoorOf(root), {L"DATA/a.bin", L"gone.bin"}, error)) << error;
    EXPECT_TRUE(SavedEntriesOf(install, L"data\\A.bin").empty());
    EXPECT_EQ(SavedEntriesOf(install, L"data\\A.binx").size(), 1u);
    EXPECT_EQ(SavedEntriesOf(install, L"b.bin").size(), 1u);
    EXPECT_FALSE(fixtures::PathExists(install + "/repair.cks.tmp"));

    WriteFile(install + "/repair.cks", "0stf\x05");
    EXPECT_TRUE(ForgetFilesInSummary(*repairtest::DoorOf(root), {L"b.bin"}, error)) << error;
    EXPECT_FALSE(fixtures::PathExists(install + "/repair.cks"));
}

// A summary standing under another spelling (a copy from a case-insensitive disk) is the one the
// repair reads, saves and prunes: no second summary appears beside it, and forgetting a file after
// a stopped repair or a patch drops the file's entries from it. Two spellings at once are named.
TEST(RepairSummaryTruth, TheSummaryKeepsTheSpellingItHasOnDisk)
{
    for (const char* spelling : {"REPAIR.CKS", "Repair.Cks"})
    {
        SCOPED_TRACE(spelling);
        ScratchFolder scratch;
        const std::string reference = scratch / "reference", install = scratch / "install";
        const std::wstring root = FromNativePath(install);
        WriteFile(reference + "/data/a.bin", "right");
        WriteFile(reference + "/b.bin", "b");
        WriteFile(install + "/data/a.bin", "wrong");
        WriteFile(install + "/b.bin", "b");
        WriteFile(install + "/" + spelling, std::string("0stf\0\0\0\0", 8));
        repairtest::RepairServer server(reference, scratch / "server.log");
        ASSERT_NE(server.Port(), 0);
        const Outcome outcome = Repair(install, server);
        EXPECT_EQ(outcome.error, LUMORESULT_OK);
        EXPECT_EQ(ReadFile(install + "/data/a.bin"), "right");
        EXPECT_FALSE(fixtures::PathExists(install + "/repair.cks"));
        EXPECT_EQ(SavedEntriesOf(install, L"data\\a.bin", spelling).size(), 1u);

        std::string error;
        EXPECT_TRUE(ForgetFilesInSummary(*repairtest::DoorOf(root), {L"data/a.bin"}, error)) << error;
        EXPECT_TRUE(SavedEntriesOf(install, L"data\\a.bin", spelling).empty());
        EXPECT_EQ(SavedEntriesOf(install, L"b.bin", spelling).size(), 1u);
        EXPECT_FALSE(fixtures::PathExists(install + "/repair.cks"));

        WriteFile(install + "/rEPAIR.cks", "0stf");
        EXPECT_FALSE(ForgetFilesInSummary(*repairtest::DoorOf(root), {L"b.bin"}, error));
        EXPECT_NE(error.find("both match"), std::string::npos) << error;
        EXPECT_EQ(SavedEntriesOf(install, L"b.bin", spelling).size(), 1u);
    }
}

} // namespace
