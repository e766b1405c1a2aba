#include <signal.h>
// The onexit program: split like a shell would (without one), found beside the patcher by a bare
// name, waited for a second at most, and a failed start reported on standard error.
#include "app/OnExitProgram.h"
#include "app/core/StringTable.h"
#include "platform/NativePath.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/WaitFor.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <sstream>

using namespace LumoPatch;

namespace {

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(OnExitProgramTest, StartsTheProgramBesideThePatcherWithItsArguments)
{
    SetResourceLanguageEnglish();
    fixtures::ScratchFolder folder;
    const std::string probe = folder / "onexit-probe";
    fixtures::WriteFile(probe, "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args.txt\"\n"
                               "[ \"$1\" = sleep ] && echo $$ > \"$(dirname \"$0\")/sleep.pid\" && "
                               "exec sleep 30 </dev/null >/dev/null 2>&1\nexit 0\n");
    chmod(probe.c_str(), 0755);
    const std::wstring programFolder = FromNativePath(folder.Path());

    StartOnExitProgram(L"", programFolder);
    StartOnExitProgram(L"   ", programFolder);
    EXPECT_EQ(ReadAll(folder / "args.txt"), "");  // nothing started

    StartOnExitProgram(L"onexit-probe \"two words\" 'x y' plain", programFolder);
    EXPECT_EQ(ReadAll(folder / "args.txt"), "two words\nx y\nplain\n");

    const auto before = std::chrono::steady_clock::now();
    StartOnExitProgram(L"onexit-probe sleep", programFolder);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(20));  // not the 30 s it sleeps
    // It goes on alone, as a program started at exit does; the test leaves no process behind.
    ASSERT_TRUE(fixtures::WaitFor([&] { return !ReadAll(folder / "sleep.pid").empty(); }));
    kill(std::stoi(ReadAll(folder / "sleep.pid")), SIGKILL);

    // The code line, then the program and why it did not start, as every other start says it. A
    // program that may not be run: the system's error number 5, not the raw errno 13.
    const std::string notExecutable = folder / "not-executable";
    fixtures::WriteFile(notExecutable, "#!/bin/sh\nexit 0\n");
    chmod(notExecutable.c_str(), 0644);
    const std::string noInterpreter = folder / "no-interpreter";
    fixtures::WriteFile(noInterpreter, "#!/nonexistent/sh\nexit 0\n");
    chmod(noInterpreter.c_str(), 0755);
    struct Case { std::string command; std::string expected; };
    const Case failures[] = {
        {"no-such-onexit-program --flag",
         "Error creating process, code: 2\n\"no-such-onexit-program\" cannot be started: No such file or directory\n"},
        {notExecutable, "Error creating process, code: 5\n\"" + notExecutable + "\" cannot be started: Permission denied\n"},
        {"no-interpreter", "Error creating process, code: 2\n\"" + noInterpreter +
                               "\" cannot be started: its interpreter \"/nonexistent/sh\" (named on its \"#!\" line) "
                               "does not exist\n"},
    };
    for (const Case& c : failures) {
        SCOPED_TRACE(c.command);
        testing::internal::CaptureStderr();
        StartOnExitProgram(FromNativePath(c.command), programFolder);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.expected);
    }
}

}  // namespace
