#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>

#include "lumo/files/InstallDoor.h"
#include "lumo/files/InstallFolder.h"
#include "platform/NativePath.h"
#include "tests/fixtures/EndedOwner.h"
#include "tests/fixtures/HoldingChild.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/UnprivilegedChild.h"

namespace fs = std::filesystem;
using LumoUtil::InstallLock;

// Every spelling of a folder resolves to its one name; unusable ones are refused with their reason. Its lock
// has one holder process at a time, named in a refusal, and is shared in one process until the last holder
// goes; a shared descriptor of it is close-on-exec and keeps the lock when closed.
TEST(InstallFolder, ResolvesEverySpellingToOneNameAndLocksItForOneProcessAtATime)
{
    fixtures::ScratchFolder scratch;
    fixtures::WriteFile(scratch / "disk/games/inst/bin/keep", "");
    fs::create_directory_symlink(scratch / "disk/games", scratch / "linked");
    const auto wide = [&](const std::string& relative) { return FromNativePath(scratch / relative); };
    const std::wstring real = FromNativePath(fs::canonical(scratch / "disk/games/inst").string());
    const struct { std::wstring given; const wchar_t* refusal; } cases[] = {
        {wide("disk//games/./inst\\"), nullptr}, {wide("linked/inst/bin/.."), nullptr},
        {FromNativePath(fs::path(scratch / "linked/inst").lexically_relative(fs::current_path())), nullptr},
        {L"", L"No installation folder is known"}, {wide("disk/games/gone"), L"does not exist"},
        {wide("disk/games/inst/bin/keep"), L"is a file"}, {wide("disk/games/inst/bin/keep/x"), L"is not a folder"},
        {wide("disk/games\\inst"), L"holds a \"\\\""},
    };
    std::wstring error;
    for (const auto& c : cases)
    {
        std::wstring resolved;
        EXPECT_EQ(LumoUtil::ResolveInstallFolder(c.given, resolved, error), !c.refusal) << ToNativePath(c.given);
        EXPECT_TRUE(c.refusal ? error.find(c.refusal) != std::wstring::npos : resolved == real)
            << ToNativePath(c.given) << " -> " << ToNativePath(resolved + error);
    }
    // A forked child inherits this process's table of held locks: it takes the folder's own.
    const auto lockedElsewhere = [&](const fixtures::HoldingChild::Ready& ready) {
        const int fd = ::open(ToNativePath(real).c_str(), O_RDONLY | O_DIRECTORY);
        ready(fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n');
        return 0;
    };
    fixtures::HoldingChild other(lockedElsewhere);
    ASSERT_EQ(other.Answer(), 'y');
    EXPECT_TRUE(!InstallLock::Acquire(real, error) && error.find(L"in use by another process (\"") != error.npos)
        << ToNativePath(error);
    other.Release();
    auto first = InstallLock::Acquire(real, error), second = InstallLock::Acquire(wide("linked/inst"), error);
    ASSERT_TRUE(first && second) << ToNativePath(error);
    first.reset();
    {
        const auto door = InstallLock::HeldDoor(wide("disk/games/inst/"));
        ASSERT_TRUE(door);
        EXPECT_EQ(door, second->Door());
        const int shared = door->Fd();
        EXPECT_TRUE(::flock(shared, LOCK_EX | LOCK_NB) == 0 && (::fcntl(shared, F_GETFD) & FD_CLOEXEC)) << shared;
    }
    EXPECT_EQ(fixtures::HoldingChild(lockedElsewhere).Answer(), 'n');
    second.reset();
    EXPECT_EQ(InstallLock::HeldDoor(real), nullptr);
    EXPECT_EQ(fixtures::HoldingChild(lockedElsewhere).Answer(), 'y');
}

// The write check looks at every folder below the installation, not only at the top: the first
// that cannot be written is named with the reason. Links and run folders are not the game's and
// are passed over. Run as a user without root's rights, who is refused as any user would be.
TEST(InstallFolder, WriteCheckNamesTheFirstFolderBelowThatCannotBeWritten)
{
    fixtures::ScratchFolder scratch;
    const std::string install = scratch / "game";
    const std::string outside = scratch / "outside";
    for (const std::string& folder : {install + "/bin", install + "/data/deep/er", install + "/.sollex-patcher-1-2-Ab12Cd",
                                      outside})
        fs::create_directories(folder);
    fs::create_directory_symlink(outside, install + "/linked");
    chmod(scratch.Path().c_str(), 0755);
    for (const std::string& folder : {install, install + "/bin", install + "/data", install + "/data/deep",
                                      install + "/data/deep/er", outside})
        chmod(folder.c_str(), 0777);
    chmod((install + "/.sollex-patcher-1-2-Ab12Cd").c_str(), 0555);  // a run folder: not written by a repair
    chmod(outside.c_str(), 0555);                                    // behind a link: not the game's

    const std::wstring refused = L"The installation " + FromNativePath(install) + L" cannot be written: ";
    struct Case { const char* locked; mode_t mode; std::wstring error; };
    const Case cases[] = {
        {"", 0777, L""},
        {"", 0555, refused + L"Permission denied"},
        {"/bin", 0555, refused + FromNativePath(install + "/bin") + L": Permission denied"},
        {"/data/deep/er", 0555, refused + FromNativePath(install + "/data/deep/er") + L": Permission denied"},
        {"/data/deep", 0333, refused + FromNativePath(install + "/data/deep") + L": Permission denied"},  // cannot be listed
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.locked);
        const std::string locked = install + c.locked;
        chmod(locked.c_str(), c.mode);
        std::string whyNot;
        const int status = fixtures::RunUnprivileged(
            [&] {
                std::wstring error;
                const std::shared_ptr<LumoUtil::InstallDoor> door = LumoUtil::InstallDoor::Open(FromNativePath(install), error);
                const bool writable = door && LumoUtil::CheckInstallFolderWritable(*door, error);
                if (writable != c.error.empty() || (!writable && error != c.error))
                {
                    fprintf(stderr, "%ls\n", error.c_str());
                    return 2;
                }
                return 0;
            },
            &whyNot);
        chmod(locked.c_str(), 0777);
        if (status < 0)
            GTEST_SKIP() << whyNot;
        EXPECT_EQ(status, 0);
    }
}

