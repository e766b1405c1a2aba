// The repair client against the repair-server double over loopback: a damaged installation made
// byte-identical to the server's folder, and every server fault ending in a clear error with no
// file worse than before and nothing outside the installation touched.
#include <gtest/gtest.h>

#include <signal.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "lumo/buffers/Compression.h"
#include "lumo/buffers/LumoDataBufferFile.h"
#include "lumo/net/RepairClient.h"
#include "lumo/net/SegmentName.h"
#include "lumo/os/GuardedThread.h"
#include "platform/NativePath.h"
#include "tests/fixtures/OutputCapture.h"
#include "tests/fixtures/PatternBytes.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/WaitFor.h"
#include "tests/lumo_net/LoopbackPeer.h"
#include "tests/lumo_net/RepairAgainst.h"
#include "tests/lumo_net/RepairServerProcess.h"
#include "tests/lumo_net/RepairWire.h"
#include "tests/lumo_net/FolderDoor.h"

namespace
{
using fixtures::ReadFile;
using fixtures::ScratchFolder;
using fixtures::WriteFile;
using repairtest::RepairAgainst;
using repairtest::RepairServer;
using repairtest::RunToEnd;
namespace fs = std::filesystem;

constexpr size_t kMiB = 1u << 20;

// What the run printed, then the reasons it gave for its caller's log, a line each.
std::string LinesAndReasons(fixtures::StdoutCapture& output, RepairClient& client)
{
    std::string lines = output.Text();
    for (const std::string& reason : client.TakeFailureReasons())
        lines += reason + "\n";
    return lines;
}

// Every regular file below root by its relative path; one too large to read (a file a faulty
// repair grew) by its size alone, so that the test fails instead of filling the memory.
std::map<std::string, std::string> Tree(const std::string& root)
{
    std::map<std::string, std::string> files;
    for (const auto& item : fs::recursive_directory_iterator(root))
        if (item.is_regular_file())
            files[fs::relative(item.path(), root).string()] =
                item.file_size() > (256u << 20) ? "<" + std::to_string(item.file_size()) + " bytes>"
                                                : ReadFile(item.path().string());
    return files;
}

// The server's folder and a damaged copy of it: a byte flipped in segment 3 of a 20 MiB file, a
// file deleted, one truncated, one with extra data, a read-only damaged file, a missing folder, an
// extra file, and the uninstaller that repair leaves alone.
struct Installation
{
    ScratchFolder scratch;
    std::string reference = scratch / "reference";
    std::string install = scratch / "install";

    Installation()
    {
        const std::map<std::string, std::string> files = {
            {"big.bin", fixtures::PatternBytes(20 * kMiB, 1)},      {"gone.txt", "deleted locally"},
            {"cut.bin", fixtures::PatternBytes(5 * kMiB, 2)},        {"short.txt", "short"},
            {"data/ro.bin", fixtures::PatternBytes(kMiB, 3)},        {"maps/north/a.map", fixtures::PatternBytes(100, 4)},
            {"empty.txt", ""},
        };
        for (const auto& [name, content] : files)
        {
            WriteFile(reference + "/" + name, content);
            if (name != "gone.txt" && name.rfind("maps/", 0) != 0)
                WriteFile(install + "/" + name, content);
        }
        std::string big = files.at("big.bin");
        big[3 * 4 * kMiB + 17] ^= 0x40;
        WriteFile(install + "/big.bin", big);
        WriteFile(install + "/cut.bin", files.at("cut.bin").substr(0, 3 * kMiB));
        WriteFile(install + "/short.txt", "short and then some");
        std::string ro = files.at("data/ro.bin");
        ro[5] ^= 1;
        WriteFile(install + "/data/ro.bin", ro);
        chmod((install + "/data/ro.bin").c_str(), 0444);
        WriteFile(install + "/extra.dat", "not on the server");
        WriteFile(install + "/unins000.exe", "uninstaller");
    }

    // A client set up as the repair run sets it up.
    void Configure(RepairClient& client, int port) const
    {
        const std::wstring root = FromNativePath(install);
        ASSERT_EQ(client.SetRootFolder(repairtest::DoorOf(root)), LUMORESULT_OK);
        ASSERT_EQ(client.SetSummaryFile(root + L"/repair.cks"), LUMORESULT_OK);
        ASSERT_EQ(client.SetServerAddress(SocketAddress{0x7F000001, uint16_t(port)}), LUMORESULT_OK);
        ASSERT_EQ(client.SetExcludedPaths({root + L"/unins000.exe"}), LUMORESULT_OK);
    }

