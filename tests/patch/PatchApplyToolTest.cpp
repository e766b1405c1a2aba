// The patch-apply driver end to end: its output lines and exit codes.

#include <stdio.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "BuildConfig.h"
#include "tests/fixtures/FileListWriter.h"
#include "tests/fixtures/ScratchFolder.h"

namespace {

struct ToolRun
{
    int exitCode = -1;
    std::string output;
};

ToolRun PatchApply(const std::string& arguments)
{
    ToolRun run;
    FILE* pipe = popen((std::string(LUMO_BIN_DIR) + "/patch-apply " + arguments + " 2>/dev/null").c_str(), "re");
    if (!pipe)
        return run;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        run.output.append(buffer, n);
    const int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(PatchApplyTool, PrintsLevelTabTextAndExitsWithTheResult)
{
    fixtures::ScratchFolder scratch;
    if (!fixtures::PathExists(std::string(LUMO_BIN_DIR) + "/patch-apply"))
        GTEST_FAIL() << "patch-apply is not built in " << LUMO_BIN_DIR;
    const std::string install = scratch / "install", package = scratch / "package";
    fixtures::WriteFile(install + "/bin/x.dll", "old");
    fixtures::WriteFile(package + "/data/bin/x.dll", "new");
    fixtures::WritePackageLists(package, {{"bin\\x.dll", "d"}}, {"gone.txt"}, {});

    ToolRun run = PatchApply("'" + install + "' '" + package + "' LumoLauncher.exe");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "2\tFile seems to have been removed already: " + install + "/gone.txt\n");
    EXPECT_EQ(fixtures::ReadFile(install + "/bin/x.dll"), "new");

    fixtures::WritePackageLists(package, {{"bin\\missing.dll", "d"}}, {}, {});
    run = PatchApply("'" + install + "' '" + package + "'");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.output, "3\tCould not copy the file: " + package + "/data/bin/missing.dll\n"
                          "0\tcannot open \"" + package + "/data/bin/missing.dll\": No such file or directory\n"
                          "1\tFailed adding: bin\\missing.dll...\n");

    EXPECT_EQ(PatchApply("'" + install + "'").exitCode, 2);
    EXPECT_EQ(PatchApply("'" + install + "' '" + package + "' a b").exitCode, 2);
}

} // namespace
