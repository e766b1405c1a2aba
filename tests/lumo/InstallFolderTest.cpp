#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>

#include "lumo/files/InstallFolder.h"
#include "platform/NativePath.h"
#include "tests/fixtures/HoldingChild.h"
#include "tests/fixtures/ScratchFolder.h"

namespace
{

class InstallFolderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fixtures::WriteFile(m_scratch / "disk/games/inst/bin/keep", "");
        fixtures::WriteFile(m_scratch / "disk/games/a-file", "x");
        ASSERT_EQ(::mkdir((m_scratch / "work").c_str(), 0755), 0);
        ASSERT_EQ(::symlink((m_scratch / "disk/games").c_str(), (m_scratch / "linked").c_str()), 0);
        ASSERT_EQ(::symlink("nowhere", (m_scratch / "dangling").c_str()), 0);
        char* real = ::realpath((m_scratch / "disk/games/inst").c_str(), nullptr);
        ASSERT_NE(real, nullptr);
        m_real = FromNativePath(real);
        std::free(real);
        char* cwd = ::getcwd(nullptr, 0);
        m_cwd = cwd;
        std::free(cwd);
        ASSERT_EQ(::chdir((m_scratch / "work").c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(::chdir(m_cwd.c_str()), 0); }

    std::wstring Wide(const std::string& relative) const { return FromNativePath(m_scratch / relative); }

    fixtures::ScratchFolder m_scratch;
    std::wstring m_real;  // the installation as the OS names it
    std::string m_cwd;
};

TEST_F(InstallFolderTest, EverySpellingOfOneFolderResolvesToTheSameName)
{
    const std::wstring spellings[] = {
        Wide("disk/games/inst"),
        Wide("disk/games/inst/"),
        Wide("disk/games/inst\\"),              // the other platform's trailing separator
        Wide("disk//games/./inst//"),
        Wide("disk/games/inst/bin/../../inst"),
        Wide("linked/inst"),                     // a game kept on another disk, linked in
        Wide("linked/inst/bin/.."),
        L"../disk/games/inst",                   // relative to the working folder
        L"../linked//inst",
    };
    for (const std::wstring& spelling : spellings)
    {
        std::wstring resolved, error;
        EXPECT_TRUE(LumoUtil::ResolveInstallFolder(spelling, resolved, error)) << ToNativePath(spelling);
        EXPECT_EQ(resolved, m_real) << ToNativePath(spelling);
    }
}

TEST_F(InstallFolderTest, FoldersThatCannotBeUsedAreRefusedWithTheirReason)
{
    const struct { const char* name; std::wstring given; const wchar_t* reason; } cases[] = {
        {"empty", L"", L"No installation folder is known"},
        {"missing", Wide("disk/games/gone"), L"does not exist"},
        {"dangling link", Wide("dangling"), L"does not exist"},
        {"a file", Wide("disk/games/a-file"), L"is a file"},
        {"below a file", Wide("disk/games/a-file/inst"), L"is not a folder"},
        {"a backslash in a name", Wide("disk/games\\inst"), L"holds a \"\\\""},
        {"short relative missing", L"cli", L"does not exist"},
    };
    for (const auto& c : cases)
    {
        std::wstring resolved = L"untouched", error;
        EXPECT_FALSE(LumoUtil::ResolveInstallFolder(c.given, resolved, error)) << c.name;
        EXPECT_NE(error.find(c.reason), std::wstring::npos) << c.name << ": " << ToNativePath(error);
        EXPECT_EQ(resolved, L"untouched") << c.name;
    }
}

TEST_F(InstallFolderTest, OneHolderAtATimeAcrossProcessesSharedWithinOne)
{
    std::wstring error;
    EXPECT_EQ(LumoUtil::InstallLock::ShareHeld(m_real), -1);
    {
        // Another process holds the installation: refused at once, naming it.
        fixtures::HoldingChild other([&](const fixtures::HoldingChild::Ready& ready) {
            std::wstring childError;
            auto lock = LumoUtil::InstallLock::Acquire(m_real, childError);
            ready(lock ? 'y' : 'n');
            return 0;
        });
        ASSERT_EQ(other.Answer(), 'y');
        EXPECT_EQ(LumoUtil::InstallLock::Acquire(m_real, error), nullptr);
        EXPECT_NE(error.find(L"in use by another process"), std::wstring::npos) << ToNativePath(error);
        EXPECT_NE(error.find(L"test_lumo"), std::wstring::npos) << ToNativePath(error);
        EXPECT_NE(error.find(L", process "), std::wstring::npos) << ToNativePath(error);
        other.Release();
    }
    // Its end lets the lock go; a second holder in this process shares it, the lock lasting
    // until the last one is gone.
    auto first = LumoUtil::InstallLock::Acquire(m_real, error);
    ASSERT_NE(first, nullptr) << ToNativePath(error);
    auto second = LumoUtil::InstallLock::Acquire(Wide("linked/inst"), error);
    ASSERT_NE(second, nullptr) << ToNativePath(error);
    first.reset();
    const int shared = LumoUtil::InstallLock::ShareHeld(Wide("disk/games/inst/"));
    ASSERT_GE(shared, 0);
    EXPECT_EQ(::flock(shared, LOCK_EX | LOCK_NB), 0);
    EXPECT_NE(::fcntl(shared, F_GETFD) & FD_CLOEXEC, 0);
    ::close(shared);
    // A forked child inherits this process's table of held locks: it asks the folder itself.
    const auto lockedElsewhere = [&](const fixtures::HoldingChild::Ready& ready) {
        const int fd = ::open(ToNativePath(m_real).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ready(fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n');
        return 0;
    };
    fixtures::HoldingChild refused(lockedElsewhere);
    EXPECT_EQ(refused.Answer(), 'n') << "closing a shared descriptor must not release the lock";
    refused.Release();
    second.reset();
    EXPECT_EQ(LumoUtil::InstallLock::ShareHeld(m_real), -1);
    fixtures::HoldingChild free(lockedElsewhere);
    EXPECT_EQ(free.Answer(), 'y');
    free.Release();
}

}  // namespace
