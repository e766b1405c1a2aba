// patch-run: the patcher without its window. It takes the patcher's command line, finds the
// patches appended to its own executable (append an archive to a copy of patch-run, as to the
// patcher), and makes one run as the window would after "Apply Update", answering every question
// with its default.
//
//   patch-run [-h] [-a] [-r] [-d] [-l FILE] [-s URL]... [[current_build] target_directory]
//
// Every log line is printed to standard output as "<level><TAB><text>" (a text of several lines
// gives one output line each, all at its level, a final line feed adding none); a message box becomes a level-3 line
// "<caption>: <text>". Exit status 0 after "Patching completed.", else 1; -h prints the usage on
// standard error and ends with 0, a wrong command line with 2. SIGINT and SIGTERM cancel the run
// as the window's "Cancel" does.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/core/CommandLine.h"
#include "app/core/InstallDiscovery.h"
#include "app/core/InstallLocation.h"
#include "app/core/PatcherOptions.h"
#include "app/core/RunHost.h"
#include "app/core/StartupDecisions.h"
#include "app/run/PatchRun.h"
#include "app/run/StartupRecovery.h"
#include "patch/PatchCallbacks.h"
#include "platform/NativePath.h"
#include "platform/TempFolder.h"
#include "platform/Utf8.h"

namespace {

std::atomic<bool> g_cancelled{false};

void OnStopSignal(int)
{
    g_cancelled = true;
}

// Prints what a run reports; lines may come from the run's helper threads.
class PrintingHost : public LumoPatch::LogOnlyRunHost
{
public:
    void Log(int level, const std::wstring& text) override
    {
        std::lock_guard<std::mutex> hold(m_lock);
        const std::string utf8 = platform::WideToUtf8(text);
        // One output line per line of the text; a final line feed ends the last line, no more.
        size_t start = 0;
        do
        {
            const size_t end = std::min(utf8.find('\n', start), utf8.size());
            std::printf("%d\t%s\n", level, utf8.substr(start, end - start).c_str());
            start = end + 1;
        } while (start < utf8.size());
        std::fflush(stdout);
    }
    bool KeepGoing() override { return !g_cancelled; }

private:
    std::mutex m_lock;
};

PrintingHost g_host;

void EngineMessage(int level, const std::wstring& text)
{
    g_host.Log(level, text);
}

bool EngineKeepGoing()
{
    return g_host.KeepGoing();
}

}  // namespace

int main(int argc, char** argv)
{
    struct sigaction stop = {};
    stop.sa_handler = OnStopSignal;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
    SetPatchCallbacks(nullptr, EngineKeepGoing, EngineMessage);

    std::vector<std::wstring> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.push_back(FromNativePath(argv[i]));
    const CommandLine commandLine = ParseCommandLine(arguments);
    // The parser has printed the usage (and what was wrong) on standard error.
    if (!commandLine.parsed)
        return 2;
    if (commandLine.help)
        return 0;
    PatcherOptions& options = PatcherOptions::Instance();
    for (const StartupLine& line : ApplyCommandLine(commandLine, options, CurrentWorkingFolder()))
        g_host.Log(line.first, line.second);
    if (options.installPath.empty())
        options.installPath = ReadProductInstallPath(kSollexProduct, kSollexProductClass);

    // A patch that a kill interrupted is undone or finished before anything looks at the builds.
    LumoPatch::RecoverInterruptedPatch(options.installPath);
    // Making this run's temporary folder removes what killed runs left there, whatever this run does.
    platform::PrivateTempFolder();
    DiscoverPatches(OwnExecutablePath(), false, options, g_host, [] { return std::optional<std::wstring>(); });
    if (DecideRun(options) == RunDecision::NothingToDo)
    {
        g_host.Log(3, L"No valid patch operation was specified. Patching aborted.");
        return 1;
    }

    LumoPatch::PatchRun run(g_host);
    const bool completed = run.Run();
    g_host.Finished();
    return completed ? 0 : 1;
}