// What killed runs left goes, below the installation and in the temporary folder alike, and what
// cannot go is named: here a leftover holding a folder its owner may not write.
TEST(InstallFolder, EndedRunsLeftoversGoFromBothPlacesAndThoseThatStayAreNamed)
{
    fixtures::ScratchFolder scratch;
    const std::string install = scratch / "install", tmp = scratch / "tmp";
    chmod(scratch.Path().c_str(), 0755);
    for (const std::string& folder : {install, tmp})
    {
        fs::create_directories(folder);
        fs::permissions(folder, fs::perms::all | fs::perms::sticky_bit);  // the unprivileged user's too
    }
    const std::string ended = fixtures::EndedOwnerTag();
    std::string whyNot;
    const int status = fixtures::RunUnprivileged(
        [&] {
            setenv("TMPDIR", tmp.c_str(), 1);
            const std::string stuck = install + "/.sollex-patcher-" + ended + "-Stuck1";
            fixtures::WriteFile(stuck + "/locked/file", "kept");
            fixtures::WriteFile(install + "/.sollex-patcher-" + ended + "-Gone01/file/data", "unpacked");
            fixtures::WriteFile(tmp + "/lumo-" + ended + "-Gone02/100_to_101.zip", "partial");
            fixtures::WriteFile(tmp + "/lumo-test.keep", "not ours");
            chmod((stuck + "/locked").c_str(), 0555);
            const std::vector<std::wstring> left = LumoUtil::RemoveEndedRunLeftovers(FromNativePath(install));
            chmod((stuck + "/locked").c_str(), 0755);  // the scratch folder can go again
            const bool named = left == std::vector<std::wstring>{FromNativePath(stuck)};
            const bool rest = fixtures::ListFolder(install) == std::vector<std::string>{".sollex-patcher-" + ended + "-Stuck1"} &&
                              fixtures::ListFolder(tmp) == std::vector<std::string>{"lumo-test.keep"};
            return (named ? 0 : 1) + (rest ? 0 : 2);
        },
        &whyNot);
    if (status < 0)
        GTEST_SKIP() << whyNot;
    EXPECT_EQ(status, 0) << "1: the one that stays is not named alone; 2: the others did not all go";
}
