// The patched-files stage against the patch-tool double installed in a scratch installation.
#include "patch/PatchFiles.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <optional>

#include "lumo/text/PathUtil.h"
#include "lumo/text/StringUtil.h"
#include "lumo/text/TextConversion.h"
#include "patch/AddedFiles.h"
#include "patch/PatchCallbacks.h"
#include "patch/PatchMessages.h"
#include "patch/PatchTool.h"
#include "platform/NativePath.h"
#include "tests/fixtures/FakePatchTool.h"
#include "tests/fixtures/OutputCapture.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/patch/PatchMessageLog.h"
#include "tests/patch/StageRun.h"

using fixtures::FakeToolCall;
using fixtures::PathExists;
using fixtures::ReadFile;
using fixtures::WriteFile;

namespace
{

bool ProcessAlive(int pid)
{
    return pid > 0 && kill(pid, 0) == 0;
}

class PatchFilesTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_install = m_scratch / "install";
        m_package = m_scratch / "package";
        m_log = m_scratch / "calls.log";
        WriteFile(m_package + "/data/.keep", "");
        setenv(fixtures::kFakePatchToolLogVariable, m_log.c_str(), 1);
    }
    void TearDown() override
    {
        m_run.reset();
        unsetenv(fixtures::kFakePatchToolLogVariable);
    }

    // Installs rel ("/" separators) with oldBytes and puts its difference file (at diffRel below
    // "data", by default rel + ".diff") into the package.
    PatchFileRecord AddPatched(const std::string& rel, const std::string& oldBytes, const std::string& newBytes,
                               const std::vector<std::string>& directives = {}, std::string diffRel = "")
    {
        WriteFile(m_install + "/" + rel, oldBytes);
        if (diffRel.empty())
            diffRel = rel + ".diff";
        WriteFile(m_package + "/data/" + diffRel, fixtures::MakeFakeDiff(oldBytes, newBytes, directives));
        PatchFileRecord record;
        record.path = FromNativePath(rel);
        LumoUtil::ReplaceSeparators(record.path, L'\\');
        record.newChecksum = ToWide(fixtures::Md5Hex(newBytes));
        record.oldChecksum = ToWide(fixtures::Md5Hex(oldBytes));
        return record;
    }

    // The application this stage belongs to, taking the installation when none does yet: the
    // finishing steps work in it too.
    PatchStageContext Context()
    {
        g_patchInstallDir = FromNativePath(m_install);
        g_patchPackageDir = FromNativePath(m_package);
        if (!m_run)
            m_run.emplace(m_install);
        EXPECT_TRUE(m_run->Started()) << ToNativePath(m_run->Error());
        return CurrentPatchStageContext();
    }

    bool Run(const PatchFileRecordArray& records) { return PatchFilesIn(Context(), records, m_backups); }

    std::wstring Target(const std::string& rel) const { return FromNativePath(m_install + "/" + rel); }

    std::vector<std::wstring> MessagesAt(int level) const
    {
        std::vector<std::wstring> texts;
        for (const auto& [messageLevel, text] : m_messages.messages)
            if (messageLevel == level)
                texts.push_back(text);
        return texts;
    }

    std::vector<FakeToolCall> Calls() const { return fixtures::ReadFakeToolCalls(m_log); }

    // A fresh installation with the tool (and the converter when asked), an empty package and log.
    void Reset(bool converter)
    {
        m_run.reset();
        fixtures::RemoveTree(m_install);
        fixtures::RemoveTree(m_package);
        unlink(m_log.c_str());
        m_messages.messages.clear();
        m_backups.clear();
        fixtures::InstallFakePatchTool(m_install, converter);
    }

    fixtures::ScratchFolder m_scratch;
    PatchMessageLog m_messages;
    std::string m_install;
    std::string m_package;
    std::string m_log;
    BackupPairArray m_backups;
    std::optional<fixtures::StageRun> m_run;
};