    // The install as the repair should leave it: the reference plus what repair leaves alone.
    std::map<std::string, std::string> Repaired() const
    {
        auto expected = Tree(reference);
        expected["unins000.exe"] = "uninstaller";
        return expected;
    }
};

std::map<std::string, std::string> WithoutSummary(std::map<std::string, std::string> tree)
{
    tree.erase("repair.cks");
    return tree;
}

TEST(RepairClient, MakesADamagedInstallationIdenticalAndThenHasNothingToDo)
{
    for (bool compress : {false, true})
    {
        SCOPED_TRACE(compress ? "compressed records" : "plain records");
        Installation setup;
        RepairServer server(setup.reference, setup.scratch / "server.log",
                            compress ? std::vector<std::string>{"--managed", "*", "--compress"}
                                     : std::vector<std::string>{"--managed", "*"});
        ASSERT_NE(server.Port(), 0);

        RepairClient client;
        setup.Configure(client, server.Port());
        RunToEnd(client);
        EXPECT_TRUE(client.Succeeded()) << client.GetError() << " in " << client.GetState() << "\n" << server.Log();
        EXPECT_EQ(client.GetProgress(), 1.0f);
        EXPECT_GT(client.GetSegmentsReceived(), 5u);
        EXPECT_TRUE(WithoutSummary(Tree(setup.install)) == setup.Repaired());

        // The same client again: the summary the writers recorded matches the disk.
        RunToEnd(client);
        EXPECT_TRUE(client.Succeeded());
        EXPECT_EQ(client.GetSegmentsTotal(), 0u);
        EXPECT_TRUE(WithoutSummary(Tree(setup.install)) == setup.Repaired());
        // What was sent never names the summary or the uninstaller.
        FileTreeSummary saved;
        LumoDataBufferFile file(FromNativePath(setup.install + "/repair.cks"), LumoDataBufferFile::MODE_READ);
        ASSERT_EQ(saved.Read(file), LUMORESULT_OK);
        for (const auto& [name, entry] : saved.Snapshot())
            EXPECT_TRUE(name.find(L"repair.cks") == std::wstring::npos && name.find(L"unins000") == std::wstring::npos);
        EXPECT_NE(server.Log().find("received a summary of " + std::to_string(saved.Snapshot().size()) + " entries"),
                  std::string::npos);
    }
}

// The server keeps its table between connections only while nothing under its folder changed: a
// file rewritten in place between two repairs (the same size, most likely within the second of
// the server's last look, so its time may say nothing), one added and one removed are all served
// as they are now.
TEST(RepairClient, TheServerSeesEveryChangeOfItsFolderBetweenConnections)
{
    Installation setup;
    RepairServer server(setup.reference, setup.scratch / "server.log", {"--managed", "*"});
    ASSERT_NE(server.Port(), 0);
    RepairClient client;
    setup.Configure(client, server.Port());
    RunToEnd(client);
    ASSERT_TRUE(client.Succeeded()) << server.Log();

    const struct { const char* name; std::string content; bool remove; } changes[] = {
        {"short.txt", "SHORT", false},
        {"maps/north/a.map", fixtures::PatternBytes(100, 5), false},
        {"maps/south/b.map", "a new folder and file", false},
        {"gone.txt", "", true},
    };
    for (const auto& change : changes)
    {
        SCOPED_TRACE(change.name);
        if (change.remove)
            fs::remove(setup.reference + "/" + change.name);
        else
            WriteFile(setup.reference + "/" + change.name, change.content);
        RunToEnd(client);
        EXPECT_TRUE(client.Succeeded()) << server.Log();
        EXPECT_TRUE(WithoutSummary(Tree(setup.install)) == setup.Repaired()) << server.Log();
    }
}

// A caller waiting on the client wakes when the run ends, not when its limit is up.
TEST(RepairClient, WaitWhileRunningReturnsWhenTheRunEnds)
{
    ScratchFolder scratch;
    RepairClient client;
    // No summary file: the run ends at once.
    ASSERT_EQ(client.SetRootFolder(repairtest::DoorOf(scratch.Path())), LUMORESULT_OK);
    ASSERT_EQ(client.SetServerAddress(SocketAddress{0x7F000001, 9}), LUMORESULT_OK);
    client.Start();
    client.WaitWhileRunning(std::chrono::hours(1));
    EXPECT_FALSE(client.IsRunning());
    EXPECT_EQ(client.GetState(), 1);
    client.TakeFailureReasons();
}

TEST(RepairClient, EveryServerFaultEndsInAClearErrorAndNoFileIsWorse)
{
    // A bad version ends the run in state 3 (BAD_FORMAT); every other fault in state 5 (NETWORK_ERROR).
    const std::vector<std::string> cases[] = {
        {"--fault", "version"}, {"--fault", "no-version"}, {"--fault", "short"}, {"--fault", "drop"},
        {"--fault", "drop", "--compress"}, {"--fault", "stall"}, {"--fault", "wrong-length"}, {"--fault", "bad-flags"},
        {"--fault", "oversize"}, {"--fault", "bad-zip"}, {"--fault", "bad-name"},
        {"--fault", "bad-name", "--bad-name", "..\\..\\outside.bin#000"},
        {"--fault", "bad-name", "--bad-name", "big.bin#999999"}, {"--fault", "cut-name", "--bad-name", "big.bin#999999"},
        {"--fault", "huge-count"}, {"--fault", "huge-count", "--bad-name", "cut.bin#1000000"},
    };
    for (const std::vector<std::string>& arguments : cases)
    {
        const bool badVersion = arguments[1].ends_with("version");
        const LUMORESULT error = badVersion ? LUMORESULT_BAD_FORMAT : LUMORESULT_NETWORK_ERROR;
        SCOPED_TRACE(arguments[1] + (arguments.size() > 2 ? " " + arguments.back() : ""));
        Installation setup;
        const auto before = Tree(setup.install);
        const auto repaired = setup.Repaired();
        RepairServer server(setup.reference, setup.scratch / "server.log", arguments);
        ASSERT_NE(server.Port(), 0);
        {
            RepairClient client;
            setup.Configure(client, server.Port());
            // Only a silent server needs a short window. It cannot miss it: the server checksummed
            // its folder before it listened, and its count follows the summary at once.
            if (arguments[1] == "stall")
                client.SetStallLimit(std::chrono::seconds(2));
            RunToEnd(client);
            EXPECT_FALSE(client.Succeeded());
            EXPECT_EQ(client.GetState(), badVersion ? 3 : 5) << server.Log();
            EXPECT_EQ(client.GetError(), error);
            // Each failure of the transfer says why in words, for the run's log; a silent server
            // is named as such.
            const std::vector<std::string> reasons = client.TakeFailureReasons();
            EXPECT_TRUE(badVersion || !reasons.empty());
            EXPECT_TRUE(arguments[1] != "stall" ||
                        std::any_of(reasons.begin(), reasons.end(), [](const std::string& reason) {
                            return reason.starts_with("The repair gave up on the server: less than 1024 bytes moved");
                        }));
            if (arguments[1] == "short")
            {
                EXPECT_EQ(client.GetSegmentsReceived(), client.GetSegmentsTotal() / 2);
                EXPECT_FLOAT_EQ(client.GetProgress(), float(client.GetSegmentsReceived()) / float(client.GetSegmentsTotal()));
            }
        }
        // Every file is as it was or as the server has it; nothing appeared beside the installation.
        for (const auto& [name, content] : WithoutSummary(Tree(setup.install)))
        {
            const auto was = before.find(name);
            const auto should = repaired.find(name);
            EXPECT_TRUE((was != before.end() && was->second == content) ||
                        (should != repaired.end() && should->second == content))
                << name;
        }
        std::set<std::string> beside;
        for (const auto& item : fs::directory_iterator(setup.scratch.Path()))
            beside.insert(item.path().filename().string());
        EXPECT_EQ(beside, (std::set<std::string>{"install", "reference", "server.log"}));
        EXPECT_FALSE(fs::exists(fs::path(setup.scratch.Path()).parent_path() / "outside.bin"));
        if (arguments[1] == "version") {
            EXPECT_EQ(server.Log().find("summary"), std::string::npos) << "a summary was sent after a wrong version";
        }
    }
}

TEST(RepairClient, DestroyingItDuringAStallReturnsAtOnceAndKeepsTheSavedSummary)
{
    Installation setup;
    RepairServer server(setup.reference, setup.scratch / "server.log", {"--fault", "stall"});
    ASSERT_NE(server.Port(), 0);
    auto client = std::make_unique<RepairClient>();
    setup.Configure(*client, server.Port());
    client->SetStallLimit(std::chrono::seconds(60));
    client->Start();
    ASSERT_TRUE(fixtures::WaitFor([&] { return client->GetState() == 5; }));
    const std::string saved = ReadFile(setup.install + "/repair.cks");
    const auto start = std::chrono::steady_clock::now();
    client.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));  // not the stall's minute
    EXPECT_EQ(ReadFile(setup.install + "/repair.cks"), saved);
}

