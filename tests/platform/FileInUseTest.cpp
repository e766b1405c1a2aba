#include "platform/FileInUse.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/DebugOutput.h"
#include "platform/LastError.h"
#include "platform/TempFolder.h"
#include "tests/fixtures/HoldingChild.h"

using namespace platform;

TEST(FileInUse, SeesDescriptorsOfOtherProcesses)
{
    std::string path;
    int fd = CreateTempFile("inuse", ".dat", path);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(ProbeFileInUse(path), FileUse::NotInUse);

    fixtures::HoldingChild holder([&](const fixtures::HoldingChild::Ready& ready) {
        ready(open(path.c_str(), O_RDONLY) >= 0 ? 'y' : 'n');
        return 0;
    });
    ASSERT_EQ(holder.Answer(), 'y');
    EXPECT_EQ(ProbeFileInUse(path), FileUse::InUse);
    EXPECT_EQ(GetLastError(), kErrorSharingViolation);
    holder.Release();
    EXPECT_EQ(ProbeFileInUse(path), FileUse::NotInUse) << "the holder has gone";
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