// Folder and file names full of shell syntax reach the tool unchanged.
TEST_F(PatchFilesTest, RebuildsEachFileFromItsBackupWithTheToolInTheBinFolder)
{
    m_install = m_scratch / "in stall 'q' \"dq\" $HOME `x` \xc3\xa9";
    m_package = m_scratch / "pack $(id) ; rm";
    fixtures::InstallFakePatchTool(m_install, false);
    const std::string x = "my files/it's $x & \"y\".dll";
    const PatchFileRecordArray records = {AddPatched(x, "old x", "new x, longer"),
                                          AddPatched("y.dat", std::string(300000, 'o'), "")};
    ASSERT_TRUE(Run(records));
    EXPECT_TRUE(m_messages.messages.empty());
    EXPECT_EQ("new x, longer", ReadFile(m_install + "/" + x));
    EXPECT_EQ("", ReadFile(m_install + "/y.dat"));
    EXPECT_EQ("old x", ReadFile(m_install + "/" + x + ".pbk"));
    ASSERT_EQ(2u, m_backups.size());
    EXPECT_EQ(Target(x), m_backups[0].file);
    EXPECT_EQ(Target(x + ".pbk"), m_backups[0].backup);

    const std::vector<FakeToolCall> calls = Calls();
    ASSERT_EQ(2u, calls.size());
    // The backup and the output are the patcher's own descriptors, never names of the installation.
    const std::vector<std::string> expected = {m_install + "/bin/kpatchl-w32.exe", "/proc/self/fd/3",
                                               m_package + "/data/" + x + ".diff", "/proc/self/fd/4"};
    EXPECT_EQ(expected, calls[0].argv);
    EXPECT_EQ(m_install + "/bin", calls[0].cwd);
    EXPECT_EQ("0 1 2 3 4", calls[0].fds);
    EXPECT_TRUE(calls[0].stdinAtEnd);
    EXPECT_TRUE(calls[0].oldExisted);
    EXPECT_TRUE(calls[0].outExisted);  // a fresh empty file of the patcher's own, never a planted link
    EXPECT_EQ(m_package + "/data/y.dat.diff", calls[1].argv[2]);

    FinishPatchedFiles(true, m_backups);
    EXPECT_FALSE(PathExists(m_install + "/" + x + ".pbk"));
}

TEST_F(PatchFilesTest, AlreadyPatchedFileIsLeftAloneEvenWhenALaterFileFails)
{
    fixtures::InstallFakePatchTool(m_install, false);
    PatchFileRecordArray records = {AddPatched("a.dll", "new a", "new a"), AddPatched("b.dll", "old b", "new b"),
                                    AddPatched("c.dll", "old c", "new c", {"EXIT 7"})};
    records[0].oldChecksum = ToWide(fixtures::Md5Hex("old a"));
    EXPECT_FALSE(Run(records));
    EXPECT_EQ(std::vector<std::wstring>{PatchMessages::kAlreadyPatched + Target("a.dll")}, MessagesAt(2));
    EXPECT_EQ(std::vector<std::wstring>{L"An unknown error (7) occurred while patching file c.dll"}, MessagesAt(3));
    EXPECT_EQ(2u, m_backups.size());  // b and c; a has none

    FinishPatchedFiles(false, m_backups);
    EXPECT_EQ("new a", ReadFile(m_install + "/a.dll"));
    EXPECT_EQ("old b", ReadFile(m_install + "/b.dll"));
    EXPECT_EQ("old c", ReadFile(m_install + "/c.dll"));
    EXPECT_FALSE(PathExists(m_install + "/a.dll.pbk"));
    EXPECT_FALSE(PathExists(m_install + "/b.dll.pbk"));
}

TEST_F(PatchFilesTest, DamagedFileStopsTheStageAndEarlierFilesAreRestored)
{
    fixtures::InstallFakePatchTool(m_install, false);
    PatchFileRecordArray records = {AddPatched("bin/a.dll", "old a", "new a"),
                                    AddPatched("bin/b.dll", "old b", "new b"),
                                    AddPatched("bin/never.dll", "old n", "new n")};
    WriteFile(m_install + "/bin/b.dll", "changed by the user");
    EXPECT_FALSE(Run(records));
    EXPECT_EQ(std::vector<std::wstring>{PatchMessages::kFileDamaged + Target("bin/b.dll")}, MessagesAt(3));
    EXPECT_EQ(1u, Calls().size());  // records after the failure are not examined
    FinishPatchedFiles(false, m_backups);
    EXPECT_EQ("old a", ReadFile(m_install + "/bin/a.dll"));
    EXPECT_EQ("changed by the user", ReadFile(m_install + "/bin/b.dll"));
    EXPECT_EQ("old n", ReadFile(m_install + "/bin/never.dll"));
}