// The 4 MiB segments of a file's content.
std::vector<std::string> Segments(const std::string& content)
{
    std::vector<std::string> segments;
    for (size_t at = 0; at < content.size(); at += 4 * kMiB)
        segments.push_back(content.substr(at, 4 * kMiB));
    return segments;
}

TEST(RepairClient, KilledDuringTheTransferBreaksNothingAndTheNextRunFinishes)
{
    Installation setup;
    const auto before = Tree(setup.install);
    const auto reference = Tree(setup.reference);
    RepairServer server(setup.reference, setup.scratch / "server.log", {"--managed", "*", "--delay-ms", "40"});
    ASSERT_NE(server.Port(), 0);
    const std::string tool = std::string(LUMO_BIN_DIR) + "/repair-tool";

    platform::SpawnRequest request;
    request.argv = {"/bin/sh", "-c", "exec '" + tool + "' '" + setup.install + "' " + server.HostPort() + " > '" +
                                         setup.scratch.Path() + "/tool.log' 2>&1"};
    auto child = platform::SpawnedChild::Spawn(request, nullptr);
    ASSERT_TRUE(child);
    ASSERT_TRUE(fixtures::WaitFor([&] {
        const std::string log = server.Log();
        return log.find("sent ") != std::string::npos && log.find("sent ", log.find("sent ") + 1) != std::string::npos;
    }));
    kill(child->Pid(), SIGKILL);
    child->Wait(10000);

    // A segment that was right before is right now; a file the server does not manage is untouched.
    for (const auto& [name, content] : WithoutSummary(Tree(setup.install)))
    {
        const auto ref = reference.find(name);
        const auto was = before.find(name);
        if (ref == reference.end())
        {
            EXPECT_TRUE(was != before.end() && (was->second == content || name == "extra.dat")) << name;
            continue;
        }
        if (was == before.end())
            continue;
        const auto right = Segments(ref->second), old = Segments(was->second), now = Segments(content);
        for (size_t i = 0; i < right.size() && i < old.size(); ++i)
        {
            EXPECT_TRUE(old[i] != right[i] || (i < now.size() && now[i] == right[i])) << name << " #" << i;
        }
    }

    RepairClient client;
    setup.Configure(client, server.Port());
    RunToEnd(client);
    EXPECT_TRUE(client.Succeeded());
    EXPECT_TRUE(WithoutSummary(Tree(setup.install)) == setup.Repaired());
}

