// One step of a chain on its own: a patch downloaded from a server whose size answer and transfer
// the test scripts, and one package installed with a cancel or without an unpack folder.

#include "app/run/PatchRun.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <map>

#include "app/core/PatcherOptions.h"
#include "lumo/files/FileUtil.h"
#include "platform/NativePath.h"
#include "tests/app_run/RecordingHost.h"
#include "tests/app_run/RunFixture.h"
#include "tests/fixtures/ScratchFolder.h"

namespace apprun {
namespace {

constexpr wchar_t kServer[] = L"http://patches.test/";

// "patches.txt" with one patch A->B, and the package; the size answer and how much of the
// package a transfer delivers are set per case.
class ScriptedDownloader : public PatchDownloader
{
public:
    LUMORESULT Download(const std::string& url, LumoDataBuffer* destination, uint32_t, DownloadURLCallback*) override
    {
        std::string bytes;
        if (url.ends_with("patches.txt"))
            bytes = std::string("source-version: ") + kBuildA + "\r\ntarget-version: " + kBuildB +
                    "\r\npatch-exe-url: x.exe\r\npatch-data-url: a-b.pkg\r\n";
        else if (url.ends_with("a-b.pkg") && !transferFails)
            bytes = package.substr(0, delivered);
        else
            return LUMORESULT_NETWORK_ERROR;
        return destination->WriteData(bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
    LUMORESULT GetSize(const std::string&, uint64_t* size, DownloadURLCallback*) override
    {
        if (announced < 0)
            return LUMORESULT_NOT_SUPPORTED;
        *size = static_cast<uint64_t>(announced);
        return LUMORESULT_OK;
    }

    std::string package;
    int64_t announced = -1;  // -1: the server does not tell
    size_t delivered = 0;
    bool transferFails = false;
};

class PatchStepTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        machine.ResetOptions(kBuildA);
        environment.tempParent = FromNativePath(machine.temp);
        environment.progressStepMs = 1;
        environment.filesInUseIntervalMs = 1;
    }

    RunMachine machine;
    ObservedHost host;
    LumoPatch::RunEnvironment environment = LumoPatch::RunEnvironment::Default();
};

TEST_F(PatchStepTest, DownloadSizeChecks)
{
    const std::string package = MakePackage(kBuildA, kBuildB);
    const int64_t size = static_cast<int64_t>(package.size());
    struct Row { const char* name; int64_t announced; size_t delivered; bool transferFails;
                 bool completes; const wchar_t* line; int level; };
    const Row rows[] = {
        {"size unknown: downloaded and applied", -1, package.size(), false, true, L"Unable to determine the size", 2},
        {"size unknown, transfer cut short: taken, the package does not unpack", -1, package.size() / 2, false, false,
         L"Failed to extract the patch archive.", 3},
        {"shorter than announced", size, package.size() / 2, false, false, L"Patch download failed.", 3},
        {"longer than announced", size - 10, package.size(), false, false, L"Patch download failed.", 3},
        {"transfer fails", size, package.size(), true, false, L"Patch download failed.", 3},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        RunMachine fresh;
        fresh.ResetOptions(kBuildA);
        environment.tempParent = FromNativePath(fresh.temp);
        PatcherOptions::Instance().patchServers = {kServer};
        host.Reset();
        ScriptedDownloader downloader;
        downloader.package = package;
        downloader.announced = row.announced;
        downloader.delivered = row.delivered;
        downloader.transferFails = row.transferFails;
        LumoPatch::PatchRun run(host, environment);
        run.SetDownloader(&downloader);

        EXPECT_EQ(run.Run(), row.completes) << host.Dump();
        EXPECT_TRUE(host.Has(row.line, row.level)) << host.Dump();
        EXPECT_EQ(host.Texts(1).back(), row.completes ? L"Patching completed." : L"Patching aborted.");
        EXPECT_EQ(fresh.DiffFromBuild(row.completes ? kBuildB : kBuildA), "");
        EXPECT_EQ(host.PatchesInstalled(), row.completes ? 1 : 0);
        // The database is rebuilt only after a whole chain; nothing of the download stays.
        EXPECT_EQ(fresh.UtilityCalls().size(), row.completes ? 3u : 2u);
        EXPECT_EQ(fresh.Leftovers(), std::vector<std::string>{});
    }
}

TEST_F(PatchStepTest, CancelOrNoUnpackFolder)
{
    const std::string packagePath = machine.scratch / "a-b.zip";
    fixtures::WriteFile(packagePath, MakePackage(kBuildA, kBuildB));
    const std::string notAFolder = machine.scratch / "not-a-folder";
    fixtures::WriteFile(notAFolder, "");

    enum class Cancel { No, Before, WhileUnpacking };
    struct Row { const char* name; Cancel cancel; std::string tempParent; int result;
                 std::vector<std::wstring> errors; std::pair<int, int> gauge; };
    const Row rows[] = {
        {"cancelled before unpacking", Cancel::Before, machine.temp, 10, {}, {1, 1}},
        {"cancelled while unpacking", Cancel::WhileUnpacking, machine.temp, 10, {}, {1, 1}},
        {"no unpack folder", Cancel::No, notAFolder + "/below", 2, {L"Unable to create temporary directory."}, {0, 0}},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        environment.tempParent = FromNativePath(row.tempParent);
        PatcherOptions::Instance().targetVersion = kBuildB;
        LumoPatch::PatchRun run(host, environment);
        run.CheckDiskSpace(0);  // takes the temporary parent over
        host.Reset();
        host.cancel = row.cancel == Cancel::Before;
        host.onLine = [&](int, const std::wstring& text) {
            if (row.cancel == Cancel::WhileUnpacking && text == L"Unpacking patch file...")
                host.cancel = true;
        };

        EXPECT_EQ(run.ApplyPatch(FromNativePath(packagePath)), row.result);
        EXPECT_EQ(host.Texts(3), row.errors);
        EXPECT_EQ(host.Texts(2), std::vector<std::wstring>{});
        EXPECT_FALSE(host.Has(L"Patching from")) << host.Dump();
        EXPECT_EQ(host.Gauge(), row.gauge);
        EXPECT_EQ(machine.DiffFromBuild(kBuildA), "");
        EXPECT_FALSE(LumoPatch::IsPatchingFlagSet());
        // The unpack folder is gone again (the run's base folder goes when a run ends).
        EXPECT_TRUE(run.TempDir().empty());
        std::vector<std::wstring> left;
        if (!run.TempBase().empty()) {
            EXPECT_EQ(LumoUtil::ListDirectory(run.TempBase(), left), LUMORESULT_OK);
        }
        EXPECT_EQ(left, std::vector<std::wstring>{});
        host.onLine = nullptr;
    }
    EXPECT_TRUE(fixtures::PathExists(packagePath)) << "the package itself is left where it is";
}

}  // namespace
}  // namespace apprun