TEST_F(PatchFilesTest, ExitCodesMapToTheirMessages)
{
    struct Case { std::vector<std::string> directives; bool converter, dropDiff; std::wstring message; } cases[] = {
        {{"EXIT 1"}, false, false, L"Not enough Argument Specified to patch the file"},
        {{"EXIT 1"}, true, false, L"Failed to patch data\\pack.ka, file contents do not match"},
        {{"EXIT 2"}, false, false, L"Could not open data file data\\pack.ka for reading."},
        {{}, false, true, L"Could not open patch file data\\pack.ka for reading."},
        {{"EXIT 4"}, false, false, L"Could not open output file for writing."},
        {{"EXIT 7"}, false, false, L"An unknown error (7) occurred while patching file data\\pack.ka"},
        {{"PARTIAL_KILL"}, false, false, L"An unknown error (137) occurred while patching file data\\pack.ka"},
        {{"GARBAGE"}, false, false, L"Failed to patch data\\pack.ka, file contents do not match"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.message);
        Reset(c.converter);
        const std::string diff = c.converter ? "data/pack-diff.ka" : "data/pack.ka.diff";
        const PatchFileRecord record = AddPatched("data/pack.ka", "old pack", "new pack content", c.directives, diff);
        if (c.dropDiff)
            unlink((m_package + "/data/" + diff).c_str());
        EXPECT_FALSE(Run({record}));
        EXPECT_EQ(std::vector<std::wstring>{c.message}, MessagesAt(3));
        FinishPatchedFiles(false, m_backups);
        EXPECT_EQ("old pack", ReadFile(m_install + "/data/pack.ka"));
        EXPECT_FALSE(PathExists(m_install + "/data/pack.ka.pbk"));
    }
}

// A tool that fails while the disk it writes to has no room names the full disk, not the text of
// its exit code ("Not enough Argument Specified" cannot be true: the patcher makes the command
// line). A failure to read is not blamed on the disk.
TEST_F(PatchFilesTest, AFullDiskIsNamedInsteadOfTheToolsExitCode)
{
    struct Case { const char* name; std::vector<std::string> directives; bool converter, fullDisk, blamesDisk; std::wstring otherwise; } cases[] = {
        {"tool, exit 1", {"EXIT 1"}, false, true, true, L""},
        {"converter, exit 1", {"EXIT 1"}, true, true, true, L""},
        {"tool, exit 4", {"EXIT 4"}, false, true, true, L""},
        {"tool killed by a signal", {"PARTIAL_KILL"}, false, true, true, L""},
        {"old file unreadable", {"EXIT 2"}, false, true, false, L"Could not open data file data\\pack.ka for reading."},
        {"room left", {"EXIT 1"}, false, false, false, L"Not enough Argument Specified to patch the file"},
    };
    setenv("LUMO_TEST_MODE", "1", 1);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Reset(c.converter);
        const std::string diff = c.converter ? "data/pack-diff.ka" : "data/pack.ka.diff";
        const PatchFileRecord record = AddPatched("data/pack.ka", "old pack", "new pack content", c.directives, diff);
        if (c.fullDisk)
            setenv("LUMO_TEST_NO_SPACE", (m_install + "/data").c_str(), 1);
        EXPECT_FALSE(Run({record}));
        unsetenv("LUMO_TEST_NO_SPACE");
        const std::wstring full = L"Failed to patch " + Target("data/pack.ka") +
                                  L": No space left on device (0 bytes free on the disk that holds " +
                                  FromNativePath(m_install + "/data") + L").";
        EXPECT_EQ(std::vector<std::wstring>{c.blamesDisk ? full : c.otherwise}, MessagesAt(3));
        FinishPatchedFiles(false, m_backups);
        EXPECT_EQ("old pack", ReadFile(m_install + "/data/pack.ka"));
    }
}

TEST_F(PatchFilesTest, ArchivesGoToTheConverterOnlyWhenItIsInstalledAndTheNameEndsInKa)
{
    struct Case { std::string rel; bool converter; std::string diff; bool viaConverter; } cases[] = {
        {"pack.ka", true, "pack-diff.ka", true},
        {"sub/pack.ka", true, "sub/pack-diff.ka", true},
        {"pack.ka", false, "pack.ka.diff", false},
        {"x.ka.bak", true, "x.ka.bak.diff", false},
        {"x.kab.ka", true, "x.kab.ka.diff", false},
        {"X.KA", true, "X.KA.diff", false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.rel);
        Reset(c.converter);
        const PatchFileRecord record = AddPatched(c.rel, "old", "new", {}, c.diff);
        EXPECT_TRUE(Run({record}));
        const std::vector<FakeToolCall> calls = Calls();
        ASSERT_EQ(1u, calls.size());
        std::vector<std::string> expected = {m_install + "/bin/" +
                                             (c.viaConverter ? "KAConverter.exe" : "kpatchl-w32.exe")};
        if (c.viaConverter)
            expected.push_back("patchapply");
        expected.insert(expected.end(), {"/proc/self/fd/3", m_package + "/data/" + c.diff, "/proc/self/fd/4"});
        EXPECT_EQ(expected, calls[0].argv);
        EXPECT_EQ("new", ReadFile(m_install + "/" + c.rel));
    }
}

