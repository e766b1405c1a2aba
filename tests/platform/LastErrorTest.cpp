#include "platform/LastError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

using namespace platform;

TEST(LastError, IsKeptPerThread)
{
    SetLastError(183);
    std::thread other([] {
        EXPECT_EQ(GetLastError(), 0u);
        SetLastErrorFromErrno(ENOENT);
        EXPECT_EQ(GetLastError(), 2u);
    });
    other.join();
    EXPECT_EQ(GetLastError(), 183u);
    std::string text;
    EXPECT_TRUE(LookUpErrorText(183, text));
    EXPECT_FALSE(LookUpErrorText(0x7654321, text));
}
