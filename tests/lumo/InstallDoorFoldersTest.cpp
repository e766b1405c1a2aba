// Folders made through the installation's door: every missing part is made below the held folder,
// and nothing is made through a link or below a file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "lumo/files/InstallDoor.h"
#include "platform/NativePath.h"
#include "tests/fixtures/ScratchFolder.h"

namespace fs = std::filesystem;

TEST(InstallDoorFolders, MakesWhatIsMissingAndNothingThroughALinkOrAFile)
{
    const struct
    {
        const char* folder;
        const char* error; // "" when it must be made
    } cases[] = {
        {"new/deeper/still", ""},
        {"data", ""},
        {"data/sub", ""},
        {"link/sub", "inst/link\" is a symbolic link, not a folder"},
        {"data/b.bin/sub", "inst/data/b.bin\" is a file, not a folder"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.folder);
        fixtures::ScratchFolder scratch;
        const fs::path root = scratch / "inst";
        fixtures::WriteFile(root / "data/b.bin", "b");
        fixtures::WriteFile(scratch / "outside/keep", "k");
        fs::create_directory_symlink("../outside", root / "link");
        std::wstring error;
        const auto door = LumoUtil::InstallDoor::Open(FromNativePath(root.string()), error);
        ASSERT_TRUE(door) << ToNativePath(error);
        const bool made = door->MakeFolders(FromNativePath(c.folder), error);
        EXPECT_EQ(made, *c.error == '\0') << ToNativePath(error);
        if (made)
        {
            EXPECT_TRUE(fs::is_directory(root / c.folder));
        }
        else
        {
            EXPECT_NE(ToNativePath(error).find(c.error), std::string::npos) << ToNativePath(error);
        }
        EXPECT_FALSE(fs::exists(scratch / "outside/sub"));
        EXPECT_TRUE(fs::is_regular_file(root / "data/b.bin"));
    }
}
