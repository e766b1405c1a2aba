// The drivers in build/bin as a new user and a hostile tester run them: help, bad command lines,
// outputs that must survive a failed run, and hostile input.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "BuildConfig.h"
#include "lumo/diagnostics/CrashDump.h"
#include "tests/fixtures/ArchiveWriter.h"
#include "tests/fixtures/EndedOwner.h"
#include "tests/fixtures/FakeInstall.h"
#include "tests/fixtures/FakePatchTool.h"
#include "tests/fixtures/FileListWriter.h"
#include "tests/fixtures/PackageWriter.h"
#include "tests/fixtures/RepairJournalText.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/UninstallLogFixture.h"
#include "platform/RunOwner.h"

namespace
{

using fixtures::ReadFile;
using fixtures::WriteFile;

constexpr const char* kDrivers[] = {"archive-tool", "cfil-tool",   "container-tool", "dump-tool",
                                    "fetch-tool",   "md5-tool",    "package-tool",   "patch-apply",
                                    "patch-run",    "repair-tool", "run-tool"};

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
        // The patcher's own parser (patch-run) writes "Usage: ".
        EXPECT_TRUE(bad.err.find("usage: ") != std::string::npos || bad.err.find("Usage: ") != std::string::npos)
            << bad.err;
    }
    EXPECT_NE(Shell("patch-apply --help").out.find("PACKAGE_DIR    an unpacked patch package"), std::string::npos);
    // patch-run says what it does, what it prints and that its servers may be HTTP ones, not only
    // the window's table of options.
    const std::string patchRun = Shell("patch-run --help").out;
    for (const char* text : {"Runs the patcher without its window", "<level><TAB><text>", "HTTP, HTTPS or FTP",
                             "2 for a wrong command line"})
        EXPECT_NE(patchRun.find(text), std::string::npos) << text << "\n" << patchRun;
    EXPECT_EQ(Shell("repair-server --help").out.rfind("usage: repair-server ROOT", 0), 0u); // not serving "--help"
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
        {"container-tool decompress garbage keep.txt", 1,
         "container-tool: decompress garbage -> keep.txt: the container is damaged (not what compress writes)\n"},
        // No room for the output (a file-size limit of 0; the message travels through a pipe, which
        // the limit does not reach).
        {"bash -c 'set -o pipefail; (trap \"\" XFSZ; ulimit -f 0; exec container-tool compress X keep.txt) 2>&1 | cat >&2'", 1,
         "container-tool: compress X -> keep.txt: the output could not be written: File too large\n"},
        {"container-tool compress D keep.txt", 1, "container-tool: compress: cannot open D for reading: it is a folder\n"},
        {"archive-tool extract garbage 100 keep.txt", 1, "archive-tool: "},
        {"dump-tool D", 1, "dump-tool: D: it is a folder\n"},
        {"md5-tool D", 1, "md5-tool: D: cannot read the file"},
        {"archive-tool extract patcher.exe 4343 x.zip", 1,
         "archive-tool: the patch archive holds no package for build 4343\n"},
        {"archive-tool extract patcher.exe 43434 no/dir/x.zip", 1, "archive-tool: no/dir/x.zip: cannot be created\n"},
        {"archive-tool list garbage", 1, "archive-tool: garbage: no patch archive in the file\n"},
        {"archive-tool list missing.exe", 1, "archive-tool: missing.exe: cannot be opened"},
        {"archive-tool list", 2, "archive-tool: wrong command line: EXE is missing\nusage: archive-tool list EXE\n"},
        {"package-tool unpack bad.zip new/dest", 1, "package-tool: bad.zip: item 2 at offset "},
        {"package-tool unpack p.zip file/dest", 1, "package-tool: p.zip: the destination folder "},
        {"package-tool list", 2, "package-tool: wrong command line: PKG is missing\nusage: package-tool list PKG\n"},
        // An empty argument is a script's unset variable, not an address or a file name.
        {"fetch-tool '' f/x", 2, "fetch-tool: wrong command line: URL is empty\nusage: fetch-tool "},
        {"fetch-tool http://127.0.0.1:1/x ' '", 2, "fetch-tool: wrong command line: DEST is only blanks\nusage: fetch-tool "},
        {"fetch-tool --patches http://127.0.0.1:1/ ''", 2,
         "fetch-tool: wrong command line: SERVER_URL 2 is empty\nusage: fetch-tool "},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.command);
        const DriverRun run = Shell(c.command);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.err.rfind(c.error, 0), 0u) << run.err;
        EXPECT_TRUE(c.status == 2 || run.err.find('\n') == run.err.size() - 1) << run.err; // one line
        EXPECT_EQ(run.err.find("LUMORESULT"), std::string::npos) << run.err; // the code's names are not the user's
        EXPECT_EQ(ReadFile(m_scratch / "keep.txt"), "keep me");
        EXPECT_EQ(ReadFile(m_scratch / "X"), "source bytes");
    }
    EXPECT_NE(Shell("package-tool unpack bad.zip new/dest").err.find("item refused: unsafe path \"..\\..\\x\""),
              std::string::npos);
    EXPECT_EQ(system(("test $(ls -A '" + m_scratch.Path() + "' | wc -l) -eq 11").c_str()), 0) << "a file stayed";
}