TEST_F(PatchFilesTest, ConverterOutputThatDiffersIsOnlyAWarning)
{
    fixtures::InstallFakePatchTool(m_install, true);
    const PatchFileRecord record = AddPatched("pack.ka", "old", "new", {"GARBAGE"}, "pack-diff.ka");
    EXPECT_TRUE(Run({record}));
    EXPECT_EQ(std::vector<std::wstring>{L"Failed to patch pack.ka, file contents do not match"}, MessagesAt(2));
    EXPECT_TRUE(MessagesAt(3).empty());
}

TEST_F(PatchFilesTest, StaleBackupThatCannotBeRemovedFailsBeforeTheFileIsTouched)
{
    fixtures::InstallFakePatchTool(m_install, false);
    const PatchFileRecord record = AddPatched("bin/x.dll", "old", "new");
    WriteFile(m_install + "/bin/x.dll.pbk/inside", "keeps the folder from going");
    EXPECT_FALSE(Run({record}));
    // The reason follows as an error, not as a detail a user never sees.
    EXPECT_EQ((std::vector<std::wstring>{L"Failed to create backup of file " + Target("bin/x.dll.pbk"),
                                         L"cannot remove the stale backup \"" + Target("bin/x.dll.pbk") +
                                             L"\": Is a directory"}),
              MessagesAt(3));
    EXPECT_EQ("old", ReadFile(m_install + "/bin/x.dll"));
    EXPECT_TRUE(m_backups.empty());
    EXPECT_TRUE(Calls().empty());
}

