// Start-up with doubles for everything outside the process: which way it ends, and what the
// window shows when it does not.
#include "BuildConfig.h"
#include "app/Startup.h"
#include "app/core/StringTable.h"
#include "lumo/text/StringUtil.h"
#include "platform/NativePath.h"
#include "platform/Spawn.h"
#include "tests/app/GuiTestSupport.h"
#include "tests/fixtures/ArchiveWriter.h"
#include "tests/fixtures/EndedOwner.h"
#include "tests/fixtures/FakeSollexUtil.h"
#include "tests/fixtures/RepairJournalText.h"
#include "tests/fixtures/ScopedEnv.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/ShellCommand.h"

#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>
#include <filesystem>

#include <wx/button.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

using namespace LumoPatch;
using apptest::FakeWorker;
using apptest::PumpUntil;

namespace {

class FakeElevator : public platform::Elevator {
public:
    platform::ElevationResult RunElevatedAndWait(const std::string& program,
                                                 const std::vector<std::string>& arguments) override
    {
        calls.push_back(program);
        calls.insert(calls.end(), arguments.begin(), arguments.end());
        return result;
    }
    platform::ElevationResult result;
    std::vector<std::string> calls;
};

class StartupTest : public testing::Test {
protected:
    void SetUp() override
    {
        PatcherOptions::Instance() = PatcherOptions();
        fixtures::WriteFile(m_program, std::string(5000, 'x'));
        fixtures::InstallFakeSollexUtil(m_install, {{"builds", "43434,"}});
        m_services.executablePath = FromNativePath(m_program);
        m_services.workingFolder = FromNativePath(m_scratch / "start");
        m_services.elevator = &m_elevator;
        m_services.accessChecks = {[this](const std::wstring&) { return m_writable; }, 1000, nullptr};
        m_services.messageBox = [this](const std::wstring& text, const std::wstring& caption) {
            m_boxes.push_back(text + L" | " + caption);
        };
        m_services.changeDirectory = [this](const std::wstring& folder) { m_changedTo = folder; };
        m_services.runOnExitProgram = [this](const AppSettings&) { ++m_onExitRuns; };
        m_services.frameSeams = apptest::FakePageSeams([this](MainFrame* frame) { return m_worker = new FakeWorker(frame); });
    }
    void TearDown() override
    {
        if (m_worker)
            m_worker->Release();
        if (MainFrame* frame = g_mainFrame.load()) {
            PumpUntil([frame] { return !frame->IsRunning(); });
            frame->Destroy();
        }
        PumpUntil([] { return g_mainFrame.load() == nullptr; });
        PatcherOptions::Instance() = PatcherOptions();
    }

    bool Start(std::vector<std::wstring> arguments)
    {
        arguments.insert(arguments.begin(), L"sollex-patcher");
        m_services.arguments = arguments;
        return RunStartup(m_settings, m_services);
    }
    PatchMainFrame* Frame() { return static_cast<PatchMainFrame*>(g_mainFrame.load()); }
    std::wstring PrivilegesBox() { return LoadResString(132) + L" | " + LoadResString(134); }