// repair-tool refuses an address it could not use and an empty folder as a wrong command line,
// before it takes the installation or connects: nothing appears in the folder.
TEST_F(DriverTest, RepairToolRefusesAnAddressWithoutItsPortAndAnEmptyFolder)
{
    ASSERT_EQ(mkdir((m_scratch / "install").c_str(), 0755), 0);
    const struct { const char* arguments; const char* wrong; } cases[] = {
        {"install localhost", "HOST:PORT \"localhost\": the port is missing (HOST:PORT)"},
        {"install host:99999", "HOST:PORT \"host:99999\": the port \"99999\" is not a number from 1 to 65535"},
        {"install 127.0.0.1:", "HOST:PORT \"127.0.0.1:\": the port after \":\" is missing"},
        {"install :6000", "HOST:PORT \":6000\": the host is missing"},
        {"install 127.0.0.1:abc", "HOST:PORT \"127.0.0.1:abc\": the port \"abc\" is not a number from 1 to 65535"},
        {"'' 127.0.0.1:1", "INSTALL_DIR is empty"},
        {"'  ' 127.0.0.1:1", "INSTALL_DIR is only blanks"},
        {"install", "HOST:PORT is missing"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.arguments);
        const DriverRun run = Shell(std::string("repair-tool ") + c.arguments);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind(std::string("repair-tool: wrong command line: ") + c.wrong + "\nusage: repair-tool", 0), 0u)
            << run.err;
        EXPECT_EQ(fixtures::ListFolder(m_scratch / "install"), std::vector<std::string>{});
    }
}

