// patch-run: the patcher without its window. It takes the patcher's command line, finds the
// patches appended to its own executable (append an archive to a copy of patch-run, as to the
// patcher), and makes one run as the window would after "Apply Update", answering every question
// with its default.
//
//   patch-run [-h] [-a] [-r] [-d] [-l FILE] [-s URL]... [[current_build] target_directory]
//
// The window's -f/--final and -o/--onexit are refused as a wrong command line.
// Every log line is printed to standard output as "<level><TAB><text>" (a text of several lines
// gives one output line each, all at its level, the empty lines between them left out); a message
// box becomes a level-3 line "<caption>: <text>". Exit status 0 after "Patching completed.", else
// 1; -h prints the help on standard output and ends with 0, a wrong command line with 2. SIGINT,
// SIGTERM, SIGHUP and SIGQUIT cancel the run as the window's "Cancel" does, and the run's last
// lines name the signal. The installation is held from the start:
// a run that finds it held by another patch or repair ends at once with 1, naming that one.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
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
#include "app/core/StringTable.h"
#include "app/run/DatabaseRebuildNotice.h"
#include "app/run/InstallEntry.h"
#include "app/run/PatchRun.h"
#include "lumo/diagnostics/CrashDumpReader.h"
#include "lumo/text/TextConversion.h"
#include "patch/PatchCallbacks.h"
#include "platform/NativePath.h"
#include "platform/TempFolder.h"
#include "platform/Utf8.h"
#include "tools/ArgumentCheck.h"
#include "tools/ToolSupport.h"

namespace {

constexpr char kAbout[] =
    "Runs the patcher without its window: one run on the installation in target_directory (else the\n"
    "one the registry names), as the window's \"Apply Update\" does, every question answered with its\n"
    "default. The patches come from the archive appended to this executable (append one to a copy of\n"
    "patch-run) or from the patch servers of -s and -l: HTTP, HTTPS or FTP URLs, each with its\n"
    "trailing \"/\" (\"patches.txt\" is asked of it). With -r the installation is repaired instead,\n"
    "against the repair server (SOLLEX_REPAIR_SERVER=HOST:PORT, or HOST for port 6000).\n"
    "Output: every line of the run's log on standard output as <level><TAB><text>, level 0 detail,\n"
    "1 progress, 2 warning, 3 error; a message box is a level-3 line \"<caption>: <text>\".\n"
    "SIGINT, SIGTERM, SIGHUP and SIGQUIT cancel the run as the window's \"Cancel\" does.\n"
    "Exit status: 0 when the run completed (its last line \"1<TAB>Patching completed.\"), 1 when it\n"
    "failed or was stopped, 2 for a wrong command line (the window's -f and -o, an empty\n"
    "target_directory, build or server among them).\n";

// The usage line and option table the patcher shares, worded as every driver's.
std::string Usage(const std::wstring& programPath)
{
    std::string usage = platform::WideToUtf8(CommandLineUsage(programPath, CommandLineProgram::Driver));
    if (usage.starts_with("Usage: "))
        usage[0] = 'u';
    return usage;
}

// The help: that usage, then what this program does.
std::string Help(const std::wstring& programPath)
{
    return Usage(programPath) + kAbout;
}

// What the parser found wrong, in one line: its faults joined, the sentences' ends left out.
std::string WrongLine(const std::wstring& wrong)
{
    std::string line;
    std::string text = platform::WideToUtf8(wrong);
    for (size_t start = 0; start < text.size();)
    {
        const size_t end = std::min(text.find('\n', start), text.size());
        std::string part = text.substr(start, end - start);
        while (!part.empty() && (part.back() == '.' || part.back() == ' '))
            part.pop_back();
        if (!part.empty())
            line += (line.empty() ? "" : "; ") + part;
        start = end + 1;
    }
    return line.empty() ? "refused by the parser" : line;
}

// Prints what a run reports; lines may come from the run's helper threads.
class PrintingHost : public LumoPatch::LogOnlyRunHost
{
public:
    void Log(int level, const std::wstring& text) override
    {
        std::lock_guard<std::mutex> hold(m_lock);
        const std::string utf8 = platform::WideToUtf8(text);
        // One output line per line of the text. The line feeds that set a message apart in the
        // window ("\nFailed to apply the patch: ...") give no empty lines here; an empty text is
        // one empty line, as the window shows it.
        size_t start = 0;
        do
        {
            const size_t end = std::min(utf8.find('\n', start), utf8.size());
            if (end > start || utf8.empty())
                std::printf("%d\t%s\n", level, utf8.substr(start, end - start).c_str());
            start = end + 1;
        } while (start < utf8.size());
        std::fflush(stdout);
    }
    bool KeepGoing() override { return !tools::StopRequested(); }
    int StopSignal() override { return tools::StopSignal(); }

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
    tools::LibraryLinesToStandardError();
    // SIGINT, SIGTERM, SIGHUP and SIGQUIT cancel the run, which then puts back what it changed.
    if (!tools::CatchStopSignals("patch-run"))
        return 1;
    signal(SIGPIPE, SIG_IGN);
    SetPatchCallbacks(nullptr, EngineKeepGoing, EngineMessage);

