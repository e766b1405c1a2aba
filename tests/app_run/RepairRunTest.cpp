// The repair run: stage lines, failure lines, the gauge, cancel and the "IsPatching" marker with a
// scripted client, then whole runs against the repair-server double.

#include "app/run/RepairRun.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "app/core/PatcherOptions.h"
#include "app/run/PatchRun.h"
#include "app/run/StartupRecovery.h"
#include "lumo/files/InstallFolder.h"
#include "lumo/text/StringUtil.h"
#include "platform/NativePath.h"
#include "tests/app_run/RecordingHost.h"
#include "tests/app_run/RunFixture.h"
#include "tests/fixtures/FakeInstall.h"
#include "tests/fixtures/RepairJournalText.h"
#include "tests/fixtures/ScopedEnv.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/lumo_net/FolderDoor.h"
#include "tests/lumo_net/RepairServerProcess.h"

namespace apprun {
namespace {

using LumoPatch::RepairClientControl;

struct Poll
{
    int state;
    bool running = true;
    uint32_t received = 0;
    uint32_t total = 0;
    LUMORESULT error = LUMORESULT_OK;
};

// Publishes one scripted poll per IsRunning call; the last one stays. Cancel publishes afterCancel
// (when given) for good: what a client shows once it has stopped.
class ScriptedClient : public RepairClientControl
{
public:
    ScriptedClient(std::vector<Poll> polls, bool& started, bool& destroyed, std::vector<std::wstring>* files = nullptr,
                   std::optional<Poll> afterCancel = {})
        : m_polls(std::move(polls)), m_started(started), m_destroyed(destroyed), m_files(files),
          m_afterCancel(afterCancel)
    {
    }
    void Cancel() override
    {
        if (!m_afterCancel)
            return;
        m_polls.push_back(*m_afterCancel);
        m_current = m_next = m_polls.size() - 1;
        m_afterCancel.reset();
    }
    ~ScriptedClient() override { m_destroyed = true; }
    LUMORESULT SetRootFolder(std::shared_ptr<LumoUtil::InstallDoor>) override { return LUMORESULT_OK; }
    LUMORESULT SetSummaryFile(const std::wstring& path) override
    {
        if (m_files)
            m_files->push_back(path);
        return LUMORESULT_OK;
    }
    LUMORESULT SetServerAddress(const SocketAddress&) override { return LUMORESULT_OK; }
    LUMORESULT SetExcludedPaths(const std::set<std::wstring>& paths) override
    {
        if (m_files)
            m_files->insert(m_files->end(), paths.begin(), paths.end());
        return LUMORESULT_OK;
    }
    void Start() override { m_started = true; }
    bool IsRunning() const override
    {
        if (m_next < m_polls.size())
            m_current = m_next++;
        return Now().running;
    }
    int GetState() const override { return Now().state; }
    float GetProgress() const override { return Now().total ? float(Now().received) / float(Now().total) : 0.0f; }
    uint32_t GetSegmentsReceived() const override { return Now().received; }
    uint32_t GetSegmentsTotal() const override { return Now().total; }
    bool Succeeded() const override { return !Now().running && Now().state == 6 && Now().error == 0; }
    LUMORESULT GetError() const override { return Now().error; }

private:
    const Poll& Now() const { return m_polls[m_current]; }
    std::vector<Poll> m_polls;
    mutable size_t m_current = 0;
    mutable size_t m_next = 0;
    bool& m_started;
    bool& m_destroyed;
    std::vector<std::wstring>* m_files;  // the summary file, then the excluded paths
    std::optional<Poll> m_afterCancel;
};

class RepairRunTest : public ::testing::Test
{
protected:
    bool Run(std::vector<Poll> polls, bool resolves = true, std::optional<Poll> afterCancel = {})
    {
        LumoPatch::RepairRunSeams seams;
        seams.resolveServer = [resolves](SocketAddress&, std::vector<std::wstring>&) { return resolves; };
        seams.makeClient = [&, polls, afterCancel] {
            return std::make_unique<ScriptedClient>(polls, started, destroyed, &clientFiles, afterCancel);
        };
        seams.pollInterval = std::chrono::milliseconds(1);
        return LumoPatch::RunRepairWith(host, repairtest::DoorOf(machine.install), seams, &progress);
    }