// Every driver takes an empty, blank or missing argument, one too many and an option it does not
// know for a wrong command line: one line naming what is wrong, then its usage, on standard error,
// exit status 2, and nothing read, made or run.
TEST_F(DriverTest, EveryWrongCommandLineIsNamedBeforeTheUsage)
{
    WriteFile(m_scratch / "FILE", "x");
    const struct { const char* command; const char* wrong; } cases[] = {
        {"md5-tool ''", "FILE is empty"},
        {"md5-tool FILE ' '", "FILE 2 is only blanks"},
        {"md5-tool FILE --bogus", "unknown option \"--bogus\""},
        {"md5-tool", "FILE is missing"},
        {"md5-tool FILE --help", "\"--help\" asks for the help, which is given alone"},
        {"container-tool compress '' out", "IN is empty"},
        {"container-tool decompress FILE", "OUT is missing"},
        {"container-tool squeeze FILE out", "unknown action \"squeeze\" (compress or decompress)"},
        {"container-tool", "the action (compress or decompress) is missing"},
        {"container-tool '' FILE out", "the action (compress or decompress) is empty"},
        {"cfil-tool pack FILE ''", "OUT is empty"},
        {"cfil-tool unpack FILE out more", "one argument too many: \"more\""},
        {"cfil-tool -x FILE out", "unknown option \"-x\""},
        {"archive-tool list ''", "EXE is empty"},
        {"archive-tool extract FILE 100", "DEST is missing"},
        {"archive-tool extract FILE '\t' out", "SOURCE_BUILD is only blanks"},
        {"package-tool list ''", "PKG is empty"},
        {"package-tool unpack FILE", "DEST is missing"},
        {"package-tool list FILE --verbose", "unknown option \"--verbose\""},
        {"dump-tool ''", "FILE is empty"},
        {"dump-tool FILE FILE", "one argument too many: \"FILE\""},
        {"run-tool -- ''", "PROGRAM is empty"},
        {"run-tool --cwd '' -- ls", "--cwd DIR is empty"},
        {"run-tool --cwd", "--cwd DIR is missing"},
        {"run-tool ls", "\"--\" must come before PROGRAM"},
        {"run-tool --bogus -- ls", "unknown option \"--bogus\""},
        {"run-tool", "\"--\" and PROGRAM are missing"},
        {"patch-apply '' pkg", "INSTALL_DIR is empty"},
        {"patch-apply inst ' '", "PACKAGE_DIR is only blanks"},
        {"patch-apply inst pkg ''", "LAUNCHER_NAME is empty"},
        {"patch-apply inst pkg launcher more", "one argument too many: \"more\""},
        {"patch-apply inst", "PACKAGE_DIR is missing"},
        {"patch-run --bogus", "Unknown long option 'bogus'"},
        {"patch-run -s", "Option 's' requires a value"},
        {"patch-run -l ''", "The option 'list' must name a file of patch servers"},
        {"patch-run ' '", "The parameter 'target_directory' must not be only blanks"},
        {"patch-run -f 5 inst", "-f/--final is an option of the patcher's window only"},
        {"repair-tool a b c", "one argument too many: \"c\""},
        {"repair-tool a", "HOST:PORT is missing"},
        {"repair-tool -v a 127.0.0.1:1", "unknown option \"-v\""},
        {"fetch-tool --resume '' out", "URL is empty"},
        {"fetch-tool --patches", "SERVER_URL is missing"},
        {"fetch-tool --bogus http://127.0.0.1:1/ out", "unknown option \"--bogus\""},
        {"fetch-tool http://127.0.0.1:1/ out more", "one argument too many: \"more\""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.command);
        const std::string driver = std::string(c.command).substr(0, std::string(c.command).find(' '));
        const DriverRun run = Shell(c.command);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        const std::string said = driver + ": wrong command line: " + c.wrong + "\nusage: " + driver + " ";
        EXPECT_EQ(run.err.rfind(said, 0), 0u) << run.err;
        EXPECT_EQ(fixtures::ListFolder(m_scratch.Path()), (std::vector<std::string>{".stderr", ".stdout", "FILE"}));
    }
}

