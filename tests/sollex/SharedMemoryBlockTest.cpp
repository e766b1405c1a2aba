#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "platform/LastError.h"
#include "platform/NamedObjects.h"
#include "platform/SharedMemory.h"
#include "sollex/SharedMemoryBlock.h"

namespace
{

std::string UniqueName(const char* what)
{
    return std::string("shared memory test/") + what + "/" + std::to_string(getpid());
}

bool FileExists(const std::string& name)
{
    struct stat st;
    return stat(("/dev/shm" + platform::SharedObjectName(name) + "~map").c_str(), &st) == 0;
}

TEST(SharedMemoryBlock, OpenersShareOneBlockThatGoesWithTheLast)
{
    const std::string name = UniqueName("share");
    SharedMemoryBlock first(name.c_str(), 36);
    SharedMemoryBlock second(name.c_str(), 36);
    EXPECT_EQ(first.GetView(), nullptr);
    EXPECT_FALSE(first.Close());  // nothing open
    ASSERT_TRUE(first.Create());
    EXPECT_FALSE(first.Create());  // holds one already
    ASSERT_TRUE(second.Create());
    auto* a = static_cast<unsigned char*>(first.GetView());
    auto* b = static_cast<unsigned char*>(second.GetView());
    EXPECT_EQ(a[0], 0);
    a[35] = 0x5A;
    EXPECT_EQ(b[35], 0x5A);  // two mappings of the same bytes

    EXPECT_TRUE(first.Close());
    EXPECT_TRUE(FileExists(name));  // the second still has it
    EXPECT_TRUE(second.Close());
    EXPECT_FALSE(FileExists(name));

    ASSERT_TRUE(first.Create());
    EXPECT_EQ(static_cast<unsigned char*>(first.GetView())[35], 0);  // a new block
}

TEST(SharedMemoryBlock, CreatedTellsTheFirstOpenerAndSizesAreChecked)
{
    const std::string name = UniqueName("sizes");
    bool created = false;
    auto small = platform::SharedMemory::Open(name, 16, created);
    ASSERT_TRUE(small);
    EXPECT_TRUE(created);
    auto same = platform::SharedMemory::Open(name, 8, created);
    ASSERT_TRUE(same);
    EXPECT_FALSE(created);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorAlreadyExists);
    EXPECT_FALSE(platform::SharedMemory::Open(name, 36, created));  // bigger than the block
    EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidParameter);
    EXPECT_FALSE(platform::SharedMemory::Open(name, 0, created));
}

}  // namespace
