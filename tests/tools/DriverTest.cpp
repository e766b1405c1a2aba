// The drivers in build/bin as a new user and a hostile tester run them: help, bad command lines,
// outputs that must survive a failed run, and hostile input.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "BuildConfig.h"
#include "lumo/diagnostics/CrashDump.h"
#include "tests/fixtures/ArchiveWriter.h"
#include "tests/fixtures/FakeInstall.h"
#include "tests/fixtures/FakePatchTool.h"
#include "tests/fixtures/FileListWriter.h"
#include "tests/fixtures/PackageWriter.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/ShellCommand.h"
#include "tests/fixtures/UninstallLogFixture.h"
#include "tests/fixtures/WaitFor.h"
#include "platform/RunOwner.h"

namespace
{

using fixtures::ReadFile;
using fixtures::WriteFile;

constexpr const char* kDrivers[] = {"archive-tool", "cfil-tool", "container-tool", "dump-tool", "fetch-tool",
                                    "md5-tool",     "package-tool", "patch-apply", "run-tool"};

struct DriverRun { int status = -1; std::string out; std::string err; };

class DriverTest : public ::testing::Test
{
protected:
    // command: a shell command line run in the scratch folder, with the drivers on PATH; its own
    // redirection of standard output, when it has one, wins.
    DriverRun Shell(const std::string& command)
    {
        const bool ownOutput = command.find(" >") != std::string::npos;
        WriteFile(m_scratch / ".stdout", "");
        const std::string line = "cd '" + m_scratch.Path() + "' && PATH='" LUMO_BIN_DIR "':\"$PATH\" timeout 60 " +
                                 command + (ownOutput ? "" : " >.stdout") + " 2>.stderr";
        const int status = system(line.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(m_scratch / ".stdout"),
                ReadFile(m_scratch / ".stderr")};
    }

    // An executable with two appended packages, a package and one with an item that climbs out.
    void MakeInputs()
    {
        WriteFile(m_scratch / "patcher.exe", std::string(5000, 'e'));
        fixtures::AppendArchive(m_scratch / "patcher.exe",
                                {{"43434", "44088", "first package", {}, {}}, {"44088", "45000", "second", {}, {}}});
        fixtures::PackageWriter(2)
            .AddFolder(L".\\data")
            .AddFile(L".\\data\\x.dll.diff", "12345")
            .AddFile(L".\\addedFiles.txt", "")
            .WriteTo(m_scratch / "p.zip");
        fixtures::PackageWriter(2).AddFolder(L".\\data").AddFile(L"..\\..\\x", "escaped").WriteTo(m_scratch / "bad.zip");
    }

    fixtures::ScratchFolder m_scratch;
};

TEST_F(DriverTest, HelpGoesToStandardOutputAndABadCommandLineFails)
{
    for (const char* driver : kDrivers)
    {
        SCOPED_TRACE(driver);
        for (const char* option : {"--help", "-h"})
        {
            const DriverRun help = Shell(std::string(driver) + " " + option);
            EXPECT_EQ(help.status, 0);
            EXPECT_EQ(help.out.rfind(std::string("usage: ") + driver, 0), 0u) << help.out;
            EXPECT_NE(help.out.find("Exit status"), std::string::npos) << help.out;
            EXPECT_EQ(help.err, "");
        }
        const DriverRun bad = Shell(std::string(driver) + " --no-such-option a b c d e");
        EXPECT_EQ(bad.status, 2);
        EXPECT_EQ(bad.out, "");
        EXPECT_NE(bad.err.find("usage: "), std::string::npos) << bad.err;
    }
    EXPECT_NE(Shell("patch-apply --help").out.find("PACKAGE_DIR    an unpacked patch package"), std::string::npos);
}

// The repair-server double answers --help with its usage instead of serving a folder named so.
TEST_F(DriverTest, RepairServerDoubleAnswersHelp)
{
    for (const char* option : {"--help", "-h"})
    {
        SCOPED_TRACE(option);
        const DriverRun help = Shell(std::string("repair-server ") + option);
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.rfind("usage: repair-server ROOT", 0), 0u) << help.out;
        EXPECT_EQ(help.out.find("listening"), std::string::npos) << help.out;
    }
}

