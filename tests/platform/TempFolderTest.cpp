#include "platform/TempFolder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

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

