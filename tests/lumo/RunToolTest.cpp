#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BuildConfig.h"
#include "lumo/os/ChildProcess.h"
#include "platform/CommandLineSplit.h"

namespace
{

// run-tool's output and exit code, run the way the product runs its children.
std::string RunTool(const std::vector<std::string>& arguments)
{
    std::string args;
    for (const std::string& argument : arguments)
        args += platform::QuoteCommandLineArgument(argument) + " ";
    return OS::RunProcess(L"" LUMO_BIN_DIR "/run-tool", args);
}

}  // namespace

TEST(RunTool, RelaysOutputAndEndsWithTheChildsExitCode)
{
    struct Case { std::vector<std::string> arguments; std::string expected; };
    const Case cases[] = {
        {{"--", "/bin/sh", "-c", "echo a; echo b >&2; printf c; exit 5"}, "ERROR 5\na\nb\nc"},
        {{"--", "/bin/sh", "-c", "exit 255"}, "ERROR 255\n"},
        {{"--", "/bin/sh", "-c", "kill -TERM $$"}, "ERROR 143\n"},
        {{"--cwd", "/usr", "--", "pwd"}, "/usr\n"},
        {{"--", "printf", "[%s]", "two words", "q\"uote", "back\\slash\\", ""}, "[two words][q\"uote][back\\slash\\][]"},
        {{"--", "/nonexistent/tool"}, "ERROR 127\nrun-tool: \"/nonexistent/tool\" cannot be started: No such file or directory\n"},
        {{"--cwd", "/nope", "--", "/bin/true"}, "ERROR 127\nrun-tool: cannot run in the folder \"/nope\": No such file or directory\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(RunTool(c.arguments), c.expected) << c.arguments.back();
}