// Each failing run is refused with one clear line (a bad command line also with its usage), and
// the file it would have written is as it was.
TEST_F(DriverTest, AFailedRunLeavesTheDestinationAlone)
{
    MakeInputs();
    WriteFile(m_scratch / "keep.txt", "keep me");
    WriteFile(m_scratch / "X", "source bytes");
    WriteFile(m_scratch / "garbage", std::string(300, 'g'));
    WriteFile(m_scratch / "D/inside", "x");
    WriteFile(m_scratch / "file", "");
    const struct { const char* command; int status; const char* error; } cases[] = {
        {"cfil-tool pack X X", 1, "cfil-tool: X and X are the same file\n"},
        {"cfil-tool pack D keep.txt", 1, "cfil-tool: D: it is a folder\n"},
        {"cfil-tool unpack garbage keep.txt", 1, "cfil-tool: "},
        {"container-tool decompress garbage keep.txt", 1, "container-tool: decompress garbage -> keep.txt: "},
        {"container-tool compress D keep.txt", 1, "container-tool: compress: cannot open D for reading: it is a folder\n"},
        {"archive-tool extract garbage 100 keep.txt", 1, "archive-tool: "},
        {"dump-tool D", 1, "dump-tool: D: it is a folder\n"},
        {"md5-tool D", 1, "md5-tool: D: cannot read the file"},
        {"archive-tool extract patcher.exe 4343 x.zip", 1,
         "archive-tool: LUMORESULT_NOT_FOUND: the patch archive holds no package for build 4343"},
        {"archive-tool extract patcher.exe 43434 no/dir/x.zip", 1,
         "archive-tool: LUMORESULT_NOT_ALLOWED: no/dir/x.zip: cannot be created"},
        {"archive-tool list garbage", 1, "archive-tool: LUMORESULT_NOT_SUPPORTED: "},
        {"archive-tool list missing.exe", 1, "archive-tool: LUMORESULT_IO_ERROR: missing.exe: cannot be opened"},
        {"archive-tool list", 2, "archive-tool: LUMORESULT_INVALID_ARGUMENT: bad command line"},
        {"package-tool unpack bad.zip new/dest", 1, "package-tool: LUMORESULT_BAD_FORMAT: bad.zip: item 2 at offset "},
        {"package-tool unpack p.zip file/dest", 1, "package-tool: LUMORESULT_NOT_ALLOWED: p.zip: the destination folder "},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.command);
        const DriverRun run = Shell(c.command);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.err.rfind(c.error, 0), 0u) << run.err;
        EXPECT_TRUE(c.status == 2 || run.err.find('\n') == run.err.size() - 1) << run.err; // one line
        EXPECT_EQ(ReadFile(m_scratch / "keep.txt"), "keep me");
        EXPECT_EQ(ReadFile(m_scratch / "X"), "source bytes");
    }
    EXPECT_NE(Shell("package-tool unpack bad.zip new/dest").err.find("item refused: unsafe path \"..\\..\\x\""),
              std::string::npos);
    EXPECT_EQ(system(("test $(ls -A '" + m_scratch.Path() + "' | wc -l) -eq 11").c_str()), 0) << "a file stayed";
}

// The partial file that a killed run left beside its destination goes at the next run for that
// destination; one whose process still runs stays.
TEST_F(DriverTest, PartialFilesOfKilledRunsGoAtTheNextRun)
{
    const pid_t ended = fork();
    if (ended == 0)
        _exit(0);
    waitpid(ended, nullptr, 0);
    WriteFile(m_scratch / "X", "source bytes");
    const std::string left = "out.bin.part-" + std::to_string(ended) + "-9";
    const std::string running = "out.bin.part-" + platform::OwnerTag();
    WriteFile(m_scratch / left, "half");
    WriteFile(m_scratch / running, "being written");
    WriteFile(m_scratch / ("other.bin.part-" + std::to_string(ended) + "-9"), "another destination's");
    const DriverRun run = Shell("container-tool compress X out.bin");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(fixtures::PathExists(m_scratch / left));
    EXPECT_EQ(ReadFile(m_scratch / running), "being written");
    EXPECT_TRUE(fixtures::PathExists(m_scratch / ("other.bin.part-" + std::to_string(ended) + "-9")));
}