// Records mend files whose names hold letters beyond ASCII. A file may have the segments the summary gave it
// and one per record: one local segment and one record allow no #002 (the run fails, nothing grows); two do,
// but leave the bytes of #000 past "tex" unsent: the file is cut back to "tex" and the run fails.
TEST(RepairClient, MendsNamesBeyondAsciiAndRefusesARecordPastTheServersFile)
{
    using repairtest::Plain;
    const std::wstring tex = L"data\\textures\\big_01.tex";
    const std::string head(4 * kMiB, 'd'), full(4 * kMiB, 'f');
    const struct { std::vector<std::string> records; LUMORESULT error; std::map<std::string, std::string> after; } cases[] = {
        {{Plain(L"café.bin#000", "cafe"), Plain(L"Привет\\мир.txt#000", "mir"), Plain(L"データ\\ファイル.bin#001", "tail")},
         LUMORESULT_OK, {{"café.bin", "cafe"}, {"Привет/мир.txt", "mir"}, {"データ/ファイル.bin", head + "tail"}}},
        {{Plain(tex + L"#002", "end")}, LUMORESULT_NETWORK_ERROR, {{"data/textures/big_01.tex", "tex"}}},
        {{Plain(tex + L"#001", full), Plain(tex + L"#002", "end")}, LUMORESULT_BAD_FORMAT,
         {{"data/textures/big_01.tex", "tex"}}},
    };
    for (const auto& c : cases)
    {
        ScratchFolder install;
        WriteFile(install / "café.bin", "broken");
        WriteFile(install / "データ/ファイル.bin", head + "damaged");
        WriteFile(install / "data/textures/big_01.tex", "tex");
        RepairClient client;
        RepairAgainst(client, install.Path(), c.records);
        EXPECT_EQ(client.GetError(), c.error) << c.records.size();
        for (const auto& [path, content] : c.after)
            EXPECT_TRUE(ReadFile(install / path) == content) << path;
    }
}

TEST(RepairClient, RefusesBadSettings)
{
    RepairClient client;
    EXPECT_EQ(client.SetRootFolder(nullptr), LUMORESULT_INVALID_ARGUMENT);
    EXPECT_EQ(client.SetSummaryFile(L""), LUMORESULT_INVALID_ARGUMENT);
    // Without a root the run ends at once in state 1.
    RunToEnd(client);
    EXPECT_EQ(client.GetState(), 1);
    EXPECT_EQ(client.GetError(), LUMORESULT_INVALID_ARGUMENT);

    // A root that cannot be opened gives no door (the error names it), and without one the run
    // ends at once, before anything is scanned or connects.
    ScratchFolder scratch;
    WriteFile(scratch / "a.file", "x");
    for (const std::string& root : {scratch / "missing", scratch / "a.file"})
    {
        std::wstring error;
        const std::shared_ptr<LumoUtil::InstallDoor> door = LumoUtil::InstallDoor::Open(FromNativePath(root), error);
        EXPECT_EQ(door, nullptr) << root;
        EXPECT_NE(ToNativePath(error).find(root), std::string::npos) << ToNativePath(error);
        EXPECT_EQ(client.SetRootFolder(door), LUMORESULT_INVALID_ARGUMENT) << root;
        ASSERT_EQ(client.SetSummaryFile(FromNativePath(scratch / "repair.cks")), LUMORESULT_OK);
        ASSERT_EQ(client.SetServerAddress(SocketAddress{0x7F000001, 1}), LUMORESULT_OK);
        RunToEnd(client);
        EXPECT_EQ(client.GetState(), 1) << root;
        EXPECT_EQ(client.GetError(), LUMORESULT_INVALID_ARGUMENT) << root;
    }
}

// The installation folder is ours to name, not the server's: whatever its name holds, it is repaired.
TEST(RepairClient, RepairsAFolderOfAnyName)
{
    for (const char* name : {"Sollex Caf\u00e9", "\u00fc", "\"quoted\"", "ab", "\u30c7\u30fc\u30bf \u0434"})
    {
        SCOPED_TRACE(name);
        ScratchFolder scratch;
        const std::string reference = scratch / "reference", install = scratch / name;
        WriteFile(reference + "/data/a.bin", "right");
        WriteFile(install + "/data/a.bin", "wrong");
        RepairServer server(reference, scratch / "server.log");
        ASSERT_NE(server.Port(), 0);
        RepairClient client;
        const std::wstring root = FromNativePath(install);
        ASSERT_EQ(client.SetRootFolder(repairtest::DoorOf(root)), LUMORESULT_OK);
        ASSERT_EQ(client.SetSummaryFile(root + L"/repair.cks"), LUMORESULT_OK);
        ASSERT_EQ(client.SetServerAddress(SocketAddress{0x7F000001, uint16_t(server.Port())}), LUMORESULT_OK);
        RunToEnd(client);
        EXPECT_TRUE(client.Succeeded()) << client.GetError() << " in " << client.GetState();
        EXPECT_EQ(ReadFile(install + "/data/a.bin"), "right");
    }
}

