#include "platform/FileInUse.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/DebugOutput.h"
#include "platform/LastError.h"
#include "platform/TempFolder.h"

using namespace platform;

TEST(FileInUse, SeesDescriptorsOfOtherProcesses)
{
    std::string path;
    int fd = CreateTempFile("inuse", ".dat", path);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(ProbeFileInUse(path), FileUse::NotInUse);

    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
    {
        int held = open(path.c_str(), O_RDONLY);
        char c = held >= 0 ? 'y' : 'n';
        if (write(ready[1], &c, 1) != 1 || read(done[0], &c, 1) != 1)
            _exit(2);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    EXPECT_EQ(ProbeFileInUse(path), FileUse::InUse);
    EXPECT_EQ(GetLastError(), kErrorSharingViolation);
    ASSERT_EQ(write(done[1], "x", 1), 1);
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(ProbeFileInUse(path), FileUse::NotInUse) << "the holder has gone";
    for (int f : {ready[0], ready[1], done[0], done[1]})
        close(f);
}

TEST(FileInUse, CannotTellForMissingFilesLinksAndFolders)
{
    const std::string folder = PrivateTempFolder();
    EXPECT_EQ(ProbeFileInUse(folder + "/missing"), FileUse::Unknown);
    EXPECT_EQ(GetLastError(), kErrorFileNotFound);

    std::string target;
    close(CreateTempFile("target", "", target));
    std::string link = folder + "/" + MakeUniqueTempName("link", "");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(ProbeFileInUse(link), FileUse::Unknown) << "links are not followed";
    EXPECT_EQ(ProbeFileInUse(folder), FileUse::Unknown);
}