// With no room left (here: a file-size limit of 0) patch-apply fails before it changes anything,
// and leaves no journal in the installation.
TEST_F(DriverTest, PatchApplyWithNoRoomLeavesNoJournal)
{
    const std::string install = m_scratch / "install", package = m_scratch / "package";
    WriteFile(install + "/bin/x.dll", "old");
    WriteFile(package + "/data/bin/x.dll", "new");
    fixtures::WritePackageLists(package, {{"bin\\x.dll", "d"}}, {}, {});
    int status = -1;
    const std::string output = fixtures::RunShell(
        "cd '" + m_scratch.Path() + "' && sh -c \"trap '' XFSZ; ulimit -f 0; exec '" LUMO_BIN_DIR
        "/patch-apply' install package\" 2>&1", &status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << output;
    EXPECT_NE(output.find("patch journal"), std::string::npos) << output;
    EXPECT_EQ(ReadFile(install + "/bin/x.dll"), "old");
    EXPECT_EQ(fixtures::ListFolder(install), std::vector<std::string>{"bin"});
}

TEST_F(DriverTest, OutputThatCannotBeWrittenFailsTheRun)
{
    fixtures::PackageWriter(2).AddFile(L"a.txt", "a").WriteTo(m_scratch / "p.pkg");
    WriteFile(m_scratch / "X", "x");
    for (const char* command : {"package-tool list p.pkg", "md5-tool X", "run-tool -- /bin/echo hi",
                                "dump-tool X", "archive-tool list X"})
    {
        SCOPED_TRACE(command);
        EXPECT_EQ(Shell(std::string(command) + " >/dev/full").status, 1);
    }
    // Arguments reach the program whole, whatever their characters.
    EXPECT_EQ(Shell("run-tool -- printf %s '\xc3\xa9 \xc3\xbc \xe2\x82\xac'").out, "\xc3\xa9 \xc3\xbc \xe2\x82\xac");
    // A destination given as a link to a folder is that folder.
    mkdir((m_scratch / "real").c_str(), 0755);
    symlink("real", (m_scratch / "link").c_str());
    const DriverRun unpacked = Shell("package-tool unpack p.pkg link");
    EXPECT_EQ(unpacked.status, 0) << unpacked.err;
    EXPECT_EQ(ReadFile(m_scratch / "real/a.txt"), "a");
}

TEST_F(DriverTest, ArchiveAndPackageToolsListExtractAndUnpack)
{
    MakeInputs();
    DriverRun run = Shell("archive-tool list patcher.exe");
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("43434 44088 8220 13\n44088 45000 8233 6\n", run.out);
    run = Shell("archive-tool extract patcher.exe 44088 out.zip");
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("second", ReadFile(m_scratch / "out.zip"));

    run = Shell("package-tool list p.zip");
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("version 2\nD .\\data\nF 5 .\\data\\x.dll.diff\nF 0 .\\addedFiles.txt\n", run.out);
    run = Shell("package-tool unpack p.zip new/dest");
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("12345", ReadFile(m_scratch / "new/dest/data/x.dll.diff"));
    run = Shell("package-tool list bad.zip"); // what comes before the refused item is listed
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("version 2\nD .\\data\n", run.out);
}

// Every message of the engine as "<level><TAB><text>" on standard output, and the exit status.
TEST_F(DriverTest, PatchApplyPrintsLevelTabTextAndExitsWithTheResult)
{
    const std::string install = m_scratch / "install", package = m_scratch / "package";
    WriteFile(install + "/bin/x.dll", "old");
    WriteFile(package + "/data/bin/x.dll", "new");
    fixtures::WritePackageLists(package, {{"bin\\x.dll", "d"}}, {"gone.txt"}, {});
    DriverRun run = Shell("patch-apply install package LumoLauncher.exe");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "2\tFile seems to have been removed already: " + install + "/gone.txt\n");
    EXPECT_EQ(ReadFile(install + "/bin/x.dll"), "new");

    fixtures::WritePackageLists(package, {{"bin\\missing.dll", "d"}}, {}, {});
    run = Shell("patch-apply install package");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "3\tCould not copy the file: " + package + "/data/bin/missing.dll\n"
                       "0\tcannot open \"" + package + "/data/bin/missing.dll\": No such file or directory\n"
                       "1\tFailed adding: bin\\missing.dll...\n");
}

