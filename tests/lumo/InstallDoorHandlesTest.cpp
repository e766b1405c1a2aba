#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <gtest/gtest.h>

#include "lumo/files/InstallDoor.h"
#include "lumo/files/InstallFolder.h"
#include "platform/NativePath.h"
#include "tests/fixtures/ScratchFolder.h"

namespace fs = std::filesystem;
using LumoUtil::InstallDoor;
using LumoUtil::InstallFile;
using LumoUtil::InstallFileKind;

namespace {

struct Installation
{
    fixtures::ScratchFolder scratch;
    fs::path root = scratch / "inst";
    fs::path outside = scratch / "outside";

    Installation()
    {
        fixtures::WriteFile(root / "data/sub/f1.dat", "original");
        fixtures::WriteFile(outside / "victim.txt", "precious");
    }

    std::shared_ptr<InstallDoor> Door() const
    {
        std::wstring error;
        auto door = InstallDoor::Open(FromNativePath(root.string()), error);
        EXPECT_TRUE(door) << ToNativePath(error);
        return door;
    }
};

}  // namespace

// A link's target is read as the kernel reads it: a "\" in it is part of a name, which no name of
// the installation holds, and split again later it would walk up and out.
TEST(InstallDoorHandles, ALinkTargetHoldingABackslashIsRefused)
{
    Installation inst;
    fs::create_directory(inst.root / "a");
    for (const char* target : {"..\\outside", "a\\..\\..\\outside", "data\\sub"}) {
        SCOPED_TRACE(target);
        fs::remove(inst.root / "x");
        fs::create_symlink(target, inst.root / "x");
        const auto door = inst.Door();
        InstallFile file;
        std::wstring error;
        EXPECT_FALSE(door->Reach(L"x\\planted.txt", file, error));
        EXPECT_NE(error.find(L"which an installation cannot hold"), std::wstring::npos) << ToNativePath(error);
        EXPECT_FALSE(door->Reach(L"x/victim.txt", file, error));
        EXPECT_FALSE(door->Reach(L"x", file, error));
    }
    EXPECT_EQ(fixtures::ReadFile(inst.outside / "victim.txt"), "precious");
    EXPECT_FALSE(fs::exists(inst.outside / "planted.txt"));
}

// Once reached, a folder is the one the run holds: moved away and replaced by a link leading out,
// every look, create, rename and removal still works in the folder the run reached.
TEST(InstallDoorHandles, AFolderMovedOrSwappedForALinkIsStillTheFolderTheRunHolds)
{
    Installation inst;
    const auto door = inst.Door();
    InstallFile file;
    std::wstring error;
    ASSERT_TRUE(door->Reach(L"DATA\\Sub\\F1.DAT", file, error)) << ToNativePath(error);
    ASSERT_TRUE(file.handle.Valid());
    EXPECT_EQ(file.handle.Leaf(), "f1.dat");

    fs::rename(inst.root / "data/sub", inst.scratch / "moved");
    fs::create_directory_symlink(inst.outside, inst.root / "data/sub");

    EXPECT_EQ(door->Look(L"data/sub/f1.dat").kind, InstallFileKind::Regular);
    ASSERT_TRUE(door->Rename(L"data/sub/f1.dat", L"data/sub/f1.dat.pbk", error)) << ToNativePath(error);
    const int fd = door->CreateOwnFile(L"data/sub/f1.dat.pbk.new", O_WRONLY, 0644, error);
    ASSERT_GE(fd, 0) << ToNativePath(error);
    ::close(fd);
    EXPECT_TRUE(door->RemoveFile(L"data/sub/f1.dat.pbk.new", error));
    ASSERT_TRUE(door->Rename(L"data/sub/f1.dat.pbk", L"data/sub/f1.dat", error)) << ToNativePath(error);

    EXPECT_EQ(fixtures::ReadFile(inst.scratch / "moved/f1.dat"), "original");
    EXPECT_EQ(fs::directory_iterator(inst.outside)->path().filename(), "victim.txt");
    EXPECT_EQ(std::distance(fs::directory_iterator(inst.outside), fs::directory_iterator()), 1);

    // A folder the door never reached is looked at as it stands now: through a link is "cannot
    // reach", never "not there".
    const auto fresh = inst.Door();
    const InstallFile through = fresh->Look(L"data/sub/f1.dat");
    EXPECT_EQ(through.kind, InstallFileKind::Unreachable);
    EXPECT_NE(through.reason.find(L"a symbolic link, not a folder"), std::wstring::npos) << ToNativePath(through.reason);
    fs::remove(inst.root / "data/sub");
    const InstallFile gone = fresh->Look(L"data/sub/f1.dat");
    EXPECT_EQ(gone.kind, InstallFileKind::Missing);
    EXPECT_FALSE(gone.folderPresent);
}

