#include "platform/TempFolder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "platform/ConsoleControl.h"
#include "platform/RunOwner.h"
#include "tests/fixtures/ScratchFolder.h"

using namespace platform;

TEST(TempFolder, IsPrivateAndFilesAreCreatedExclusively)
{
    const std::string& folder = PrivateTempFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(&folder, &PrivateTempFolder()) << "one folder per run";
    struct stat st;
    ASSERT_EQ(lstat(folder.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    std::string path;
    int fd = CreateTempFile("pkg", ".zip", path);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(path.rfind(folder + "/pkg", 0), 0u) << path;
    EXPECT_EQ(path.substr(path.size() - 4), ".zip");
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    close(fd);

    std::string sub = CreateTempSubfolder("unpack");
    ASSERT_FALSE(sub.empty());
    ASSERT_EQ(lstat(sub.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(TempFolder, NamesNeverRepeatAcrossThreads)
{
    std::vector<std::vector<std::string>> perThread(8);
    std::vector<std::thread> threads;
    for (auto& names : perThread)
        threads.emplace_back([&names] {
            for (int i = 0; i < 1000; ++i)
                names.push_back(MakeUniqueTempName("file", ""));
        });
    for (auto& t : threads)
        t.join();
    std::set<std::string> all;
    for (auto& names : perThread)
        all.insert(names.begin(), names.end());
    EXPECT_EQ(all.size(), 8000u);
}


namespace
{

// The id of a process that has ended and been collected.
pid_t EndedProcessId()
{
    const pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

std::string TagOf(pid_t pid, uint64_t start)
{
    return std::to_string(pid) + "-" + std::to_string(start);
}

}  // namespace

// What killed processes left in the temporary folder goes when the next process makes its own
// folder; the folders of running processes and names that are not ours stay. A process that a
// stop signal ends (no handler taking it) removes its own folder.
TEST(TempFolderDeathTest, LeftoversOfEndedProcessesGoAndAStopSignalTakesOurOwn)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child re-runs this body: it finds the folder the parent prepared through the environment.
    const char* inherited = getenv("LUMO_TEST_STOP_TMPDIR");
    std::unique_ptr<fixtures::ScratchFolder> scratch;
    std::string dir = inherited ? inherited : "";
    uint64_t ourStart = 0;
    bool unknown = false;
    ASSERT_TRUE(ProcessStartTime(getpid(), ourStart, unknown));
    const std::string live = "lumo-" + OwnerTag() + "-bbbbbb";
    if (!inherited)
    {
        scratch = std::make_unique<fixtures::ScratchFolder>();
        dir = *scratch / "tmp";
        const std::string dead = TagOf(EndedProcessId(), 5);
        fixtures::WriteFile(dir + "/lumo-" + dead + "-aaaaaa/unpacked/file.bin", "left by a killed run");
        fixtures::WriteFile(dir + "/" + live + "/busy", "in use");
        fixtures::WriteFile(dir + "/lumo-" + TagOf(getpid(), ourStart + 1) + "-cccccc/file", "an earlier owner of our id");
        fixtures::WriteFile(dir + "/lumo-test.dddddd/file", "not ours");
        fixtures::WriteFile(*scratch / "outside/file", "reached through a link");
        ASSERT_EQ(symlink((*scratch / "outside").c_str(), (dir + "/lumo-" + dead + "-eeeeee").c_str()), 0);
        setenv("LUMO_TEST_STOP_TMPDIR", dir.c_str(), 1);
    }
    EXPECT_EXIT(
        {
            setenv("TMPDIR", dir.c_str(), 1);
            const std::string own = PrivateTempFolder();
            fixtures::WriteFile(own + "/package.zip", "temporary");
            SetConsoleControlHandler([](uint32_t) { return false; }, true);
            raise(SIGTERM);
            for (;;)
                pause();
        },
        testing::KilledBySignal(SIGTERM), "");
    unsetenv("LUMO_TEST_STOP_TMPDIR");
    EXPECT_EQ(fixtures::ListFolder(dir), (std::vector<std::string>{live, "lumo-test.dddddd"}));
    EXPECT_EQ(fixtures::ReadFile(*scratch / "outside/file"), "reached through a link");
}

TEST(RunOwner, TagsParseOnlyWhole)
{
    const struct { const char* text; bool ok; pid_t pid; uint64_t start; size_t length; } cases[] = {
        {"123-456", true, 123, 456, 7},
        {"123-456-XXXXXX", true, 123, 456, 7},
        {"123-456.zip", true, 123, 456, 7},
        {"1-0", true, 1, 0, 3},
        {"0-5", false, 0, 0, 0},            // no process has id 0
        {"123", false, 0, 0, 0},            // an id alone
        {"123-", false, 0, 0, 0},
        {"123-45x", false, 0, 0, 0},
        {"-123-456", false, 0, 0, 0},
        {"test.abcdef", false, 0, 0, 0},
        {"99999999999-1", false, 0, 0, 0},  // beyond any process id
    };
    for (const auto& c : cases)
    {
        pid_t pid = 0;
        uint64_t start = 0;
        size_t length = 0;
        EXPECT_EQ(c.ok, ParseOwnerTag(c.text, pid, start, length)) << c.text;
        if (c.ok)
        {
            EXPECT_EQ(c.pid, pid) << c.text;
            EXPECT_EQ(c.start, start) << c.text;
            EXPECT_EQ(c.length, length) << c.text;
        }
    }
}

TEST(RunOwner, OnlyAnEndedOwnerIsGone)
{
    pid_t pid = 0;
    uint64_t start = 0;
    size_t length = 0;
    ASSERT_TRUE(ParseOwnerTag(OwnerTag(), pid, start, length));
    EXPECT_EQ(getpid(), pid);
    EXPECT_FALSE(IsOwnerGone(pid, start)) << "this process";
    EXPECT_TRUE(IsOwnerGone(pid, start + 1)) << "an earlier process with our id";
    EXPECT_TRUE(IsOwnerGone(EndedProcessId(), 0)) << "a process that has ended";
    // Ended but not yet collected: it touches no file any more.
    const pid_t zombie = fork();
    if (zombie == 0)
        _exit(0);
    uint64_t zombieStart = 0;
    bool unknown = false;
    for (int i = 0; i < 2000 && ProcessStartTime(zombie, zombieStart, unknown); ++i)
        usleep(1000);
    EXPECT_FALSE(ProcessStartTime(zombie, zombieStart, unknown));
    EXPECT_FALSE(unknown);
    waitpid(zombie, nullptr, 0);
}