// A patch-apply stopped by SIGINT or SIGTERM while its patch tool works ends the tool, puts every
// file back and removes its journal, as a cancelled patcher run does.
TEST_F(DriverTest, PatchApplyStoppedBySignalPutsEveryFileBack)
{
    const std::string install = m_scratch / "install", package = m_scratch / "package";
    const std::string calls = m_scratch / "calls.log";
    for (const int signalNumber : {SIGINT, SIGTERM})
    {
        SCOPED_TRACE(signalNumber);
        fixtures::RemoveTree(install);
        fixtures::RemoveTree(package);
        unlink(calls.c_str());
        WriteFile(install + "/bin/x.dll", "old");
        WriteFile(install + "/readme.txt", "readme v1");
        fixtures::InstallFakePatchTool(install, false);
        WriteFile(package + "/data/readme.txt", "readme v2");
        WriteFile(package + "/data/new.txt", "new");
        WriteFile(package + "/data/bin/x.dll.diff", fixtures::MakeFakeDiff("old", "new", {"HANG"}));
        fixtures::WritePackageLists(package, {{"readme.txt", "d"}, {"new.txt", "d"}}, {},
                                    {{"bin\\x.dll", fixtures::Md5Hex("new"), fixtures::Md5Hex("old")}});
        const fixtures::TreeContent original = fixtures::SnapshotTree(install);

        const pid_t child = fork();
        if (child == 0)
        {
            const int out = open((m_scratch / ".stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, STDOUT_FILENO);
            setenv(fixtures::kFakePatchToolLogVariable, calls.c_str(), 1);
            execl(LUMO_BIN_DIR "/patch-apply", "patch-apply", install.c_str(), package.c_str(), nullptr);
            _exit(127);
        }
        ASSERT_GT(child, 0);
        ASSERT_TRUE(fixtures::WaitFor([&] { return !fixtures::ReadFakeToolCalls(calls).empty(); }));
        ASSERT_EQ(fixtures::ReadFile(install + "/new.txt"), "new"); // the added files are in place
        kill(child, signalNumber);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 1);
        EXPECT_EQ(fixtures::DescribeTreeDifference(original, fixtures::SnapshotTree(install)), "");
        EXPECT_NE(ReadFile(m_scratch / ".stdout").find("3\tCancelled: the patch was not applied\n"), std::string::npos)
            << ReadFile(m_scratch / ".stdout");
    }
}

// A full standard output: an applied patch says so on standard error with the real cause and
// exits with its own status; a failed one stays 1.
TEST_F(DriverTest, PatchApplyOutputThatCannotBeWrittenHasItsOwnStatus)
{
    const std::string install = m_scratch / "install", package = m_scratch / "package";
    WriteFile(install + "/bin/x.dll", "old");
    WriteFile(package + "/data/bin/x.dll", "new");
    fixtures::WritePackageLists(package, {{"bin\\x.dll", "d"}}, {"gone.txt"}, {});
    DriverRun run = Shell("patch-apply install package >/dev/full");
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.err, "patch-apply: the patch was applied, but standard output could not be written: " +
                           std::string(strerror(ENOSPC)) + "\n");
    EXPECT_EQ(ReadFile(install + "/bin/x.dll"), "new");

    fixtures::WritePackageLists(package, {{"bin\\missing.dll", "d"}}, {}, {});
    run = Shell("patch-apply install package >/dev/full");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "patch-apply: the patch failed, but standard output could not be written: " +
                           std::string(strerror(ENOSPC)) + "\n");
    EXPECT_NE(Shell("patch-apply --help").out.find("3 applied, but standard output could not be written"),
              std::string::npos);
}

