// Code below a take works on the folder the take holds, through the door it is handed: a folder
// moved away while a run holds it is still the one written, and whatever now stands at the old
// name is left alone.

#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "lumo/files/InstallDoor.h"
#include "lumo/files/InstallFolder.h"
#include "patch/DatabaseUpdateMark.h"
#include "patch/InstallFileOps.h"
#include "patch/PatchTool.h"
#include "platform/NativePath.h"
#include "tests/fixtures/ScratchFolder.h"

namespace fs = std::filesystem;

TEST(TakenDoor, WorkGoesToTheHeldFolderNotToTheName)
{
    const struct {
        const char* name;
        std::function<bool(const std::shared_ptr<LumoUtil::InstallDoor>&, std::wstring&)> act;
        const char* madeInHeld;  // what the act leaves in the held folder
    } cases[] = {
        {"the database note", [](const std::shared_ptr<LumoUtil::InstallDoor>& door, std::wstring& error) {
             return MarkDatabaseUpdateBegun(*door, error) && IsDatabaseUpdateUnfinished(*door);
         }, "patch.dbstopped"},
        {"a fixed name found by the case rule", [](const std::shared_ptr<LumoUtil::InstallDoor>& door, std::wstring& error) {
             std::wstring path, reached;
             return FindFixedName(*door, L"BIN/sollexutil.exe", path, error, &reached) &&
                    reached == L"bin/SollexUtil.exe" && door->Look(reached).kind == LumoUtil::InstallFileKind::Regular;
         }, nullptr},
        {"a stage's folder", [](const std::shared_ptr<LumoUtil::InstallDoor>& door, std::wstring& error) {
             PatchStageContext context;  // as the run's journal hands it its door
             context.installDir = door->Root();
             context.door = door;
             return CreateFolderChain(context, door->Root() + L"/data/sub", error);
         }, "data/sub"},
        {"the patch tools", [](const std::shared_ptr<LumoUtil::InstallDoor>& door, std::wstring& error) {
             const InstalledPatchTools tools = FindPatchTools(*door);
             error = tools.converterError;
             return tools.converterInstalled && tools.converter == door->Root() + L"/bin/kaconverter.EXE";
         }, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fixtures::ScratchFolder scratch;
        const std::string install = scratch / "inst", moved = scratch / "moved";
        fixtures::WriteFile(install + "/bin/SollexUtil.exe", "game");
        fixtures::WriteFile(install + "/bin/kaconverter.EXE", "tool");
        std::wstring error;
        const auto lock = LumoUtil::InstallLock::Acquire(FromNativePath(install), error);
        ASSERT_TRUE(lock) << ToNativePath(error);
        fs::rename(install, moved);
        fs::create_directory(install);

        EXPECT_TRUE(c.act(lock->Door(), error)) << ToNativePath(error);
        EXPECT_TRUE(fs::is_empty(install)) << "the folder now at the name was touched";
        if (c.madeInHeld) {
            EXPECT_TRUE(fs::exists(fs::symlink_status(moved + "/" + c.madeInHeld)));
        }
    }
}
