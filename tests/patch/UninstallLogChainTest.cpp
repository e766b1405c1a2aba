// Two patches applied one after the other through the whole driver: the uninstall log grows by one
// delete-file record for every file each patch adds, in order, and still checks out byte for byte
// under the independent reader, whatever the original log's last block held.

#include "patch/ApplyPatchPackage.h"

#include <gtest/gtest.h>

#include "platform/NativePath.h"
#include "tests/fixtures/FakeInstall.h"
#include "tests/fixtures/FakePatchTool.h"
#include "tests/fixtures/FileListWriter.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/UninstallLogFixture.h"
#include "tests/patch/PatchMessageLog.h"

namespace {

struct ChainPatch
{
    std::vector<std::pair<std::string, std::string>> added;   // list path, content
    std::vector<std::string> deleted;                          // list path
    std::vector<std::pair<std::string, std::string>> patched; // list path, new content
};

const ChainPatch kFirst = {
    {{"bin\\game.dll", "game v2"}, {"data\\coast\\deep\\track 1.bin", "track 1"}, {"extra.txt", "extra"}},
    {"bin\\old.dll"},
    {{"data\\a.ka", std::string(6000, 'b')}},
};
const ChainPatch kSecond = {
    {{"data\\coast\\deep\\track 2.bin", "track 2"}, {"sound\\horn.wav", "horn"}},
    {"extra.txt"},
    {{"readme.txt", "readme v3"}},
};

class UninstallLogChainTest : public ::testing::TestWithParam<size_t>
{
protected:
    void SetUp() override
    {
        install = scratch / "install";
        fixtures::WriteTree(install, {{"bin/game.dll", "game v1"},
                                      {"bin/old.dll", "old"},
                                      {"data/a.ka", std::string(5000, 'a')},
                                      {"readme.txt", "readme v1"}});
        fixtures::InstallFakePatchTool(install, false);
    }

    // Writes the unpacked package and applies it; false with the engine's messages on failure.
    ::testing::AssertionResult Apply(const ChainPatch& patch, const std::string& name)
    {
        const std::string package = scratch / name;
        std::vector<fixtures::AddedEntry> added;
        std::vector<fixtures::PatchedEntry> patched;
        for (const auto& [path, content] : patch.added) {
            fixtures::WriteFile(package + "/data/" + fixtures::NativeListPath(path), content);
            added.push_back({path, fixtures::Md5Hex(content)});
        }
        for (const auto& [path, content] : patch.patched) {
            const std::string old = fixtures::ReadFile(install + "/" + fixtures::NativeListPath(path));
            fixtures::WriteFile(package + "/data/" + fixtures::NativeListPath(path) + ".diff", fixtures::MakeFakeDiff(old, content));
            patched.push_back({path, fixtures::Md5Hex(content), fixtures::Md5Hex(old)});
        }
        fixtures::WritePackageLists(package, added, patch.deleted, patched);
        PatchMessageLog log;
        if (ApplyPatchPackage(FromNativePath(install), FromNativePath(package), L""))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << log.Dump();
    }

    fixtures::ScratchFolder scratch;
    std::string install;
};

TEST_P(UninstallLogChainTest, EachPatchAppendsItsAddedFilesBeforeTheClosingRecord)
{
    const std::vector<fixtures::UninstallRecord> original = fixtures::FillerUninstallRecords(GetParam());
    fixtures::WriteFile(install + "/unins000.dat", fixtures::WriteUninstallLog(original));

    ASSERT_TRUE(Apply(kFirst, "first"));
    ASSERT_TRUE(Apply(kSecond, "second"));

    const fixtures::UninstallLogContents log = fixtures::ReadUninstallLogBack(fixtures::ReadFile(install + "/unins000.dat"));
    ASSERT_TRUE(log.ok) << log.error;
    EXPECT_TRUE(log.headerCrcOk);
    for (const fixtures::UninstallBlock& block : log.blocks)
        EXPECT_TRUE(block.notSizeOk && block.crcOk) << "block at " << block.offset;

    std::vector<std::string> addedPaths;
    for (const ChainPatch* patch : {&kFirst, &kSecond})
        for (const auto& entry : patch->added)
            addedPaths.push_back(install + "/" + entry.first);
    ASSERT_EQ(log.records.size(), original.size() + addedPaths.size() + 1);
    EXPECT_EQ(log.numRecs, log.records.size());
    for (size_t i = 0; i < original.size(); ++i)
        EXPECT_EQ(log.records[i], original[i]) << "original record " << i;
    for (size_t i = 0; i < addedPaths.size(); ++i) {
        std::string path;
        ASSERT_TRUE(fixtures::DecodeDeleteFileRecord(log.records[original.size() + i], path)) << i;
        EXPECT_EQ(path, addedPaths[i]);
    }
    EXPECT_EQ(log.records.back(), fixtures::ClosingUninstallRecord());

    // The second patch's build, and nothing of the work left.
    const fixtures::TreeContent tree = fixtures::SnapshotTree(install);
    EXPECT_EQ(tree, (fixtures::TreeContent{
                        {"bin/", ""}, {"bin/game.dll", "game v2"}, {"bin/kpatchl-w32.exe", tree.at("bin/kpatchl-w32.exe")},
                        {"data/", ""}, {"data/a.ka", std::string(6000, 'b')}, {"data/coast/", ""},
                        {"data/coast/deep/", ""}, {"data/coast/deep/track 1.bin", "track 1"},
                        {"data/coast/deep/track 2.bin", "track 2"}, {"readme.txt", "readme v3"}, {"sound/", ""},
                        {"sound/horn.wav", "horn"}, {"unins000.dat", tree.at("unins000.dat")}}));
}

// Original record streams: the closing record alone; one ending just short of a block, so the
// first patch's records cross into a new block; one filling its blocks exactly.
INSTANTIATE_TEST_SUITE_P(LastBlockFill, UninstallLogChainTest, ::testing::Values(28, 4090, 8192));

}  // namespace
