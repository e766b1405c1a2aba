// What a repair does to the installation's names: links, hard links, FIFOs and folders standing
// where the repair keeps its summary, where a record writes, or in the name a record gives. No
// write lands outside the installation or in a second name of a file, nothing of the patcher's own
// becomes a folder, and a stopped repair is put right on the file it really wrote.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "BuildConfig.h"
#include "lumo/net/RepairClient.h"
#include "lumo/net/RepairJournal.h"
#include "platform/NativePath.h"
#include "platform/Spawn.h"
#include "tests/fixtures/FakeInstall.h"
#include "tests/fixtures/OutputCapture.h"
#include "tests/fixtures/RepairJournalText.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/WaitFor.h"
#include "tests/lumo_net/LoopbackPeer.h"
#include "tests/lumo_net/RepairAgainst.h"
#include "tests/lumo_net/RepairServerProcess.h"
#include "tests/lumo_net/RepairWire.h"
#include "tests/lumo_net/FolderDoor.h"

namespace
{
using fixtures::PathExists;
using fixtures::ReadFile;
using fixtures::ScratchFolder;
using fixtures::WriteFile;
using repairtest::Plain;
using repairtest::Record;
using repairtest::RepairAgainst;
namespace fs = std::filesystem;

constexpr size_t kMiB = 1u << 20;

mode_t ModeOf(const std::string& path)
{
    struct stat status{};
    return ::lstat(path.c_str(), &status) == 0 ? status.st_mode : 0;
}

// Opens and closes every FIFO below root with both ends, so that a run blocked in an open of one
// goes on (and the test fails instead of hanging).
void ReleaseFifos(const std::string& root)
{
    for (const auto& item : fs::recursive_directory_iterator(root))
        if (item.is_fifo())
        {
            const int fd = ::open(item.path().c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0)
                ::close(fd);
        }
}

// An honest repair of data/a.bin, whatever stands where the summary and its temporary file go: the
// file is repaired, nothing outside changes, the summary ends as a regular file of its own, and
// what could not be used or saved is said.
TEST(RepairInstallAccess, TheSummaryIsOnlyEverARegularFileOfItsOwn)
{
    const struct
    {
        const char* what;
        void (*plant)(const std::string& install, const std::string& victim);
        const char* line; // expected in the run's output ("" when none is needed)
        bool saved;
    } cases[] = {
        {"repair.cks.tmp a link to a file outside",
         [](const std::string& install, const std::string& victim) {
             fs::create_symlink(victim, install + "/repair.cks.tmp");
         },
         "", true},
        {"repair.cks a link to a file outside",
         [](const std::string& install, const std::string& victim) {
             fs::create_symlink(victim, install + "/repair.cks");
         },
         "is a symbolic link", true},
        {"repair.cks a FIFO",
         [](const std::string& install, const std::string&) {
             ASSERT_EQ(::mkfifo((install + "/repair.cks").c_str(), 0644), 0);
         },
         "is a FIFO", true},
        {"repair.cks.tmp a FIFO",
         [](const std::string& install, const std::string&) {
             ASSERT_EQ(::mkfifo((install + "/repair.cks.tmp").c_str(), 0644), 0);
         },
         "", true},
        {"repair.cks.tmp a folder with something in it",
         [](const std::string& install, const std::string&) { WriteFile(install + "/repair.cks.tmp/x", "x"); },
         "The summary cannot be saved", false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        ScratchFolder scratch;
        const std::string reference = scratch / "reference", install = scratch / "install",
                          victim = scratch / "victim.txt";
        WriteFile(reference + "/data/a.bin", "right");
        WriteFile(install + "/data/a.bin", "wrong");
        WriteFile(victim, "the user's own");
        c.plant(install, victim);
        repairtest::RepairServer server(reference, scratch / "server.log");
        ASSERT_NE(server.Port(), 0);
        RepairClient client;
        fixtures::StdoutCapture output;
        const std::wstring root = FromNativePath(install);
        ASSERT_EQ(client.SetRootFolder(repairtest::DoorOf(root)), LUMORESULT_OK);
        ASSERT_EQ(client.SetSummaryFile(root + L"/repair.cks"), LUMORESULT_OK);
        ASSERT_EQ(client.SetServerAddress(SocketAddress{0x7F000001, uint16_t(server.Port())}), LUMORESULT_OK);
        client.Start();
        const bool ended = fixtures::WaitFor([&] { return !client.IsRunning(); });
        if (!ended)
            ReleaseFifos(install);
        const std::string lines = output.Text() + repairtest::Reasons(client);
        ASSERT_TRUE(ended) << "the run hung on what stands in the summary's place";
        EXPECT_TRUE(client.Succeeded()) << client.GetError() << " in " << client.GetState() << "\n" << lines;
        EXPECT_EQ(ReadFile(install + "/data/a.bin"), "right");
        EXPECT_EQ(ReadFile(victim), "the user's own");
        EXPECT_EQ(S_ISREG(ModeOf(install + "/repair.cks")), c.saved);
        if (c.saved)
        {
            EXPECT_EQ(ReadFile(install + "/repair.cks").substr(0, 4), "0stf");
        }
        if (*c.line)
        {
            EXPECT_NE(lines.find(c.line), std::string::npos) << lines;
        }
    }
}

// A record writes, cuts or extends a file with more than one name: the name the record gives gets
// its own copy first, and every other name (a backup made with hard links outside the
// installation, or a second save inside it) keeps its content and its mode.
TEST(RepairInstallAccess, ARecordNeverChangesAFilesOtherNames)
{
    const std::string five = std::string(5 * kMiB, 'o');
    const struct
    {
        const char* what;
        const char* other; // the second name, relative to the scratch folder
        std::string before;
        mode_t mode;
        std::string record;
        std::string after; // of data/hl.txt
        LUMORESULT error;
    } cases[] = {
        {"a segment written", "backup-hl.txt", "old text", 0644, Plain(L"data\\hl.txt#000", "server"), "server",
         LUMORESULT_OK},
        {"a cut", "backup-hl.txt", five, 0644, Record(0, L"data\\hl.txt#001", 0, ""), five.substr(0, 4 * kMiB),
         LUMORESULT_OK},
        {"a read-only file written", "backup-hl.txt", "old text", 0444, Plain(L"data\\hl.txt#000", "server"), "server",
         LUMORESULT_OK},
        {"a far segment cut back at the end", "backup-hl.txt", "old text", 0644, Plain(L"data\\hl.txt#001", "far"),
         "old text", LUMORESULT_BAD_FORMAT},
        {"two saves inside the installation", "install/data/other.sav", "old save", 0644,
         Plain(L"data\\hl.txt#000", "server"), "server", LUMORESULT_OK},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        ScratchFolder scratch;
        const std::string install = scratch / "install", other = scratch / c.other;
        WriteFile(other, c.before);
        ASSERT_EQ(::chmod(other.c_str(), c.mode), 0);
        fs::create_directories(install + "/data");
        fs::create_hard_link(other, install + "/data/hl.txt");
        RepairClient client;
        fixtures::StdoutCapture output;
        RepairAgainst(client, install, {c.record});
        const std::string lines = output.Text() + repairtest::Reasons(client);
        EXPECT_EQ(client.GetError(), c.error) << lines;
        EXPECT_TRUE(ReadFile(install + "/data/hl.txt") == c.after);
        EXPECT_TRUE(ReadFile(other) == c.before) << "the other name changed";
        EXPECT_EQ(ModeOf(other) & 07777, c.mode);
    }
}

// Names that are, or lead through a link inside the installation to, a file the patcher keeps for
// itself (in any part of the name) are refused with a line, and nothing is made: no folder in the
// place of a journal, the database note, the summary's temporary file or a backup.
TEST(RepairInstallAccess, NoRecordMakesAFolderOfThePatchersOwnNames)
{
    const wchar_t* names[] = {
        L"patch.journal\\x#000",       L"patch.dbstopped\\x#000",          L"repair.cks.tmp\\x#000",
        L"data\\b.bin.pbk\\x#000",     L"alias\\patch.journal\\x#000",     L"alias\\Patch.Journal\\x#000",
        L"alias\\repair.cks.tmp#000",  L"datalink\\b.bin.pbk\\x#000",      L"datalink\\B.BIN.PBK#000",
    };
    for (const wchar_t* name : names)
    {
        SCOPED_TRACE(ToNativePath(name));
        ScratchFolder scratch;
        const std::string install = scratch / "install";
        WriteFile(install + "/data/b.bin", "game");
        fs::create_directory_symlink(".", install + "/alias");
        fs::create_directory_symlink("data", install + "/datalink");
        const fixtures::TreeContent before = fixtures::SnapshotTree(install);
        RepairClient client;
        fixtures::StdoutCapture output;
        RepairAgainst(client, install, {Plain(name, "planted")});
        const std::string lines = output.Text() + repairtest::Reasons(client);
        EXPECT_EQ(client.GetError(), LUMORESULT_NETWORK_ERROR) << lines;
        EXPECT_EQ(client.GetSegmentsReceived(), 0u);
        EXPECT_NE(lines.find("kept for"), std::string::npos) << lines;
        fixtures::TreeContent after = fixtures::SnapshotTree(install);
        after.erase("repair.cks");
        EXPECT_EQ(fixtures::DescribeTreeDifference(before, after), "");
        for (const char* own : {"patch.journal", "patch.dbstopped", "repair.cks.tmp", "data/b.bin.pbk"})
            EXPECT_FALSE(PathExists(install + "/" + own)) << own;
    }
}

// The journal of a run killed after a record that named a link inside the installation names the
// file really written, so the next start cuts that file back.
TEST(RepairInstallAccess, AKilledRunIsPutRightOnTheFileALinkLedTo)
{
    const struct
    {
        const char* what;
        const char* link;   // relative to the installation
        const char* target; // the link's content
        std::wstring record;
    } cases[] = {
        {"a link to the file", "alias.bin", "data/b.bin", L"alias.bin#001"},
        {"a link to its folder", "d", "data", L"d\\B.bin#001"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        ScratchFolder scratch;
        const std::string install = scratch / "install";
        WriteFile(install + "/data/b.bin", "old bytes");
        const std::string old = ReadFile(install + "/data/b.bin");
        fs::create_symlink(c.target, install + "/" + c.link);
        // The server sends the record and three small ones behind it (so that the slots write it),
        // and holds the connection, announcing one more.
        std::string answer("\x06\0\0\0", 4);
        repairtest::PutU32(answer, 5);
        answer += Plain(c.record, "far");
        for (const wchar_t* small : {L"s1.txt#000", L"s2.txt#000", L"s3.txt#000"})
            answer += Plain(small, "s");
        nettest::LoopbackPeer server([&](int fd) {
            char chunk[4096];
            if (recv(fd, chunk, 4, MSG_WAITALL) == 4 && nettest::SendAll(fd, answer.data(), answer.size()))
                while (recv(fd, chunk, sizeof chunk, 0) > 0)
                    continue;
        });
        platform::SpawnRequest request;
        request.argv = {"/bin/sh", "-c",
                        "exec '" + std::string(LUMO_BIN_DIR) + "/repair-tool' '" + install + "' 127.0.0.1:" +
                            std::to_string(server.Address().port) + " > '" + scratch.Path() + "/tool.log' 2>&1"};
        auto child = platform::SpawnedChild::Spawn(request, nullptr);
        ASSERT_TRUE(child);
        const bool grown = fixtures::WaitFor(
            [&] { return fs::file_size(install + "/data/b.bin") > old.size() || child->Wait(0); });
        kill(child->Pid(), SIGKILL);
        child->Wait(10000);
        ASSERT_TRUE(grown && fs::file_size(install + "/data/b.bin") > old.size()) << ReadFile(scratch / "tool.log");

        const std::string journal = ReadFile(install + "/repair.journal");
        EXPECT_NE(journal.find(" data/b.bin\n"), std::string::npos) << journal;
        EXPECT_EQ(journal.find(c.link + std::string("\n")), std::string::npos) << journal;
        std::vector<RepairRecoveryLine> lines;
        EXPECT_TRUE(RecoverStoppedRepair(*repairtest::DoorOf(install), lines));
        EXPECT_EQ(fs::file_size(install + "/data/b.bin"), old.size());
        EXPECT_TRUE(fs::is_symlink(install + "/" + c.link));
    }
}

// Two records for one file under two names (a link inside the installation and the file's own
// name) are one file to the end-of-run check: the segment the first wrote lets the second
// lengthen the file, and nothing is cut back.
TEST(RepairInstallAccess, TheEndOfRunCheckKnowsAFileByWhatItsNamesReach)
{
    const std::string full(4 * kMiB, 'f');
    const struct
    {
        const char* what;
        std::vector<std::string> records;
        LUMORESULT error;
        std::string after;
    } cases[] = {
        {"own name, then the link", {Plain(L"data\\b.bin#000", full), Plain(L"alias.bin#001", "tail")}, LUMORESULT_OK,
         full + "tail"},
        {"the link, then own name", {Plain(L"alias.bin#000", full), Plain(L"data\\b.bin#001", "tail")}, LUMORESULT_OK,
         full + "tail"},
        {"a far segment through the link alone", {Plain(L"alias.bin#001", "tail"), Plain(L"c.bin#000", "c")},
         LUMORESULT_BAD_FORMAT, "old"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        ScratchFolder install;
        WriteFile(install / "data/b.bin", "old");
        fs::create_symlink("data/b.bin", install / "alias.bin");
        RepairClient client;
        fixtures::StdoutCapture output;
        RepairAgainst(client, install.Path(), c.records);
        const std::string lines = output.Text() + repairtest::Reasons(client);
        EXPECT_EQ(client.GetError(), c.error) << lines;
        EXPECT_TRUE(ReadFile(install / "data/b.bin") == c.after) << lines;
        EXPECT_TRUE(fs::is_symlink(install / "alias.bin"));
    }
}

// A name on disk that holds "\" (a link's target, a folder named so) is never walked again as two
// names: an honest server's record for a file behind such a link is refused, and nothing outside the
// installation is made, written or removed.
TEST(RepairInstallAccess, ARecordThroughANameHoldingABackslashNeverLeadsOut)
{
    const struct
    {
        const char* what;
        const char* target;      // of the link install/x
        const char* folderInside; // made inside under that very name (nullptr: none)
        bool victimStands;        // outside/victim.txt exists before the run
    } cases[] = {
        {"..\\outside, a folder of that name inside, the victim there", "..\\outside", "..\\outside", true},
        {"..\\outside, a folder of that name inside, no victim yet", "..\\outside", "..\\outside", false},
        {"a\\..\\..\\outside, a folder of that name inside", "a\\..\\..\\outside", "a\\..\\..\\outside", true},
        {"a\\..\\..\\outside, nothing of that name inside", "a\\..\\..\\outside", nullptr, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        ScratchFolder scratch;
        const std::string reference = scratch / "reference", install = scratch / "install",
                          outside = scratch / "outside";
        WriteFile(reference + "/x/victim.txt", "the server's");
        WriteFile(install + "/data/a.bin", "game");
        fs::create_directories(install + "/a");
        fs::create_directories(outside);
        if (c.folderInside)
            fs::create_directories(install + "/" + c.folderInside);
        if (c.victimStands)
            WriteFile(outside + "/victim.txt", "the user's own");
        fs::create_symlink(c.target, install + "/x");
        const fixtures::TreeContent before = fixtures::SnapshotTree(outside);
        repairtest::RepairServer server(reference, scratch / "server.log");
        ASSERT_NE(server.Port(), 0);
        RepairClient client;
        fixtures::StdoutCapture output;
        const std::wstring root = FromNativePath(install);
        ASSERT_EQ(client.SetRootFolder(repairtest::DoorOf(root)), LUMORESULT_OK);
        ASSERT_EQ(client.SetSummaryFile(root + L"/repair.cks"), LUMORESULT_OK);
        ASSERT_EQ(client.SetServerAddress(SocketAddress{0x7F000001, uint16_t(server.Port())}), LUMORESULT_OK);
        repairtest::RunToEnd(client);
        const std::string lines = output.Text() + repairtest::Reasons(client);
        EXPECT_FALSE(client.Succeeded()) << lines;
        EXPECT_EQ(client.GetSegmentsReceived(), 0u) << lines;
        EXPECT_NE(lines.find("which an installation cannot hold"), std::string::npos) << lines;
        EXPECT_EQ(fixtures::DescribeTreeDifference(before, fixtures::SnapshotTree(outside)), "");
        EXPECT_TRUE(fs::is_symlink(install + "/x"));
    }
}

// A planted record of a stopped repair that names a file through a link whose target holds "\"
// cuts or removes nothing outside: the record is refused whole and stays for the user to delete.
TEST(RepairInstallAccess, ARecordedNameHoldingABackslashIsRefused)
{
    const struct
    {
        const char* what;
        const char* line;
        const char* target;
    } cases[] = {
        {"a cut", "LENGTH 0 x/victim.txt", "..\\outside"},
        {"a cut, named with \\", "LENGTH 0 x\\victim.txt", "..\\outside"},
        {"a removal", "NEW x/victim.txt", "..\\outside"},
        {"a removal through a\\..\\..\\outside", "NEW x/victim.txt", "a\\..\\..\\outside"},
        {"a removal below the link", "NEW x/sub/victim.txt", "..\\outside"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        ScratchFolder scratch;
        const std::string install = scratch / "install", outside = scratch / "outside";
        fs::create_directories(install + "/" + c.target);
        fs::create_directories(install + "/a");
        WriteFile(outside + "/victim.txt", "the user's own");
        WriteFile(outside + "/sub/victim.txt", "the user's own");
        fs::create_symlink(c.target, install + "/x");
        const std::string journal = fixtures::RepairJournalText({"BEGIN", c.line});
        WriteFile(install + "/repair.journal", journal);
        const fixtures::TreeContent before = fixtures::SnapshotTree(outside);
        std::vector<RepairRecoveryLine> lines;
        EXPECT_FALSE(RecoverStoppedRepair(*repairtest::DoorOf(install), lines));
        std::string text;
        for (const RepairRecoveryLine& line : lines)
            text += ToNativePath(line.text) + "\n";
        EXPECT_NE(text.find("names no file a repair writes"), std::string::npos) << text;
        EXPECT_EQ(fixtures::DescribeTreeDifference(before, fixtures::SnapshotTree(outside)), "");
        EXPECT_EQ(ReadFile(install + "/repair.journal"), journal);
    }
}

// Makes a listening-free Unix socket at path (through the folder's descriptor, since a socket's
// address holds little more than 100 bytes). False when it cannot.
bool MakeSocket(const std::string& path)
{
    const std::string folder = fs::path(path).parent_path(), name = fs::path(path).filename();
    const int dir = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "/proc/self/fd/%d/%s", dir, name.c_str());
    const bool made = dir >= 0 && fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    ::close(dir);
    return made;
}

// A FIFO, socket or device standing where a record writes or cuts a file is named for what it is
// and left as it is (a FIFO is never opened: it would hold the run).
TEST(RepairInstallAccess, WhatStandsInAFilesPlaceIsNamed)
{
    const struct
    {
        const char* what;
        bool (*make)(const std::string& path);
        mode_t type;
        const char* text;
    } kinds[] = {
        {"a FIFO", [](const std::string& path) { return ::mkfifo(path.c_str(), 0644) == 0; }, S_IFIFO,
         "is a FIFO (named pipe), not a file"},
        {"a socket", &MakeSocket, S_IFSOCK, "is a socket, not a file"},
        // Only where this user may make one (root): a test never needs it.
        {"a device", [](const std::string& path) { return ::mknod(path.c_str(), S_IFCHR | 0644, makedev(1, 3)) == 0; },
         S_IFCHR, "is a device, not a file"},
    };
    const struct
    {
        const char* what;
        std::string record;
        const char* line;
    } records[] = {
        {"a segment written", Plain(L"data\\x.bin#000", "new"), "to write the repair's data into it: "},
        {"a cut", Record(0, L"data\\x.bin#001", 0, ""), " short: "},
    };
    for (const auto& kind : kinds)
        for (const auto& record : records)
        {
            SCOPED_TRACE(std::string(kind.what) + ", " + record.what);
            ScratchFolder scratch;
            const std::string install = scratch / "install";
            fs::create_directories(install + "/data");
            if (!kind.make(install + "/data/x.bin"))
                continue;
            RepairClient client;
            fixtures::StdoutCapture output;
            // A second record, so that the cut's index lies within what the server may send.
            RepairAgainst(client, install, {record.record, Plain(L"other.bin#000", "o")});
            const std::string lines = output.Text() + repairtest::Reasons(client);
            EXPECT_EQ(client.GetError(), LUMORESULT_NETWORK_ERROR) << lines;
            EXPECT_NE(lines.find(std::string(record.line) + "\"" + install + "/data/x.bin\" " + kind.text),
                      std::string::npos)
                << lines;
            EXPECT_EQ(lines.find("Invalid argument"), std::string::npos) << lines;
            EXPECT_EQ(ModeOf(install + "/data/x.bin") & S_IFMT, kind.type);
        }
}

} // namespace
