#include "lumo/os/ApplicationMutex.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace
{

std::wstring AppPath(const wchar_t* leaf)
{
    return L"C:\\Games\\App" + std::to_wstring(getpid()) + leaf;
}

// A child process that opens the application mutex, reports, and holds it until told to end.
class HoldingChild
{
public:
    HoldingChild(const std::wstring& path, bool exclusive)
    {
        if (pipe(m_ready) != 0 || pipe(m_done) != 0)
            return;
        fflush(nullptr);
        m_pid = fork();
        if (m_pid == 0)
        {
            char c = LumoUtil::OpenApplicationMutex(path, exclusive) ? 'y' : 'n';
            if (LumoUtil::IsApplicationMutexCreator())
                c = 'c';
            if (write(m_ready[1], &c, 1) != 1 || read(m_done[0], &c, 1) != 1)
                _exit(2);
            _exit(0);
        }
        if (read(m_ready[0], &m_answer, 1) != 1)
            m_answer = '?';
    }
    ~HoldingChild()
    {
        if (write(m_done[1], "x", 1) == 1)
            waitpid(m_pid, nullptr, 0);
        for (int fd : {m_ready[0], m_ready[1], m_done[0], m_done[1]})
            close(fd);
    }
    char Answer() const { return m_answer; }

private:
    int m_ready[2] = {-1, -1};
    int m_done[2] = {-1, -1};
    pid_t m_pid = -1;
    char m_answer = '?';
};

}  // namespace

TEST(ApplicationMutex, ExclusiveHolderShutsOutOtherProcesses)
{
    const std::wstring path = AppPath(L"\\");
    {
        HoldingChild child(path, true);
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
        HoldingChild child(path, false);
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