// A tool that cannot be started is a failed command, shown with one separator style, and the
// reason follows as an error. A Windows program is never run, not even by a shell.
TEST_F(PatchFilesTest, ToolThatCannotBeStartedIsAFailedCommandWithItsReason)
{
    const std::string marker = m_scratch / "ran-as-a-script";
    struct Case { const char* name; std::optional<std::string> bytes; mode_t mode; std::string reason; };
    const Case cases[] = {
        {"missing", std::nullopt, 0, "\" cannot be started: No such file or directory"},
        {"not executable", "#!/bin/sh\nexit 0\n", 0644, "\" cannot be started: Permission denied"},
        {"a Windows program", std::string("MZ\x90\x00\x03\x00\ntouch '", 14) + marker + "'; exit 0\n", 0755,
         "\" is not a Linux program (Exec format error)"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Reset(false);
        unlink((m_install + "/bin/kpatchl-w32.exe").c_str());
        if (c.bytes)
        {
            WriteFile(m_install + "/bin/kpatchl-w32.exe", *c.bytes);
            chmod((m_install + "/bin/kpatchl-w32.exe").c_str(), c.mode);
        }
        const PatchFileRecord record = AddPatched("bin/x.dll", "old", "new");
        EXPECT_FALSE(Run({record}));
        const std::wstring install = FromNativePath(m_install);
        const std::wstring expected = L"Failed patch command: \"" + install + L"/bin/kpatchl-w32.exe\" \"" + install +
                                      L"/bin/x.dll.pbk\" \"" + FromNativePath(m_package) +
                                      L"/data/bin/x.dll.diff\" \"" + install + L"/bin/x.dll.pbk.new\"";
        EXPECT_EQ(std::vector<std::wstring>{expected}, MessagesAt(1));
        EXPECT_EQ(std::vector<std::wstring>{L"\"" + install + L"/bin/kpatchl-w32.exe" + FromNativePath(c.reason)},
                  MessagesAt(3));
        EXPECT_FALSE(PathExists(marker)) << "the tool was run as a shell script";
        FinishPatchedFiles(false, m_backups);
        EXPECT_EQ("old", ReadFile(m_install + "/bin/x.dll"));
    }
}

// The tool folder and the tools are found whatever their case; two entries that match a name
// ignoring case (and none exactly) stop the file before it is touched.
TEST_F(PatchFilesTest, ToolsAreFoundByTheInstallationsCaseRule)
{
    struct Case { std::string folder, tool, converter, rel, diff; bool viaConverter; std::string ambiguousWith; };
    const Case cases[] = {
        {"Bin", "KPATCHL-W32.EXE", "", "x.dll", "x.dll.diff", false, ""},
        {"BIN", "kpatchl-w32.exe", "kaconverter.EXE", "pack.ka", "pack-diff.ka", true, ""},
        {"bin", "Kpatchl-w32.exe", "", "x.dll", "x.dll.diff", false, "KPATCHL-W32.EXE"},
        {"Bin", "kpatchl-w32.exe", "", "x.dll", "x.dll.diff", false, "BIN"},
        {"bin", "kpatchl-w32.exe", "KAConverter.EXE", "pack.ka", "pack-diff.ka", true, "kaconverter.exe"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.folder + "/" + c.tool + " " + c.converter + " " + c.ambiguousWith);
        Reset(!c.converter.empty());
        auto move = [](const std::string& from, const std::string& to) {
            ASSERT_EQ(rename(from.c_str(), to.c_str()), 0) << from;
        };
        const std::string folder = m_install + "/" + c.folder;
        if (c.folder != "bin")
            move(m_install + "/bin", folder);
        if (c.tool != "kpatchl-w32.exe")
            move(folder + "/kpatchl-w32.exe", folder + "/" + c.tool);
        if (!c.converter.empty())
            move(folder + "/KAConverter.exe", folder + "/" + c.converter);
        if (!c.ambiguousWith.empty())
            mkdir(((c.ambiguousWith == "BIN" ? m_install : folder) + "/" + c.ambiguousWith).c_str(), 0755);
        const PatchFileRecord record = AddPatched(c.rel, "old", "new", {}, c.diff);
        if (!c.ambiguousWith.empty())
        {
            EXPECT_FALSE(Run({record}));
            ASSERT_EQ(1u, MessagesAt(3).size());
            EXPECT_NE(MessagesAt(3)[0].find(L"ambiguous"), std::wstring::npos) << ToNarrow(MessagesAt(3)[0]);
            EXPECT_TRUE(m_backups.empty());
            EXPECT_EQ("old", ReadFile(m_install + "/" + c.rel));
            EXPECT_TRUE(Calls().empty());
            continue;
        }
        EXPECT_TRUE(Run({record}));
        const std::vector<FakeToolCall> calls = Calls();
        ASSERT_EQ(1u, calls.size());
        EXPECT_EQ(folder + "/" + (c.viaConverter ? c.converter : c.tool), calls[0].argv[0]);
        EXPECT_EQ(folder, calls[0].cwd);
        EXPECT_EQ("new", ReadFile(m_install + "/" + c.rel));
    }
}

TEST_F(PatchFilesTest, KeepGoingIsAskedBeforeEveryFile)
{
    fixtures::InstallFakePatchTool(m_install, false);
    const PatchFileRecordArray records = {AddPatched("a.dll", "old a", "new a"), AddPatched("b.dll", "old b", "new b")};
    m_messages.stopAtCall = 0;
    EXPECT_FALSE(Run(records));
    EXPECT_TRUE(m_messages.messages.empty());
    EXPECT_TRUE(Calls().empty());
    EXPECT_EQ("old a", ReadFile(m_install + "/a.dll"));
}

TEST_F(PatchFilesTest, CancelWhileTheToolHangsEndsIt)
{
    fixtures::InstallFakePatchTool(m_install, false);
    const PatchFileRecord record = AddPatched("bin/x.dll", "old", "new", {"HANG"});
    m_messages.stopAtCall = 3;  // one before the file, two while the tool runs
    EXPECT_FALSE(Run({record}));
    const std::vector<FakeToolCall> calls = Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_FALSE(ProcessAlive(calls[0].pid));
    FinishPatchedFiles(false, m_backups);
    EXPECT_EQ("old", ReadFile(m_install + "/bin/x.dll"));
}

TEST_F(PatchFilesTest, ToolThatIgnoresTheStopRequestIsKilled)
{
    fixtures::InstallFakePatchTool(m_install, false);
    const PatchFileRecord record = AddPatched("x.dll", "old", "new", {"IGNORE_TERM", "HANG"});
    const std::wstring install = FromNativePath(m_install);
    const int in = open((m_install + "/x.dll").c_str(), O_RDONLY | O_CLOEXEC);
    const int out = open((m_install + "/out.dll").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    const PatchToolCommand command = MakePatchToolCommand(FindPatchTools(*Context().door), false, install + L"/x.dll", in,
                                                          FromNativePath(m_package) + L"/data/x.dll.diff",
                                                          install + L"/out.dll", out);
    m_messages.stopAtCall = 1;
    const PatchToolRun run = RunPatchTool(command, 200);
    close(in);
    close(out);
    EXPECT_EQ(PatchToolRun::kCancelled, run.outcome);
    EXPECT_NE(0, run.exitCode);
    const std::vector<FakeToolCall> calls = Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_FALSE(ProcessAlive(calls[0].pid));
}

TEST_F(PatchFilesTest, FloodingToolAndLingeringGrandchildDoNotHoldTheStageUp)
{
    fixtures::InstallFakePatchTool(m_install, false);
    const PatchFileRecordArray records = {AddPatched("a.dll", "old a", "new a", {"CHATTY"}),
                                          AddPatched("b.dll", "old b", "new b", {"SPAWN"})};
    bool ok;
    {
        fixtures::StdoutCapture out;
        fixtures::StderrCapture err;
        ok = Run(records);
    }
    EXPECT_TRUE(ok);
    const std::vector<FakeToolCall> calls = Calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_TRUE(ProcessAlive(calls[1].grandchild));  // still there: we did not wait for it
    kill(calls[1].grandchild, SIGKILL);
    EXPECT_EQ("new a", ReadFile(m_install + "/a.dll"));
    EXPECT_EQ("new b", ReadFile(m_install + "/b.dll"));
}

}  // namespace

namespace
{

// Another program swaps a name the patch works on for a link to a file outside the installation
// the moment the tool starts (the double does it, see tests/doubles/fake_patch_tool.cpp). The tool
// works on the patcher's descriptors, so the outside file is never written or read: a swapped
// output is refused and the original restored; a swapped backup still gives the right bytes.
TEST_F(PatchFilesTest, ANameSwappedForALinkWhileTheToolRunsLeadsNothingOutside)
{
    struct Case { const char* swapped; bool patched; } cases[] = {{".pbk.new", false}, {".pbk", true}};
    const std::string outside = m_scratch / "outside.txt";
    setenv("LUMO_TEST_MODE", "1", 1);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.swapped);
        Reset(false);
        WriteFile(outside, "the user's own file");
        const PatchFileRecord record = AddPatched("data/sub/f0.dat", "old bytes", "patched bytes");
        const std::string target = m_install + "/data/sub/f0.dat";
        setenv("FAKE_PATCH_TOOL_SWAP_NAME", (target + c.swapped).c_str(), 1);
        setenv("FAKE_PATCH_TOOL_SWAP_LINK", outside.c_str(), 1);
        const bool ok = Run({record});
        unsetenv("FAKE_PATCH_TOOL_SWAP_NAME");
        unsetenv("FAKE_PATCH_TOOL_SWAP_LINK");
        ASSERT_EQ(1u, Calls().size());
        EXPECT_EQ(c.patched, ok) << m_messages.Dump();
        EXPECT_EQ("the user's own file", ReadFile(outside));
        if (!c.patched)
        {
            EXPECT_TRUE(m_messages.Has(PATCH_LEVEL_ERROR, L"\"" + FromNativePath(target) +
                                                              L".pbk.new\" is a symbolic link, not a file"))
                << m_messages.Dump();
        }
        FinishPatchedFiles(ok, m_backups);
        EXPECT_EQ(c.patched ? "patched bytes" : "old bytes", ReadFile(target));
        EXPECT_FALSE(PathExists(target + ".pbk"));
        EXPECT_FALSE(PathExists(target + ".pbk.new"));
        EXPECT_EQ("the user's own file", ReadFile(outside));
    }
    unsetenv("LUMO_TEST_MODE");
}

// A stop ends a hash, however long the file: a sparse file of a tebibyte would take minutes to
// read to its end.
TEST_F(PatchFilesTest, AStopEndsTheHashOfAListedFile)
{
    fixtures::InstallFakePatchTool(m_install, false);
    PatchFileRecord record = AddPatched("huge.pak", "", "new");
    ASSERT_EQ(0, truncate((m_install + "/huge.pak").c_str(), off_t(1) << 40));
    m_messages.stopAtCall = 0;
    EXPECT_FALSE(Run({record}));
    EXPECT_EQ(1, m_messages.keepGoingCalls);
    EXPECT_TRUE(m_messages.messages.empty()) << m_messages.Dump();
    EXPECT_TRUE(Calls().empty());
    EXPECT_TRUE(PathExists(m_install + "/huge.pak"));
}

}  // namespace
