#include "platform/LastError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

using namespace platform;

TEST(LastError, ErrnoMapsToTheWindowsNumbers)
{
    struct Case
    {
        int errnoValue;
        uint32_t code;
    } cases[] = {
        {0, 0}, {ENOENT, 2}, {ENOTDIR, 3}, {EACCES, 5}, {EPERM, 5}, {ETXTBSY, 32}, {EEXIST, 80},
        {EINVAL, 87}, {ENOSPC, 112}, {ENOTEMPTY, 145}, {ENAMETOOLONG, 206}, {EXDEV, 0x20000000u | EXDEV},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ErrorFromErrno(c.errnoValue), c.code) << c.errnoValue;
}

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
