#include <fcntl.h>
#include <sys/file.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "lumo/files/InstallFolder.h"
#include "platform/NativePath.h"
#include "tests/fixtures/HoldingChild.h"
#include "tests/fixtures/ScratchFolder.h"

namespace
{

namespace fs = std::filesystem;
using LumoUtil::InstallLock;

class InstallFolderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fixtures::WriteFile(m_scratch / "disk/games/inst/bin/keep", "");
        fixtures::WriteFile(m_scratch / "disk/games/a-file", "x");
        fs::create_directory_symlink(m_scratch / "disk/games", m_scratch / "linked");
        m_real = FromNativePath(fs::canonical(m_scratch / "disk/games/inst").string());
        fs::current_path(m_scratch / "disk");
    }
    void TearDown() override { fs::current_path(m_cwd); }
    std::wstring Wide(const std::string& relative) const { return FromNativePath(m_scratch / relative); }

    const fs::path m_cwd = fs::current_path();
    fixtures::ScratchFolder m_scratch;
    std::wstring m_real; // the installation as the OS names it
};

TEST_F(InstallFolderTest, EverySpellingOfOneFolderResolvesToTheSameNameAndUnusableOnesAreRefused)
{
    const struct { std::wstring given; const wchar_t* refusal; } cases[] = {
        {Wide("disk//games/./inst\\"), nullptr}, // with the other platform's trailing separator
        {Wide("linked/inst/bin/.."), nullptr},   // a game kept on another disk, linked in
        {L"../linked//inst", nullptr},           // relative to the working folder
        {L"", L"No installation folder is known"},
        {Wide("disk/games/gone"), L"does not exist"},
        {Wide("disk/games/a-file"), L"is a file"},
        {Wide("disk/games/a-file/inst"), L"is not a folder"},
        {Wide("disk/games\\inst"), L"holds a \"\\\""},
    };
    for (const auto& c : cases)
    {
        std::wstring resolved, error;
        EXPECT_EQ(LumoUtil::ResolveInstallFolder(c.given, resolved, error), !c.refusal) << ToNativePath(c.given);
        if (c.refusal)
            EXPECT_NE(error.find(c.refusal), std::wstring::npos) << ToNativePath(error);
        else
            EXPECT_EQ(resolved, m_real) << ToNativePath(c.given);
    }
}

TEST_F(InstallFolderTest, OneHolderAtATimeAcrossProcessesSharedWithinOne)
{
    // A forked child inherits this process's table of held locks: it takes the folder's own.
    const auto lockedElsewhere = [&](const fixtures::HoldingChild::Ready& ready) {
        const int fd = ::open(ToNativePath(m_real).c_str(), O_RDONLY | O_DIRECTORY);
        ready(fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n');
        return 0;
    };
    std::wstring error;
    {
        fixtures::HoldingChild other(lockedElsewhere);
        ASSERT_EQ(other.Answer(), 'y');
        EXPECT_EQ(InstallLock::Acquire(m_real, error), nullptr);
        EXPECT_NE(error.find(L"in use by another process (\""), std::wstring::npos) << ToNativePath(error);
    }
    // Holders in one process share the lock until the last one is gone; a shared descriptor of it
    // is close-on-exec, and closing it keeps the lock.
    auto first = InstallLock::Acquire(m_real, error);
    auto second = InstallLock::Acquire(Wide("linked/inst"), error);
    ASSERT_TRUE(first && second) << ToNativePath(error);
    first.reset();
    const int shared = InstallLock::ShareHeld(Wide("disk/games/inst/"));
    ASSERT_EQ(::flock(shared, LOCK_EX | LOCK_NB), 0);
    EXPECT_NE(::fcntl(shared, F_GETFD) & FD_CLOEXEC, 0);
    ::close(shared);
    EXPECT_EQ(fixtures::HoldingChild(lockedElsewhere).Answer(), 'n');
    second.reset();
    EXPECT_EQ(InstallLock::ShareHeld(m_real), -1);
    EXPECT_EQ(fixtures::HoldingChild(lockedElsewhere).Answer(), 'y');
}

}  // namespace