// Whatever count the server announces, no file ends the run with zeros the server never sent, nor
// longer than it was and what was sent; such a file is cut back and the run fails. Gaps the records
// fill later in the run (the table orders "#1000" before "#101") are no fault.
TEST(RepairClient, NoFileEndsTheRunWithAHoleOrLongerThanWhatWasSent)
{
    using repairtest::Plain;
    const std::string old(100, 'o'), full(4 * kMiB, 'f'), half(2 * kMiB, 'h');
    const struct
    {
        const char* what;
        bool existed;
        std::vector<std::string> records;
        int64_t announced;
        LUMORESULT error;
        uint32_t counted;
        std::string after; // "-" when the file must not exist
    } cases[] = {
        {"a huge count and one far segment", true, {Plain(L"f.bin#1000000", "x")}, 0xFFFFFFFF,
         LUMORESULT_NETWORK_ERROR, 0, old},
        {"the same for a new file", false, {Plain(L"f.bin#1000000", "x")}, 0xFFFFFFFF, LUMORESULT_NETWORK_ERROR, 0, "-"},
        {"a segment skipped", true, {Plain(L"f.bin#000", full), Plain(L"f.bin#002", "end")}, -1,
         LUMORESULT_BAD_FORMAT, 1, full},
        {"a short segment before a later one", false, {Plain(L"f.bin#000", half), Plain(L"f.bin#001", "end")}, -1,
         LUMORESULT_BAD_FORMAT, 1, half},
        {"filled later in the run", false,
         {Plain(L"f.bin#002", "end"), Plain(L"f.bin#000", full), Plain(L"f.bin#001", full)}, -1, LUMORESULT_OK, 3,
         full + full + "end"},
        {"cut below a far segment", true, {Plain(L"f.bin#002", "x"), repairtest::Record(0, L"f.bin#001", 0, "")}, -1,
         LUMORESULT_BAD_FORMAT, 2, old},
        {"cut, then a gap", true, {repairtest::Record(0, L"f.bin#000", 0, ""), Plain(L"f.bin#001", "x")}, -1,
         LUMORESULT_BAD_FORMAT, 1, "-"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        ScratchFolder install;
        if (c.existed)
            WriteFile(install / "f.bin", old);
        RepairClient client;
        RepairAgainst(client, install.Path(), c.records, c.announced);
        EXPECT_EQ(client.GetError(), c.error);
        EXPECT_EQ(client.GetSegmentsReceived(), c.counted);
        if (c.after == "-")
            EXPECT_FALSE(fixtures::PathExists(install / "f.bin"));
        else if (!fixtures::PathExists(install / "f.bin"))
            ADD_FAILURE() << "f.bin is gone";
        else if (fs::file_size(install / "f.bin") != c.after.size()) // never read a file grown to terabytes
            ADD_FAILURE() << "f.bin has " << fs::file_size(install / "f.bin") << " bytes, not " << c.after.size();
        else
            EXPECT_TRUE(ReadFile(install / "f.bin") == c.after);
        // The saved summary holds nothing past what the file has.
        FileTreeSummary saved;
        LumoDataBufferFile file(FromNativePath(install / "repair.cks"), LumoDataBufferFile::MODE_READ);
        ASSERT_EQ(saved.Read(file), LUMORESULT_OK);
        for (const auto& [name, entry] : saved.Snapshot())
            EXPECT_LT(uint64_t(GetSegmentIndex(name)) * 4 * kMiB, c.after == "-" ? 0 : c.after.size() + 1) << name;
    }
}

// A record received but not written is not counted as updated.
TEST(RepairClient, ARecordThatCannotBeWrittenIsNotCounted)
{
    using repairtest::Plain;
    ScratchFolder install;
    WriteFile(install / "dir.bin/inside", "a folder where the server has a file");
    RepairClient client;
    RepairAgainst(client, install.Path(), {Plain(L"ok.bin#000", "ok"), Plain(L"dir.bin#000", "x"), Plain(L"z.bin#000", "z")});
    EXPECT_EQ(client.GetError(), LUMORESULT_NETWORK_ERROR);
    EXPECT_EQ(client.GetSegmentsTotal(), 3u);
    EXPECT_EQ(client.GetSegmentsReceived(), 2u); // ok.bin and z.bin, written after the failure
    EXPECT_EQ(ReadFile(install / "ok.bin"), "ok");
}

// A repaired file cut short with its time put back is found changed, and the next repair mends it.
TEST(RepairClient, AFileCutShortWithItsTimeKeptIsRepairedNextTime)
{
    Installation setup;
    RepairServer server(setup.reference, setup.scratch / "server.log", {"--managed", "*"});
    ASSERT_NE(server.Port(), 0);
    RepairClient client;
    setup.Configure(client, server.Port());
    RunToEnd(client);
    ASSERT_TRUE(client.Succeeded());

    const std::string big = setup.install + "/big.bin";
    struct stat status{};
    ASSERT_EQ(stat(big.c_str(), &status), 0);
    ASSERT_EQ(truncate(big.c_str(), 1000), 0);
    const timespec times[2] = {status.st_atim, status.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, big.c_str(), times, 0), 0);

    RunToEnd(client);
    EXPECT_TRUE(client.Succeeded()) << client.GetError();
    EXPECT_TRUE(ReadFile(big) == ReadFile(setup.reference + "/big.bin"));
}