    // A whole repair of install against a repair-server double serving reference; the lines it
    // ended with are checked against lastLines.
    bool RunAgainstServer(const std::string& reference, const std::string& install,
                          const std::vector<std::string>& serverArguments, const std::vector<std::wstring>& lastLines)
    {
        host.Reset();
        repairtest::RepairServer server(reference, reference + ".log", serverArguments);
        EXPECT_NE(server.Port(), 0);
        fixtures::ScopedEnv address("SOLLEX_REPAIR_SERVER", server.HostPort().c_str());
        LumoPatch::RepairRunSeams seams;
        seams.pollInterval = std::chrono::milliseconds(10);
        const bool ok = LumoPatch::RunRepairWith(host, repairtest::DoorOf(install), seams);
        const std::vector<std::wstring> texts = host.Texts();
        EXPECT_GE(texts.size(), lastLines.size()) << host.Dump();
        if (texts.size() >= lastLines.size())
        {
            EXPECT_EQ(std::vector<std::wstring>(texts.end() - lastLines.size(), texts.end()), lastLines) << host.Dump();
        }
        return ok;
    }

    RunMachine machine; // the registry with the product key, for "IsPatching"
    ObservedHost host;
    bool started = false;
    bool destroyed = false;
    std::vector<std::wstring> clientFiles;
    std::atomic<float> progress{-1.0f};
};

// The summary and the uninstaller the repair leaves alone are the installation's own files, under
// the spelling they have there (a copy from a case-insensitive disk), else the usual one.
TEST_F(RepairRunTest, TheSummaryAndTheUninstallerAreFoundByTheCaseRule)
{
    const std::wstring install = FromNativePath(machine.install);
    const struct { const char* name; std::vector<const char*> files; std::vector<std::wstring> expected; } cases[] = {
        {"neither there", {}, {install + L"/repair.cks", install + L"/unins000.exe"}},
        {"other spellings", {"REPAIR.CKS", "Unins000.EXE"}, {install + L"/REPAIR.CKS", install + L"/Unins000.EXE"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const char* file : c.files)
            fixtures::WriteFile(machine.install + "/" + file, "x");
        clientFiles.clear();
        Run({{6, false}});
        EXPECT_EQ(clientFiles, c.expected);
    }
}

TEST_F(RepairRunTest, StagesPassedBetweenTwoPollsAreEachLoggedOnceInOrder)
{
    ASSERT_TRUE(LumoPatch::SetPatchingFlag());
    EXPECT_TRUE(Run({{1}, {5, true, 5, 10}, {6, false, 10, 10}}));
    EXPECT_EQ(host.Texts(), (std::vector<std::wstring>{
                                L"Scanning installed files. This may take a while.",
                                L"Connecting to patch servers.",
                                L"Preparing download list.",
                                L"Receiving updated files.",
                                L"(10 / 10 segments updated.)",
                            }));
    EXPECT_EQ(host.Gauge(), std::make_pair(1000, 1000));
    EXPECT_TRUE(host.ProgressDone());
    EXPECT_FALSE(LumoPatch::IsPatchingFlagSet());
}

TEST_F(RepairRunTest, ProgressFollowsTheClientAndIsWholeOnlyOnSuccess)
{
    EXPECT_FALSE(Run({{1}, {5, true, 5, 20}, {5, false, 5, 20, 3}}));
    EXPECT_FLOAT_EQ(progress.load(), 0.25f);
    EXPECT_TRUE(Run({{1}, {5, true, 5, 20}, {6, false, 19, 20}}));
    EXPECT_FLOAT_EQ(progress.load(), 1.0f);
}

TEST_F(RepairRunTest, FailuresNameTheirStage)
{
    struct Case { int stage; LUMORESULT error; const wchar_t* text; };
    const Case cases[] = {
        {1, 5, L"Internal error occurred."},
        {2, 2, L"Error while scanning local files."},
        {3, 12, L"Unable to connect to patch servers."},
        {4, 3, L"Unable to connect to patch servers."},
        {5, 3, L"Error occurred while repairing files."},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.stage);
        host.Reset();
        ASSERT_TRUE(LumoPatch::SetPatchingFlag());
        EXPECT_FALSE(Run({{1}, {c.stage, false, 10, 20, c.error}}));
        const std::vector<std::wstring> texts = host.Texts();
        ASSERT_GE(texts.size(), 2u);
        EXPECT_EQ(texts[texts.size() - 2], c.text);
        EXPECT_EQ(texts.back(), L"(Error " + std::to_wstring(c.error) + L" in stage " + std::to_wstring(c.stage) + L")");
        EXPECT_EQ(host.Has(L"segments updated."), c.stage >= 5);
        EXPECT_TRUE(LumoPatch::IsPatchingFlagSet());
        EXPECT_TRUE(destroyed);
    }
}

TEST_F(RepairRunTest, CancelAndUnresolvableServer)
{
    host.onLine = [this](int, const std::wstring& text) {
        if (text == L"Receiving updated files.")
            host.cancel = true;
    };
    EXPECT_FALSE(Run({{1}, {5, true, 1, 4}}));
    EXPECT_TRUE(destroyed);
    EXPECT_FALSE(host.Has(L"Error"));
    EXPECT_TRUE(host.Has(L"(1 / 4 segments updated.)"));

    host.Reset();
    started = destroyed = false;
    EXPECT_FALSE(Run({{1}}, false));
    EXPECT_FALSE(started);
    EXPECT_EQ(host.Texts(), (std::vector<std::wstring>{L"Unable to contact repair server; check your network connection."}));
}

// The count line of a cancelled run tells what the client wrote until it had stopped, the records
// it still held included.
TEST_F(RepairRunTest, ACancelledRunCountsWhatTheClientWroteUntilItStopped)
{
    host.onLine = [this](int, const std::wstring& text) {
        if (text == L"Receiving updated files.")
            host.cancel = true;
    };
    EXPECT_FALSE(Run({{1}, {5, true, 0, 5}}, true, Poll{5, false, 2, 5, LUMORESULT_ABORTED}));
    EXPECT_TRUE(host.Has(L"(2 / 5 segments updated.)")) << host.Dump();
    EXPECT_FALSE(host.Has(L"(0 / 5"));
    EXPECT_FALSE(host.Has(L"Error"));
    EXPECT_TRUE(destroyed);
}

// The same against the server: it sends 5 of 10 records and goes silent. While two are written,
// the three after them are still in the client's hands; cancelled then, the run writes them and
// counts all five, as many as are on disk.
TEST(RepairRunCancel, CountsTheRecordsWrittenWhileTheClientStopped)
{
    class CancelAtGauge : public ObservedHost
    {
    public:
        bool KeepGoing() override
        {
            if (Gauge().second >= 200)
                cancel = true;
            return ObservedHost::KeepGoing();
        }
    };
    RunMachine machine;
    CancelAtGauge host;
    fixtures::ScratchFolder scratch;
    for (int i = 0; i < 10; ++i)
        fixtures::WriteFile(scratch / ("reference/f" + std::to_string(i)), std::string(1000, char('a' + i)));
    fixtures::WriteFile(scratch / "install/keep.txt", "");
    repairtest::RepairServer server(scratch / "reference", scratch / "server.log", {"--fault", "stall-half"});
    ASSERT_NE(server.Port(), 0);
    fixtures::ScopedEnv address("SOLLEX_REPAIR_SERVER", server.HostPort().c_str());
    LumoPatch::RepairRunSeams seams;
    seams.pollInterval = std::chrono::milliseconds(10);
    EXPECT_FALSE(LumoPatch::RunRepairWith(host, repairtest::DoorOf(scratch / "install"), seams));
    int onDisk = 0;
    for (int i = 0; i < 10; ++i)
        onDisk += fixtures::PathExists(scratch / ("install/f" + std::to_string(i)));
    EXPECT_EQ(onDisk, 5);
    EXPECT_TRUE(host.Has(L"(5 / 10 segments updated.)")) << host.Dump();
}

// The start's recovery and the repair work on the installation through the door they are handed
// (a take's, or here one opened on its own, which no table of takes can stand in for): a decoy put
// at the installation's name afterwards, holding a stopped repair's record of its own, is never
// touched.
TEST_F(RepairRunTest, RecoveryAndRepairWorkOnTheDoorsFolderNotOnItsName)
{
    fixtures::ScratchFolder scratch;
    const std::string moved = scratch / "moved";
    fixtures::WriteFile(scratch / "reference/f", "right");
    fixtures::WriteFile(scratch / "reference/long", "lo");
    fixtures::WriteFile(scratch / "install/f", "wrong");
    fixtures::WriteFile(scratch / "install/long", "long and then some");
    std::wstring root, error;
    ASSERT_TRUE(LumoUtil::ResolveInstallFolder(FromNativePath(scratch / "install"), root, error));
    const std::shared_ptr<LumoUtil::InstallDoor> door = repairtest::DoorOf(root);
    const std::string name = ToNativePath(root);
    ASSERT_EQ(std::rename(name.c_str(), moved.c_str()), 0);
    const std::string record = fixtures::RepairJournalText({"BEGIN", "LENGTH 2 long"});
    for (const auto& [file, content] : {std::pair<std::string, std::string>{"f", "decoy"}, {"long", "decoy long"},
                                        {"repair.journal", record}})
        fixtures::WriteFile(name + "/" + file, content);
    fixtures::WriteFile(moved + "/repair.journal", record);

    EXPECT_TRUE(LumoPatch::RecoverInterruptedPatch(*door));
    EXPECT_EQ(fixtures::ReadFile(moved + "/long"), "lo");
    EXPECT_FALSE(fixtures::PathExists(moved + "/repair.journal"));

    repairtest::RepairServer server(scratch / "reference", scratch / "server.log");
    ASSERT_NE(server.Port(), 0);
    fixtures::ScopedEnv address("SOLLEX_REPAIR_SERVER", server.HostPort().c_str());
    LumoPatch::RepairRunSeams seams;
    seams.pollInterval = std::chrono::milliseconds(10);
    EXPECT_TRUE(LumoPatch::RunRepairWith(host, door, seams)) << host.Dump();
    EXPECT_EQ(fixtures::ReadFile(moved + "/f"), "right");
    EXPECT_TRUE(fixtures::PathExists(moved + "/repair.cks"));

    EXPECT_EQ(fixtures::ReadFile(name + "/f"), "decoy");
    EXPECT_EQ(fixtures::ReadFile(name + "/long"), "decoy long");
    EXPECT_EQ(fixtures::ReadFile(name + "/repair.journal"), record);
    EXPECT_FALSE(fixtures::PathExists(name + "/repair.cks"));
}

TEST_F(RepairRunTest, WholeRunsAgainstTheServer)
{
    fixtures::ScratchFolder scratch;
    for (int i = 0; i < 20; ++i)
        fixtures::WriteFile(scratch / ("reference/f" + std::to_string(i)), std::string(size_t(1000 + i), char('a' + i)));
    fixtures::WriteFile(scratch / "install/keep.txt", "");

    struct Case { std::vector<std::string> arguments; bool ok; std::vector<std::wstring> lastLines; };
    const Case cases[] = {
        {{"--fault", "short"}, false,
         {L"Error occurred while repairing files.", L"(Error 3 in stage 5)"}},
        {{}, true, {L"Receiving updated files.", L"(10 / 10 segments updated.)"}}, // the rest
        {{}, true, {L"Receiving updated files.", L"(0 / 0 segments updated.)"}},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(RunAgainstServer(scratch / "reference", scratch / "install", c.arguments, c.lastLines), c.ok);
        if (!c.ok)
        {
            EXPECT_TRUE(host.Has(L"(10 / 20 segments updated.)")) << host.Dump();
        }
    }
}

// A port on the loopback that nothing listens on: bound by the system, then let go.
uint16_t ClosedLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ::close(fd);
    return ntohs(address.sin_port);
}

// A server that cannot be reached, or that answers as no repair server of this version, is named
// with the reason before the run's own failure lines, which stay as they are.
TEST_F(RepairRunTest, AServerThatCannotBeUsedIsNamedWithTheReason)
{
    fixtures::ScratchFolder scratch;
    fixtures::WriteFile(scratch / "reference/f", "f");
    fixtures::WriteFile(scratch / "install/keep.txt", "");
    {
        const std::string closed = "127.0.0.1:" + std::to_string(ClosedLoopbackPort());
        fixtures::ScopedEnv address("SOLLEX_REPAIR_SERVER", closed.c_str());
        LumoPatch::RepairRunSeams seams;
        seams.pollInterval = std::chrono::milliseconds(10);
        EXPECT_FALSE(LumoPatch::RunRepairWith(host, repairtest::DoorOf(scratch / "install"), seams));
        const std::vector<std::wstring> texts = host.Texts();
        ASSERT_GE(texts.size(), 3u) << host.Dump();
        EXPECT_EQ(std::vector<std::wstring>(texts.end() - 3, texts.end()),
                  (std::vector<std::wstring>{L"The repair server at " + FromNativePath(closed) +
                                                 L" cannot be reached: Connection refused.",
                                             L"Unable to connect to patch servers.", L"(Error 12 in stage 3)"}))
            << host.Dump();
    }
    const struct { const char* fault; std::wstring says; } cases[] = {
        {"version", L" answers repair protocol version 5; this client speaks version 6."},
        {"no-version", L" closed the connection without answering."},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.fault);
        host.Reset();
        repairtest::RepairServer server(scratch / "reference", scratch / "server.log", {"--fault", c.fault});
        const std::wstring named = L"127.0.0.1:" + std::to_wstring(server.Port());
        fixtures::ScopedEnv address("SOLLEX_REPAIR_SERVER", server.HostPort().c_str());
        LumoPatch::RepairRunSeams seams;
        seams.pollInterval = std::chrono::milliseconds(10);
        EXPECT_FALSE(LumoPatch::RunRepairWith(host, repairtest::DoorOf(scratch / "install"), seams));
        const std::vector<std::wstring> texts = host.Texts();
        ASSERT_GE(texts.size(), 3u) << host.Dump();
        EXPECT_TRUE(texts[texts.size() - 3].ends_with(named + c.says)) << host.Dump();
        EXPECT_EQ(std::vector<std::wstring>(texts.end() - 2, texts.end()),
                  (std::vector<std::wstring>{L"Unable to connect to patch servers.", L"(Error 10 in stage 3)"}))
            << host.Dump();
    }
}

