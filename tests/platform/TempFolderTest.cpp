#include "platform/TempFolder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
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

// Leftovers of ended processes go as the next one makes its folder; running ones', foreign names, link targets stay.
TEST(TempFolderDeathTest, LeftoversOfEndedProcessesGoAndAStopSignalTakesOurOwn)
{
    // Run again by the death test in a new process, without a private folder yet, this finds the parent's.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char* inherited = getenv("LUMO_TEST_STOP_TMPDIR");
    const std::string dir = inherited ? inherited : PrivateTempFolder() + "/tmp", live = "lumo-" + OwnerTag() + "-b";
    if (!inherited)
    {
        const std::string dead = dir + "/lumo-" + std::to_string(getpid()) + "-5"; // the parent's id, another start
        for (const std::string& file : {dead + "-a/unpacked/file", dir + "/" + live + "/busy", dir + "/lumo-test.d"})
            fixtures::WriteFile(file, "");
        ASSERT_EQ(symlink((dir + "/" + live).c_str(), (dead + "-e").c_str()), 0);
        setenv("LUMO_TEST_STOP_TMPDIR", dir.c_str(), 1);
    }
    EXPECT_EXIT(
        {
            setenv("TMPDIR", dir.c_str(), 1);
            fixtures::WriteFile(PrivateTempFolder() + "/package.zip", "temporary");
            SetConsoleControlHandler([](uint32_t) { return false; }, true);
            raise(SIGTERM);
            for (;;)
                pause();
        },
        testing::KilledBySignal(SIGTERM), "");
    unsetenv("LUMO_TEST_STOP_TMPDIR");
    EXPECT_EQ(fixtures::ListFolder(dir), (std::vector<std::string>{live, "lumo-test.d"}));
    EXPECT_EQ(fixtures::ListFolder(dir + "/" + live), std::vector<std::string>{"busy"}) << "reached through a link";
}

TEST(RunOwner, TagsParseOnlyWholeAndOnlyAnEndedOwnerIsGone)
{
    pid_t pid = 0;
    uint64_t start = 0;
    size_t length = 0;
    EXPECT_TRUE(ParseOwnerTag("123-456-XXXXXX", pid, start, length) && pid == 123 && start == 456 && length == 7);
    EXPECT_TRUE(ParseOwnerTag("1-0.zip", pid, start, length));
    for (const char* refused : {"0-5", "123", "123-", "123-45x", "-123-456", "test.abcdef", "99999999999-1"})
        EXPECT_FALSE(ParseOwnerTag(refused, pid, start, length)) << refused;
    ASSERT_TRUE(ParseOwnerTag(OwnerTag(), pid, start, length) && pid == getpid());
    const pid_t zombie = fork();
    if (zombie == 0)
        _exit(0);
    siginfo_t info;
    waitid(P_PID, zombie, &info, WEXITED | WNOWAIT); // ended, not collected
    bool unknown = true;
    EXPECT_FALSE(ProcessStartTime(zombie, start, unknown) || unknown);
    waitpid(zombie, nullptr, 0);
}
