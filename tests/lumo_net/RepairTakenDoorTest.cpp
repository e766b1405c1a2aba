// The repair works on the installation its caller took, through the door of that take: the run
// (scan, journal, records, summary), the recovery of a stopped repair and the pruning of the
// summary. Another folder put at the installation's name afterwards is never touched.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lumo/buffers/LumoDataBufferFile.h"
#include "lumo/files/InstallFolder.h"
#include "lumo/net/RepairClient.h"
#include "lumo/net/RepairJournal.h"
#include "lumo/net/SavedSummary.h"
#include "lumo/net/SegmentName.h"
#include "platform/NativePath.h"
#include "tests/fixtures/RepairJournalText.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/lumo_net/RepairAgainst.h"
#include "tests/lumo_net/RepairServerProcess.h"

namespace
{
using fixtures::ReadFile;
using fixtures::ScratchFolder;
using fixtures::WriteFile;
namespace fs = std::filesystem;

// Every file below root with its content.
std::map<std::string, std::string> Tree(const std::string& root)
{
    std::map<std::string, std::string> files;
    for (const auto& item : fs::recursive_directory_iterator(root))
        if (item.is_regular_file())
            files[fs::relative(item.path(), root).string()] = ReadFile(item.path().string());
    return files;
}

// How many entries the summary saved in folder holds for file ("\" between parts).
size_t SavedEntries(const std::string& folder, const std::wstring& file)
{
    FileTreeSummary summary;
    LumoDataBufferFile saved(FromNativePath(folder + "/repair.cks"), LumoDataBufferFile::MODE_READ);
    EXPECT_TRUE(saved.IsOpen());
    EXPECT_EQ(summary.Read(saved), LUMORESULT_OK);
    size_t count = 0;
    for (const auto& [name, entry] : summary.Snapshot())
        count += GetSegmentPath(name) == file;
    return count;
}

// The door comes from a take of the installation, as every run has it, or from a folder opened on
// its own: either way it is the folder the door holds that is worked on, not what bears its name.
TEST(RepairTakenDoor, EveryStepWorksOnTheDoorsFolderNotOnItsName)
{
    for (const bool take : {true, false})
    {
        SCOPED_TRACE(take ? "taken" : "opened on its own");
        ScratchFolder scratch;
        const std::string reference = scratch / "reference", moved = scratch / "moved";
        WriteFile(reference + "/data/a.bin", "right");
        WriteFile(reference + "/b.bin", "b");
        WriteFile(scratch / "install/data/a.bin", "wrong");
        WriteFile(scratch / "install/b.bin", "b");
        repairtest::RepairServer server(reference, scratch / "server.log");
        ASSERT_NE(server.Port(), 0);

        std::wstring root, error;
        ASSERT_TRUE(LumoUtil::ResolveInstallFolder(FromNativePath(scratch / "install"), root, error))
            << ToNativePath(error);
        std::unique_ptr<LumoUtil::InstallLock> lock;
        if (take)
            lock = LumoUtil::InstallLock::Acquire(root, error);
        ASSERT_TRUE(lock || !take) << ToNativePath(error);
        const std::shared_ptr<LumoUtil::InstallDoor> door = take ? lock->Door() : repairtest::DoorOf(root);
        // The folder moves away and a decoy takes its name, holding what a repair or a recovery
        // by that name would write, cut or prune.
        const std::string name = ToNativePath(root);
        ASSERT_EQ(std::rename(name.c_str(), moved.c_str()), 0);
        WriteFile(name + "/data/a.bin", "decoy");
        WriteFile(name + "/b.bin", "decoy");
        WriteFile(name + "/repair.journal", fixtures::RepairJournalText({"BEGIN", "LENGTH 1 data/a.bin"}));
        WriteFile(name + "/repair.cks", "decoy");
        const std::map<std::string, std::string> decoy = Tree(name);

        // The run: scanned, recorded, written and summarised in the door's folder.
        RepairClient client;
        ASSERT_EQ(client.SetRootFolder(door), LUMORESULT_OK);
        ASSERT_EQ(client.SetSummaryFile(root + L"/repair.cks"), LUMORESULT_OK);
        ASSERT_EQ(client.SetServerAddress(SocketAddress{0x7F000001, uint16_t(server.Port())}), LUMORESULT_OK);
        repairtest::RunToEnd(client);
        EXPECT_TRUE(client.Succeeded()) << repairtest::Reasons(client) << server.Log();
        EXPECT_EQ(ReadFile(moved + "/data/a.bin"), "right");
        EXPECT_FALSE(fixtures::PathExists(moved + "/repair.journal"));
        EXPECT_EQ(SavedEntries(moved, L"data\\a.bin"), 1u);
        EXPECT_TRUE(Tree(name) == decoy);

        // A stopped repair's record there: its file cut back, its entries dropped.
        WriteFile(moved + "/repair.journal", fixtures::RepairJournalText({"BEGIN", "LENGTH 1 data/a.bin"}));
        std::vector<RepairRecoveryLine> lines;
        EXPECT_TRUE(RecoverStoppedRepair(*door, lines));
        EXPECT_EQ(ReadFile(moved + "/data/a.bin"), "r");
        EXPECT_FALSE(fixtures::PathExists(moved + "/repair.journal"));
        EXPECT_EQ(SavedEntries(moved, L"data\\a.bin"), 0u);
        EXPECT_TRUE(Tree(name) == decoy);

        // What a committed patch forgets.
        std::string forgetError;
        EXPECT_TRUE(ForgetFilesInSummary(*door, {L"B.BIN"}, forgetError)) << forgetError;
        EXPECT_EQ(SavedEntries(moved, L"b.bin"), 0u);
        EXPECT_TRUE(Tree(name) == decoy);
    }
}

// A summary kept in a folder below the installation is read and saved through the same door.
TEST(RepairTakenDoor, ASummaryBelowTheInstallationIsKeptThroughItsDoor)
{
    ScratchFolder scratch;
    const std::string moved = scratch / "moved";
    WriteFile(scratch / "reference/a.bin", "right");
    WriteFile(scratch / "install/a.bin", "wrong");
    WriteFile(scratch / "install/sub/keep", "");
    WriteFile(scratch / "reference/sub/keep", "");
    repairtest::RepairServer server(scratch / "reference", scratch / "server.log");
    ASSERT_NE(server.Port(), 0);
    std::wstring root, error;
    ASSERT_TRUE(LumoUtil::ResolveInstallFolder(FromNativePath(scratch / "install"), root, error));
    const std::shared_ptr<LumoUtil::InstallDoor> door = repairtest::DoorOf(root);
    const std::string name = ToNativePath(root);
    ASSERT_EQ(std::rename(name.c_str(), moved.c_str()), 0);
    WriteFile(name + "/sub/keep", "");

    RepairClient client;
    ASSERT_EQ(client.SetRootFolder(door), LUMORESULT_OK);
    ASSERT_EQ(client.SetSummaryFile(root + L"/sub/repair.cks"), LUMORESULT_OK);
    ASSERT_EQ(client.SetServerAddress(SocketAddress{0x7F000001, uint16_t(server.Port())}), LUMORESULT_OK);
    repairtest::RunToEnd(client);
    EXPECT_TRUE(client.Succeeded()) << repairtest::Reasons(client) << server.Log();
    EXPECT_EQ(ReadFile(moved + "/a.bin"), "right");
    EXPECT_TRUE(fixtures::PathExists(moved + "/sub/repair.cks"));
    EXPECT_FALSE(fixtures::PathExists(name + "/sub/repair.cks"));
}

} // namespace