// The folder is the user's to name: one whose name ends beyond ASCII is repaired. A server that
// announces more records than a count fits in an int has its count printed as it is, and the one
// far segment it sends is taken back (nothing counted).
TEST_F(RepairRunTest, AnyFolderNameAndAHugeAnnouncedCount)
{
    fixtures::ScratchFolder scratch;
    fixtures::WriteFile(scratch / "reference/data/a.bin", "right");
    const std::string install = scratch / "Sollex Caf\u00e9";
    fixtures::WriteFile(install + "/data/a.bin", "wrong");
    const struct { std::vector<std::string> arguments; bool ok; std::vector<std::wstring> lastLines; } cases[] = {
        {{}, true, {L"Receiving updated files.", L"(1 / 1 segments updated.)"}},
        {{"--fault", "huge-count"}, false,
         {L"(0 / 4294967295 segments updated.)", L"Error occurred while repairing files.", L"(Error 3 in stage 5)"}},
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(RunAgainstServer(scratch / "reference", install, c.arguments, c.lastLines), c.ok);
        EXPECT_EQ(fixtures::ReadFile(install + "/data/a.bin"), "right");
        EXPECT_FALSE(fixtures::PathExists(install + "/data/f.bin"));
    }
}

// What the patcher keeps for itself and what the summary leaves out are never a server's to write,
// cut or delete: a record naming one ends the run with a line, and the file stays as it was. The
// summary leaves them out, so a server that deletes every file it does not know never names them.
TEST_F(RepairRunTest, AServerNeverReachesWhatThePatcherKeepsForItself)
{
    fixtures::ScratchFolder scratch;
    const std::string install = scratch / "install";
    const fixtures::TreeContent kept = {
        {"data/a.bin", "right"}, {"patch.journal.keep", "x"}, {"data/old.dll.pbk", "a backup"},
        {"unins000.exe", "uninstaller"}, {".sollex-patcher-u1-ab/p.bin", "unpacked"},
    };
    fixtures::WriteTree(install, kept);
    const fixtures::TreeContent before = fixtures::SnapshotTree(install);
    fixtures::WriteFile(scratch / "reference/data/a.bin", "right");
    fixtures::WriteFile(scratch / "reference/patch.journal.keep", "x");
    const std::vector<std::wstring> refused = {L"(0 / 1 segments updated.)", L"Error occurred while repairing files.",
                                               L"(Error 3 in stage 5)"};
    const struct { std::vector<std::string> arguments; bool ok; std::vector<std::wstring> lastLines; } cases[] = {
        {{"--fault", "bad-name", "--bad-name", "patch.journal#000"}, false, refused},
        {{"--fault", "bad-name", "--bad-name", "Patch.Journal#000"}, false, refused},
        {{"--fault", "bad-name", "--bad-name", "unins000.exe#000"}, false, refused},
        {{"--fault", "cut-name", "--bad-name", "data\\old.dll.pbk#000"}, false, refused},
        {{"--fault", "cut-name", "--bad-name", "repair.cks#000"}, false, refused},
        {{"--fault", "bad-name", "--bad-name", ".sollex-patcher-u1-ab\\p.bin#000"}, false, refused},
        {{"--managed", "*"}, true, {L"Receiving updated files.", L"(0 / 0 segments updated.)"}},
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(RunAgainstServer(scratch / "reference", install, c.arguments, c.lastLines), c.ok) << c.arguments[0];
        fixtures::TreeContent now = fixtures::SnapshotTree(install);
        EXPECT_EQ(now.erase("repair.cks"), 1u);
        EXPECT_EQ(fixtures::DescribeTreeDifference(before, now), "") << c.arguments.back();
    }
}