// Segments of data that does not compress, sent compressed, land as sent.
TEST(RepairClient, CompressedSegmentsOfDataThatDoesNotShrink)
{
    ScratchFolder scratch;
    std::string noise(4 * kMiB + 3000000, '\0'); // a last segment of 3,000,000 bytes
    nettest::PatternStream(7).Fill(reinterpret_cast<uint8_t*>(noise.data()), noise.size() & ~size_t(7));
    WriteFile(scratch / "reference/noise.bin", noise);
    WriteFile(scratch / "install/noise.bin", "old");
    RepairServer server(scratch / "reference", scratch / "server.log", {"--compress"});
    ASSERT_NE(server.Port(), 0);
    RepairClient client;
    const std::wstring root = FromNativePath(scratch / "install");
    ASSERT_EQ(client.SetRootFolder(repairtest::DoorOf(root)), LUMORESULT_OK);
    ASSERT_EQ(client.SetSummaryFile(root + L"/repair.cks"), LUMORESULT_OK);
    ASSERT_EQ(client.SetServerAddress(SocketAddress{0x7F000001, uint16_t(server.Port())}), LUMORESULT_OK);
    RunToEnd(client);
    EXPECT_TRUE(client.Succeeded()) << client.GetError() << "\n" << server.Log();
    EXPECT_TRUE(ReadFile(scratch / "install/noise.bin") == noise);
}

// Threads the system refuses: started threads are counted, those of the test's own thread aside.
std::atomic<int> g_threadsAllowed{0};
std::atomic<int> g_threadsStarted{0};
std::thread::id g_testThread;
bool RefuseBeyondAllowed()
{
    if (std::this_thread::get_id() == g_testThread)
        return false;
    return g_threadsStarted++ >= g_threadsAllowed;
}

// A thread of the repair the system refuses ends the run with an error, never the process; nothing
// is written. The worker starts the stall watch first, then the slots' threads (an installation
// with nothing to checksum starts no checksum helpers).
TEST(RepairClient, AThreadTheSystemRefusesEndsTheRun)
{
    using repairtest::Plain;
    const struct { const char* what; bool refuseWorker; int allowed; bool compressed; int state; LUMORESULT error; } cases[] = {
        {"the worker", true, 0, false, 1, LUMORESULT_OUT_OF_SPACE},
        {"the stall watch", false, 0, false, 1, LUMORESULT_OUT_OF_SPACE},
        {"a write thread", false, 1, false, 5, LUMORESULT_NETWORK_ERROR},
        {"an inflate thread", false, 1, true, 5, LUMORESULT_NETWORK_ERROR},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        ScratchFolder install;
        const std::string data = "new";
        std::string container;
        {
            LumoDataBufferMemoryStatic source(const_cast<char*>(data.data()), uint32_t(data.size()));
            LumoDataBufferMemoryDynamic packed;
            ASSERT_EQ(LumoUtil::CompressData(packed, source), LUMORESULT_OK);
            container.resize(size_t(packed.GetSize()));
            packed.SetPosition(0);
            packed.ReadData(container.data(), uint32_t(container.size()));
        }
        const std::string record = c.compressed ? repairtest::Record(1, L"a.bin#000", repairtest::ChecksumOf(data), container)
                                                : Plain(L"a.bin#000", data);
        g_testThread = c.refuseWorker ? std::thread::id() : std::this_thread::get_id();
        g_threadsAllowed = c.allowed;
        g_threadsStarted = 0;
        OS::SetThreadRefusal(&RefuseBeyondAllowed);
        RepairClient client;
        RepairAgainst(client, install.Path(), {record});
        OS::SetThreadRefusal(nullptr);
        EXPECT_EQ(client.GetState(), c.state);
        EXPECT_EQ(client.GetError(), c.error);
        EXPECT_FALSE(client.Succeeded());
        EXPECT_FALSE(fixtures::PathExists(install / "a.bin"));
    }
}

