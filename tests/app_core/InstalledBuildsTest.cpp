#include "app/core/InstalledBuilds.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "app/core/PatcherOptions.h"
#include "lumo/files/InstallDoor.h"
#include "lumo/os/GuardedThread.h"
#include "tests/fixtures/FakeSollexUtil.h"
#include "tests/fixtures/ProcessEnded.h"
#include "tests/fixtures/RecordingHost.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/UnprivilegedChild.h"
#include "tests/fixtures/WaitFor.h"
#include "platform/NativePath.h"

namespace {

using Strings = std::vector<std::string>;

TEST(BuildList, CommaTerminatedRuns)
{
    const std::vector<std::pair<std::string, Strings>> cases = {
        {"43434,44088,", {"43434", "44088"}},
        {"43434,44088", {"43434"}},
        {",,", {"", ""}},
        {std::string("43434,\0" "44088,", 13), {"43434"}},
        {"43434,\r\n44088,", {"43434", "\r\n44088"}},
        {"", {}},
    };
    for (const auto& [bytes, builds] : cases)
        EXPECT_EQ(builds, ParseBuildList(bytes)) << bytes;
}

TEST(NormalizePath, AbsoluteUnchangedRelativeResolved)
{
    struct Case { const wchar_t* path; const wchar_t* base; const wchar_t* expected; };
    const Case cases[] = {
        {L"/x/game/bin/buildList.txt", L"", L"/x/game/bin/buildList.txt"},
        {L"C:\\game\\bin\\buildList.txt", L"", L"C:\\game\\bin\\buildList.txt"},
        {L"\\\\server\\share\\a.txt", L"", L"\\\\server\\share\\a.txt"},
        {L"bin\\buildList.txt", L"", L""},
        {L"bin\\buildList.txt", L"C:\\game\\", L"C:\\game\\bin\\buildList.txt"},
        {L"..\\..\\data\\a.txt", L"C:\\game\\bin\\tool.exe", L"C:\\data\\a.txt"},
        {L".\\a\\b", L"base\\dir", L"base\\dir\\a\\b\\"},
        {L"a/b.txt", L"base\\dir", L"base/dir/a/b.txt"},
        {L"..\\..\\..\\..\\a.txt", L"x\\y", L"a.txt"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, NormalizePath(c.path, c.base)) << c.path << " against " << c.base;
}

class QueryInstalledBuildsTest : public ::testing::Test {
protected:
    void SetUp() override { PatcherOptions::Instance() = PatcherOptions(); }
    void TearDown() override { PatcherOptions::Instance() = PatcherOptions(); }

    bool Query(std::chrono::milliseconds limit = kUtilityTimeLimit)
    {
        std::wstring error;
        std::filesystem::create_directories(m_installNative);  // the list is reached through its door
        const std::shared_ptr<LumoUtil::InstallDoor> door = LumoUtil::InstallDoor::Open(m_install, error);
        EXPECT_TRUE(door) << ToNativePath(error);
        return door && QueryInstalledBuilds(m_install + L"bin\\SollexUtil.exe", *door, L"bin\\buildList.txt", m_host,
                                            limit);
    }

    fixtures::ScratchFolder m_scratch;
    std::string m_installNative = m_scratch / "g\xC3\xA4me dir";
    std::wstring m_install = m_scratch.WidePath() + L"/g\u00e4me dir/";
    fixtures::RecordingHost m_host;
};

TEST_F(QueryInstalledBuildsTest, ListsThenClosesTheDaemon)
{
    fixtures::InstallFakeSollexUtil(m_installNative, {{"builds", "44088,43434,"}, {"daemon", "1"}});
    PatcherOptions::Instance().builds = {"43434"};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(Query());
    // The daemon holds the output pipe for a minute; the read must not wait for it.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));

    EXPECT_EQ((Strings{"43434", "44088"}), PatcherOptions::Instance().builds);
    EXPECT_FALSE(fixtures::PathExists(m_installNative + "/bin/buildList.txt"));
    EXPECT_EQ((Strings{"listbuilds " + m_installNative + "/bin/buildList.txt norender",
                       "closeadbdaemon -nostartadbdaemon norender"}),
              fixtures::FakeUtilCommandLines(m_installNative));
    const std::vector<fixtures::FakeUtilCall> calls = fixtures::ReadFakeUtilCalls(m_installNative);
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(m_installNative + "/bin/SollexUtil.exe", calls[0].argv[0]);
    EXPECT_EQ("STOPPED", calls[1].events.front().substr(0, 7));
    EXPECT_EQ((std::vector<std::wstring>{L"2 builds found {44088,43434,}"}), m_host.Texts(0));
}

TEST_F(QueryInstalledBuildsTest, WithoutAThreadForTheTimeLimitTheQueryStillRuns)
{
    fixtures::InstallFakeSollexUtil(m_installNative, {{"builds", "44088,"}});
    OS::SetThreadRefusal([] { return true; });
    EXPECT_TRUE(Query());
    OS::SetThreadRefusal(nullptr);
    EXPECT_EQ((Strings{"44088"}), PatcherOptions::Instance().builds);
}

TEST_F(QueryInstalledBuildsTest, FailuresAddNothing)
{
    struct Case {
        const char* name;
        std::map<std::string, std::string> config;
        bool install;
        std::chrono::milliseconds limit;
        const wchar_t* logged;
    };
    const Case cases[] = {
        {"utility missing", {}, false, kUtilityTimeLimit, L"Unable to run "},
        {"no list written", {{"write_list", "0"}}, true, kUtilityTimeLimit, L"Unable to read the build list "},
        {"utility hangs", {{"listbuilds.hang", "1"}}, true, std::chrono::milliseconds(300), L"did not end within"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fixtures::RemoveTree(m_installNative);
        m_host.ClearLog();
        if (c.install)
            fixtures::InstallFakeSollexUtil(m_installNative, c.config);
        EXPECT_FALSE(Query(c.limit));
        EXPECT_TRUE(PatcherOptions::Instance().builds.empty());
        // The reason is an error: it explains the "not applicable" that follows.
        ASSERT_EQ(1u, m_host.Texts(3).size());
        EXPECT_NE(std::wstring::npos, m_host.Texts(3)[0].find(c.logged)) << m_host.Texts(3)[0];
    }
}

// The utility and its list are found as every fixed name of an installation: "Bin" and
// "SOLLEXUTIL.EXE" when those are the only spellings there.
TEST_F(QueryInstalledBuildsTest, TheUtilityAndItsListAreFoundWhateverTheirCase)
{
    fixtures::InstallFakeSollexUtil(m_installNative, {{"builds", "44088,"}});
    const std::string bin = m_installNative + "/Bin";
    ASSERT_EQ(rename((m_installNative + "/bin").c_str(), bin.c_str()), 0);
    ASSERT_EQ(rename((bin + "/SollexUtil.exe").c_str(), (bin + "/SOLLEXUTIL.EXE").c_str()), 0);
    EXPECT_TRUE(QueryInstallationBuilds(m_install, m_host)) << ToNativePath(m_host.Texts(3).empty() ? L"" : m_host.Texts(3)[0]);
    EXPECT_EQ((Strings{"44088"}), PatcherOptions::Instance().builds);
    EXPECT_EQ(InstallToolPath(m_install, L"SollexUtil.exe"), FromNativePath(bin + "/SOLLEXUTIL.EXE"));
    ASSERT_EQ(rename(bin.c_str(), (m_installNative + "/bin").c_str()), 0);  // where the call log is read
    const std::vector<fixtures::FakeUtilCall> calls = fixtures::ReadFakeUtilCalls(m_installNative);
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(bin + "/SOLLEXUTIL.EXE", calls[0].argv[0]);
    EXPECT_EQ(bin + "/buildList.txt", calls[0].argv[2]);
}

// A name two entries match ignoring case is an error, as for the patch tools: the utility is not
// run under a spelling that does not exist ("No such file"), and the list is not guessed either.
TEST_F(QueryInstalledBuildsTest, TwoSpellingsOfAFixedNameAreAmbiguous)
{
    const struct { const char* name; const char* renameBinTo; const char* first; const char* second; const char* part; } cases[] = {
        {"the utility", "bin", "bin/SOLLEXUTIL.EXE", "bin/sollexutil.exe", "SollexUtil.exe"},
        {"the list", "bin", "bin/BUILDLIST.TXT", "bin/buildlist.txt", "buildList.txt"},
        {"the folder", "Bin", nullptr, "BIN/x", "bin"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fixtures::RemoveTree(m_installNative);
        fixtures::InstallFakeSollexUtil(m_installNative, {{"builds", "44088,"}});
        const std::string bin = m_installNative + "/" + c.renameBinTo;
        ASSERT_EQ(rename((m_installNative + "/bin").c_str(), bin.c_str()), 0);
        if (std::string(c.part) == "SollexUtil.exe")
            ASSERT_EQ(rename((bin + "/SollexUtil.exe").c_str(), (m_installNative + "/" + c.first).c_str()), 0);
        else if (c.first)
            fixtures::WriteFile(m_installNative + "/" + c.first, "");
        fixtures::WriteFile(m_installNative + "/" + c.second, "");
        fixtures::RecordingHost host;
        PatcherOptions::Instance() = PatcherOptions();
        EXPECT_FALSE(QueryInstallationBuilds(m_install, host));
        ASSERT_EQ(host.Texts(3).size(), 1u);
        const std::wstring line = host.Texts(3)[0];
        EXPECT_NE(line.find(L"listbuilds: ambiguous path"), std::wstring::npos) << ToNativePath(line);
        EXPECT_NE(line.find(L"both match \"" + FromNativePath(c.part) + L"\""), std::wstring::npos) << ToNativePath(line);
        EXPECT_TRUE(PatcherOptions::Instance().builds.empty());
        EXPECT_FALSE(fixtures::PathExists(bin + "/fake_util.log")) << "the utility was run";
    }
}

// An installation this user cannot write: said first, as what it is, before the utility is run
// (it could not leave its list there).
TEST_F(QueryInstalledBuildsTest, AnInstallationThatCannotBeWrittenIsSaidFirst)
{
    fixtures::InstallFakeSollexUtil(m_installNative, {{"builds", "44088,"}});
    chmod(m_scratch.Path().c_str(), 0755);
    ASSERT_EQ(chmod((m_installNative + "/bin").c_str(), 0555), 0);
    std::string whyNot;
    const int status = fixtures::RunUnprivileged(
        [&] {
            fixtures::RecordingHost host;
            if (QueryInstallationBuilds(m_install, host))
                return 1;
            // The installation as its door names it: the folder without a trailing separator.
            const std::wstring folder = m_install.substr(0, m_install.size() - 1);
            const std::vector<std::wstring> expected = {L"The installation " + folder + L" cannot be written: " +
                                                        FromNativePath(m_installNative + "/bin") +
                                                        L": Permission denied"};
            return host.Texts(3) == expected && PatcherOptions::Instance().builds.empty() ? 0 : 2;
        },
        &whyNot);
    chmod((m_installNative + "/bin").c_str(), 0755);
    if (status < 0)
        GTEST_SKIP() << whyNot;
    EXPECT_EQ(0, status);
    EXPECT_TRUE(fixtures::ReadFakeUtilCalls(m_installNative).empty()) << "the utility was run";
}

// A user who may not write the installation: the error says why the utility left no list.
TEST_F(QueryInstalledBuildsTest, AnUnwritableInstallationIsNamedAsTheReason)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root writes a folder without write bits";
    fixtures::InstallFakeSollexUtil(m_installNative, {});
    ASSERT_EQ(chmod((m_installNative + "/bin").c_str(), 0555), 0);
    EXPECT_FALSE(Query());
    chmod((m_installNative + "/bin").c_str(), 0755);
    EXPECT_EQ(m_host.Texts(3), std::vector<std::wstring>{L"Unable to read the build list " + m_scratch.WidePath() +
                                                         L"/g\u00e4me dir/bin/buildList.txt: No such file or directory "
                                                         L"(its folder cannot be written: Permission denied)"});
}

// What the utility leaves is only a list when it says it succeeded and the list names a build: a
// failing utility (a full disk: exit 1 and an empty list), a stale list beside a failing utility,
// and an empty list all are "the build could not be read", with the reason, and add no build.
TEST_F(QueryInstalledBuildsTest, AFailedUtilityOrAnEmptyListReadsNoBuild)
{
    struct Case {
        const char* name;
        std::map<std::string, std::string> config;
        const char* staleList;  // what an earlier query left in bin/buildList.txt (null: nothing)
        bool fullDisk;
        std::vector<const wchar_t*> said;
    };
    const Case cases[] = {
        {"exit 1, empty list",
         {{"builds", ""}, {"listbuilds.exit", "1"}, {"listbuilds.stderr", "cannot write the list: No space left on device\n"}},
         nullptr, false, {L"listbuilds ended with exit code 1: cannot write the list: No space left on device"}},
        {"stale list, exit 3", {{"write_list", "0"}, {"listbuilds.exit", "3"}}, "101,", false,
         {L"listbuilds ended with exit code 3."}},
        {"stale list, no list written", {{"write_list", "0"}}, "101,", false, {L"Unable to read the build list "}},
        {"exit 0, empty list", {{"builds", ""}}, nullptr, false, {L"listed no build in ", L"(the file is empty)"}},
        {"exit 0, no comma", {{"builds", "101"}}, nullptr, false, {L"(it holds \"101\" without a comma)"}},
        {"exit 0, empty list on a full disk", {{"builds", ""}}, nullptr, true,
         {L"(the file is empty; No space left on device (0 bytes free on the disk that holds ", L"/bin))."}},
        {"exit 1 on a full disk, the utility saying only I/O error",
         {{"builds", ""}, {"listbuilds.exit", "1"}, {"listbuilds.stderr", "printf: I/O error\n"}}, nullptr, true,
         {L"listbuilds ended with exit code 1: printf: I/O error; No space left on device (0 bytes free on the disk "
          L"that holds ", L"/bin)."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fixtures::RemoveTree(m_installNative);
        m_host.Reset();
        PatcherOptions::Instance() = PatcherOptions();
        fixtures::InstallFakeSollexUtil(m_installNative, c.config);
        if (c.staleList)
            fixtures::WriteFile(m_installNative + "/bin/buildList.txt", c.staleList);
        if (c.fullDisk)
            setenv("LUMO_TEST_NO_SPACE", (m_installNative + "/bin").c_str(), 1);
        EXPECT_FALSE(Query());
        unsetenv("LUMO_TEST_NO_SPACE");
        EXPECT_TRUE(PatcherOptions::Instance().builds.empty());
        ASSERT_EQ(1u, m_host.Texts(3).size());
        const std::wstring line = m_host.Texts(3)[0];
        for (const wchar_t* part : c.said)
            EXPECT_NE(std::wstring::npos, line.find(part)) << ToNativePath(line);
        EXPECT_FALSE(fixtures::PathExists(m_installNative + "/bin/buildList.txt"));
        // The database service a failing listbuilds may have started is stopped all the same.
        EXPECT_EQ("closeadbdaemon -nostartadbdaemon norender", fixtures::FakeUtilCommandLines(m_installNative).back());
    }
}

// A utility that is a script, whose own child outlives it unless its whole group is ended.
std::string WriteScriptUtility(const std::string& install)
{
    const std::string utility = install + "/bin/SollexUtil.exe";
    fixtures::WriteFile(utility, "#!/bin/sh\n"
                                 "sleep 300 &\n"
                                 "echo $! > \"$(dirname \"$0\")/grandchild.pid\"\n"
                                 "wait\n");
    chmod(utility.c_str(), 0755);
    return utility;
}

// A stop (the user's cancel or a stop signal) ends a running query at once, and so does its time
// limit: the utility and whatever it started are ended, however long the utility would have run.
TEST_F(QueryInstalledBuildsTest, AStopOrTheTimeLimitEndsTheUtilityAndItsChildren)
{
    struct Case {
        const char* name;
        bool cancel;
        std::chrono::milliseconds limit;
        const wchar_t* said;
        int level;
    };
    const Case cases[] = {
        {"stopped", true, kUtilityTimeLimit, L"listbuilds was stopped: the run is ending.", 1},
        {"time limit", false, std::chrono::milliseconds(500), L"listbuilds did not end within", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fixtures::RemoveTree(m_installNative);
        m_host.Reset();
        WriteScriptUtility(m_installNative);
        const std::string pidFile = m_installNative + "/bin/grandchild.pid";
        bool answer = true;
        std::thread query([&] { answer = Query(c.limit); });
        ASSERT_TRUE(fixtures::WaitFor([&] { return fixtures::PathExists(pidFile) && !fixtures::ReadFile(pidFile).empty(); }));
        const auto stopped = std::chrono::steady_clock::now();
        if (c.cancel)
            m_host.cancel = true;
        query.join();
        // Far below the utility's own 300 s (and the query's limit of 300 s): not waited for.
        EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(120));
        EXPECT_FALSE(answer);
        EXPECT_TRUE(PatcherOptions::Instance().builds.empty());
        bool said = false;
        for (const std::wstring& line : m_host.Texts(c.level))
            said = said || line.find(c.said) != std::wstring::npos;
        EXPECT_TRUE(said) << "no line saying " << ToNativePath(c.said);
        const pid_t grandchild = static_cast<pid_t>(std::atoi(fixtures::ReadFile(pidFile).c_str()));
        ASSERT_GT(grandchild, 0);
        const bool gone = fixtures::WaitFor([&] { return fixtures::ProcessEnded(grandchild); });
        if (!gone)
            kill(grandchild, SIGKILL);
        EXPECT_TRUE(gone) << "the utility's own child " << grandchild << " still runs";
    }
}

// A stop that came before the query runs nothing.
TEST_F(QueryInstalledBuildsTest, AStopBeforeTheQueryRunsNoUtility)
{
    fixtures::InstallFakeSollexUtil(m_installNative, {{"builds", "44088,"}});
    m_host.cancel = true;
    EXPECT_FALSE(Query());
    EXPECT_TRUE(fixtures::ReadFakeUtilCalls(m_installNative).empty());
    EXPECT_TRUE(m_host.Texts(3).empty());
}

}  // namespace

namespace {

// The build list is a file of the installation: a link that leads out of it (the "bin" folder or
// the list itself) is never followed to remove or read the user's own file there, and something
// the utility leaves in the list's place that is no file (a FIFO, a link leading out) is named,
// never read or waited on.
TEST_F(QueryInstalledBuildsTest, TheListIsReachedOnlyInsideTheInstallation)
{
    enum class Plant { BinLinkOut, ListLinkOut, FifoByUtility, LinkOutByUtility };
    const struct { const char* name; Plant plant; const wchar_t* said; } cases[] = {
        {"bin a link leading out", Plant::BinLinkOut, L"The installation's build could not be read: the build list "
                                                      L"cannot be reached: path \"bin/buildList.txt\" leads out of the "
                                                      L"installation"},
        {"the list a link leading out", Plant::ListLinkOut, L"The installation's build could not be read: the build "
                                                            L"list cannot be reached: path \"bin/buildList.txt\" leads out "
                                                            L"of the installation"},
        {"a FIFO left by the utility", Plant::FifoByUtility, L"is a FIFO"},
        {"a link leading out left by the utility", Plant::LinkOutByUtility, L"is a symbolic link"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fixtures::RemoveTree(m_scratch / "outside");
        fixtures::RemoveTree(m_installNative);
        m_host.ClearLog();
        PatcherOptions::Instance() = PatcherOptions();
        const std::string outside = m_scratch / "outside";
        fixtures::WriteFile(outside + "/buildList.txt", "12345,");  // the user's own file
        std::string bin = m_installNative + "/bin";
        if (c.plant == Plant::BinLinkOut) {
            fixtures::InstallFakeSollexUtil(outside, {{"builds", "44088,"}});
            fixtures::WriteFile(outside + "/bin/buildList.txt", "12345,");
            std::filesystem::create_directories(m_installNative);
            std::filesystem::create_symlink("../outside/bin", bin);
        } else if (c.plant == Plant::ListLinkOut) {
            fixtures::InstallFakeSollexUtil(m_installNative, {{"builds", "44088,"}});
            std::filesystem::create_symlink("../../outside/buildList.txt", bin + "/buildList.txt");
        } else {
            // A utility of the installation's own that leaves something other than a file there.
            const std::string make = c.plant == Plant::FifoByUtility ? "mkfifo \"$2\""
                                                                     : "ln -s '" + outside + "/buildList.txt' \"$2\"";
            fixtures::WriteFile(bin + "/SollexUtil.exe",
                                "#!/bin/sh\nif [ \"$1\" = listbuilds ]; then " + make + "; fi\nexit 0\n");
            ASSERT_EQ(chmod((bin + "/SollexUtil.exe").c_str(), 0755), 0);
        }
        EXPECT_FALSE(QueryInstallationBuilds(m_install, m_host));
        EXPECT_TRUE(PatcherOptions::Instance().builds.empty());
        ASSERT_EQ(m_host.Texts(3).size(), 1u);
        EXPECT_NE(m_host.Texts(3)[0].find(c.said), std::wstring::npos) << ToNativePath(m_host.Texts(3)[0]);
        EXPECT_EQ(fixtures::ReadFile(outside + "/buildList.txt"), "12345,");
        if (c.plant == Plant::BinLinkOut) {
            EXPECT_EQ(fixtures::ReadFile(outside + "/bin/buildList.txt"), "12345,");
            EXPECT_TRUE(fixtures::ReadFakeUtilCalls(outside).empty()) << "the utility was run";
        }
        if (c.plant == Plant::ListLinkOut) {
            EXPECT_TRUE(fixtures::ReadFakeUtilCalls(m_installNative).empty()) << "the utility was run";
        }
        if (c.plant == Plant::FifoByUtility || c.plant == Plant::LinkOutByUtility) {
            EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(bin + "/buildList.txt")));
        }
    }
}

}  // namespace