// Why a repair failed reaches the run's log as an error naming the file, in words (the window and
// patch-run show nothing else): a refused name, contradicting flags, damaged compressed data, a
// file that cannot be written, a path too long for the system (its reason whole, the folders made
// for it removed again), a server that stops sending.
TEST_F(RepairRunTest, EveryReasonAFailedRepairGivesIsAnErrorLineNamingTheFile)
{
    std::wstring deep;
    for (int i = 0; i < 420; ++i)
        deep += LumoUtil::FormatWString(L"folder%04d\\", i);
    deep += L"f.bin#000";
    const struct { std::vector<std::string> arguments; std::vector<std::wstring> said; } cases[] = {
        {{"--fault", "bad-name", "--bad-name", "patch.journal#000"},
         {L"The repair server sent a record named patch.journal#000, which is refused: ", L"patch journal"}},
        {{"--fault", "bad-flags"}, {L"The repair server sent a record for fault.bin#000 whose flags contradict"}},
        {{"--fault", "bad-zip"},
         {L"The compressed data the repair server sent for fault.bin#000 is damaged", L"nothing of it was written"}},
        {{"--fault", "bad-name", "--bad-name", "blocker\\x.bin#000"},
         {L"The repair server's record blocker\\x.bin#000 is refused: ", L"blocker"}},
        {{"--fault", "bad-name", "--bad-name", ""}, // the deep name, below
         {L"folder0419/f.bin to write the repair's data into it: File name too long"}},
        {{"--fault", "short"}, {L"No further record came from the repair server: "}},
    };
    fixtures::ScratchFolder scratch;
    const std::string install = scratch / "install";
    fixtures::WriteFile(install + "/blocker", "a file where the server has a folder");
    fixtures::WriteFile(scratch / "reference/f0", "x");
    fixtures::WriteFile(scratch / "reference/f1", "y");
    const fixtures::TreeContent before = fixtures::SnapshotTree(install);
    for (const auto& c : cases)
    {
        std::vector<std::string> arguments = c.arguments;
        if (arguments.size() == 4 && arguments[3].empty())
        {
            // The name as the wire carries it: "\" between its parts.
            for (wchar_t unit : deep)
                arguments[3] += char(unit);
        }
        EXPECT_FALSE(RunAgainstServer(scratch / "reference", install, arguments,
                                      {L"Error occurred while repairing files.", L"(Error 3 in stage 5)"}));
        for (const std::wstring& text : c.said)
            EXPECT_TRUE(host.Has(text, 3)) << ToNativePath(text) << "\n" << ToNativePath(host.Dump());
        for (const std::wstring& line : host.Texts())
        {
            EXPECT_EQ(line.find(L"LumoAgentClientTask"), std::wstring::npos) << ToNativePath(line);
            EXPECT_EQ(line.find(L"> error"), std::wstring::npos) << ToNativePath(line);
        }
        fixtures::TreeContent now = fixtures::SnapshotTree(install);
        now.erase("repair.cks");
        now.erase("f0");
        now.erase("f1");
        EXPECT_EQ(fixtures::DescribeTreeDifference(before, now), "") << arguments[1];
        std::error_code error;
        EXPECT_FALSE(std::filesystem::exists(install + "/folder0000", error));
    }
}

