#include "app/core/InstallDiscovery.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "app/core/StringTable.h"
#include "lumo/text/StringUtil.h"
#include "platform/NativePath.h"
#include "platform/Registry.h"
#include "tests/fixtures/ArchiveWriter.h"
#include "tests/fixtures/FakeSollexUtil.h"
#include "tests/fixtures/RecordingHost.h"
#include "tests/fixtures/ScopedEnv.h"
#include "tests/fixtures/ScratchFolder.h"

namespace {

using Line = fixtures::RecordingHost::Line;
using Strings = std::vector<std::string>;

TEST(InstallFolderOfPickedFile, StripsOnlyABinFolder)
{
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"/g/bin/Sollex.exe", L"/g/"},
        {L"/g/Sollex.exe", L"/g/"},
        {L"/x/cabin/Sollex.exe", L"/x/cabin/"},
        {L"C:\\Games\\BIN\\Sollex.exe", L"C:\\Games\\"},
        {L"/bin/Sollex.exe", L"/"},
        {L"/Sollex.exe", L"/"},
        {L"Sollex.exe", L""},
    };
    for (const auto& [chosen, folder] : cases)
        EXPECT_EQ(folder, InstallFolderOfPickedFile(chosen)) << chosen;
}

class InstallDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Options() = PatcherOptions();
        fixtures::WriteFile(m_program, std::string(5000, 'x'));  // the program's own bytes
    }
    void TearDown() override { Options() = PatcherOptions(); }
    static PatcherOptions& Options() { return PatcherOptions::Instance(); }

    std::wstring Wide(const std::string& native) const { return FromNativePath(native); }

    // An installation whose utility reports builds.
    std::string MakeInstall(const std::string& name, const std::string& builds)
    {
        const std::string root = m_scratch / name;
        fixtures::InstallFakeSollexUtil(root, {{"builds", builds}});
        return root;
    }

    void RegisterInstall(const std::string& root)
    {
        platform::RegistryKey key;
        ASSERT_EQ(0u, key.Create(platform::RegistryHive::LocalMachine,
                                 L"SOFTWARE\\Kestin\\Products\\SollexSimulator\\Edition", platform::kKeyAllAccess));
        ASSERT_EQ(0u, key.SetString(L"ProductClass", L"Sollex"));
        ASSERT_EQ(0u, key.SetString(L"ProductInstallPath", Wide(root + "/")));
    }

    DiscoveryOutcome Discover(bool askUser, std::vector<std::optional<std::string>> picks = {})
    {
        return DiscoverPatches(Wide(m_program), askUser, Options(), m_host, [&]() -> std::optional<std::wstring> {
            ++m_picks;
            if (picks.empty())
                return std::nullopt;
            const std::optional<std::string> pick = picks.front();
            picks.erase(picks.begin());
            return pick ? std::optional<std::wstring>(Wide(*pick)) : std::nullopt;
        });
    }

    fixtures::ScratchFolder m_scratch;
    fixtures::ScopedEnv m_registry{"LUMO_REGISTRY_ROOT", (m_scratch / "registry").c_str()};
    std::string m_program = m_scratch / "patcher";
    fixtures::RecordingHost m_host;
    int m_picks = 0;
    const std::vector<fixtures::ArchiveEntry> m_twoPatches = {
        {"43434", "44088", "package one", std::nullopt, std::nullopt},
        {"44088", "45000", "package two", std::nullopt, std::nullopt}};
};

TEST_F(InstallDiscoveryTest, NoArchiveSaysNothingAndAsksNoOne)
{
    const std::string install = MakeInstall("game", "43434,");
    RegisterInstall(install);
    const DiscoveryOutcome outcome = Discover(false);
    EXPECT_FALSE(outcome.applicable || outcome.enableBrowse || outcome.enableApply || outcome.pathText);
    EXPECT_EQ((std::vector<Line>{{0, L"Checking embedded patch: " + Wide(m_program)}}), m_host.Lines());
    EXPECT_EQ(0, m_picks);
    EXPECT_TRUE(fixtures::ReadFakeUtilCalls(install).empty());
}

TEST_F(InstallDiscoveryTest, DamagedArchiveIsReported)
{
    fixtures::ArchiveOptions damaged;
    damaged.totalSizeDelta = 1;
    fixtures::AppendArchive(m_program, m_twoPatches, damaged);
    EXPECT_FALSE(Discover(false).enableBrowse);
    EXPECT_EQ((std::vector<std::wstring>{LoadResString(181)}), m_host.Texts(3));

    m_host.ClearLog();
    EXPECT_FALSE(DiscoverPatches(L"/nonexistent/patcher", false, Options(), m_host, nullptr).enableBrowse);
    EXPECT_EQ((std::vector<std::wstring>{LoadResString(181)}), m_host.Texts(3));
}