// A partial file that a killed run left beside its destination goes at the next run for it; one of a
// running process, or of another destination, stays.
TEST_F(DriverTest, PartialFilesOfKilledRunsGoAtTheNextRun)
{
    // The tag of an earlier process with this one's id, and this one's own.
    const std::string killed = ".part-" + std::to_string(getpid()) + "-0", running = "out.bin.part-" + platform::OwnerTag();
    for (const std::string& name : std::vector<std::string>{"X", "out.bin" + killed, "other.bin" + killed, running})
        WriteFile(m_scratch / name, "x");
    EXPECT_EQ(Shell("container-tool compress X out.bin").status, 0);
    EXPECT_EQ(fixtures::ListFolder(m_scratch.Path()),
              (std::vector<std::string>{".stderr", ".stdout", "X", "other.bin" + killed, "out.bin", running}));
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

// run-tool says why a program did not start in the words of every other start.
TEST_F(DriverTest, RunToolSaysWhyAProgramDidNotStart)
{
    WriteFile(m_scratch / "tool.exe", std::string("MZ\x90\x00", 4));
    WriteFile(m_scratch / "crlf.sh", "#!/bin/sh\r\nexit 0\r\n");
    chmod((m_scratch / "tool.exe").c_str(), 0755);
    chmod((m_scratch / "crlf.sh").c_str(), 0755);
    struct Case { const char* program; std::string reason; };
    const Case cases[] = {
        {"tool.exe", "is not a Linux program (Exec format error)"},
        {"crlf.sh", "cannot be started: its \"#!\" line ends in a carriage return (a Windows line end), so its "
                    "interpreter is \"/bin/sh\\r\", which does not exist"},
        {"missing", "cannot be started: No such file or directory"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.program);
        const DriverRun run = Shell(std::string("run-tool -- ./") + c.program);
        EXPECT_EQ(run.status, 127);
        EXPECT_EQ(run.err, std::string("run-tool: \"./") + c.program + "\" " + c.reason + "\n");
    }
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
    // With no room left (a file-size limit of 0) it fails before it changes anything and leaves no journal.
    EXPECT_EQ(Shell("sh -c \"trap '' XFSZ; ulimit -f 0; exec patch-apply install package\"").status, 1);
    EXPECT_EQ(fixtures::ListFolder(install), std::vector<std::string>{"bin"});
    EXPECT_EQ(ReadFile(install + "/bin/x.dll"), "old");
    DriverRun run = Shell("patch-apply install package LumoLauncher.exe");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "2\tFile seems to have been removed already: " + install + "/gone.txt\n");
    EXPECT_EQ(ReadFile(install + "/bin/x.dll"), "new");
    run = Shell("patch-apply install package >/dev/full"); // applied again, its messages lost
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.err, "patch-apply: the patch was applied, but standard output could not be written: "
                       "No space left on device\n");

    fixtures::WritePackageLists(package, {{"bin\\missing.dll", "d"}}, {}, {});
    run = Shell("patch-apply install package");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "3\tCould not copy the file: " + package + "/data/bin/missing.dll\n"
                       "3\tcannot open \"" + package + "/data/bin/missing.dll\": No such file or directory\n"
                       "1\tFailed adding: bin\\missing.dll...\n");
}

// A patch-apply stopped by a stop signal (the terminal's Ctrl-\ among them) while its patch tool
// works ends the tool, puts every file back, removes its journal and says which signal it was.
TEST_F(DriverTest, PatchApplyStoppedBySignalPutsEveryFileBack)
{
    const std::string install = m_scratch / "install", package = m_scratch / "package";
    WriteFile(install + "/bin/x.dll", "old");
    fixtures::InstallFakePatchTool(install, false);
    WriteFile(package + "/data/new.txt", "new");
    WriteFile(package + "/data/bin/x.dll.diff", fixtures::MakeFakeDiff("old", "new", {"HANG"}));
    fixtures::WritePackageLists(package, {{"new.txt", "d"}}, {},
                                {{"bin\\x.dll", fixtures::Md5Hex("new"), fixtures::Md5Hex("old")}});
    const fixtures::TreeContent original = fixtures::SnapshotTree(install);
    for (const std::string signal : {"INT", "TERM", "QUIT", "HUP"})
    {
        // Stopped once the tool has been called, with the added file in place.
        const DriverRun run = Shell("sh -c 'rm -f calls; " + std::string(fixtures::kFakePatchToolLogVariable) +
                                    "=$PWD/calls patch-apply install package & until [ -s calls ] && [ -f install/new.txt ]; "
                                    "do sleep 0.01; done; kill -" + signal + " $!; wait $!'");
        EXPECT_EQ(run.status, 1) << signal;
        EXPECT_EQ(fixtures::DescribeTreeDifference(original, fixtures::SnapshotTree(install)), "") << signal;
        EXPECT_NE(run.out.find("3\tStopped by SIG" + signal + ": the patch was not applied; every file it had "
                               "changed was put back\n"), std::string::npos) << signal << run.out;
        EXPECT_FALSE(fixtures::PathExists(install + "/patch.journal")) << signal;
    }
}

