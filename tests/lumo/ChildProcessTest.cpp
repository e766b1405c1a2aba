#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <future>
#include <string>

#include "lumo/os/ChildProcess.h"
#include "platform/LastError.h"

namespace
{

const std::wstring kShell = L"/bin/sh";

// The arguments of `sh -c SCRIPT` as one command line; the script is quoted for the split.
std::string ShellArgs(const std::string& script)
{
    std::string quoted;
    for (char c : script)
    {
        if (c == '"')
            quoted += "\"\"";  // a doubled quote inside quotes is one quote
        else
            quoted += c;
    }
    return "-c \"" + quoted + "\"";
}

}  // namespace

TEST(ChildProcess, RunProcessReturnsOutputWithTheExitCodeInFront)
{
    struct Case
    {
        const char* script;
        std::string expected;
    };
    const Case cases[] = {
        {"printf 'ok\\n'; exit 3", "ERROR 3\nok\n"},
        {"exit 0", ""},
        {"echo out; echo err >&2; echo out2", "out\nerr\nout2\n"},
        {"exit 255", "ERROR 255\n"},
        {"echo bye; kill -KILL $$", "ERROR 137\nbye\n"},  // a killed child never counts as success
        {"printf 'a\\000b\\000'", "ab"},                   // NUL bytes are left out, nothing after them
        {"cat; echo eof", "eof\n"},                         // standard input is empty
    };
    for (const Case& c : cases)
        EXPECT_EQ(OS::RunProcess(kShell, ShellArgs(c.script)), c.expected) << c.script;
}

TEST(ChildProcess, ReadsComeInPiecesOfAtMost8192Bytes)
{
    auto process = OS::Process::Start(kShell, ShellArgs("head -c 20000 /dev/zero | tr '\\000' x"));
    ASSERT_TRUE(process);
    std::string out;
    size_t before = 0;
    int reads = 0;
    while (process->ReadOutput(out))
    {
        EXPECT_LE(out.size() - before, 8192u);
        before = out.size();
        ++reads;
    }
    EXPECT_EQ(out, std::string(20000, 'x'));
    EXPECT_GE(reads, 3);
    EXPECT_FALSE(process->ReadError(out));
    EXPECT_TRUE(process->Wait(0xFFFFFFFF));
    EXPECT_EQ(process->GetExitCode(), 0);
}

TEST(ChildProcess, ArgumentsAreSplitByTheWindowsRulesAndNeverCut)
{
    EXPECT_EQ(OS::RunProcess(L"/usr/bin/printf", "\"[%s]\\n\" listbuilds \"C:\\x y\\b.txt\" norender"),
              "[listbuilds]\n[C:\\x y\\b.txt]\n[norender]\n");
    // 8-bit text reaches the child as UTF-8 of its wide form.
    EXPECT_EQ(OS::RunProcess(L"/usr/bin/printf", "%s caf\xe9"), "caf\xc3\xa9");

    const std::string longArgument(100000, 'a');
    EXPECT_EQ(OS::RunProcess(kShell, "-c \"printf %s \\\"$1\\\" | wc -c\" sh " + longArgument + "b"), "100001\n");
}

TEST(ChildProcess, StartFailsForAMissingProgram)
{
    platform::SetLastError(0);
    EXPECT_FALSE(OS::Process::Start(L"/nonexistent/SollexUtil.exe", "listbuilds"));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorFileNotFound);
    EXPECT_EQ(OS::RunProcess(L"/nonexistent/SollexUtil.exe", ""), "ERROR create-process\n");
}

TEST(ChildProcess, WaitTerminateAndExitCodes)
{
    auto process = OS::Process::Start(kShell, ShellArgs("echo started; exec sleep 60"));
    ASSERT_TRUE(process);
    EXPECT_GT(process->GetProcessId(), 0u);
    EXPECT_FALSE(process->Wait(0));
    EXPECT_EQ(process->GetExitCode(), 259);

    // A read blocked on one thread ends when another thread terminates the child.
    auto reading = std::async(std::launch::async, [&process] {
        std::string out;
        while (process->ReadOutput(out))
        {
        }
        return out;
    });
    EXPECT_EQ(reading.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    EXPECT_TRUE(process->Terminate(1));
    ASSERT_EQ(reading.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(reading.get(), "started\n");
    EXPECT_TRUE(process->Wait(0xFFFFFFFF));
    EXPECT_EQ(process->GetExitCode(), 1);

    process->Close();
    std::string out;
    EXPECT_FALSE(process->ReadOutput(out));
    EXPECT_EQ(process->GetExitCode(), -1);
    EXPECT_FALSE(process->Terminate(1));
}