// The case rule lists a folder once, and what the run itself adds, renames or removes there, as well
// as what anybody else changes, is still found afterwards.
TEST(InstallDoorHandles, NamesFoundByCaseStayTrueAfterChanges)
{
    Installation inst;
    const auto door = inst.Door();
    InstallFile file;
    std::wstring error;
    ASSERT_TRUE(door->Reach(L"data/sub/NEW.txt", file, error));
    EXPECT_EQ(file.kind, InstallFileKind::Missing);
    EXPECT_TRUE(file.handle.Valid());

    const int fd = door->CreateOwnFile(L"data/sub/New.txt", O_WRONLY, 0644, error);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ASSERT_TRUE(door->Reach(L"data/sub/NEW.TXT", file, error));
    EXPECT_EQ(file.relative, L"data/sub/New.txt");

    ASSERT_TRUE(door->Rename(L"data/sub/New.txt", L"data/sub/Renamed.txt", error));
    ASSERT_TRUE(door->Reach(L"data/sub/new.txt", file, error));
    EXPECT_EQ(file.kind, InstallFileKind::Missing);
    ASSERT_TRUE(door->Reach(L"data/sub/RENAMED.txt", file, error));
    EXPECT_EQ(file.relative, L"data/sub/Renamed.txt");

    fixtures::WriteFile(inst.root / "data/sub/Other.bin", "x");  // made by somebody else
    ASSERT_TRUE(door->Reach(L"data/sub/other.BIN", file, error));
    EXPECT_EQ(file.relative, L"data/sub/Other.bin");
    EXPECT_EQ(file.kind, InstallFileKind::Regular);

    fixtures::WriteFile(inst.root / "data/sub/OTHER.bin", "y");
    EXPECT_FALSE(door->Reach(L"data/sub/other.bin", file, error));
    EXPECT_NE(error.find(L"ambiguous"), std::wstring::npos);
}

// A folder the run removed and somebody made again under its name is the new folder.
TEST(InstallDoorHandles, AFolderRemovedAndMadeAgainIsTheNewOne)
{
    Installation inst;
    const auto door = inst.Door();
    std::wstring error;
    ASSERT_TRUE(door->MakeFolders(L"data/made/deep", error));
    InstallDoor::FolderRemoval outcome;
    ASSERT_TRUE(door->RemoveEmptyFolder(L"data/made/deep", outcome, error));
    EXPECT_EQ(outcome, InstallDoor::FolderRemoval::Removed);
    ASSERT_TRUE(door->RemoveEmptyFolder(L"data/made", outcome, error));
    ASSERT_TRUE(door->RemoveEmptyFolder(L"data/sub", outcome, error));
    EXPECT_EQ(outcome, InstallDoor::FolderRemoval::Stayed);

    fs::create_directories(inst.root / "data/made/deep");  // by somebody else
    const int fd = door->CreateOwnFile(L"data/made/deep/x.txt", O_WRONLY, 0644, error);
    ASSERT_GE(fd, 0) << ToNativePath(error);
    ::close(fd);
    EXPECT_TRUE(fs::exists(inst.root / "data/made/deep/x.txt"));
}

// Game files are read without following a link and without waiting on a FIFO.
TEST(InstallDoorHandles, GameFilesAreReadOnlyWhenTheyAreFiles)
{
    Installation inst;
    ASSERT_EQ(::mkfifo((inst.root / "data/pipe").c_str(), 0600), 0);
    fs::create_symlink(inst.outside / "victim.txt", inst.root / "data/link.txt");
    const auto door = inst.Door();
    std::wstring error;
    const int fd = door->OpenForReading(L"data/sub/f1.dat", error);
    ASSERT_GE(fd, 0) << ToNativePath(error);
    char bytes[16] = {};
    EXPECT_EQ(::read(fd, bytes, sizeof bytes), 8);
    ::close(fd);
    for (const auto& [name, said] : {std::pair{L"data/pipe", L"a FIFO (named pipe), not a file"},
                                     std::pair{L"data/link.txt", L"a symbolic link, not a file"},
                                     std::pair{L"data/sub", L"a folder, not a file"}}) {
        EXPECT_LT(door->OpenForReading(name, error), 0);
        EXPECT_NE(error.find(said), std::wstring::npos) << ToNativePath(error);
    }
}

// One door per take: every part of a run that names the installation gets the take's door, also
// when the folder was renamed and something else put under its name meanwhile.
TEST(InstallDoorTake, TheTakesNameLeadsToTheTakesDoorWhateverStandsThereNow)
{
    Installation inst;
    const std::wstring name = FromNativePath(inst.root.string());
    std::wstring error;
    const std::unique_ptr<LumoUtil::InstallLock> lock = LumoUtil::InstallLock::Acquire(name, error);
    ASSERT_TRUE(lock) << ToNativePath(error);
    const LumoUtil::FileIdentity taken = LumoUtil::IdentityOf(lock->Door()->Fd());
    EXPECT_EQ(InstallDoor::Open(name, error), lock->Door());

    fs::rename(inst.root, inst.scratch / "renamed");
    fs::create_directory_symlink(inst.outside, inst.root);
    const auto door = InstallDoor::Open(name, error);
    ASSERT_TRUE(door);
    EXPECT_EQ(LumoUtil::IdentityOf(door->Fd()), taken);
    const std::unique_ptr<LumoUtil::InstallLock> again = LumoUtil::InstallLock::Acquire(name, error);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->Door(), lock->Door());
    EXPECT_EQ(door->Look(L"data/sub/f1.dat").kind, InstallFileKind::Regular);
    EXPECT_EQ(door->Look(L"victim.txt").kind, InstallFileKind::Missing);
}

// A failure is told by the call that failed: a later look at the name (which finds nothing) does
// not turn "Too many open files" (or a full disk) into "No such file or directory".
TEST(InstallDoorHandles, AFailedCreateTellsItsOwnReason)
{
    Installation inst;
    const pid_t child = fork();
    if (child == 0) {
        const auto door = inst.Door();
        std::wstring error;
        if (door->Look(L"data/sub/new.dat").kind != InstallFileKind::Missing)
            _exit(2);
        // No descriptor left for the file itself.
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = static_cast<rlim_t>(::fcntl(0, F_DUPFD, 0));
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            _exit(4);
        int reason = 0;
        const int fd = door->OpenForWriteInPlace(L"data/sub/new.dat", true, error, &reason);
        _exit(fd < 0 && reason == EMFILE ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