// The same while the run hashes a listed file far too large to read to its end (a sparse file of
// a tebibyte): the hash asks whether to keep going, so the stop ends it.
TEST_F(DriverTest, PatchApplyStoppedWhileHashingPutsEveryFileBack)
{
    const std::string install = m_scratch / "install", package = m_scratch / "package";
    WriteFile(install + "/huge.pak", "");
    ASSERT_EQ(::truncate((install + "/huge.pak").c_str(), off_t(1) << 40), 0);
    fixtures::InstallFakePatchTool(install, false);
    WriteFile(package + "/data/new.txt", "new");
    WriteFile(package + "/data/huge.pak.diff", fixtures::MakeFakeDiff("", "new"));
    fixtures::WritePackageLists(package, {{"new.txt", "d"}}, {},
                                {{"huge.pak", fixtures::Md5Hex("new"), fixtures::Md5Hex("")}});
    const DriverRun run = Shell("sh -c 'patch-apply install package & until [ -f install/new.txt ]; do sleep 0.01; "
                                "done; kill -TERM $!; wait $!'");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("3\tStopped by SIGTERM: the patch was not applied; every file it had changed was put "
                           "back\n"), std::string::npos) << run.out;
    EXPECT_FALSE(fixtures::PathExists(install + "/new.txt"));
    EXPECT_FALSE(fixtures::PathExists(install + "/huge.pak.pbk"));
    struct stat st;
    ASSERT_EQ(::stat((install + "/huge.pak").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, off_t(1) << 40);
    EXPECT_FALSE(fixtures::PathExists(install + "/patch.journal"));
}

// What killed runs left, below the installation and in the temporary folder, goes whichever driver
// takes the installation next, whatever that driver then does.
TEST_F(DriverTest, EveryDriverRemovesWhatKilledRunsLeft)
{
    const std::string tag = fixtures::EndedOwnerTag(), install = m_scratch / "install", tmp = m_scratch / "tmp";
    for (const std::string command : {"patch-apply install package", "repair-tool install 127.0.0.1:1",
                                      "patch-run --admin -s http://127.0.0.1:1/ install"})
    {
        SCOPED_TRACE(command);
        WriteFile(install + "/.sollex-patcher-" + tag + "-Left01/file1/data/x.dll", "unpacked");
        WriteFile(tmp + "/lumo-" + tag + "-Left02/44088_to_45000.zip", "partial");
        WriteFile(tmp + "/lumo-test.keep", "not a run's");
        Shell("env TMPDIR='" + tmp + "' " + command);
        for (const std::string& name : fixtures::ListFolder(install))
            EXPECT_FALSE(name.starts_with(".sollex-patcher-")) << name;
        EXPECT_EQ(fixtures::ListFolder(tmp), std::vector<std::string>{"lumo-test.keep"});
    }
}

// However the installation is spelled, its uninstall log names an added file once, under the
// installation's own name.
TEST_F(DriverTest, PatchApplyRecordsTheInstallationUnderItsResolvedName)
{
    const std::string install = m_scratch / "disk/inst", package = m_scratch / "package";
    WriteFile(install + "/unins000.dat", fixtures::WriteUninstallLog({}));
    WriteFile(package + "/data/bin/x.dll", "new");
    fixtures::WritePackageLists(package, {{"bin\\x.dll", "d"}}, {}, {});
    ASSERT_EQ(::symlink((m_scratch / "disk").c_str(), (m_scratch / "link").c_str()), 0);
    for (const char* spelling : {"./disk//inst/", "link/inst/bin/.."})
        EXPECT_EQ(Shell(std::string("patch-apply ") + spelling + " package").status, 0) << spelling;
    const auto log = fixtures::ReadUninstallLogBack(ReadFile(install + "/unins000.dat"));
    ASSERT_TRUE(log.ok && log.records.size() == 2) << log.error; // the added file's and the closing record
    std::string path;
    EXPECT_TRUE(fixtures::DecodeDeleteFileRecord(log.records[0], path));
    EXPECT_EQ(path, std::filesystem::canonical(install).string() + "/bin\\x.dll");
}

