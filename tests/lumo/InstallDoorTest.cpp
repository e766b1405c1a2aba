#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <gtest/gtest.h>

#include "lumo/files/InstallDoor.h"
#include "platform/NativePath.h"
#include "tests/fixtures/ScratchFolder.h"

namespace fs = std::filesystem;
using LumoUtil::InstallDoor;
using LumoUtil::InstallFile;
using LumoUtil::InstallFileKind;

namespace {

std::string Contents(const fs::path& path)
{
    std::string bytes;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
            bytes.append(buffer, got);
        std::fclose(file);
    }
    return bytes;
}

struct Installation
{
    fixtures::ScratchFolder scratch;
    fs::path root = scratch / "inst";
    std::shared_ptr<InstallDoor> door;

    Installation()
    {
        fixtures::WriteFile(root / "data/b.bin", "bbbb");
        fixtures::WriteFile(root / "Data2/Mixed.TXT", "mixed");
        fixtures::WriteFile(scratch / "victim.txt", "precious");
        fs::create_directory_symlink("data", root / "link");
        fs::create_symlink("data/b.bin", root / "alias.bin");
        fs::create_symlink((root / "data").string(), root / "absolute");
        fs::create_directory_symlink("..", root / "data/up");
        fs::create_symlink("../victim.txt", root / "out.txt");
        fs::create_symlink("loop2", root / "loop1");
        fs::create_symlink("loop1", root / "loop2");
        std::wstring error;
        door = InstallDoor::Open(FromNativePath(root.string()), error);
    }
};

}  // namespace

// Every name reaches the file it leads to inside, by the case rule and through links that stay inside;
// what leads out, loops, runs through a file or reaches a file the patcher keeps is refused with its reason.
TEST(InstallDoor, ReachesTheFileANameLeadsToAndRefusesWhatLeadsElsewhere)
{
    Installation inst;
    ASSERT_TRUE(inst.door);
    const struct {
        const wchar_t* name;
        const wchar_t* reached;  // nullptr: refused
        const wchar_t* why;
    } cases[] = {
        {L"data\\b.bin", L"data/b.bin", nullptr},
        {L"DATA/B.BIN", L"data/b.bin", nullptr},
        {L"link/b.bin", L"data/b.bin", nullptr},
        {L"alias.bin", L"data/b.bin", nullptr},
        {L"absolute/b.bin", L"data/b.bin", nullptr},
        {L"data/up/data/b.bin", L"data/b.bin", nullptr},
        {L"data2/mixed.txt", L"Data2/Mixed.TXT", nullptr},
        {L"link/new/file.txt", L"data/new/file.txt", nullptr},
        {L"out.txt", nullptr, L"leads out of the installation"},
        {L"data/up/../x", nullptr, L"\"..\""},
        {L"loop1", nullptr, L"more than 40 symbolic links"},
        {L"data/b.bin/x", nullptr, L"is not a folder"},
        {L"data/up", nullptr, L"installation folder"},
        {L"patch.journal/x", nullptr, L"kept for the patch journal"},
        {L"data/b.bin.pbk/x", nullptr, L"kept for the backups"},
        {L"data/up/unins000.dat", L"unins000.dat", nullptr},
        {L"data/up/repair.journal", nullptr, L"kept for the record of a stopped repair"},
    };
    for (const auto& c : cases) {
        InstallFile file;
        std::wstring error;
        const bool reached = inst.door->Reach(c.name, file, error);
        EXPECT_EQ(reached, c.reached != nullptr) << ToNativePath(c.name) << ": " << ToNativePath(error);
        if (c.reached)
            EXPECT_EQ(file.relative, c.reached) << ToNativePath(c.name);
        else
            EXPECT_NE(error.find(c.why), std::wstring::npos) << ToNativePath(c.name) << ": " << ToNativePath(error);
    }
    // Two names of one file have one identity.
    InstallFile viaLink, direct;
    std::wstring error;
    ASSERT_TRUE(inst.door->Reach(L"link/B.bin", viaLink, error) && inst.door->Reach(L"data/b.bin", direct, error));
    EXPECT_EQ(viaLink.kind, InstallFileKind::Regular);
    EXPECT_TRUE(viaLink.identity == direct.identity);
}

