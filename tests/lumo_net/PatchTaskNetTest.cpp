#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>

#include <gtest/gtest.h>

#include "BuildConfig.h"
#include "lumo/net/DownloadURL.h"
#include "tests/lumo_net/FastStallClock.h"
#include "patch/PatchMessages.h"
#include "patch/PatchTask.h"
#include "platform/NativePath.h"
#include "platform/Spawn.h"
#include "tests/fixtures/DebugCapture.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/ShellCommand.h"
#include "tests/fixtures/TestServers.h"
#include "tests/fixtures/WaitFor.h"

namespace
{

class RecordingTask : public KestinPatchTask
{
public:
    void Log(int level, const std::wstring& text) override { messages.emplace_back(level, text); }
    std::vector<std::pair<int, std::wstring>> messages;
};

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

class PatchTaskNet : public ::testing::Test
{
protected:
    void SetUp() override
    {
        LumoInetInternal::SetDownloadRetryPause(0);
        m_package = nettest::PatternBytes(250000, 9);
        fixtures::WriteFile(m_folder / "www/patches.txt",
                            "source-version: 43434\r\ntarget-version: 44088\r\npatch-exe-url: http://x/p.exe\r\n"
                            "patch-data-url: files/43434_to_44088.zip\r\n");
        fixtures::WriteFile(m_folder / "www/files/43434_to_44088.zip", m_package);
        m_nginx = std::make_unique<nettest::NginxServer>(m_folder / "www");
        ASSERT_TRUE(m_nginx->Ok());
    }
    void TearDown() override { LumoInetInternal::SetDownloadRetryPause(1000); }