// What a run does to one path, followed to the end: the file zone/thing (4 MiB + 4096 bytes) is
// deleted (D), cut at its second segment (C), replaced by a folder for zone/thing/part.bin (F), or
// written anew with a short first segment (W), in every order of every two or more of those
// records. Each record either does what it says or fails with a line: a file cannot hold a folder's
// file, a folder cannot be cut, deleted or written as a file. The end-of-run check never mistakes
// any of it for zeros nobody sent.
TEST(RepairClient, FollowsEachPathThroughDeletesCutsFoldersAndRewrites)
{
    using repairtest::Plain;
    const std::string old = fixtures::PatternBytes(4 * kMiB + 4096, 5);
    const std::map<char, std::string> records = {
        {'D', repairtest::Record(0, L"zone\\thing#000", 0, "")},
        {'C', repairtest::Record(0, L"zone\\thing#001", 0, "")},
        {'F', Plain(L"zone\\thing\\part.bin#000", "part")},
        {'W', Plain(L"zone\\thing#000", "new")},
    };
    // What each record leaves of zone/thing: "old", "cut", "new", "folder" or "-" (nothing); "!"
    // when the record must fail and leave it as it was.
    auto apply = [](char record, const std::string& now) -> std::string {
        switch (record)
        {
        case 'D': return now == "folder" ? "!" : "-";
        case 'C': return now == "folder" ? "!" : now == "old" ? "cut" : now;
        case 'F': return now == "-" || now == "folder" ? "folder" : "!";
        default: return now == "folder" ? "!" : "new";
        }
    };
    std::vector<std::string> orders;
    for (int subset = 0; subset < 16; ++subset)
    {
        std::string order;
        for (int bit = 0; bit < 4; ++bit)
            if (subset & (1 << bit))
                order += "CDFW"[bit];
        if (order.size() < 2)
            continue;
        do
            orders.push_back(order);
        while (std::next_permutation(order.begin(), order.end()));
    }
    ASSERT_EQ(orders.size(), 60u);
    for (const std::string& order : orders)
    {
        SCOPED_TRACE(order);
        std::string state = "old";
        uint32_t done = 0;
        std::vector<std::string> sent;
        for (char record : order)
        {
            sent.push_back(records.at(record));
            const std::string next = apply(record, state);
            if (next != "!")
            {
                state = next;
                ++done;
            }
        }
        ScratchFolder install;
        WriteFile(install / "zone/thing", old);
        RepairClient client;
        fixtures::StdoutCapture output;
        RepairAgainst(client, install.Path(), sent);
        const std::string lines = LinesAndReasons(output, client);
        EXPECT_EQ(client.GetError(), done == order.size() ? LUMORESULT_OK : LUMORESULT_NETWORK_ERROR) << lines;
        EXPECT_EQ(client.GetSegmentsReceived(), done) << lines;
        EXPECT_EQ(lines.find("zeros"), std::string::npos) << lines;
        const std::string thing = install / "zone/thing";
        if (state == "-")
            EXPECT_FALSE(fixtures::PathExists(thing));
        else if (state == "folder")
            EXPECT_EQ(ReadFile(thing + "/part.bin"), "part");
        else
            EXPECT_TRUE(ReadFile(thing) == (state == "old" ? old : state == "cut" ? old.substr(0, 4 * kMiB) : "new"))
                << state;
    }
}

