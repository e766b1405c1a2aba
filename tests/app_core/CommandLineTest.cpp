#include "app/core/CommandLine.h"
#include "app/core/StartupDecisions.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>

#include <wx/init.h>
#include <wx/msgout.h>
#include <wx/string.h>

#include "app/core/StringTable.h"
#include "lumo/diagnostics/SystemLog.h"
#include "platform/NativePath.h"
#include "tests/fixtures/ScopedEnv.h"
#include "tests/fixtures/ScratchFolder.h"

namespace {

using Strings = std::vector<std::string>;
using WStrings = std::vector<std::wstring>;

// Keeps what the parser prints (usage, errors) instead of writing it to standard error.
struct RecordedOutput : wxMessageOutput {
    RecordedOutput() : m_previous(wxMessageOutput::Set(this)) {}
    ~RecordedOutput() override { wxMessageOutput::Set(m_previous); }
    void Output(const wxString& text) override { m_text += text.ToStdWstring(); }
    wxMessageOutput* m_previous;
    std::wstring m_text;
};

class CommandLineTest : public ::testing::Test {
protected:
    void TearDown() override { Options() = PatcherOptions(); }
    static PatcherOptions& Options() { return PatcherOptions::Instance(); }

    wxInitializer m_wx;
    RecordedOutput m_output;
    fixtures::ScratchFolder m_scratch;
};

TEST_F(CommandLineTest, ParsedIntoTheOptions)
{
    fixtures::WriteFile(m_scratch / "servers.txt", "http://a/\r\nhttp://b/\r\nhttp://c/\r\n");
    const std::wstring cwd = m_scratch.WidePath();
    struct Case { const char* name; WStrings arguments; bool parsed; std::wstring installPath; Strings builds;
                  WStrings servers; std::vector<StartupLine> lines; };
    const Case cases[] = {
        {"target only", {L"/abs/game dir"}, true, L"/abs/game dir", {}, {}, {}},
        {"build and relative target", {L"43434", L"../g\u00e4me"}, true, cwd + L"/../g\u00e4me", {"43434"}, {}, {}},
        {"quote after a final backslash", {L"/Games\\\""}, true, L"/Games\\", {}, {}, {}},
        {"servers without a parameter", {L"-s", L"http://a/", L"--server=http://b;c/", L"-r"}, true, L"", {},
         {L"http://a/", L"http://b;c/"}, {}},
        {"list file", {L"--list=servers.txt", L"/g"}, true, L"/g", {}, {L"http://a/", L"http://b/", L"http://c/"}, {}},
        {"list file missing", {L"-l", L"/none.txt", L"/g"}, true, L"/g", {}, {},
         {{3, LoadResString(136) + L"/none.txt: No such file or directory"}}},
        {"unknown switch takes nothing", {L"--bogus", L"-s", L"http://a/", L"/g"}, false, L"", {}, {}, {}},
        {"three parameters", {L"1", L"2", L"3"}, false, L"", {}, {}, {}},
        // An unset variable in a script: nothing is taken over, so no run starts on the
        // registry's installation.
        {"empty target after a build", {L"-s", L"http://a/", L"0", L""}, false, L"", {}, {}, {}},
        {"empty target alone", {L"-r", L""}, false, L"", {}, {}, {}},
        {"empty build", {L"", L"/g"}, false, L"", {}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Options() = PatcherOptions();
        WStrings argv = {L"/bin/sollex-patcher"};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        const CommandLine commandLine = ParseCommandLine(argv);
        EXPECT_EQ(c.parsed, commandLine.parsed);
        EXPECT_EQ(c.lines, ApplyCommandLine(commandLine, Options(), cwd));
        EXPECT_EQ(c.installPath, Options().installPath);
        EXPECT_EQ(c.builds, Options().builds);
        EXPECT_EQ(c.servers, Options().patchServers);
        EXPECT_EQ(c.parsed && c.name[0] == 's', Options().repair);
    }
}

// An empty parameter is named, and the usage follows, as for the parser's own errors; the driver
// prints neither and is told what is wrong, to say it its own way. The usage names the program;
// the driver's does not list the window's -f and -o, which it still knows.
TEST_F(CommandLineTest, EmptyParametersAndTheUsageOfEachProgram)
{
    const struct { WStrings arguments; std::wstring wrong; } driverCases[] = {
        {{L"/bin/patch-run", L"0", L""}, L"The parameter '" + LoadResString(127) + L"' must not be empty."},
        {{L"/bin/patch-run", L"--list= "}, L"The option 'list' must name a file of patch servers."},
        {{L"/bin/patch-run", L"--bogus"}, L"Unknown long option 'bogus'\n"},
        {{L"/bin/patch-run", L"-s"}, L"Option 's' requires a value.\n"},
    };
    for (const auto& c : driverCases)
    {
        const CommandLine refused = ParseCommandLine(c.arguments, true, CommandLineProgram::Driver);
        EXPECT_FALSE(refused.parsed);
        EXPECT_EQ(refused.wrong, c.wrong);
        EXPECT_EQ(m_output.m_text, L"");
    }
    EXPECT_FALSE(ParseCommandLine({L"/bin/sollex-patcher", L"", L"/g"}).parsed);
    EXPECT_EQ(m_output.m_text.find(L"The parameter '" + LoadResString(123) + L"' must not be empty.\nUsage: sollex-patcher "), 0u)
        << m_output.m_text;
    EXPECT_EQ(UsageWhenAsked({L"patcher", L"-h", L""}), L"");  // start-up reports it instead

    const CommandLine driver = ParseCommandLine({L"patch-run", L"-f", L"5", L"-o", L"x"}, true, CommandLineProgram::Driver);
    EXPECT_TRUE(driver.parsed && driver.finalGiven && driver.onexit);
    for (const CommandLineProgram program : {CommandLineProgram::Window, CommandLineProgram::Driver})
    {
        m_output.m_text.clear();
        PrintCommandLineUsage(L"/opt/x/patch-run", program);
        const bool window = program == CommandLineProgram::Window;
        EXPECT_EQ(m_output.m_text.find(L"Usage: patch-run [-h] "), 0u) << m_output.m_text;
        EXPECT_EQ(m_output.m_text.find(L"--final") != std::wstring::npos, window) << m_output.m_text;
        EXPECT_EQ(m_output.m_text.find(L"--onexit") != std::wstring::npos, window) << m_output.m_text;
        EXPECT_NE(m_output.m_text.find(L"--server"), std::wstring::npos) << m_output.m_text;
        // -d says what it does in each program's table.
        const size_t debug = m_output.m_text.find(L"--debug");
        ASSERT_NE(debug, std::wstring::npos) << m_output.m_text;
        EXPECT_NE(m_output.m_text.substr(debug, m_output.m_text.find(L'\n', debug) - debug).find(L"detail lines (level 0)"),
                  std::wstring::npos) << m_output.m_text;
    }
}

TEST_F(CommandLineTest, HelpAndOnexit)
{
    const CommandLine help = ParseCommandLine({L"patcher", L"-h", L"-o", L"Launcher \"a b\"", L"-d"});
    EXPECT_TRUE(help.parsed && help.help && help.debug);
    EXPECT_NE(std::wstring::npos, m_output.m_text.find(LoadResString(121))) << m_output.m_text;
    EXPECT_EQ(L"Launcher \"a b\"", help.onexit.value_or(L"-"));
    EXPECT_EQ(L"", ParseCommandLine({L"patcher", L"--onexit="}).onexit.value_or(L"-"));
    EXPECT_FALSE(ParseCommandLine({L"patcher"}).onexit.has_value());
}

// Usage asked for is given before start-up, and parsing then does not print it again; with a bad
// option too, the parser's own error report shows it.
TEST_F(CommandLineTest, UsageShownBeforeStartUpIsNotPrintedAgain)
{
    EXPECT_NE(UsageWhenAsked({L"patcher", L"-d", L"--help", L"/g"}).find(LoadResString(121)), std::wstring::npos);
    EXPECT_EQ(UsageWhenAsked({L"patcher", L"/g"}).find(LoadResString(121)), std::wstring::npos);
    EXPECT_EQ(UsageWhenAsked({L"patcher", L"-h", L"--bogus"}).find(LoadResString(121)), std::wstring::npos);
    EXPECT_TRUE(ParseCommandLine({L"patcher", L"-h"}, false).help);
    EXPECT_EQ(L"", m_output.m_text);
}

// Elevation through a recording launcher: a script that writes its argv, NUL-separated, and exits
// with the status the test chose.
class ElevationTest : public CommandLineTest {
protected:
    std::string Launcher(int status)
    {
        const std::string script = m_scratch / ("launcher" + std::to_string(status));
        fixtures::WriteFile(script, "#!/bin/sh\nprintf '%s\\0' \"$0\" \"$@\" > '" + m_log + "'\nexit " +
                                        std::to_string(status) + "\n");
        chmod(script.c_str(), 0755);
        return script;
    }

    Strings RecordedArguments()
    {
        Strings arguments;
        std::istringstream bytes(fixtures::PathExists(m_log) ? fixtures::ReadFile(m_log) : "");
        for (std::string argument; std::getline(bytes, argument, '\0');)
            arguments.push_back(argument);
        fixtures::RemoveTree(m_log);
        return arguments;
    }

    StartupAccess Elevate(bool writable, bool admin = false, uid_t user = 1000, bool debug = false,
                          bool readOnlyMount = false)
    {
        const std::unique_ptr<platform::Elevator> elevator = platform::MakeElevator();
        return CheckAccessOrElevate(Options(), admin, debug, L"/opt/sollex/patcher", *elevator,
                                    AccessChecks{[writable](const std::wstring&) { return writable; }, user,
                                                 [readOnlyMount](const std::wstring&) { return readOnlyMount; }});
    }

    std::string m_log = m_scratch / "launcher.log";
    fixtures::ScopedEnv m_root{"LUMO_REGISTRY_ROOT", (m_scratch / "registry").c_str()};
};

TEST_F(ElevationTest, TheCopyGetsTheSameOptions)
{
    fixtures::ScopedEnv elevator("LUMO_ELEVATOR", Launcher(0).c_str());
    struct Case { PatcherOptions options; bool debug; };
    std::vector<Case> cases(5);
    cases[0].options.installPath = L"/games/sollex";
    cases[1].options.installPath = L"/home/j\u00fcrgen/my \"games\"\\";
    cases[1].options.builds = {"43434"};
    cases[1].options.patchServers = {L"http://a/"};
    cases[1].options.repair = true;
    cases[1].debug = true;
    cases[2].options.installPath = L"-odd";
    cases[2].options.patchServers = {L"http://a/", L"ftp://b;c/", L"http://\u0434/"};
    cases[3].options.installPath = L"/g";
    cases[3].options.builds = {"-1"};  // cases[4]: no options at all, no installation known

    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.options.installPath));
        Options() = c.options;
        ASSERT_EQ(StartupAccess::ElevatedCopyRan, Elevate(false, false, 1000, c.debug));
        Strings recorded = RecordedArguments();
        const Strings settings = platform::ElevationEnvironment();
        ASSERT_GE(recorded.size(), 3 + settings.size());
        EXPECT_EQ("/usr/bin/env", recorded[1]);
        EXPECT_EQ(settings, Strings(recorded.begin() + 2, recorded.begin() + 2 + settings.size()));
        EXPECT_NE(settings.end(), std::find(settings.begin(), settings.end(), "LUMO_REGISTRY_ROOT=" + (m_scratch / "registry")));

