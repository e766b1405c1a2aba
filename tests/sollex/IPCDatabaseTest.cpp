// The asset-database owner block between real processes: this test process and adb-peer
// processes (tests/doubles/adb_peer.cpp) that play the game's tools.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BuildConfig.h"
#include "platform/DebugOutput.h"
#include "platform/NamedObjects.h"
#include "platform/TempFolder.h"
#include "sollex/IPCDatabase.h"
#include "tests/fixtures/DebugCapture.h"
#include "tests/fixtures/WaitFor.h"

extern char** environ;

namespace
{

constexpr int kAnswerTimeoutMs = 20000;

// One adb-peer process, talked to line by line. A missing answer fails the test after a while
// instead of hanging it.
class Peer
{
public:
    Peer()
    {
        int toChild[2], fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
        const std::string program = LUMO_BIN_DIR "/adb-peer";
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        if (posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv, environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(toChild[0]);
        close(fromChild[1]);
        m_in = toChild[1];
        m_out = fromChild[0];
        const std::string ready = Next();
        if (ready.rfind("ready ", 0) == 0)
            m_peerPid = static_cast<uint32_t>(std::stoul(ready.substr(6)));
    }

    ~Peer()
    {
        if (m_in >= 0)
            close(m_in);  // the peer detaches and exits at the end of its input
        if (m_pid > 0 && !WaitForExit(10000))
        {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0)
            close(m_out);
    }

    uint32_t Pid() const { return m_peerPid; }

    void Send(const std::string& command)
    {
        const std::string line = command + "\n";
        ASSERT_EQ(write(m_in, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }

    // The next answer that is not a log line.
    std::string Next()
    {
        std::string line;
        while ((line = ReadLine()).rfind("log ", 0) == 0)
            ;
        return line;
    }

    std::string Ask(const std::string& command)
    {
        Send(command);
        return Next();
    }

    // Ends the peer with SIGKILL and collects it.
    void Kill()
    {
        Send("die");
        ASSERT_TRUE(WaitForExit(kAnswerTimeoutMs));
    }

private:
    std::string ReadLine()
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
        for (;;)
        {
            const size_t end = m_buffer.find('\n');
            if (end != std::string::npos)
            {
                std::string line = m_buffer.substr(0, end);
                m_buffer.erase(0, end + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd fd = {m_out, POLLIN, 0};
            if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0)
                return "(no answer)";
            char chunk[512];
            const ssize_t n = read(m_out, chunk, sizeof chunk);
            if (n <= 0)
                return "(peer ended)";
            m_buffer.append(chunk, static_cast<size_t>(n));
        }
    }

    bool WaitForExit(int milliseconds)
    {
        for (int waited = 0; waited <= milliseconds; waited += 10)
        {
            if (waitpid(m_pid, nullptr, WNOHANG) == m_pid)
            {
                m_pid = -1;
                return true;
            }
            usleep(10000);
        }
        return false;
    }

    pid_t m_pid = -1;
    uint32_t m_peerPid = 0;
    int m_in = -1;
    int m_out = -1;
    std::string m_buffer;
};

struct BlockFields
{
    uint32_t creator, owner, requester, change, layout;
    int count;
    uint32_t holder, suspended, value;
};

BlockFields ParseBlock(const std::string& answer)
{
    BlockFields fields{};
    std::istringstream words(answer);
    std::string word;
    words >> word >> fields.creator >> fields.owner >> fields.requester >> fields.change >> fields.layout >>
        fields.count >> fields.holder >> fields.suspended >> fields.value;
    return fields;
}

class IPCDatabaseTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // A folder of its own per test, with upper-case letters as a Linux install path may have.
        m_folder = platform::CreateTempSubfolder("Games");
        ASSERT_FALSE(m_folder.empty());
        m_database = m_folder + "/assets.sdx";
    }

    void TearDown() override
    {
        IPCShutdown();
        rmdir(m_folder.c_str());
    }

    IPCDatabaseBlock Block()
    {
        IPCDatabaseBlock block{};
        EXPECT_TRUE(IPCReadBlock(block));
        return block;
    }

    std::string m_folder;
    std::string m_database;
    fixtures::DebugCapture m_debug;
};

const std::string kPrefix = "09731AC6-B611-4e2a-B181-578073F64F24";

TEST(IPCDatabaseNames, BuiltFromTheLowerCasedFolder)
{
    struct Case { std::string path; bool accepted; std::string folder; std::string mutexName; };
    const std::string longFolder = "/" + std::string(300, 'd');
    const Case cases[] = {
        {"C:\\Games\\UserData\\ASSETS.SDX", true, "C:\\Games\\UserData", kPrefix + "/c:/games/userdata"},
        {"c:\\games\\userdata\\assets.sdx", true, "c:\\games\\userdata", kPrefix + "/c:/games/userdata"},
        {"/home/User/Games/Assets.sdx", true, "/home/User/Games", kPrefix + "/home/user/games"},
        {"\\\\server\\share\\assets.sdx", true, "\\\\server\\share", kPrefix + "/server/share"},
        {"x/assets.sdx.d/assets.sdx", true, "x/assets.sdx.d", kPrefix + "/x/assets.sdx.d"},
        // A folder too long for a fixed name buffer keeps its whole name.
        {longFolder + "/assets.sdx", true, longFolder, kPrefix + longFolder},
        {"c:\\games\\assets.sdx.bak", false, "", ""},
        {"c:\\games\\myassets.sdx", false, "", ""},
        {"assets.sdx", false, "", ""},
        {"", false, "", ""},
    };
    for (const Case& c : cases)
    {
        std::string folder, mutexName, mappingName;
        EXPECT_EQ(IPCMakeNames(c.path, folder, mutexName, mappingName), c.accepted) << c.path;
        if (!c.accepted)
            continue;
        EXPECT_EQ(folder, c.folder) << c.path;
        EXPECT_EQ(mutexName, c.mutexName) << c.path;
        EXPECT_EQ(mappingName, c.mutexName + "/-ipc2") << c.path;
    }
}

TEST_F(IPCDatabaseTest, FirstAttacherInitialisesAndHoldsExclusively)
{
    EXPECT_FALSE(IPCInit((m_folder + "/missing/assets.sdx").c_str(), false));
    EXPECT_FALSE(IPCInit((m_folder + "/assets.sdb").c_str(), false));
    EXPECT_EQ(IPCGetAttachCount(), 0);
    EXPECT_FALSE(IPCEnterExclusive());

    ASSERT_TRUE(IPCInit(m_database.c_str(), false));
    EXPECT_TRUE(IPCInit(m_database.c_str(), false));  // attached already
    const IPCDatabaseBlock block = Block();
    EXPECT_EQ(block.creator, static_cast<uint32_t>(getpid()));
    EXPECT_TRUE(block.owner == kIPCNone && block.requester == kIPCNone && block.changeCounter == 0u &&
                block.layout == kIPCLayoutValue && block.attachCount == 1 && block.exclusiveHolder == 0u);

    EXPECT_TRUE(IPCEnterExclusive());
    EXPECT_TRUE(IPCIsOwner());
    EXPECT_EQ(Block().exclusiveHolder, static_cast<uint32_t>(getpid()));
    EXPECT_FALSE(IPCEnterExclusive());  // a holder is recorded: this process
    EXPECT_TRUE(IPCSuspendExclusive());
    EXPECT_FALSE(IPCIsOwner());
    EXPECT_TRUE(IPCResumeExclusive());
    EXPECT_TRUE(IPCIsOwner());
    IPCLeaveExclusive();
    EXPECT_FALSE(IPCIsOwner());
    EXPECT_EQ(Block().exclusiveHolder, 0u);

    IPCShutdown();
    EXPECT_EQ(IPCGetAttachCount(), 0);
    IPCDatabaseBlock block2{};
    EXPECT_FALSE(IPCReadBlock(block2));
}

TEST_F(IPCDatabaseTest, SecondProcessIsCountedAndKeptOutOfExclusiveHolding)
{
    ASSERT_TRUE(IPCInit(m_database.c_str(), false));
    Peer peer;
    EXPECT_EQ(peer.Ask("attach " + m_database), "attach 1 2");
    EXPECT_EQ(IPCGetAttachCount(), 2);
    EXPECT_EQ(peer.Ask("enter"), "enter 0");
    EXPECT_FALSE(IPCEnterExclusive());  // two are attached

    // The owner publishes a value and counts a change; the other sees both.
    EXPECT_TRUE(IPCTryAcquire(false));
    IPCSetOwnerValue(77);
    EXPECT_EQ(IPCNotifyChange(), 1u);
    BlockFields seen = ParseBlock(peer.Ask("block"));
    EXPECT_EQ(seen.owner, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(seen.value, 77u);
    EXPECT_EQ(seen.change, 1u);
    IPCRelease();

    // A non-creator leaves the count alone; the creator lowers it and gives up its role, which
    // the other then takes over.
    EXPECT_EQ(peer.Ask("detach"), "detached");
    EXPECT_EQ(IPCGetAttachCount(), 2);
    EXPECT_EQ(peer.Ask("attach " + m_database), "attach 1 3");
    IPCShutdown();
    seen = ParseBlock(peer.Ask("block"));
    EXPECT_EQ(seen.creator, kIPCNone);
    EXPECT_EQ(seen.count, 2);
    EXPECT_EQ(peer.Ask("idle"), "idled");
    EXPECT_EQ(ParseBlock(peer.Ask("block")).creator, peer.Pid());
}

TEST_F(IPCDatabaseTest, HolderKilledWithSigkillFreesTheHoldForTheNextAttacher)
{
    Peer holder;
    EXPECT_EQ(holder.Ask("attach " + m_database), "attach 1 1");
    EXPECT_EQ(holder.Ask("enter"), "enter 1");
    EXPECT_FALSE(IPCInit(m_database.c_str(), false));  // an exclusive holder keeps others out
    EXPECT_EQ(IPCGetAttachCount(), 0);

    holder.Kill();
    // Nobody else had the block open: it went with the holder, and this process starts afresh.
    ASSERT_TRUE(IPCInit(m_database.c_str(), false));
    EXPECT_EQ(IPCGetAttachCount(), 1);
    EXPECT_EQ(Block().creator, static_cast<uint32_t>(getpid()));
    EXPECT_TRUE(IPCEnterExclusive());
}

TEST_F(IPCDatabaseTest, DeadExclusiveHolderIsClearedWhileOthersKeepTheBlock)
{
    Peer holder, tool;
    EXPECT_EQ(holder.Ask("attach " + m_database), "attach 1 1");
    EXPECT_EQ(holder.Ask("enter"), "enter 1");
    EXPECT_EQ(holder.Ask("suspend"), "suspend 1");
    EXPECT_EQ(tool.Ask("attach " + m_database + " suspended"), "attach 1 2");
    holder.Kill();

    // The tool keeps the block alive; the dead holder must not keep this process out.
    ASSERT_TRUE(IPCInit(m_database.c_str(), false));
    EXPECT_EQ(Block().exclusiveHolder, 0u);
    EXPECT_EQ(Block().exclusiveSuspended, 0);
    EXPECT_TRUE(m_debug.Saw("IPCInit> clearing dead exclusive holder (holder processID was " +
                                     std::to_string(holder.Pid()) + ")"));
}

TEST_F(IPCDatabaseTest, CreatorClearsDeadOwnerAndTheWaitingRequesterTakesOver)
{
    ASSERT_TRUE(IPCInit(m_database.c_str(), false));
    Peer owner, waiter;
    EXPECT_EQ(owner.Ask("attach " + m_database), "attach 1 2");
    EXPECT_EQ(owner.Ask("acquire"), "acquired");
    EXPECT_EQ(waiter.Ask("attach " + m_database), "attach 1 3");
    waiter.Send("acquire");
    // The waiter registers as requester, then waits for the owner.
    EXPECT_TRUE(fixtures::WaitFor([&] { return Block().requester == waiter.Pid(); }));

    owner.Kill();
    IPCIdle();
    EXPECT_TRUE(m_debug.Saw("IPCIdle> clearing dead database owner (owner processID was " +
                                     std::to_string(owner.Pid()) + ")"));
    EXPECT_EQ(waiter.Next(), "acquired");
    EXPECT_EQ(Block().owner, waiter.Pid());
    EXPECT_EQ(Block().requester, kIPCNone);
}

TEST_F(IPCDatabaseTest, BlockGoesWithItsLastUser)
{
    std::string folder, mutexName, mappingName;
    ASSERT_TRUE(IPCMakeNames(m_database, folder, mutexName, mappingName));
    const std::string file = "/dev/shm" + platform::SharedObjectName(mappingName) + "~map";
    {
        Peer peer;
        EXPECT_EQ(peer.Ask("attach " + m_database), "attach 1 1");
        EXPECT_EQ(peer.Ask("enter"), "enter 1");
        struct stat st;
        EXPECT_EQ(stat(file.c_str(), &st), 0) << file;
        EXPECT_EQ(peer.Ask("exit"), "(peer ended)");
    }
    struct stat st;
    EXPECT_NE(stat(file.c_str(), &st), 0) << "left behind: " << file;
    ASSERT_TRUE(IPCInit(m_database.c_str(), false));
    EXPECT_EQ(IPCGetAttachCount(), 1);
    EXPECT_EQ(Block().exclusiveHolder, 0u);
}

TEST_F(IPCDatabaseTest, ChildOfAnAttachedProcessDoesNotKeepTheBlock)
{
    Peer parent;
    EXPECT_EQ(parent.Ask("attach " + m_database), "attach 1 1");
    EXPECT_EQ(parent.Ask("enter"), "enter 1");
    const std::string spawned = parent.Ask("spawn 30");
    ASSERT_EQ(spawned.rfind("spawned ", 0), 0u) << spawned;
    const pid_t child = static_cast<pid_t>(std::stol(spawned.substr(8)));
    parent.Kill();
    ASSERT_TRUE(IPCInit(m_database.c_str(), false));
    EXPECT_EQ(IPCGetAttachCount(), 1);  // a fresh block: the child held nothing open
    kill(child, SIGKILL);
}

TEST_F(IPCDatabaseTest, MutexHolderThatDiesHoldsNothing)
{
    Peer holder, other;
    EXPECT_EQ(holder.Ask("attach " + m_database), "attach 1 1");
    EXPECT_EQ(holder.Ask("lock"), "locked");
    EXPECT_EQ(other.Ask("lockwait 20000"), "lockwait 20000");  // longer than the kill takes
    other.Send("attach " + m_database);  // waits for the mutex
    holder.Kill();
    EXPECT_EQ(other.Next().substr(0, 9), "attach 1 ");
    EXPECT_EQ(other.Ask("lock"), "locked");
    EXPECT_EQ(other.Ask("unlock"), "unlocked");
}

// A tool that hangs while it holds the mutex stalls nobody for ever: attaching gives up (with the
// product's own bound, and every try of the patcher's five with a short one), and so do the steps
// of a process attached already; leaving still gives up the creator's role and count. A peer that
// hung instead would fail its answer here after a while.
TEST_F(IPCDatabaseTest, HungMutexHolderStallsNobody)
{
    Peer tool, patcher;
    EXPECT_EQ(tool.Ask("attach " + m_database), "attach 1 1");
    EXPECT_EQ(tool.Ask("lock"), "locked");
    EXPECT_EQ(patcher.Ask("attach " + m_database), "attach 0 0");
    EXPECT_EQ(patcher.Ask("lockwait 50"), "lockwait 50");
    for (int attempt = 0; attempt < 5; ++attempt)
        EXPECT_EQ(patcher.Ask("attach " + m_database), "attach 0 0");
    EXPECT_EQ(tool.Ask("unlock"), "unlocked");
    EXPECT_EQ(tool.Ask("detach"), "detached");

    // Attached first, as creator; then the tool holds the mutex and hangs.
    Peer creator;
    EXPECT_EQ(creator.Ask("lockwait 50"), "lockwait 50");
    EXPECT_EQ(creator.Ask("attach " + m_database), "attach 1 1");
    EXPECT_EQ(tool.Ask("attach " + m_database), "attach 1 2");
    EXPECT_EQ(tool.Ask("lock"), "locked");
    EXPECT_EQ(creator.Ask("enter"), "enter 0");
    EXPECT_EQ(creator.Ask("idle"), "idled");
    EXPECT_EQ(creator.Ask("detach"), "detached");
    EXPECT_EQ(tool.Ask("unlock"), "unlocked");
    const BlockFields block = ParseBlock(tool.Ask("block"));
    EXPECT_EQ(block.creator, kIPCNone);
    EXPECT_EQ(block.count, 1);
}

TEST_F(IPCDatabaseTest, SimultaneousAttachersCountOnceEachWithOneCreator)
{
    constexpr int kPeers = 12;
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < kPeers; ++i)
        peers.push_back(std::make_unique<Peer>());
    for (auto& peer : peers)
        peer->Send("attach " + m_database);
    std::set<uint32_t> pids;
    for (auto& peer : peers)
    {
        EXPECT_EQ(peer->Next().substr(0, 9), "attach 1 ");
        pids.insert(peer->Pid());
    }
    const BlockFields block = ParseBlock(peers.front()->Ask("block"));
    EXPECT_EQ(block.count, kPeers);
    EXPECT_EQ(block.layout, kIPCLayoutValue);
    EXPECT_EQ(pids.count(block.creator), 1u);
}

}  // namespace
