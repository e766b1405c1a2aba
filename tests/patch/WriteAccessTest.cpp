#include "patch/WriteAccess.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <thread>

#include "platform/NativePath.h"
#include "tests/fixtures/ScopedEnv.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/UnprivilegedChild.h"
#include "tests/fixtures/WaitFor.h"

using fixtures::PathExists;

namespace
{

class WriteAccessTest : public ::testing::Test
{
protected:
    // The check of the installation as a user without root's rights, TMPDIR at tmp: 1 when it
    // passed, else what judge makes of its reason (0: right); below 0 when no such user can be had.
    int RefusedUnprivileged(const std::string& tmp, const std::function<int(const std::wstring&)>& judge,
                            std::string* whyNot)
    {
        return fixtures::RunUnprivileged(
            [&] {
                setenv("TMPDIR", tmp.c_str(), 1);
                std::wstring reason;
                return CheckWriteAccess(FromNativePath(Install()), &reason) ? 1 : judge(reason);
            },
            whyNot);
    }

    void SetUp() override { mkdir(Install().c_str(), 0755); }

    std::string Install() const { return m_scratch / "install"; }
    std::wstring InstallW() const { return FromNativePath(Install()); }

    // A native executable in place of the game, found through other letter case.
    std::string PlaceGame() const
    {
        const std::string game = Install() + "/BIN/sollex.EXE";
        fixtures::WriteFile(game, fixtures::ReadFile("/bin/sleep"));
        chmod(game.c_str(), 0755);
        return game;
    }

    fixtures::ScratchFolder m_scratch;
    fixtures::ScopedEnv m_root{"LUMO_REGISTRY_ROOT", (m_scratch / "registry").c_str()};
};

TEST_F(WriteAccessTest, PassesWithoutTheGameAndNeedsTheMakersKey)
{
    std::wstring reason;
    EXPECT_TRUE(CheckWriteAccess(InstallW(), &reason)) << ToNativePath(reason);
    EXPECT_TRUE(PathExists(m_scratch / "registry/HKEY_LOCAL_MACHINE/Software/Kestin"));
    EXPECT_TRUE(CheckWriteAccess(FromNativePath(m_scratch / "no/such/install")));
    PlaceGame();
    EXPECT_TRUE(CheckWriteAccess(InstallW(), &reason)) << ToNativePath(reason);
    // A registry root below a regular file fails even for root.
    fixtures::WriteFile(m_scratch / "file", "x");
    setenv("LUMO_REGISTRY_ROOT", (m_scratch / "file/registry").c_str(), 1);
    EXPECT_FALSE(CheckWriteAccess(InstallW(), &reason));
    EXPECT_NE(std::wstring::npos, reason.find(L"HKEY_LOCAL_MACHINE\\Software\\Kestin")) << ToNativePath(reason);
}

TEST_F(WriteAccessTest, FailsWhileTheGameIsRunning)
{
    const std::string game = PlaceGame();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
    {
        execl(game.c_str(), "Sollex.exe", "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    // Wait until the child runs the game's file rather than our own image.
    const std::string exeLink = "/proc/" + std::to_string(pid) + "/exe";
    fixtures::WaitFor([&] {
        char target[4096] = {};
        return readlink(exeLink.c_str(), target, sizeof target - 1) > 0 && std::string(target) == game;
    });
    std::wstring reason;
    const bool running = CheckWriteAccess(InstallW(), &reason);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_FALSE(running);
    EXPECT_NE(std::wstring::npos, reason.find(L"sollex.EXE cannot be opened for writing")) << ToNativePath(reason);
    EXPECT_TRUE(CheckWriteAccess(InstallW(), &reason)) << ToNativePath(reason);
}

TEST_F(WriteAccessTest, FailsForAnUnprivilegedUser)
{
    ASSERT_TRUE(CheckWriteAccess(InstallW()));
    // Read-only for every user but root, whether the child drops root or already runs as the owner.
    chmod(PlaceGame().c_str(), 0555);
    chmod(m_scratch.Path().c_str(), 0755);
    chmod(Install().c_str(), 0777);  // only the game is kept from the user
    const std::string key = m_scratch / "registry/HKEY_LOCAL_MACHINE/Software/Kestin";
    const std::string tmp = m_scratch / "tmp";
    mkdir(tmp.c_str(), 01777);
    chmod(tmp.c_str(), 01777);
    struct Case { const char* what; mode_t keyMode; const wchar_t* reason; } cases[] = {
        {"read-only registry key", 0555, L"cannot be opened for writing: "},
        {"game not writable", 0777, L"sollex.EXE cannot be opened for writing"},
    };
    for (const Case& c : cases)
    {
        chmod(key.c_str(), c.keyMode);
        std::string whyNot;
        const int status = RefusedUnprivileged(
            tmp, [&](const std::wstring& reason) { return reason.find(c.reason) != std::wstring::npos ? 0 : 2; },
            &whyNot);
        if (status < 0)
            GTEST_SKIP() << whyNot;
        EXPECT_EQ(0, status) << c.what;
    }
}

// An installation without the game's executable is written all the same: a folder this user may
// not write fails the check (it passed before, and the run then failed on its first file).
TEST_F(WriteAccessTest, FailsForAFolderTheUserCannotWrite)
{
    chmod(m_scratch.Path().c_str(), 0755);
    const std::string tmp = m_scratch / "tmp";
    mkdir(tmp.c_str(), 01777);
    chmod(tmp.c_str(), 01777);
    ASSERT_TRUE(CheckWriteAccess(InstallW()));
    chmod((m_scratch / "registry/HKEY_LOCAL_MACHINE/Software/Kestin").c_str(), 0777);
    chmod(Install().c_str(), 0555);
    std::string whyNot;
    const int status = RefusedUnprivileged(
        tmp,
        [&](const std::wstring& reason) {
            if (reason != L"the installation folder " + FromNativePath(Install()) + L" cannot be written: Permission denied")
                return 2;
            // A folder that is not there is for the run's own checks to name.
            return CheckWriteAccess(FromNativePath(Install() + "/missing")) ? 0 : 3;
        },
        &whyNot);
    chmod(Install().c_str(), 0755);
    if (status < 0)
        GTEST_SKIP() << whyNot;
    EXPECT_EQ(0, status);
}

} // namespace