        WStrings copyArguments;
        for (auto it = recorded.begin() + 2 + settings.size(); it != recorded.end(); ++it)
            copyArguments.push_back(FromNativePath(*it));
        ASSERT_EQ(L"/opt/sollex/patcher", copyArguments[0]);
        const CommandLine copy = ParseCommandLine(copyArguments);
        EXPECT_TRUE(copy.parsed && copy.admin);
        EXPECT_EQ(c.debug, copy.debug);
        Options() = PatcherOptions();
        EXPECT_TRUE(ApplyCommandLine(copy, Options(), L"/elsewhere").empty());
        EXPECT_EQ(MakeAbsolutePath(c.options.installPath, CurrentWorkingFolder()), Options().installPath);
        EXPECT_EQ(c.options.builds, Options().builds);
        EXPECT_EQ(c.options.patchServers, Options().patchServers);
        EXPECT_EQ(c.options.repair, Options().repair);
    }
}

TEST_F(ElevationTest, OutcomesAndGuards)
{
    Options().installPath = L"/opt/sollex/";
    struct Case { const char* name; std::string elevator; bool writable, admin; uid_t user; StartupAccess expected; bool launched; bool readOnlyMount = false; };
    const Case cases[] = {
        {"copy ran", Launcher(0), false, false, 1000, StartupAccess::ElevatedCopyRan, true},
        {"copy failed on its own", Launcher(3), false, false, 1000, StartupAccess::ElevatedCopyRan, true},
        {"prompt dismissed", Launcher(126), false, false, 1000, StartupAccess::ElevationFailed, true},
        {"not authorised", Launcher(127), false, false, 1000, StartupAccess::ElevationFailed, true},
        {"no elevation wanted", "none", false, false, 1000, StartupAccess::ElevationFailed, false},
        {"launcher missing", m_scratch / "missing", false, false, 1000, StartupAccess::ElevationFailed, false},
        {"writable", Launcher(0), true, false, 1000, StartupAccess::Granted, false},
        {"already admin", Launcher(0), false, true, 1000, StartupAccess::Denied, false},
        {"root", Launcher(0), false, false, 0, StartupAccess::Denied, false},
        // Nobody can write a read-only mount: no prompt, whoever asks.
        {"read-only mount", Launcher(0), false, false, 1000, StartupAccess::ReadOnlyFileSystem, false, true},
        {"read-only mount, admin", Launcher(0), false, true, 1000, StartupAccess::ReadOnlyFileSystem, false, true},
        {"read-only mount, root", Launcher(0), false, false, 0, StartupAccess::ReadOnlyFileSystem, false, true},
        {"writable on a read-only mount's say-so", Launcher(0), true, false, 1000, StartupAccess::Granted, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fixtures::ScopedEnv elevator("LUMO_ELEVATOR", c.elevator.c_str());
        EXPECT_EQ(c.expected, Elevate(c.writable, c.admin, c.user, false, c.readOnlyMount));
        EXPECT_EQ(c.launched, !RecordedArguments().empty());
    }
}

// An elevation program that cannot start is named in the log with the reason, since the
// privileges box that follows cannot say it.
TEST_F(ElevationTest, LauncherThatCannotStartIsNamedInTheLog)
{
    Options().installPath = L"/opt/sollex/";
    const std::string notExecutable = m_scratch / "not-executable";
    fixtures::WriteFile(notExecutable, "#!/bin/sh\nexit 0\n");
    chmod(notExecutable.c_str(), 0644);
    const std::string noInterpreter = m_scratch / "no-interpreter";
    fixtures::WriteFile(noInterpreter, "#!/nonexistent/sh\nexit 0\n");
    chmod(noInterpreter.c_str(), 0755);
    struct Case { std::string elevator; std::wstring line; };
    const std::wstring prefix = L"The elevation program could not be started: \"";
    const Case cases[] = {
        {m_scratch / "missing", prefix + FromNativePath(m_scratch / "missing") +
                                    L"\" cannot be started: No such file or directory\n"},
        {notExecutable, prefix + FromNativePath(notExecutable) + L"\" cannot be started: Permission denied\n"},
        {noInterpreter, prefix + FromNativePath(noInterpreter) +
                            L"\" cannot be started: its interpreter \"/nonexistent/sh\" (named on its \"#!\" line) "
                            L"does not exist\n"},
        {"none", L""},  // no elevation wanted: nothing failed
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.elevator);
        fixtures::ScopedEnv elevator("LUMO_ELEVATOR", c.elevator.c_str());
        struct Lines : LumoSystemLogObserver {
            std::wstring text;
            void OnLogLine(const wchar_t* line) override
            {
                if (std::wstring(line).starts_with(L"The elevation program"))
                    text += line;
            }
        } lines;
        lines.Register();
        EXPECT_EQ(StartupAccess::ElevationFailed, Elevate(false));
        lines.Unregister();
        EXPECT_EQ(c.line, lines.text);
    }
}

TEST(RunDecision, ServersOrRepairStartAtOnce)
{
    struct Case { bool servers, repair, localPatch; RunDecision expected; };
    const Case cases[] = {
        {true, false, true, RunDecision::StartNow},
        {false, true, false, RunDecision::StartNow},
        {false, false, true, RunDecision::WaitForApply},
        {false, false, false, RunDecision::NothingToDo},
    };
    for (const Case& c : cases) {
        PatcherOptions options;
        if (c.servers)
            options.patchServers = {L"http://a/"};
        options.repair = c.repair;
        options.localPatch = c.localPatch;
        EXPECT_EQ(c.expected, DecideRun(options));
    }
}

}  // namespace
