// The real patcher asked for its usage where no display is: the usage comes before the toolkit
// gives up (which ends the process with status 255).
#include "BuildConfig.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/ShellCommand.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>

namespace {

TEST(PatcherHelpTest, UsageComesBeforeTheToolkitStartsWithoutADisplay)
{
    fixtures::ScratchFolder folder;
    const std::string command =
        "cd '" + folder.Path() + "' && env -u DISPLAY -u WAYLAND_DISPLAY -u LANGUAGE -u LC_ALL -u LC_MESSAGES "
        "LANG=C.UTF-8 GDK_BACKEND=x11 HOME='" + folder.Path() + "' TMPDIR='" + folder.Path() + "' LUMO_REGISTRY_ROOT='" +
        folder.Path() + "/registry' LUMO_ELEVATOR=none timeout 60 '" + LUMO_BIN_DIR + "/sollex-patcher' -h 2>&1";
    int status = 0;
    const std::string output = fixtures::RunShell(command, &status);
    ASSERT_TRUE(WIFEXITED(status)) << output;
    EXPECT_EQ(WEXITSTATUS(status), 255) << output;
    EXPECT_EQ(output.rfind("Usage: sollex-patcher [-h]", 0), 0u) << output;
    EXPECT_NE(output.find("-h, --help"), std::string::npos) << output;
    const size_t toolkit = output.find("Unable to initialize GTK+");
    EXPECT_NE(toolkit, std::string::npos) << output;
    EXPECT_EQ(output.find("Usage:", 1), std::string::npos) << "the usage is shown once";
}

}  // namespace