// The patcher's own files: a link, folder or FIFO standing where one goes is never followed, read or
// blocked on; creating one removes what stood there, and nothing outside changes.
TEST(InstallDoor, OwnFilesAreOnlyRegularFilesAndAreCreatedWithoutFollowingALink)
{
    Installation inst;
    ASSERT_TRUE(inst.door);
    fs::create_symlink("../victim.txt", inst.root / "repair.cks.tmp");
    ASSERT_EQ(::mkfifo((inst.root / "patch.journal").c_str(), 0644), 0);
    fs::create_directory(inst.root / "repair.journal");
    fixtures::WriteFile(inst.root / "patch.dbstopped/x", "");
    const struct {
        const wchar_t* name;
        const wchar_t* what;
    } standing[] = {{L"repair.cks.tmp", L"symbolic link"}, {L"patch.journal", L"FIFO"},
                    {L"repair.journal", L"folder"}};
    for (const auto& s : standing) {
        std::string bytes;
        bool present = false;
        std::wstring error;
        EXPECT_FALSE(inst.door->ReadOwnFile(s.name, bytes, present, error)) << ToNativePath(s.name);
        EXPECT_TRUE(present && error.find(s.what) != std::wstring::npos && error.find(L"Delete it") != error.npos)
            << ToNativePath(error);
    }
    std::wstring error;
    for (const wchar_t* name : {L"repair.cks", L"patch.journal", L"repair.journal"})
        EXPECT_TRUE(inst.door->ReplaceOwnFile(name, L"repair.cks.tmp", "0stf", error)) << ToNativePath(error);
    EXPECT_EQ(Contents(inst.scratch / "victim.txt"), "precious");
    EXPECT_EQ(Contents(inst.root / "repair.journal"), "0stf");
    EXPECT_FALSE(fs::exists(fs::symlink_status(inst.root / "repair.cks.tmp")));
    // A folder with something in it is not removed, and the error says what to do.
    EXPECT_EQ(inst.door->CreateOwnFile(L"patch.dbstopped", O_WRONLY, 0644, error), -1);
    EXPECT_NE(error.find(L"Delete it"), std::wstring::npos) << ToNativePath(error);
    bool present = true;
    std::string bytes;
    EXPECT_TRUE(inst.door->ReadOwnFile(L"missing.note", bytes, present, error) && !present);
}

// A file with two names is given a copy of its own before it is written in place: the other name keeps
// its content. A link or a FIFO is never opened for writing.
TEST(InstallDoor, WritesInPlaceNeverReachAnotherNameOfTheFile)
{
    Installation inst;
    ASSERT_TRUE(inst.door);
    fixtures::WriteFile(inst.scratch / "backup-hl.txt", "old save");
    fs::create_hard_link(inst.scratch / "backup-hl.txt", inst.root / "data/hl.txt");
    std::wstring error;
    const int fd = inst.door->OpenForWriteInPlace(L"data/hl.txt", false, error);
    ASSERT_GE(fd, 0) << ToNativePath(error);
    ASSERT_EQ(::pwrite(fd, "NEW", 3, 0), 3);
    ::close(fd);
    EXPECT_EQ(Contents(inst.scratch / "backup-hl.txt"), "old save");
    EXPECT_EQ(Contents(inst.root / "data/hl.txt"), "NEW save");
    EXPECT_EQ(fs::hard_link_count(inst.root / "data/hl.txt"), 1u);
    EXPECT_FALSE(fs::exists(inst.root / "data/hl.txt.pbk.new"));

    ASSERT_EQ(::mkfifo((inst.root / "data/pipe").c_str(), 0644), 0);
    for (const wchar_t* name : {L"out.txt", L"data/pipe", L"link/b.bin"}) {
        EXPECT_EQ(inst.door->OpenForWriteInPlace(name, false, error), -1) << ToNativePath(name);
        EXPECT_FALSE(error.empty());
    }
    EXPECT_EQ(Contents(inst.scratch / "victim.txt"), "precious");
}
