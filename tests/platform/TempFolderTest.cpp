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
#include <tuple>
#include <vector>

#include "platform/ConsoleControl.h"
#include "platform/RunOwner.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/WaitFor.h"

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

// The id of a process that has ended and been collected.
static pid_t EndedProcessId()
{
    const pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

// What ended processes left in the temporary folder goes when the next process makes its own; the
// folders of running processes, names that are not ours and what a link leads to stay. A stop
// signal that no handler takes removes the process's own folder.
TEST(TempFolderDeathTest, LeftoversOfEndedProcessesGoAndAStopSignalTakesOurOwn)
{
    // A new process, whose private folder is not made yet, runs this body again and finds the
    // folder the parent prepared through the environment.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char* inherited = getenv("LUMO_TEST_STOP_TMPDIR");
    std::unique_ptr<fixtures::ScratchFolder> scratch;
    std::string dir = inherited ? inherited : "";
    const std::string live = "lumo-" + OwnerTag() + "-bbbbbb";
    if (!inherited)
    {
        scratch = std::make_unique<fixtures::ScratchFolder>();
        dir = *scratch / "tmp";
        const std::string dead = dir + "/lumo-" + std::to_string(EndedProcessId()) + "-5";
        for (const std::string& file : {dead + "-aaaaaa/unpacked/file.bin", dir + "/" + live + "/busy",
                                        dir + "/lumo-test.dddddd/file"})
            fixtures::WriteFile(file, "");
        fixtures::WriteFile(*scratch / "outside/file", "reached through a link");
        ASSERT_EQ(symlink((*scratch / "outside").c_str(), (dead + "-eeeeee").c_str()), 0);
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
    EXPECT_EQ(fixtures::ListFolder(dir), (std::vector<std::string>{live, "lumo-test.dddddd"}));
    EXPECT_EQ(fixtures::ReadFile(*scratch / "outside/file"), "reached through a link");
}

// A tag parses only whole; its owner is gone once it has ended, even uncollected, or when another
// process took its id.
TEST(RunOwner, TagsParseOnlyWholeAndOnlyAnEndedOwnerIsGone)
{
    pid_t pid = 0;
    uint64_t start = 0;
    size_t length = 0;
    EXPECT_TRUE(ParseOwnerTag("123-456-XXXXXX", pid, start, length));
    EXPECT_EQ(std::tuple(pid, start, length), std::tuple(123, 456u, 7u));
    EXPECT_TRUE(ParseOwnerTag("1-0.zip", pid, start, length));
    for (const char* refused : {"0-5", "123", "123-", "123-45x", "-123-456", "test.abcdef", "99999999999-1"})
        EXPECT_FALSE(ParseOwnerTag(refused, pid, start, length)) << refused;

    ASSERT_TRUE(ParseOwnerTag(OwnerTag(), pid, start, length));
    EXPECT_EQ(getpid(), pid);
    EXPECT_FALSE(IsOwnerGone(pid, start)) << "this process";
    EXPECT_TRUE(IsOwnerGone(pid, start + 1)) << "an earlier process with our id";
    EXPECT_TRUE(IsOwnerGone(EndedProcessId(), 0));
    const pid_t zombie = fork();
    if (zombie == 0)
        _exit(0);
    bool unknown = true;
    EXPECT_TRUE(fixtures::WaitFor([&] { return !ProcessStartTime(zombie, start, unknown); }));
    EXPECT_FALSE(unknown);
    waitpid(zombie, nullptr, 0);
}