    std::vector<std::wstring> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.push_back(FromNativePath(argv[i]));
    const CommandLine commandLine = ParseCommandLine(arguments, false, CommandLineProgram::Driver);
    if (!commandLine.parsed)
        return tools::WrongCommandLine("patch-run", WrongLine(commandLine.wrong), Usage(arguments[0]));
    // Help is asked for: it is the output, as for every driver.
    if (commandLine.help)
        return tools::PrintHelp(Help(arguments[0]).c_str());
    // The window's options: a run without a window ends without starting a program, and "final"
    // means nothing to any run.
    if (commandLine.finalGiven || commandLine.onexit)
        return tools::WrongCommandLine("patch-run",
                                       std::string(commandLine.finalGiven ? "-f/--final" : "-o/--onexit") +
                                           " is an option of the patcher's window only",
                                       Usage(arguments[0]));
    PatcherOptions& options = PatcherOptions::Instance();
    for (const StartupLine& line : ApplyCommandLine(commandLine, options, CurrentWorkingFolder()))
        g_host.Log(line.first, line.second);
    if (options.installPath.empty())
        options.installPath = ReadProductInstallPath(kSollexProduct, kSollexProductClass);

    // The installation is held from here to the end: nothing in it is read or written before. A
    // folder that cannot be used is reported by discovery or the run's checks.
    std::unique_ptr<LumoUtil::InstallLock> installLock;
    std::wstring reason;
    const auto aborted = [] {
        SetResourceLanguageEnglish();
        g_host.Log(1, LoadResString(163));
        return 1;
    };
    // Taking it finishes or rolls back a patch that a kill interrupted and puts right what a stopped
    // repair left, before anything looks at the builds. When that cannot finish, a patch would only
    // meet the same journal again, and a repair would mend files that the next start then puts back
    // from the journal's backups: stop with why.
    switch (LumoPatch::EnterInstallation(options.installPath, installLock, reason))
    {
    case LumoPatch::InstallEntry::Held:
    case LumoPatch::InstallEntry::NotUsable:  // said by discovery or the run's checks
        break;
    case LumoPatch::InstallEntry::InUse:
    case LumoPatch::InstallEntry::JournalLeft:
        g_host.Log(3, reason);
        return aborted();
    }
    // A database rebuild that an earlier run could not finish is said until one ends.
    LumoPatch::ReportUnfinishedDatabaseUpdate(installLock ? installLock->Door().get() : nullptr);
    // Making this run's temporary folder removes what killed runs left there, whatever this run does.
    platform::PrivateTempFolder();
    // No one to ask here: without a folder discovery says how to name one.
    DiscoverPatches(OwnExecutablePath(), false, options, g_host, nullptr);
    // A stop while the builds were read ended the utility; nothing has been changed yet.
    if (tools::StopRequested())
    {
        g_host.Log(3, L"The run was stopped by " + ToWide(SignalName(tools::StopSignal())) +
                          L" before it changed anything.");
        return aborted();
    }
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