// SOLLEX_REPAIR_SERVER names the host alone (the port is then 6000) or host and port; a value
// that is no address says so instead of blaming the network, and nothing connects. A name that
// does not resolve keeps the network's line and adds one naming the server and the resolver's
// reason; without the variable the reserved built-in name is said to be one.
TEST(RepairServerAddressTest, TheVariableTakesTheDefaultPortAndRefusesWhatIsNoAddress)
{
    const std::wstring noContact = L"Unable to contact repair server; check your network connection.";
    const struct { const char* value; bool resolves; uint16_t port; std::vector<std::wstring> why; } cases[] = {
        {"127.0.0.1", true, 6000, {}},
        {"127.0.0.1:6001", true, 6001, {}},
        {"localhost", true, 6000, {}},
        {"127.0.0.1:", false, 0, {L"SOLLEX_REPAIR_SERVER=\"127.0.0.1:\" is not a repair server's address (HOST or "
                                  L"HOST:PORT): the port after \":\" is missing; nothing was repaired."}},
        {":6000", false, 0, {L"SOLLEX_REPAIR_SERVER=\":6000\" is not a repair server's address (HOST or HOST:PORT): "
                            L"the host is missing; nothing was repaired."}},
        {"host:99999", false, 0, {L"SOLLEX_REPAIR_SERVER=\"host:99999\" is not a repair server's address (HOST or "
                                  L"HOST:PORT): the port \"99999\" is not a number from 1 to 65535; nothing was "
                                  L"repaired."}},
        // The resolver's reason depends on the machine's resolver ("Name or service not known" here,
        // a temporary failure without one): checked below for its place, not its words.
        {"nowhere.invalid", false, 0, {noContact, L"The repair server nowhere.invalid:6000 cannot be found: "}},
        {"nowhere.invalid:6001", false, 0, {noContact, L"The repair server nowhere.invalid:6001 cannot be found: "}},
        {nullptr, false, 0, {L"No repair server is set: the built-in name repair.sollex.invalid is a reserved name "
                             L"that no network answers. SOLLEX_REPAIR_SERVER=HOST:PORT names the repair server; "
                             L"nothing was repaired."}},
        {"", false, 0, {L"No repair server is set: the built-in name repair.sollex.invalid is a reserved name "
                        L"that no network answers. SOLLEX_REPAIR_SERVER=HOST:PORT names the repair server; "
                        L"nothing was repaired."}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.value ? c.value : "(unset)");
        fixtures::ScopedEnv address("SOLLEX_REPAIR_SERVER", c.value);
        SocketAddress server;
        std::vector<std::wstring> why;
        EXPECT_EQ(LumoPatch::ResolveRepairServer(server, why), c.resolves);
        ASSERT_EQ(why.size(), c.why.size()) << ::testing::PrintToString(why);
        for (size_t i = 0; i < why.size(); ++i)
        {
            const bool open = c.why[i].ends_with(L": ");  // a reason follows, then a full stop
            if (open)
            {
                EXPECT_TRUE(why[i].starts_with(c.why[i]) && why[i].size() > c.why[i].size() + 1 && why[i].ends_with(L"."))
                    << ::testing::PrintToString(why[i]);
            }
            else
            {
                EXPECT_EQ(why[i], c.why[i]);
            }
        }
        if (c.resolves)
        {
            EXPECT_EQ(server, (SocketAddress{0x7F000001u, c.port}));
        }
    }
}