// However the installation is spelled (doubled separators, dots, a link to the disk it lives on),
// its uninstall log names an added file once, under the installation's own name.
TEST_F(DriverTest, PatchApplyRecordsTheInstallationUnderItsResolvedName)
{
    const std::string install = m_scratch / "disk/inst", package = m_scratch / "package";
    WriteFile(install + "/unins000.dat", fixtures::WriteUninstallLog({}));
    WriteFile(package + "/data/bin/x.dll", "new");
    fixtures::WritePackageLists(package, {{"bin\\x.dll", "d"}}, {}, {});
    ASSERT_EQ(::symlink((m_scratch / "disk").c_str(), (m_scratch / "link").c_str()), 0);
    char* real = ::realpath(install.c_str(), nullptr);
    ASSERT_NE(real, nullptr);
    const std::string expected = std::string(real) + "/bin\\x.dll";
    free(real);
    for (const char* spelling : {"disk//inst", "./disk/./inst/", "link/inst", "disk/inst/bin/..", "link//inst//"})
    {
        SCOPED_TRACE(spelling);
        const DriverRun run = Shell(std::string("patch-apply ") + spelling + " package");
        EXPECT_EQ(run.status, 0) << run.out;
        const auto log = fixtures::ReadUninstallLogBack(ReadFile(install + "/unins000.dat"));
        ASSERT_TRUE(log.ok) << log.error;
        std::vector<std::string> deletes;
        for (const fixtures::UninstallRecord& record : log.records)
            if (std::string path; fixtures::DecodeDeleteFileRecord(record, path))
                deletes.push_back(path);
        EXPECT_EQ(deletes, std::vector<std::string>{expected});
    }
    // A folder that cannot be patched is named as such.
    EXPECT_NE(Shell("patch-apply gone package").out.find("3\tThe installation folder does not exist: gone"),
              std::string::npos);
}

void PutString(std::string& out, const std::string& text)
{
    out += fixtures::U32(static_cast<uint32_t>(text.size())) + text;
}
void PutRecord(std::string& out, uint32_t tag, const std::string& payload)
{
    out += fixtures::U32(tag) + fixtures::U32(static_cast<uint32_t>(payload.size())) + payload;
}

// A hostile dump: a thread name with terminal escapes, a frame whose module is a FIFO, and a last
// record cut short. The intact records are shown, escaped, without waiting on the FIFO.
TEST_F(DriverTest, DumpToolShowsAHostileDumpSafely)
{
    ASSERT_EQ(mkfifo((m_scratch / "fifo").c_str(), 0600), 0);
    std::string dump = std::string(kCrashDumpMagic, sizeof kCrashDumpMagic) + fixtures::U32(kCrashDumpVersion) +
                       fixtures::U32(16);
    std::string thread = fixtures::U32(77);
    PutString(thread, "evil\x1b]0;title\x07");
    PutRecord(dump, kDumpTagThread, thread);
    std::string frames = fixtures::U32(1) + fixtures::U64(0x1234) + fixtures::U64(0x34);
    PutString(frames, m_scratch / "fifo");
    PutString(frames, "");
    PutRecord(dump, kDumpTagFrames, frames);
    const size_t cutAt = dump.size();
    dump += fixtures::U32(kDumpTagStatus) + fixtures::U32(100) + "abc";
    WriteFile(m_scratch / "hostile.dmp", dump);

    const DriverRun run = Shell("dump-tool hostile.dmp");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Thread: 77 \"evil\\x1b]0;title\\x07\""), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
    EXPECT_NE(run.out.find("(module file is not a regular file)"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Cut short: record 8 at offset " + std::to_string(cutAt) +
                           " claims 100 bytes, but only 3 follow"),
              std::string::npos)
        << run.out;
}

} // namespace