// A file holds its old bytes up to its old end and nothing past it: a segment that starts past the
// old end leaves zeros from there unless the segment the old end falls in was sent too. The file
// is cut back and the run fails, however many records were announced.
TEST(RepairClient, OnlyTheBytesBeforeAFilesOldEndAreHeld)
{
    using repairtest::Plain;
    const std::string full(4 * kMiB, 'f'), mib(kMiB, 'm'), segmentAndABit = std::string(4 * kMiB + 5, 'o');
    const struct
    {
        const char* what;
        std::string before;
        std::vector<std::string> records;
        int64_t announced;
        LUMORESULT error;
        uint32_t counted;
        std::string after;
    } cases[] = {
        {"a far segment after three bytes", "hi\n", {Plain(L"data\\a.txt#001", "FAR")}, -1, LUMORESULT_BAD_FORMAT, 0,
         "hi\n"},
        {"the same after 1 MiB", mib, {Plain(L"data\\a.txt#001", "FAR")}, -1, LUMORESULT_BAD_FORMAT, 0, mib},
        {"a count smaller than the records sent", "hi\n",
         {Plain(L"data\\a.txt#001", "FAR"), Plain(L"data\\a.txt#000", full)}, 1, LUMORESULT_BAD_FORMAT, 0, "hi\n"},
        {"an old end inside the second segment", segmentAndABit, {Plain(L"data\\a.txt#002", "FAR")}, -1,
         LUMORESULT_BAD_FORMAT, 0, segmentAndABit},
        {"the old end's segment sent too", "hi\n", {Plain(L"data\\a.txt#000", full), Plain(L"data\\a.txt#001", "FAR")},
         -1, LUMORESULT_OK, 2, full + "FAR"},
        {"an old end on a segment's border", full, {Plain(L"data\\a.txt#001", "FAR")}, -1, LUMORESULT_OK, 1,
         full + "FAR"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        ScratchFolder install;
        WriteFile(install / "data/a.txt", c.before);
        RepairClient client;
        fixtures::StdoutCapture output;
        RepairAgainst(client, install.Path(), c.records, c.announced);
        const std::string lines = LinesAndReasons(output, client);
        EXPECT_EQ(client.GetError(), c.error) << lines;
        EXPECT_EQ(client.GetSegmentsReceived(), c.counted);
        ASSERT_EQ(fs::file_size(install / "data/a.txt"), c.after.size()) << lines;
        EXPECT_TRUE(ReadFile(install / "data/a.txt") == c.after);
        if (c.error == LUMORESULT_BAD_FORMAT)
        {
            const uint64_t end = (c.before.size() > 4 * kMiB ? 8 : 4) * kMiB + 3;
            EXPECT_NE(lines.find("/data/a.txt would end at byte " + std::to_string(end) + ", but from byte " +
                                 std::to_string(c.before.size()) + " on it holds zeros"),
                      std::string::npos)
                << lines;
        }
    }
}

// A cut or delete record that meets a folder leaves the folder, says why, and is not counted; the
// records around it still are.
TEST(RepairClient, ACutOrDeleteThatMeetsAFolderIsNotCounted)
{
    using repairtest::Plain;
    for (const wchar_t* name : {L"data#000", L"data#001", L"data\\deeper#000"})
    {
        SCOPED_TRACE(ToNativePath(name));
        ScratchFolder install;
        WriteFile(install / "data/deeper/x.txt", "kept");
        RepairClient client;
        fixtures::StdoutCapture output;
        RepairAgainst(client, install.Path(),
                      {Plain(L"a.bin#000", "a"), repairtest::Record(0, name, 0, ""), Plain(L"b.bin#000", "b")});
        const std::string lines = LinesAndReasons(output, client);
        EXPECT_EQ(client.GetError(), LUMORESULT_NETWORK_ERROR);
        EXPECT_EQ(client.GetSegmentsReceived(), 2u);
        EXPECT_EQ(ReadFile(install / "data/deeper/x.txt"), "kept");
        EXPECT_EQ(ReadFile(install / "b.bin"), "b");
        EXPECT_NE(lines.find(": Is a directory\n"), std::string::npos) << lines;
    }
}

// repair-tool repairs big.bin (1 MiB) from four 4 MiB segments on a disk of 6 MiB: the disk is
// named once, the records after the one that found it full are not tried, the file keeps the
// segment written and nothing of the failed one, and no line blames the server for zeros. The disk
// is a tmpfs in a user and mount namespace of a child process; where none can be made, the test
// is skipped.
TEST(RepairClient, AFullDiskIsNamedOnceAndStopsTheRepair)
{
    ScratchFolder scratch;
    const std::string disk = scratch / "disk", install = disk + "/install", log = scratch / "tool.log",
                      result = scratch / "result";
    ASSERT_TRUE(fs::create_directory(disk));
    const std::string segment = fixtures::PatternBytes(4 * kMiB, 9), old(kMiB, 'o');
    std::string answer("\x06\0\0\0", 4);
    repairtest::PutU32(answer, 4);
    for (int i = 0; i < 4; ++i)
        answer += repairtest::Plain(L"big.bin#00" + std::to_wstring(i), segment);
    nettest::LoopbackPeer server([&](int fd) {
        char chunk[4096];
        if (recv(fd, chunk, 4, MSG_WAITALL) == 4 && nettest::SendAll(fd, answer.data(), answer.size()))
            while (recv(fd, chunk, sizeof chunk, 0) > 0)
                continue;
    });
    // Everything the child needs is made before it exists: it only makes system calls.
    const std::string tool = std::string(LUMO_BIN_DIR) + "/repair-tool";
    const std::string hostPort = "127.0.0.1:" + std::to_string(server.Address().port);
    const std::string uidMap = std::to_string(getuid()) + " " + std::to_string(getuid()) + " 1";
    const std::string gidMap = std::to_string(getgid()) + " " + std::to_string(getgid()) + " 1";
    const std::string big = install + "/big.bin";
    char* const argv[] = {const_cast<char*>(tool.c_str()), const_cast<char*>(install.c_str()),
                          const_cast<char*>(hostPort.c_str()), nullptr};
    fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        auto put = [](const char* path, std::string_view text) {
            const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            const bool ok = fd >= 0 && write(fd, text.data(), text.size()) == ssize_t(text.size());
            if (fd >= 0)
                close(fd);
            return ok;
        };
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 || !put("/proc/self/setgroups", "deny") ||
            !put("/proc/self/uid_map", uidMap) || !put("/proc/self/gid_map", gidMap) ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=6m") != 0)
            _exit(77);
        if (mkdir(install.c_str(), 0755) != 0 || !put(big.c_str(), old))
            _exit(3);
        const pid_t tooling = fork();
        if (tooling == 0)
        {
            const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(out, 2);
            execv(tool.c_str(), argv);
            _exit(127);
        }
        int status = 0;
        struct stat after{};
        if (tooling < 0 || waitpid(tooling, &status, 0) != tooling || stat(big.c_str(), &after) != 0)
            _exit(4);
        char text[64];
        const int length = snprintf(text, sizeof text, "%d %lld", WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                                    static_cast<long long>(after.st_size));
        _exit(put(result.c_str(), std::string_view(text, size_t(length))) ? 0 : 5);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no file system of its own can be made here";
    ASSERT_EQ(WEXITSTATUS(status), 0);
    const std::string lines = ReadFile(log);
    EXPECT_EQ(ReadFile(result), "1 " + std::to_string(4 * kMiB)) << lines;
    size_t named = 0;
    for (size_t at = lines.find("No space left on device"); at != std::string::npos;
         at = lines.find("No space left on device", at + 1))
        ++named;
    EXPECT_EQ(named, 1u) << lines;
    EXPECT_NE(lines.find("big.bin: No space left on device"), std::string::npos) << lines;
    EXPECT_EQ(lines.find("zeros"), std::string::npos) << lines;
    EXPECT_NE(lines.find("(1 / 4 segments updated.)"), std::string::npos) << lines;
}

} // namespace