    fixtures::ScratchFolder m_scratch;
    fixtures::ScopedEnv m_registry{"LUMO_REGISTRY_ROOT", (m_scratch / "registry").c_str()};
    std::string m_program = m_scratch / "patcher";
    std::string m_install = m_scratch / "game";
    std::wstring m_installArg = FromNativePath(m_install);
    FakeElevator m_elevator;
    bool m_writable = true;
    StartupServices m_services;
    AppSettings m_settings;
    std::vector<std::wstring> m_boxes;
    std::wstring m_changedTo;
    int m_onExitRuns = 0;
    FakeWorker* m_worker = nullptr;
};

TEST_F(StartupTest, TheRunStartsWaitsOrCannotStart)
{
    struct Case {
        const char* name;
        bool embeddedPatch;
        std::vector<std::wstring> switches;
        bool startsNow;
        bool applyEnabled;
        const char* pathLabel;
    };
    const Case cases[] = {
        {"servers", true, {L"--server=http://127.0.0.1:9/"}, true, false, "Patching install:"},
        {"repair", false, {L"-r"}, true, false, "Repairing install:"},
        {"repair with an embedded patch", true, {L"-r"}, false, true, "Patching install:"},
        {"an embedded patch", true, {}, false, true, "Patching install:"},
        {"nothing to do", false, {}, false, false, "Patching install:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        if (c.embeddedPatch)
            fixtures::AppendArchive(m_program, {{"43434", "44088", "package", std::nullopt, std::nullopt}});
        std::vector<std::wstring> arguments = c.switches;
        arguments.push_back(m_installArg);
        ASSERT_TRUE(Start(arguments));
        PatchMainFrame* frame = Frame();
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(m_changedTo, FromNativePath(m_scratch.Path()));
        EXPECT_EQ(frame->IsRunning(), c.startsNow);
        EXPECT_EQ(frame->ApplyButton()->IsEnabled(), c.applyEnabled);
        EXPECT_EQ(frame->PathLabel()->GetLabel(), c.pathLabel);
        EXPECT_EQ(frame->PathBox()->GetValue(), m_installArg);
        EXPECT_FALSE(frame->IsTimerRunning());
        if (!c.startsNow && !c.applyEnabled) {
            ASSERT_TRUE(PumpUntil([&] { return !frame->LogView()->IsEmpty(); }));
            EXPECT_EQ(frame->LogView()->GetValue().AfterLast('\n'), kNoValidOperation);
            wxTextAttr style;
            ASSERT_TRUE(frame->LogView()->GetStyle(frame->LogView()->GetLastPosition() - 1, style));
            EXPECT_EQ(style.GetTextColour(), *wxRED);
        }
        EXPECT_TRUE(m_elevator.calls.empty());
        TearDown();
        m_worker = nullptr;
    }
}

TEST_F(StartupTest, WithoutAccessTheElevatedCopyTakesOverOrThePrivilegesBoxEndsStartUp)
{
    // An elevated copy itself never elevates again: it shows the box and ends.
    m_writable = false;
    EXPECT_FALSE(Start({L"-o", L"launcher", L"--admin", m_installArg}));
    EXPECT_EQ(m_boxes, std::vector<std::wstring>{PrivilegesBox()});
    EXPECT_TRUE(m_elevator.calls.empty());
    EXPECT_EQ(m_onExitRuns, 0);

    using Outcome = platform::ElevationResult::Outcome;
    for (Outcome outcome : {Outcome::Ran, Outcome::Refused, Outcome::CouldNotStart}) {
        m_boxes.clear();
        m_onExitRuns = 0;
        m_elevator.result.outcome = outcome;
        PatcherOptions::Instance() = PatcherOptions();
        EXPECT_FALSE(Start({L"-o", L"launcher --go", L"-s", L"http://a/", L"-s", L"http://b/", m_installArg}));
        EXPECT_EQ(m_boxes, std::vector<std::wstring>(outcome == Outcome::Ran ? 0 : 1, PrivilegesBox()));
        EXPECT_EQ(m_onExitRuns, 1);  // this process runs onexit, never the copy
        ASSERT_FALSE(m_elevator.calls.empty());
        EXPECT_EQ(m_elevator.calls[0], m_program);
        EXPECT_EQ(m_elevator.calls[1], "--admin");
        EXPECT_EQ(std::count(m_elevator.calls.begin(), m_elevator.calls.end(), "--onexit"), 0);
        EXPECT_EQ(std::count_if(m_elevator.calls.begin(), m_elevator.calls.end(),
                                [](const std::string& a) { return a.rfind("--server=", 0) == 0; }),
                  2);
        EXPECT_EQ(g_mainFrame.load(), nullptr);
        m_elevator.calls.clear();
    }
}

// The box names what the user lacks here, the right to write the installation, in every language.
TEST(PrivilegesBox, SpeaksOfTheRightToWriteTheInstallationNotOfWindows)
{
    const struct { uint16_t language; const wchar_t* right; } languages[] = {
        {kLanguageEnglish, L"may not write to the Sollex installation"},
        {kLanguageGerman, L"nicht in die Sollex-Installation schreiben"},
        {kLanguageFrench, L"ne peut pas écrire dans l'installation de Sollex"},
        {kLanguageRussian, L"нет права записи в установку Sollex"},
    };
    for (const auto& l : languages) {
        SCOPED_TRACE(l.language);
        const wchar_t* text = FindTableString(132, l.language);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::wstring(text).find(L"Windows"), std::wstring::npos) << text;
        EXPECT_NE(std::wstring(text).find(l.right), std::wstring::npos) << text;
    }
}

TEST_F(StartupTest, AnInterruptedPatchIsRolledBackBeforeDiscoveryAndTheUserIsTold)
{
    // A journal left by a patcher killed while it added "extra.txt": no commit, so it goes.
    std::string journal;
    for (const std::string record : {"BEGIN", "NEW extra.txt"})
        journal += LumoUtil::FormatString("%08lx ", crc32(0, reinterpret_cast<const Bytef*>(record.data()), record.size())) +
                   record + "\n";
    fixtures::WriteFile(m_install + "/patch.journal", journal);
    fixtures::WriteFile(m_install + "/extra.txt", "half-written");

    ASSERT_TRUE(Start({m_installArg}));
    EXPECT_FALSE(fixtures::PathExists(m_install + "/extra.txt"));
    EXPECT_FALSE(fixtures::PathExists(m_install + "/patch.journal"));
    ASSERT_TRUE(PumpUntil([&] { return Frame()->LogView()->GetValue().Contains("was interrupted"); }));
}

TEST_F(StartupTest, AKilledRepairIsCutBackBeforeDiscoveryAndTheUserIsToldToRunItAgain)
{
    // The journal of a repair killed after it made data/a.txt 4 TB long and began new.bin.
    fixtures::WriteFile(m_install + "/repair.journal",
                        fixtures::RepairJournalText({"BEGIN", "LENGTH 3 data/a.txt", "NEW data/new.bin"}));
    fixtures::WriteFile(m_install + "/data/a.txt", "old");
    ASSERT_EQ(::truncate((m_install + "/data/a.txt").c_str(), off_t(4194304000001)), 0);
    fixtures::WriteFile(m_install + "/data/new.bin", "s0");

    ASSERT_TRUE(Start({m_installArg}));
    EXPECT_EQ(fixtures::ReadFile(m_install + "/data/a.txt"), "old");
    EXPECT_FALSE(fixtures::PathExists(m_install + "/data/new.bin"));
    EXPECT_FALSE(fixtures::PathExists(m_install + "/repair.journal"));
    ASSERT_TRUE(PumpUntil([&] {
        return Frame()->LogView()->GetValue().Contains("was stopped before it finished: files it was mending may be "
                                                       "part old, part new. Run the repair again.");
    }));
}

// What killed runs left, below the installation and in the temporary folder, goes as the window
// takes the installation at start-up; a run need not make its own temporary folder first.
TEST_F(StartupTest, WhatKilledRunsLeftGoesAtStartUp)
{
    const std::string tmp = m_scratch / "tmp", tag = fixtures::EndedOwnerTag();
    const fixtures::ScopedEnv temporary("TMPDIR", tmp.c_str());
    const std::string runFolder = m_install + "/.sollex-patcher-" + tag + "-Left01", tempFolder = tmp + "/lumo-" + tag + "-Left02";
    fixtures::WriteFile(runFolder + "/file1/data/x.dll", "unpacked");
    fixtures::WriteFile(tempFolder + "/43434_to_44088.zip", "partial");
    fixtures::AppendArchive(m_program, {{"43434", "44088", "package", std::nullopt, std::nullopt}});
    ASSERT_TRUE(Start({m_installArg}));
    EXPECT_FALSE(fixtures::PathExists(runFolder));
    EXPECT_FALSE(fixtures::PathExists(tempFolder));
}

// The folder is resolved (a link, relative to the start folder) first; another run holding it keeps start-up out.
TEST_F(StartupTest, TheInstallationIsResolvedAndAnotherRunKeepsStartUpOut)
{
    std::filesystem::create_directory(m_scratch / "start");
    std::filesystem::create_directory_symlink(m_install, m_scratch / "link");
    const fixtures::ArchiveEntry patch = {"43434", "44088", "package", std::nullopt, std::nullopt};
    fixtures::AppendArchive(m_program, {patch});
    ASSERT_TRUE(Start({L"../link//."}));
    EXPECT_EQ(PatcherOptions::Instance().installPath, FromNativePath(std::filesystem::canonical(m_install).string()));
    EXPECT_EQ(fixtures::ReadFakeUtilCalls(m_install).size(), 2u) << "discovery asked for the builds";
    TearDown();
    SetUp();
    platform::SpawnRequest request;
    request.argv = {"/usr/bin/flock", "-x", "--no-fork", m_install, "/bin/sh", "-c", "echo held; exec sleep 60"};
    request.captureOutput = true;
    const auto other = platform::SpawnedChild::Spawn(request, nullptr);
    char byte = 0;
    ASSERT_TRUE(other && other->ReadOutput(&byte, 1) == 1);  // "held": another run (a repair, say) holds it
    fixtures::AppendArchive(m_program, {patch});
    ASSERT_TRUE(Start({m_installArg}));
    EXPECT_TRUE(PumpUntil([&] { return Frame()->LogView()->GetValue().Contains("is in use by another process"); }));
    EXPECT_EQ(fixtures::ReadFakeUtilCalls(m_install).size(), 2u) << "the installation was not asked";
    other->Terminate(1);
}

// Whether another process could take the installation now (the hold is a lock on its folder).
bool InstallationFree(const std::string& install)
{
    int status = 0;
    fixtures::RunShell("/usr/bin/flock -n -x '" + install + "' true", &status);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A patch or a repair killed while the window waited leaves its journal: "Apply Update" takes the
// installation again and puts that right before it asks for the build or starts a run. A journal
// that cannot be followed starts nothing and leaves the button usable.
TEST_F(StartupTest, ApplyUpdatePutsRightWhatARunKilledWhileTheWindowWaitedLeft)
{
    fixtures::AppendArchive(m_program, {fixtures::ArchiveEntry{"43434", "44088", "package", std::nullopt, std::nullopt}});
    ASSERT_TRUE(Start({m_installArg}));
    PatchMainFrame* frame = Frame();
    const auto log = [&frame] { return frame->LogView()->GetValue(); };
    const auto press = [&] {
        wxCommandEvent none;
        frame->OnApply(none);
        apptest::Pump();
    };
    ASSERT_TRUE(frame->ApplyButton()->IsEnabled());
    {
        SCOPED_TRACE("a journal that is a FIFO");
        ASSERT_EQ(::mkfifo((m_install + "/repair.journal").c_str(), 0644), 0);
        press();
        EXPECT_FALSE(frame->IsRunning());
        m_worker = nullptr;  // built, never started, gone
        EXPECT_TRUE(PumpUntil([&] { return log().Contains("is a FIFO (named pipe), where the patcher keeps a file"); }))
            << log();
        EXPECT_TRUE(frame->ApplyButton()->IsEnabled());
        EXPECT_TRUE(InstallationFree(m_install));
        ASSERT_EQ(::unlink((m_install + "/repair.journal").c_str()), 0);
    }
    {
        SCOPED_TRACE("a repair and a patch killed meanwhile");
        fixtures::WriteFile(m_install + "/repair.journal", fixtures::RepairJournalText({"BEGIN", "LENGTH 3 data/a.txt"}));
        fixtures::WriteFile(m_install + "/data/a.txt", "old and grown");
        fixtures::WriteFile(m_install + "/patch.journal", fixtures::RepairJournalText({"BEGIN", "NEW extra.txt"}));
        fixtures::WriteFile(m_install + "/extra.txt", "half-written");
        press();
        EXPECT_EQ(fixtures::ReadFile(m_install + "/data/a.txt"), "old");
        EXPECT_FALSE(fixtures::PathExists(m_install + "/extra.txt"));
        EXPECT_FALSE(fixtures::PathExists(m_install + "/repair.journal"));
        EXPECT_FALSE(fixtures::PathExists(m_install + "/patch.journal"));
        EXPECT_TRUE(PumpUntil([&] { return log().Contains("was stopped before it finished"); })) << log();
        EXPECT_TRUE(log().Contains("was interrupted; the installation has been brought back to a complete build."))
            << log();
        ASSERT_TRUE(frame->IsRunning());
        m_worker->Release();
        ASSERT_TRUE(PumpUntil([&] { return !frame->IsRunning(); }));
    }
}


// "Apply Update" takes the installation and asks for its build again before a run starts: a build
// another program moved on since discovery is said, and what applies now is offered; another
// process holding the installation at the press starts nothing and leaves the button usable; the
// window holds the installation from the press to the run's end.
TEST_F(StartupTest, ApplyUpdateHoldsTheInstallationAndAsksForItsBuildAgain)
{
    const auto patch = [](const char* from, const char* to) {
        return fixtures::ArchiveEntry{from, to, "package", std::nullopt, std::nullopt};
    };
    fixtures::AppendArchive(m_program, {patch("43434", "44088"), patch("44088", "45000")});
    ASSERT_TRUE(Start({m_installArg}));
    PatchMainFrame* frame = Frame();
    const auto log = [&frame] { return frame->LogView()->GetValue(); };
    const auto press = [&] {
        wxCommandEvent none;
        frame->OnApply(none);
        apptest::Pump();
        if (!frame->IsRunning())
            m_worker = nullptr;  // built, never started, gone
    };
    ASSERT_TRUE(frame->ApplyButton()->IsEnabled());
    EXPECT_TRUE(InstallationFree(m_install)) << "nothing holds it while the window waits";

    {
        SCOPED_TRACE("another patcher brought it to 44088");
        fixtures::InstallFakeSollexUtil(m_install, {{"builds", "44088,"}});
        press();
        EXPECT_FALSE(frame->IsRunning());
        EXPECT_TRUE(PumpUntil([&] { return log().Contains("Current version: 44088."); })) << log();
        EXPECT_TRUE(log().Contains("The installation is no longer at build 43434 (it reports 44088 now)")) << log();
        EXPECT_FALSE(log().Contains("damaged"));
        EXPECT_TRUE(frame->ApplyButton()->IsEnabled());
        EXPECT_EQ(PatcherOptions::Instance().GetCurrentBuild(), "44088");
        EXPECT_TRUE(InstallationFree(m_install));
    }
    {
        SCOPED_TRACE("another process holds it at the press");
        platform::SpawnRequest request;
        request.argv = {"/usr/bin/flock", "-x", "--no-fork", m_install, "/bin/sh", "-c", "echo held; exec sleep 60"};
        request.captureOutput = true;
        const auto other = platform::SpawnedChild::Spawn(request, nullptr);
        char byte = 0;
        ASSERT_TRUE(other && other->ReadOutput(&byte, 1) == 1);
        press();
        EXPECT_FALSE(frame->IsRunning());
        EXPECT_TRUE(PumpUntil([&] { return log().Contains("is in use by another process"); })) << log();
        EXPECT_TRUE(frame->ApplyButton()->IsEnabled());
        EXPECT_TRUE(frame->BrowseButton()->IsEnabled());
        other->Terminate(1);
        other->Wait(10000);
    }
    {
        SCOPED_TRACE("the build is the one found");
        press();
        ASSERT_TRUE(frame->IsRunning());
        EXPECT_EQ(PatcherOptions::Instance().GetCurrentBuild(), "44088");
        EXPECT_FALSE(InstallationFree(m_install)) << "the window holds it while the run goes on";
        m_worker->Release();
        ASSERT_TRUE(PumpUntil([&] { return !frame->IsRunning(); }));
        EXPECT_TRUE(InstallationFree(m_install)) << "and lets go when the run has ended";
    }
    TearDown();
    SetUp();
    {
        SCOPED_TRACE("nothing applies any more");
        fixtures::AppendArchive(m_program, {patch("43434", "44088")});
        ASSERT_TRUE(Start({m_installArg}));
        frame = Frame();
        fixtures::InstallFakeSollexUtil(m_install, {{"builds", "44088,"}});
        press();
        EXPECT_FALSE(frame->IsRunning());
        EXPECT_TRUE(PumpUntil([&] { return log().Contains(LoadResString(184)); })) << log();
        EXPECT_FALSE(frame->ApplyButton()->IsEnabled());
    }
}

// An installation copied from a case-insensitive disk ("Bin/SOLLEXUTIL.EXE") is asked for its
// build again at "Apply Update" through the same lookup as at start-up; a second spelling that
// appeared since is said as such, and nothing starts.
TEST_F(StartupTest, ApplyUpdateFindsTheUtilityByTheCaseRule)
{
    const struct { const char* name; const char* secondSpelling; bool starts; const char* says; } cases[] = {
        {"one spelling", nullptr, true, nullptr},
        {"a second spelling appeared", "Bin/sollexutil.exe", false, "ambiguous path"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::rename(m_install + "/bin/SollexUtil.exe", m_install + "/bin/SOLLEXUTIL.EXE");
        std::filesystem::rename(m_install + "/bin", m_install + "/Bin");
        fixtures::AppendArchive(m_program, {{"43434", "44088", "package", std::nullopt, std::nullopt}});
        ASSERT_TRUE(Start({m_installArg}));
        PatchMainFrame* frame = Frame();
        const auto log = [&frame] { return frame->LogView()->GetValue(); };
        ASSERT_TRUE(frame->ApplyButton()->IsEnabled()) << log();
        if (c.secondSpelling)
            std::filesystem::copy_file(m_install + "/Bin/SOLLEXUTIL.EXE", m_install + "/" + c.secondSpelling);
        wxCommandEvent none;
        frame->OnApply(none);
        apptest::Pump();
        EXPECT_EQ(frame->IsRunning(), c.starts) << log();
        EXPECT_FALSE(log().Contains("No such file")) << log();
        if (c.says) {
            EXPECT_TRUE(PumpUntil([&] { return log().Contains(c.says); })) << log();
            EXPECT_TRUE(log().Contains("could not be read again before patching; nothing was changed")) << log();
        }
        if (!frame->IsRunning())
            m_worker = nullptr;  // built, never started, gone
        TearDown();
        m_worker = nullptr;
        fixtures::RemoveTree(m_install);
        SetUp();
    }
}

// A journal that cannot be recovered leaves the installation half restored: the window says why,
// asks nothing of the installation, offers nothing and starts no run, whatever the command line.
TEST_F(StartupTest, AnInterruptedPatchThatCannotBeRecoveredStopsStartUp)
{
    const struct { const char* name; std::vector<std::wstring> switches; bool embeddedPatch; } cases[] = {
        {"an embedded patch", {}, true},
        {"servers", {L"--server=http://127.0.0.1:9/"}, false},
        {"repair", {L"-r"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // An intact record that is not BEGIN: the journal cannot be used.
        const std::string record = "NEW extra.txt";
        const std::string journal =
            LumoUtil::FormatString("%08lx ", crc32(0, reinterpret_cast<const Bytef*>(record.data()), record.size())) +
            record + "\n";
        fixtures::WriteFile(m_install + "/patch.journal", journal);
        fixtures::WriteFile(m_install + "/extra.txt", "half-written");
        if (c.embeddedPatch)
            fixtures::AppendArchive(m_program, {{"43434", "44088", "package", std::nullopt, std::nullopt}});
        std::vector<std::wstring> arguments = c.switches;
        arguments.push_back(m_installArg);
        ASSERT_TRUE(Start(arguments));
        PatchMainFrame* frame = Frame();
        const auto log = [&frame] { return frame->LogView()->GetValue(); };
        EXPECT_TRUE(PumpUntil([&] { return log().Contains("Patching aborted."); })) << log();
        EXPECT_TRUE(log().Contains("its recovery could not finish")) << log();
        EXPECT_FALSE(log().Contains(kNoValidOperation)) << log();
        EXPECT_FALSE(frame->IsRunning());
        EXPECT_FALSE(frame->ApplyButton()->IsEnabled());
        EXPECT_FALSE(frame->BrowseButton()->IsEnabled());
        EXPECT_TRUE(fixtures::ReadFakeUtilCalls(m_install).empty()) << "the installation was asked for its build";
        EXPECT_EQ(fixtures::ReadFile(m_install + "/extra.txt"), "half-written");
        EXPECT_EQ(fixtures::ReadFile(m_install + "/patch.journal"), journal);
        TearDown();
        m_worker = nullptr;
        fixtures::RemoveTree(m_install);
        SetUp();
    }
}

// A database rebuild that an earlier run could not finish is said, with how to do it by hand, at
// every start until one ends; without the note nothing is said.
TEST_F(StartupTest, AnUnfinishedDatabaseUpdateIsSaidAtEveryStart)
{
    const std::string note = m_install + "/patch.dbstopped";
    for (const bool noted : {true, true, false}) {
        SCOPED_TRACE(noted ? "noted" : "not noted");
        if (noted)
            fixtures::WriteFile(note, "asset database update begun\n");
        else
            fixtures::RemoveTree(note);
        ASSERT_TRUE(Start({m_installArg}));
        PatchMainFrame* frame = Frame();
        const auto log = [&frame] { return frame->LogView()->GetValue(); };
        ASSERT_TRUE(PumpUntil([&] { return log().Contains(kNoValidOperation); })) << log();
        const wxString advice = "An earlier patch run ended before its asset database update did. The "
                                "asset database has not been rebuilt: please repair it manually from Asset Desk, or run "
                                "\"SollexUtil.exe repairdatabase patcher\" in " + m_installArg + "/bin.";
        const int at = log().Find(advice);
        EXPECT_EQ(at != wxNOT_FOUND, noted) << log();
        if (at != wxNOT_FOUND) {
            wxTextAttr style;
            ASSERT_TRUE(frame->LogView()->GetStyle(at + 1, style));
            EXPECT_EQ(style.GetTextColour(), *wxRED);
        }
        EXPECT_EQ(fixtures::PathExists(note), noted) << "the start leaves the note as it is";
        TearDown();
        m_worker = nullptr;
        SetUp();
    }
}

// A read-only mount cannot be written by anyone: no elevation is asked for, and the box says why
// instead of speaking of a user account.
TEST_F(StartupTest, AnInstallationOnAReadOnlyFileSystemIsRefusedWithoutElevation)
{
    m_writable = false;
    m_services.accessChecks.readOnlyFileSystem = [](const std::wstring&) { return true; };
    for (const std::vector<std::wstring>& switches : {std::vector<std::wstring>{}, {L"--admin"}}) {
        m_boxes.clear();
        PatcherOptions::Instance() = PatcherOptions();
        std::vector<std::wstring> arguments = switches;
        arguments.push_back(m_installArg);
        EXPECT_FALSE(Start(arguments));
        EXPECT_TRUE(m_elevator.calls.empty());
        EXPECT_EQ(g_mainFrame.load(), nullptr);
        ASSERT_EQ(m_boxes.size(), 1u);
        EXPECT_EQ(m_boxes[0], ReadOnlyInstallationText(PatcherOptions::Instance().installPath) + L" | " +
                                  LoadResString(134));
        EXPECT_NE(m_boxes[0].find(L"read-only file system"), std::wstring::npos);
        EXPECT_EQ(m_boxes[0].find(LoadResString(132)), std::wstring::npos);
    }
}

// Without a display, -h shows the usage once before the toolkit gives up (status 255).
TEST_F(StartupTest, UsageComesBeforeTheToolkitStartsWithoutADisplay)
{
    int status = 0;
    const std::string output = fixtures::RunShell("cd '" + m_scratch.Path() + "' && env -i LANG=C.UTF-8 GDK_BACKEND=x11 HOME=. "
        "TMPDIR=. LUMO_REGISTRY_ROOT=registry LUMO_ELEVATOR=none timeout 60 '" LUMO_BIN_DIR "/sollex-patcher' -h 2>&1", &status);
    EXPECT_EQ(WEXITSTATUS(status), 255) << output;
    EXPECT_EQ(output.rfind("Usage: sollex-patcher [-h]", 0), 0u) << output;
    EXPECT_EQ(output.find("Usage:", 1), std::string::npos) << "the usage is shown once";
}

}  // namespace