    fixtures::ScratchFolder m_folder;
    std::string m_package;
    std::unique_ptr<nettest::NginxServer> m_nginx;
};

TEST_F(PatchTaskNet, FetchesTheListAndDownloadsOverAStaleLongerFile)
{
    RecordingTask task;
    const std::wstring missingServer = Wide(m_nginx->Url("nowhere/"));
    const std::wstring server = Wide(m_nginx->Url(""));
    ASSERT_TRUE(task.FetchPatchList({missingServer, server}));
    EXPECT_EQ(server, task.GetServerUrl());
    const PatchEntry* entry = task.FindPatch("43434");
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(server + L"files/43434_to_44088.zip", entry->dataUrl);
    // The missing server's 404 page was not taken for a list.
    ASSERT_EQ(1u, task.messages.size());
    EXPECT_EQ(std::wstring(PatchMessages::kCannotDownloadPatchFile) + missingServer + L"patches.txt",
              task.messages[0].second);

    const std::string path = m_folder / "43434_to_44088.zip";
    fixtures::WriteFile(path, std::string(400000, 'z'));
    ASSERT_TRUE(task.QueryRemoteSize(entry->dataUrl));
    EXPECT_TRUE(task.Download(entry->dataUrl, Wide(path), nullptr));
    EXPECT_TRUE(fixtures::ReadFile(path) == m_package);
    const PatchProgress progress = task.GetProgress();
    EXPECT_EQ(250000u, progress.total);
    EXPECT_EQ(250000u, progress.done);
    EXPECT_EQ(100u, progress.percent);
}

TEST_F(PatchTaskNet, FailedAndOversizedDownloadsAreRefused)
{
    RecordingTask task;
    const std::wstring url = Wide(m_nginx->Url("files/43434_to_44088.zip"));
    const std::string path = m_folder / "p.zip";

    // A missing package: its error page is never the package.
    const std::wstring missing = Wide(m_nginx->Url("files/none.zip"));
    EXPECT_FALSE(task.QueryRemoteSize(missing));
    EXPECT_FALSE(task.Download(missing, Wide(path), nullptr));
    EXPECT_EQ(0u, fixtures::ReadFile(path).size());
    ASSERT_EQ(1u, task.messages.size());
    EXPECT_EQ(3, task.messages[0].first);
    EXPECT_EQ(std::wstring(PatchMessages::kCannotDownloadPatchFile) + missing, task.messages[0].second);

    // A server that announced less than it sends.
    fixtures::WriteFile(m_folder / "www/files/small.zip", "tiny");
    ASSERT_TRUE(task.QueryRemoteSize(Wide(m_nginx->Url("files/small.zip"))));
    EXPECT_FALSE(task.Download(url, Wide(path), nullptr));
    EXPECT_EQ(100u, task.GetPercent());

    // A folder in place of the file cannot be opened.
    EXPECT_FALSE(task.Download(url, m_folder.WidePath(), nullptr));
    EXPECT_EQ(std::wstring(PatchMessages::kCannotOpenPatchFileForWriting) + m_folder.WidePath(),
              task.messages.back().second);
}

// A first server that takes the connection and never answers is given up after its stalls; the next one's list is used.
TEST_F(PatchTaskNet, ListComesFromTheNextServerOnceTheFirstKeptUsWaitingTooLong)
{
    nettest::FaultServer silent(m_folder / "www");
    ASSERT_TRUE(silent.Ok());
    // Fast until the silent server is given up: the next server's list comes in the real window.
    const std::string silentServer = silent.Url("").substr(7, silent.Url("").size() - 8);
    nettest::FastStallClock clock([silentServer] { return !LumoNet::ServerStallLedger::ForRun().IsGivenUp(silentServer); });
    RecordingTask task;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(silent.Ok() && task.FetchPatchList({Wide(silent.Url("silent/")), Wide(m_nginx->Url(""))}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(Wide(m_nginx->Url("")), task.GetServerUrl());
}

// Once a server is given up, every later file of it (under another path, or by FTP on the same
// host and port) fails at once; its line says so instead of only "Unable to download patch file".
TEST_F(PatchTaskNet, AFileOfAServerGivenUpEarlierSaysSo)
{
    nettest::FaultServer silent(m_folder / "www");
    ASSERT_TRUE(silent.Ok());
    const std::string server = silent.Url("").substr(7, silent.Url("").size() - 8);
    nettest::FastStallClock clock([server] { return !LumoNet::ServerStallLedger::ForRun().IsGivenUp(server); });
    RecordingTask task;
    const std::wstring first = Wide(silent.Url("silent/")), second = Wide(silent.Url("silent/other/"));
    EXPECT_TRUE(task.FetchPatchList({first, second, Wide(m_nginx->Url(""))}));
    const std::wstring note = L": its server " + Wide(server) + L" was given up earlier in this run.";
    ASSERT_EQ(2u, task.messages.size());
    EXPECT_EQ(std::wstring(PatchMessages::kCannotDownloadPatchFile) + first + L"patches.txt", task.messages[0].second);
    EXPECT_EQ(std::wstring(PatchMessages::kCannotDownloadPatchFile) + second + L"patches.txt" + note, task.messages[1].second);

    const std::wstring packages[] = {Wide(silent.Url("files/43434_to_44088.zip")), Wide("ftp://" + server + "/p.zip")};
    for (const std::wstring& package : packages)
    {
        EXPECT_FALSE(task.Download(package, m_folder.WidePath() + L"/p.zip", nullptr));
        EXPECT_EQ(std::make_pair(3, std::wstring(PatchMessages::kCannotDownloadPatchFile) + package + note),
                  task.messages.back());
    }
    // Another server's failure says nothing of giving up.
    const std::wstring missing = Wide(m_nginx->Url("files/none.zip"));
    EXPECT_FALSE(task.Download(missing, m_folder.WidePath() + L"/p.zip", nullptr));
    EXPECT_EQ(std::wstring(PatchMessages::kCannotDownloadPatchFile) + missing, task.messages.back().second);
}

size_t Requests(const std::string& log, const std::string& line)
{
    size_t count = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1))
        ++count;
    return count;
}

// A stop while the list is fetched, and a list beyond any list's size, are said as what they are,
// never as a connection that failed; neither is asked again.
TEST_F(PatchTaskNet, ACancelAndAnOversizedListAreNamedNotTakenForAConnectionFailure)
{
    nettest::FaultServer faults(m_folder / "www", nullptr, m_folder / "faults.log");
    ASSERT_TRUE(faults.Ok());
    const std::wstring huge = Wide(faults.Url("huge/20000000/"));
    RecordingTask task;
    EXPECT_FALSE(task.FetchPatchList({huge}));
    EXPECT_EQ(1u, Requests(faults.Log(), "GET /huge/20000000/patches.txt")) << faults.Log();
    ASSERT_EQ(2u, task.messages.size());
    EXPECT_EQ(L"The patch list " + huge + L"patches.txt is larger than 16 MiB, more than a patch list holds; it is not used.",
              task.messages[0].second);
    EXPECT_EQ(std::wstring(PatchMessages::kNoUsablePatchList), task.messages[1].second);

    struct : DownloadURLCallback
    {
        bool IsCancelled() override { return true; }
    } stop;
    RecordingTask cancelled;
    EXPECT_FALSE(cancelled.FetchPatchList({Wide(faults.Url("silent/")), Wide(m_nginx->Url(""))}, &stop));
    ASSERT_EQ(1u, cancelled.messages.size());
    EXPECT_EQ(L"Fetching the patch list from " + Wide(faults.Url("silent/")) + L" was cancelled.",
              cancelled.messages[0].second);
}

// A package larger than the free space of its disk is refused before its download starts, with
// both figures; a disk that fills during the download is named, and not tried again.
TEST_F(PatchTaskNet, APackageThatCannotFitOnItsDiskIsRefusedAndAFullDiskIsNamed)
{
    nettest::FaultServer faults(m_folder / "www", nullptr, m_folder / "faults.log");
    ASSERT_TRUE(faults.Ok());
    RecordingTask task;
    const std::wstring url = Wide(faults.Url("size/4611686018427387904"));
    const std::string path = m_folder / "huge.zip";
    ASSERT_TRUE(task.QueryRemoteSize(url));
    EXPECT_FALSE(task.Download(url, Wide(path), nullptr));
    EXPECT_EQ(1u, Requests(faults.Log(), "GET /size/4611686018427387904")) << faults.Log();
    ASSERT_EQ(1u, task.messages.size());
    const std::wstring& refusal = task.messages[0].second;
    EXPECT_EQ(3, task.messages[0].first);
    EXPECT_EQ(0u, refusal.find(std::wstring(PatchMessages::kCannotDownloadPatchFile) + url +
                               L": it is 4611686018427387904 bytes, and the disk of " + Wide(path) + L" has "));
    EXPECT_NE(std::wstring::npos, refusal.find(L" bytes free.")) << ToNativePath(refusal);

    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full to fill";
    const std::wstring package = Wide(faults.Url("file/files/43434_to_44088.zip"));
    ASSERT_TRUE(task.QueryRemoteSize(package));
    task.messages.clear();
    nettest::StderrCapture output;
    fixtures::DebugCapture debug;
    EXPECT_FALSE(task.Download(package, L"/dev/full", nullptr));
    // The size query's request and one download.
    EXPECT_EQ(2u, Requests(faults.Log(), "GET /file/files/43434_to_44088.zip")) << faults.Log();
    EXPECT_NE(std::string::npos, output.Text().find(ToNativePath(package) + ": the downloaded data cannot be written: No space left on device\n"))
        << output.Text();
    EXPECT_EQ(std::string::npos, output.Text().find("WriteData")) << output.Text();
    EXPECT_TRUE(debug.Saw("WriteData returned 2 (No space left on device)")) << debug.Text();
    ASSERT_EQ(1u, task.messages.size());
    EXPECT_EQ(std::wstring(PatchMessages::kCannotDownloadPatchFile) + package + L": No space left on device (/dev/full).",
              task.messages[0].second);
}

} // namespace