TEST_F(InstallDiscoveryTest, ApplicableBuildsInArchiveOrderFromTheFolderTheRunPatches)
{
    fixtures::AppendArchive(m_program, m_twoPatches);
    RegisterInstall(MakeInstall("registered", "45000,"));
    const std::string target = MakeInstall("target dir", "44088,43434,");
    Options().installPath = Wide(target + "/");
    Options().repair = true;
    Options().targetVersion = "1";

    const DiscoveryOutcome outcome = Discover(false);
    EXPECT_TRUE(outcome.applicable && outcome.enableBrowse && outcome.enableApply);
    EXPECT_FALSE(outcome.pathText);
    EXPECT_EQ((Strings{"43434", "44088"}), Options().builds);
    EXPECT_TRUE(Options().localPatch);
    EXPECT_FALSE(Options().repair);
    EXPECT_EQ("", Options().targetVersion);
    EXPECT_EQ((std::vector<std::wstring>{LoadResString(187), LumoUtil::FormatWString(LoadResString(188).c_str(), L"43434"), L""}),
              m_host.Texts(1));
    EXPECT_TRUE(m_host.Texts(3).empty());
    EXPECT_EQ(2u, fixtures::ReadFakeUtilCalls(target).size());
    EXPECT_TRUE(fixtures::ReadFakeUtilCalls(m_scratch / "registered").empty());
}

TEST_F(InstallDiscoveryTest, AsksForTheGameWhenNoFolderIsKnown)
{
    fixtures::AppendArchive(m_program, m_twoPatches);
    const std::string game = MakeInstall("g\xC3\xA4me", "43434,");
    const std::wstring notice =
        L"Unable to determine Sollex installation path. Requesting user to specify installation location.\n";
    const std::wstring aborted = L"Unable to determine installation location. Aborted patching at user's request.";
    struct Case { const char* name; bool askUser; std::optional<std::string> pick; std::vector<std::wstring> errors; };
    const Case cases[] = {
        {"bin folder", false, game + "/bin/Sollex.exe", {notice}},
        {"game folder", false, game + "/Sollex.exe", {notice}},
        {"browse", true, game + "/bin/Sollex.exe", {}},
        {"cancelled", false, std::nullopt, {notice, aborted}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Options() = PatcherOptions();
        m_host.ClearLog();
        const DiscoveryOutcome outcome = Discover(c.askUser, {c.pick});
        EXPECT_EQ(c.errors, m_host.Texts(3));
        EXPECT_TRUE(outcome.enableBrowse);
        EXPECT_EQ(c.pick.has_value(), outcome.applicable);
        if (c.pick) {
            EXPECT_EQ(Wide(game + "/"), Options().installPath);
            EXPECT_EQ(Wide(game + "/"), outcome.pathText.value_or(L""));
        } else {
            EXPECT_EQ(L"", Options().installPath);
        }
    }
}

// When no build can be read at all, the reason is the one error: "not applicable" (184) would point
// elsewhere. A folder without the game's utility holds no installation, "/" among them.
TEST_F(InstallDiscoveryTest, AFolderWithoutBuildsSaysOnlyWhy)
{
    fixtures::AppendArchive(m_program, m_twoPatches);
    fixtures::WriteFile(m_scratch / "empty/keep", "");
    fixtures::WriteFile(m_scratch / "a-file", "x");
    fixtures::WriteFile(m_scratch / "broken/bin/SollexUtil.exe", "not a program");
    chmod((m_scratch / "broken/bin/SollexUtil.exe").c_str(), 0755);
    // cause: how the only error starts.
    struct Case { const char* name; std::string folder; std::wstring cause; bool canAsk; };
    const Case cases[] = {
        {"empty folder", m_scratch / "empty/", L"The folder " + Wide(m_scratch / "empty") + L" holds no Sollex installation: "
                                                   L"it has no " + Wide(m_scratch / "empty/bin/SollexUtil.exe") + L".", true},
        {"the root", "/", L"The folder / holds no Sollex installation: it has no /bin/SollexUtil.exe.", true},
        {"a utility that cannot run", m_scratch / "broken", L"Unable to run ", true},
        {"missing folder", m_scratch / "gone", L"The installation folder does not exist: ", true},
        {"only spaces", "   ", L"The installation folder does not exist: ", true},
        {"a file", m_scratch / "a-file", L"The installation folder \"", true},
        {"a backslash", m_scratch / "em\\pty", L"The installation folder \"", true},
        {"none known, no one to ask", "", L"No installation folder is known", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Options() = PatcherOptions();
        m_host.ClearLog();
        Options().installPath = Wide(c.folder);
        const DiscoveryOutcome outcome = c.canAsk ? Discover(false)
                                                  : DiscoverPatches(Wide(m_program), false, Options(), m_host, nullptr);
        EXPECT_TRUE(outcome.enableBrowse);
        EXPECT_FALSE(outcome.enableApply);
        EXPECT_FALSE(Options().localPatch);
        EXPECT_EQ(m_picks, 0);
        const std::vector<std::wstring> errors = m_host.Texts(3);
        ASSERT_FALSE(errors.empty());
        EXPECT_EQ(errors[0].rfind(c.cause, 0), 0u) << ToNativePath(errors[0]);
        EXPECT_EQ(errors, std::vector{errors[0]});
    }
}

}  // namespace