// A repair killed after it made data/a.dat longer leaves its record. A patch applied next must put
// that right first: otherwise the next start cuts the patched file back to the stopped repair's
// length. Every program that takes the installation does it before it writes.
TEST_F(DriverTest, APatchOverAStoppedRepairPutsTheRepairRightFirst)
{
    const std::string install = m_scratch / "install", package = m_scratch / "package";
    const std::string patched(5120, 'n');
    const struct { const char* name; std::vector<std::string> records; } cases[] = {
        {"a length", {"BEGIN", "LENGTH 100 data/a.dat"}},
        {"a new file", {"BEGIN", "NEW data/a.dat"}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        WriteFile(install + "/data/a.dat", std::string(200, 'o'));
        WriteFile(install + "/repair.journal", fixtures::RepairJournalText(c.records));
        WriteFile(package + "/data/data/a.dat", patched);
        fixtures::WritePackageLists(package, {{"data\\a.dat", "d"}}, {}, {});
        const DriverRun run = Shell("patch-apply install package");
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_NE(run.out.find("2\tA repair of " + install + " was stopped before it finished"), std::string::npos)
            << run.out;
        EXPECT_FALSE(fixtures::PathExists(install + "/repair.journal"));
        EXPECT_EQ(ReadFile(install + "/data/a.dat"), patched);
        // The next start finds nothing to cut.
        const DriverRun next = Shell("patch-apply install package");
        EXPECT_EQ(next.out.find("Cut back"), std::string::npos) << next.out;
        EXPECT_EQ(next.out.find("Removed a file"), std::string::npos) << next.out;
        EXPECT_EQ(ReadFile(install + "/data/a.dat"), patched);
    }
}

// A journal's name taken by a FIFO, a link or a folder: no program that takes the installation
// waits on it or follows it; each says what stands there and to delete it, and changes nothing.
// (The harness's timeout ends a run that hangs: its status then is 124.)
TEST_F(DriverTest, AJournalThatIsNoFileStopsEveryProgramWithAdvice)
{
    const std::string install = m_scratch / "install", package = m_scratch / "package";
    WriteFile(m_scratch / "victim.txt", "precious");
    WriteFile(package + "/data/new.txt", "new");
    fixtures::WritePackageLists(package, {{"new.txt", "d"}}, {}, {});
    const struct { const char* what; std::function<void(const std::string&)> make; const char* says; } standing[] = {
        {"FIFO", [](const std::string& at) { ASSERT_EQ(::mkfifo(at.c_str(), 0644), 0); }, "is a FIFO (named pipe)"},
        {"link", [&](const std::string& at) { ASSERT_EQ(::symlink((m_scratch / "victim.txt").c_str(), at.c_str()), 0); },
         "is a symbolic link"},
        {"folder", [](const std::string& at) { WriteFile(at + "/x", "x"); }, "is a folder"},
    };
    const char* programs[] = {"patch-apply install package", "repair-tool install 127.0.0.1:1",
                              "patch-run --admin -s http://127.0.0.1:1/ install"};
    for (const char* journal : {"patch.journal", "repair.journal"})
        for (const auto& kind : standing)
            for (const char* program : programs)
            {
                SCOPED_TRACE(std::string(journal) + " as a " + kind.what + ": " + program);
                std::filesystem::remove_all(install);
                WriteFile(install + "/bin/x.dll", "old");
                const std::string at = install + "/" + journal;
                kind.make(at);
                const DriverRun run = Shell(program);
                EXPECT_EQ(run.status, 1) << run.out << run.err;
                const std::string said = run.out + run.err;
                EXPECT_NE(said.find("\"" + at + "\" " + kind.says +
                                    ", where the patcher keeps a file of its own; the patcher did not make it. Delete "
                                    "it and start again."),
                          std::string::npos) << said;
                EXPECT_FALSE(fixtures::PathExists(install + "/new.txt"));
                EXPECT_EQ(ReadFile(m_scratch / "victim.txt"), "precious");
                struct stat info{};
                EXPECT_EQ(::lstat(at.c_str(), &info), 0);
            }
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
