#include "lumo/os/ApplicationMutex.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "tests/fixtures/HoldingChild.h"

namespace
{

std::wstring AppPath(const wchar_t* leaf)
{
    return L"C:\\Games\\App" + std::to_wstring(getpid()) + leaf;
}

// A child process that opens the application mutex, answers 'c' when it created it, and holds it.
fixtures::HoldingChild HoldingMutex(const std::wstring& path, bool exclusive)
{
    return fixtures::HoldingChild([path, exclusive](const fixtures::HoldingChild::Ready& ready) {
        const bool opened = LumoUtil::OpenApplicationMutex(path, exclusive);
        ready(LumoUtil::IsApplicationMutexCreator() ? 'c' : opened ? 'y' : 'n');
        return 0;
    });
}

}  // namespace

TEST(ApplicationMutex, ExclusiveHolderShutsOutOtherProcesses)
{
    const std::wstring path = AppPath(L"\\");
    {
        fixtures::HoldingChild child = HoldingMutex(path, true);
        ASSERT_EQ(child.Answer(), 'c') << "the child created it";
        EXPECT_FALSE(LumoUtil::OpenApplicationMutex(path, true));
        EXPECT_FALSE(LumoUtil::OpenApplicationMutex(path, false));
        EXPECT_FALSE(LumoUtil::IsApplicationMutexCreator());
    }
    // The child has gone: the name is free again.
    EXPECT_TRUE(LumoUtil::OpenApplicationMutex(AppPath(L""), true));
    EXPECT_TRUE(LumoUtil::IsApplicationMutexCreator());
    EXPECT_TRUE(LumoUtil::OpenApplicationMutex(path, false)) << "already held: no change";
    EXPECT_TRUE(LumoUtil::CloseApplicationMutex());
    EXPECT_FALSE(LumoUtil::CloseApplicationMutex());
}

TEST(ApplicationMutex, SharedHoldersSeeWhoCreatedIt)
{
    const std::wstring path = AppPath(L"");
    {
        fixtures::HoldingChild child = HoldingMutex(path, false);
        ASSERT_EQ(child.Answer(), 'c');
        EXPECT_FALSE(LumoUtil::OpenApplicationMutex(path, true)) << "it existed already";
        EXPECT_TRUE(LumoUtil::OpenApplicationMutex(path, false));
        EXPECT_FALSE(LumoUtil::IsApplicationMutexCreator());
        EXPECT_TRUE(LumoUtil::CloseApplicationMutex());
    }
}

TEST(ApplicationMutexDeathTest, ExclusiveRequestWhileHeldSharedStopsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            dup2(2, 1);  // the report may go to either stream
            LumoUtil::OpenApplicationMutex(AppPath(L"\\death"), false);
            LumoUtil::OpenApplicationMutex(AppPath(L"\\death"), true);
        },
        "Assertion failed: LumoUtil::OpenApplicationMutex> unable to open mutex for exclusive access; "
        "already open for sharing");
}
