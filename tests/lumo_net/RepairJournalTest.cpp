// The repair journal: what a run records before it makes files longer, how it ends, and what the
// next start does with a journal a kill left behind, damaged ones included.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "lumo/net/RepairJournal.h"
#include "platform/NativePath.h"
#include "tests/fixtures/RepairJournalText.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/UnprivilegedChild.h"
#include "tests/lumo_net/FolderDoor.h"

namespace
{
using fixtures::ReadFile;
using fixtures::RepairJournalText;
using fixtures::ScratchFolder;
using fixtures::WriteFile;
namespace fs = std::filesystem;

constexpr uint64_t kFar = 4194304000001ull; // segment 1000000 and one byte

// The size of a file, or -1 when it is gone.
int64_t SizeOf(const std::string& path)
{
    struct stat status{};
    return ::lstat(path.c_str(), &status) == 0 ? int64_t(status.st_size) : -1;
}

// Grows (or creates) a file to size as a segment write would, a sparse file beyond its end.
void Grow(const std::string& path, uint64_t size)
{
    fs::create_directories(fs::path(path).parent_path());
    if (!fixtures::PathExists(path))
        WriteFile(path, "");
    ASSERT_EQ(::truncate(path.c_str(), off_t(size)), 0);
}

std::string Lines(const std::vector<RepairRecoveryLine>& lines)
{
    std::string text;
    for (const RepairRecoveryLine& line : lines)
        text += std::to_string(line.level) + " " + ToNativePath(line.text) + "\n";
    return text;
}

// A run's writes through the journal, each grown on disk after it was recorded; how the run ends;
// then the next start.
TEST(RepairJournal, TheNextStartCutsBackWhatAKilledRunMadeLonger)
{
    struct Write
    {
        const char* path;
        uint64_t to; // the length the write gives the file (0 with cut: the file is cut to it)
        bool cut = false;
    };
    enum End { kKilled, kStopped, kCompleted, kCutFailed };
    const struct
    {
        const char* what;
        std::vector<Write> writes;
        End end;
        std::vector<std::pair<const char*, int64_t>> after; // path -> size (-1 gone)
        bool saysStopped;
    } cases[] = {
        {"far segment of an old file, killed", {{"data/a.txt", kFar}}, kKilled, {{"data/a.txt", 3}}, true},
        {"a new file, killed", {{"data/new.bin", 10}}, kKilled, {{"data/new.bin", -1}, {"data/a.txt", 3}}, true},
        {"cut, then grown again: the least length wins",
         {{"data/a.txt", 100}, {"data/a.txt", 1, true}, {"data/a.txt", 50}},
         kKilled,
         {{"data/a.txt", 1}},
         true},
        {"written within the file only", {{"data/a.txt", 3}}, kKilled, {{"data/a.txt", 3}}, true},
        {"stopped: the end-of-run check has cut already", {{"data/a.txt", 7}}, kStopped, {{"data/a.txt", 7}}, true},
        {"completed", {{"data/a.txt", 7}}, kCompleted, {{"data/a.txt", 7}}, false},
        {"stopped, but a cut failed", {{"data/a.txt", kFar}}, kCutFailed, {{"data/a.txt", 3}}, true},
        {"nothing written", {}, kStopped, {{"data/a.txt", 3}}, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        ScratchFolder install;
        WriteFile(install / "data/a.txt", "old");
        {
            RepairJournal journal(repairtest::DoorOf(install.Path()));
            for (const Write& write : c.writes)
            {
                const std::string path = install / write.path;
                const int64_t size = SizeOf(path);
                std::string error;
                ASSERT_TRUE(journal.BeforeChange(FromNativePath(path), size >= 0, size < 0 ? 0 : uint64_t(size),
                                                 write.cut ? 0 : write.to, error))
                    << error;
                EXPECT_TRUE(fixtures::PathExists(install / "repair.journal"));
                if (write.cut || uint64_t(std::max<int64_t>(size, 0)) < write.to)
                    Grow(path, write.to);
            }
            std::string error;
            if (c.end != kKilled)
            {
                EXPECT_TRUE(journal.End(c.end == kStopped || c.end == kCutFailed, c.end != kCutFailed, error)) << error;
            }
        }
        EXPECT_EQ(fixtures::PathExists(install / "repair.journal"), c.saysStopped);

        std::vector<RepairRecoveryLine> lines;
        EXPECT_TRUE(RecoverStoppedRepair(*repairtest::DoorOf(install.Path()), lines));
        for (const auto& [path, size] : c.after)
            EXPECT_EQ(SizeOf(install / path), size) << path;
        EXPECT_EQ(Lines(lines).rfind("2 A repair of " + install.Path() + " was stopped before it finished", 0) == 0,
                  c.saysStopped) << Lines(lines);
        EXPECT_EQ(Lines(lines).find("\n3 "), std::string::npos) << Lines(lines);
        EXPECT_FALSE(fixtures::PathExists(install / "repair.journal"));
    }
}

// A journal with lines that cannot be used: each damaged or unknown one is reported and left
// alone; the rest are followed; a torn last line is what a kill leaves and is dropped without a
// word. A link inside is followed to the file the repair wrote through it.
TEST(RepairJournal, ADamagedJournalIsReportedAndNeverFollowedOutOfTheInstallation)
{
    // A line starting with "!" is written as it stands (damaged or torn); "OUTSIDE" stands for the
    // absolute path of a file beside the installation.
    const struct
    {
        const char* what;
        std::vector<std::string> lines;
        const char* reported; // "" when nothing is reported at level 3
    } cases[] = {
        {"a link inside", {"BEGIN", "LENGTH 4 link.txt", "LENGTH 3 data/a.txt"}, ""},
        {"a new file that is a link", {"BEGIN", "NEW link.txt", "LENGTH 3 data/a.txt"},
         "(line 2), which is not a regular file; it is left alone."},
        {"damaged line", {"BEGIN", "!00000000 LENGTH 0 data/a.txt\n", "LENGTH 3 data/a.txt"},
         " is damaged (line 2): what that line named is left as it is."},
        {"unknown record", {"BEGIN", "SHRINK 0 data/a.txt", "LENGTH 3 data/a.txt"},
         " holds a line it cannot use (line 2); it is left alone."},
        {"a length no file has", {"BEGIN", "LENGTH -1 data/a.txt", "LENGTH 3 data/a.txt"},
         " holds a line it cannot use (line 2); it is left alone."},
        {"torn last line", {"BEGIN", "LENGTH 3 data/a.txt", "!1234abcd NEW da"}, ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        ScratchFolder scratch;
        const std::string install = scratch / "install", outside = scratch / "outside.txt";
        WriteFile(outside, "precious");
        WriteFile(scratch / "elsewhere/outside.txt", "precious");
        WriteFile(install + "/data/a.txt", "old");
        Grow(install + "/data/a.txt", kFar);
        WriteFile(install + "/target.txt", "kept whole");
        ASSERT_EQ(::symlink((scratch / "elsewhere").c_str(), (install + "/out").c_str()), 0);
        ASSERT_EQ(::symlink("target.txt", (install + "/link.txt").c_str()), 0);
        std::string journal;
        for (std::string line : c.lines)
        {
            if (const size_t at = line.find("OUTSIDE"); at != std::string::npos)
                line.replace(at, 7, outside);
            journal += line[0] == '!' ? line.substr(1) : RepairJournalText({line});
        }
        WriteFile(install + "/repair.journal", journal);

        std::vector<RepairRecoveryLine> lines;
        EXPECT_TRUE(RecoverStoppedRepair(*repairtest::DoorOf(install), lines));
        const std::string text = Lines(lines);
        EXPECT_EQ(ReadFile(outside), "precious");
        EXPECT_EQ(ReadFile(scratch / "elsewhere/outside.txt"), "precious");
        EXPECT_EQ(ReadFile(install + "/target.txt"), std::string(c.what) == "a link inside" ? "kept" : "kept whole");
        EXPECT_TRUE(fs::is_symlink(install + "/link.txt"));
        EXPECT_EQ(SizeOf(install + "/data/a.txt"), 3); // the intact record is followed
        EXPECT_EQ(text.rfind("2 A repair of " + install + " was stopped before it finished", 0), 0u) << text;
        if (*c.reported)
        {
            EXPECT_NE(text.find("\n3 The record of a stopped repair in " + install), std::string::npos) << text;
        }
        EXPECT_NE(text.find(c.reported), std::string::npos) << text;
        EXPECT_EQ(text.find("\n3 ") != std::string::npos, *c.reported != 0) << text;
        EXPECT_FALSE(fixtures::PathExists(install + "/repair.journal"));
    }
}

// A record naming a file no repair writes was not written by a repair, as a patch journal naming
// no file of a patch: a file the patcher keeps for itself (in any part of its name), the uninstaller
// the repair leaves alone, a name climbing out, an absolute name or a link leading out. Nothing it
// names is cut or removed, the record stays, and the line says to delete it and run the repair again.
TEST(RepairJournal, ARecordNamingAFileNoRepairWritesIsNotFollowedAtAll)
{
    const struct
    {
        const char* what;
        const char* line; // "OUTSIDE": the absolute path of a file beside the installation
    } cases[] = {
        {"a backup", "NEW data/b.bin.pbk"},
        {"the uninstaller", "LENGTH 0 unins000.exe"},
        {"the uninstaller through a link inside", "LENGTH 0 u.exe"},
        {"the patch journal as a folder", "NEW patch.journal/x"},
        {"a run's folder", "NEW .sollex-patcher-x/y"},
        {"climbs out", "LENGTH 0 ../outside.txt"},
        {"absolute", "NEW OUTSIDE"},
        {"through a link leading out", "LENGTH 0 out/outside.txt"},
        {"a link leading out itself", "LENGTH 0 outlink.txt"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        ScratchFolder scratch;
        const std::string install = scratch / "install", outside = scratch / "outside.txt";
        WriteFile(outside, "precious");
        WriteFile(install + "/data/b.bin.pbk", "the only original");
        WriteFile(install + "/unins000.exe", "uninstaller");
        WriteFile(install + "/data/a.txt", "old");
        Grow(install + "/data/a.txt", kFar);
        ASSERT_EQ(::symlink(scratch.Path().c_str(), (install + "/out").c_str()), 0);
        ASSERT_EQ(::symlink(outside.c_str(), (install + "/outlink.txt").c_str()), 0);
        ASSERT_EQ(::symlink("unins000.exe", (install + "/u.exe").c_str()), 0);
        std::string line = c.line;
        if (const size_t at = line.find("OUTSIDE"); at != std::string::npos)
            line.replace(at, 7, outside);
        const std::string journal = RepairJournalText({"BEGIN", "LENGTH 3 data/a.txt", line});
        WriteFile(install + "/repair.journal", journal);

        std::vector<RepairRecoveryLine> lines;
        EXPECT_FALSE(RecoverStoppedRepair(*repairtest::DoorOf(install), lines, {L"unins000.exe"}));
        const std::string text = Lines(lines);
        EXPECT_EQ(ReadFile(outside), "precious");
        EXPECT_EQ(ReadFile(install + "/data/b.bin.pbk"), "the only original");
        EXPECT_EQ(ReadFile(install + "/unins000.exe"), "uninstaller");
        EXPECT_EQ(SizeOf(install + "/data/a.txt"), int64_t(kFar)); // nothing of it followed
        EXPECT_EQ(ReadFile(install + "/repair.journal"), journal);
        EXPECT_NE(text.find("3 A repair of " + install + " was stopped, and the record of a stopped repair in " +
                            install + " is damaged: line 3 names no file a repair writes ("),
                  std::string::npos) << text;
        EXPECT_NE(text.find("so nothing it names was cut back or removed. Delete " + install +
                            "/repair.journal and run the repair again."),
                  std::string::npos) << text;
    }
}

// What is no longer the repair's file (a folder now) is left alone. A file that cannot be cut back
// keeps the journal for the next start, and the recovery fails with the reason; once the cut can
// be made, it is.
TEST(RepairJournal, AFileThatCannotBeCutKeepsTheJournal)
{
    ScratchFolder install;
    fs::create_directories(install / "data/a.txt");
    WriteFile(install / "repair.journal", RepairJournalText({"BEGIN", "LENGTH 3 data/a.txt"}));
    std::vector<RepairRecoveryLine> lines;
    EXPECT_TRUE(RecoverStoppedRepair(*repairtest::DoorOf(install.Path()), lines));
    EXPECT_TRUE(fs::is_directory(install / "data/a.txt"));
    EXPECT_FALSE(fixtures::PathExists(install / "repair.journal"));

    fs::remove(install / "data/a.txt");
    WriteFile(install / "data/a.txt", "old");
    Grow(install / "data/a.txt", kFar);
    WriteFile(install / "repair.journal", RepairJournalText({"BEGIN", "LENGTH 3 data/a.txt"}));
    // A file this user may not write: the check runs without root's rights.
    for (const std::string& folder : {install.Path(), install / "data"})
        ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    ASSERT_EQ(::chmod((install / "data/a.txt").c_str(), 0444), 0);
    std::string whyNot;
    const int status = fixtures::RunUnprivileged(
        [&] {
            std::vector<RepairRecoveryLine> seen;
            if (RecoverStoppedRepair(*repairtest::DoorOf(install.Path()), seen))
                return 1;
            return Lines(seen).find("could not be put right: cannot cut " + install / "data/a.txt") == std::string::npos
                       ? 2 : 0;
        },
        &whyNot);
    if (status == -1)
        GTEST_SKIP() << whyNot;
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(fixtures::PathExists(install / "repair.journal"));
    EXPECT_EQ(SizeOf(install / "data/a.txt"), int64_t(kFar));

    ASSERT_EQ(::chmod((install / "data/a.txt").c_str(), 0644), 0);
    lines.clear();
    EXPECT_TRUE(RecoverStoppedRepair(*repairtest::DoorOf(install.Path()), lines));
    EXPECT_EQ(SizeOf(install / "data/a.txt"), 3);
    EXPECT_FALSE(fixtures::PathExists(install / "repair.journal"));
}

} // namespace