namespace
{

struct ToolRun { int exitCode = -1; std::string output; };

// fetch-tool's standard output, with its standard error joined when withErrors.
ToolRun RunFetchTool(const std::vector<std::string>& arguments, bool withErrors = true)
{
    std::string command = "'" LUMO_BIN_DIR "/fetch-tool'";
    for (const std::string& argument : arguments)
        command += " '" + argument + "'";
    command += withErrors ? " 2>&1" : " 2>/dev/null";
    ToolRun run;
    int status = -1;
    run.output = fixtures::RunShell(command, &status);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST_F(PatchTaskNet, FetchToolDownloadsAndListsPatches)
{
    const std::string path = m_folder / "fetched.zip";
    const ToolRun fetched = RunFetchTool({m_nginx->Url("files/43434_to_44088.zip"), path});
    EXPECT_EQ(0, fetched.exitCode) << fetched.output;
    EXPECT_TRUE(fixtures::ReadFile(path) == m_package);
    EXPECT_NE(std::string::npos, fetched.output.find("250000 / 250000 bytes (100%)")) << fetched.output;

    // Only the list on standard output, though the first server answers 404.
    const ToolRun listed = RunFetchTool({"--patches", m_nginx->Url("nowhere/"), m_nginx->Url("")}, false);
    EXPECT_EQ(0, listed.exitCode) << listed.output;
    EXPECT_EQ("server " + m_nginx->Url("") + "\n43434 44088 " + m_nginx->Url("files/43434_to_44088.zip") +
                  " http://x/p.exe\n",
              listed.output);

    // Characters beyond ASCII travel percent-encoded as UTF-8.
    fixtures::WriteFile(m_folder / "www/files/caf\xc3\xa9 \xe2\x82\xac.zip", "euro");
    const ToolRun encoded = RunFetchTool({m_nginx->Url("files/caf\xc3\xa9 \xe2\x82\xac.zip"), m_folder / "e.zip"});
    EXPECT_EQ(0, encoded.exitCode) << encoded.output;

    EXPECT_EQ(2, RunFetchTool({"only-one"}).exitCode);
    EXPECT_EQ(1, RunFetchTool({"gopher://127.0.0.1/x", m_folder / "x"}).exitCode);
}

// A failed download leaves an existing file as it was; a final answer is not asked again.
TEST_F(PatchTaskNet, FetchToolFailureKeepsTheFileAndFinalAnswersAreNotRetried)
{
    const std::string path = m_folder / "existing.txt";
    fixtures::WriteFile(path, "keep me");
    const ToolRun missing = RunFetchTool({m_nginx->Url("files/none.zip"), path});
    EXPECT_EQ(1, missing.exitCode);
    EXPECT_EQ("keep me", fixtures::ReadFile(path));
    EXPECT_EQ(missing.output, "fetch-tool: " + m_nginx->Url("files/none.zip") + ": download failed (HTTP status 404 for url " +
                                  m_nginx->Url("files/none.zip") + ")\n");
}

// Without --resume a file that is not a prefix of the remote one is replaced, never continued.
TEST_F(PatchTaskNet, FetchToolStartsFromEmptyUnlessAskedToResume)
{
    nettest::FtpServer ftp(m_folder / "www", m_folder / "ftp.log");
    ASSERT_TRUE(ftp.Ok());
    const std::string path = m_folder / "big.zip";
    fixtures::WriteFile(path, std::string(1000, 'r'));
    const ToolRun fetched = RunFetchTool({ftp.Url("files/43434_to_44088.zip"), path});
    EXPECT_EQ(0, fetched.exitCode) << fetched.output;
    EXPECT_TRUE(fixtures::ReadFile(path) == m_package);

    fixtures::WriteFile(path, m_package.substr(0, 1000));
    const ToolRun resumed = RunFetchTool({"--resume", ftp.Url("files/43434_to_44088.zip"), path});
    EXPECT_EQ(0, resumed.exitCode) << resumed.output;
    EXPECT_TRUE(fixtures::ReadFile(path) == m_package);
}

// fetch-tool stopped by a signal while the server says nothing at all (the size query) or stalls
// half-way through the file: it ends at once, with a failure that names the signal, leaving no file
// and no partial file.
TEST_F(PatchTaskNet, FetchToolStopsAtOnceOnAStopSignalAndLeavesNoPartialFile)
{
    fixtures::WriteFile(m_folder / "www/big.bin", nettest::PatternBytes(100000, 2));
    nettest::FaultServer faults(m_folder / "www");
    ASSERT_TRUE(faults.Ok());
    for (const auto& [path, signal] : {std::pair{"silent/1/big.bin", SIGINT}, {"stall/1000/big.bin", SIGTERM}})
    {
        const std::string folder = m_folder / ("stop" + std::to_string(signal)), count = m_folder / "count";
        fixtures::WriteFile(folder + "/keep", "");
        platform::SpawnRequest request;
        request.argv = {LUMO_BIN_DIR "/fetch-tool", faults.Url(path), folder + "/out.bin"};
        request.captureOutput = true;
        auto child = platform::SpawnedChild::Spawn(request, nullptr);
        ASSERT_TRUE(child);
        // Stopped once the server counted the request and a stalled transfer has its partial file.
        EXPECT_TRUE(fixtures::WaitFor([&] {
            return RunFetchTool({faults.Url(std::string("count/") + path), count}).exitCode == 0 &&
                   fixtures::ReadFile(count) != "0" &&
                   fixtures::ListFolder(folder).size() == (signal == SIGINT ? 1u : 2u);
        })) << path;
        ::kill(child->Pid(), signal);
        if (!child->Wait(10000))
            child->Terminate(9); // still running 10 s after the signal: fails below
        EXPECT_EQ(1, child->ExitCode()) << path;
        std::string output;
        char block[4096];
        for (ssize_t n; (n = child->ReadOutput(block, sizeof block)) > 0;)
            output.append(block, static_cast<size_t>(n));
        EXPECT_NE(output.find(std::string(": download failed (stopped by ") + (signal == SIGINT ? "SIGINT" : "SIGTERM")),
                  std::string::npos) << output;
        EXPECT_EQ(fixtures::ListFolder(folder), std::vector<std::string>{"keep"}) << path;
    }
}

} // namespace

namespace
{
// fetch-tool names why a download cannot be stored, not only that it failed.
TEST_F(PatchTaskNet, FetchToolNamesAPackageLargerThanItsDisk)
{
    nettest::FaultServer faults(m_folder / "www");
    ASSERT_TRUE(faults.Ok());
    const std::string url = faults.Url("size/4611686018427387904");
    const ToolRun run = RunFetchTool({url, m_folder / "huge.zip"});
    EXPECT_EQ(1, run.exitCode);
    // The disk is named by the file the user gave, not by the partial file beside it.
    EXPECT_NE(std::string::npos, run.output.find(url + ": download failed (it is 4611686018427387904 bytes, and the disk of " +
                                                 m_folder / "huge.zip" + " has "))
        << run.output;
    EXPECT_EQ(std::string::npos, run.output.find(".part-")) << run.output;
    // --resume continues over FTP only: over HTTP it is a wrong command line, and DEST is untouched.
    fixtures::WriteFile(m_folder / "resumed.zip", "x");
    const ToolRun resumed = RunFetchTool({"--resume", url, m_folder / "resumed.zip"});
    EXPECT_EQ(2, resumed.exitCode);
    EXPECT_NE(std::string::npos, resumed.output.find("--resume continues FTP downloads only")) << resumed.output;
    EXPECT_EQ(fixtures::ReadFile(m_folder / "resumed.zip"), "x");
}
} // namespace