TEST_F(RepairRunTest, AVariableThatIsNoAddressIsNamedAndNothingConnects)
{
    machine.ResetOptions(kBuildA);
    fixtures::ScopedEnv address("SOLLEX_REPAIR_SERVER", "127.0.0.1:abc");
    LumoPatch::RepairRunSeams seams;
    seams.makeClient = [&] { return std::make_unique<ScriptedClient>(std::vector<Poll>{{1}}, started, destroyed, &clientFiles, std::nullopt); };
    EXPECT_FALSE(LumoPatch::RunRepairWith(host, repairtest::DoorOf(machine.install), seams));
    EXPECT_TRUE(host.Has(L"SOLLEX_REPAIR_SERVER=\"127.0.0.1:abc\" is not a repair server's address (HOST or "
                         L"HOST:PORT): the port \"abc\" is not a number from 1 to 65535; nothing was repaired.", 3))
        << host.Dump();
    EXPECT_FALSE(started);
}

TEST_F(RepairRunTest, RepairModeOfThePatchRun)
{
    machine.ResetOptions(kBuildA);
    PatcherOptions::Instance().repair = true;
    fixtures::ScopedEnv address("SOLLEX_REPAIR_SERVER", "nowhere.invalid:6000");
    LumoPatch::RunEnvironment environment = LumoPatch::RunEnvironment::Default();
    environment.tempParent = FromNativePath(machine.temp);
    LumoPatch::PatchRun run(host, environment);
    EXPECT_FALSE(run.Run());
    EXPECT_TRUE(host.Has(L"Unable to contact repair server; check your network connection.", 3)) << host.Dump();
    EXPECT_FALSE(fixtures::PathExists(machine.install + "/repair.cks"));
}

}  // namespace
}  // namespace apprun
