// fetch-tool [--resume] URL DEST: downloads URL (http, https or ftp) into the file DEST through the
//   patcher's download road (size query, retries), showing a progress line on standard error. DEST
//   is written beside itself and renamed in on success only; with --resume (FTP URLs only) an
//   existing DEST is continued instead. Ctrl-C (SIGINT) or SIGTERM cancels at once, leaving no partial file.
// fetch-tool --patches SERVER_URL...: fetches "patches.txt" from the first server that serves a
//   usable list and prints "server <URL>" naming that server, then its entries, one line each:
//   source build, target build, data URL and executable URL, separated by spaces.
// The client's own diagnostic lines go to standard error. Exit status 0 on success, 1 on failure,
// 2 for a bad command line.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <string>
#include <thread>
#include <vector>

#include "lumo/text/TextConversion.h"
#include "lumo/diagnostics/CrashDumpReader.h"
#include "lumo/net/DownloadURLCallback.h"
#include "lumo/net/LumoURL.h"
#include "lumo/os/GuardedThread.h"
#include "patch/PatchMessages.h"
#include "patch/PatchTask.h"
#include "platform/NativePath.h"
#include "tools/ArgumentCheck.h"
#include "tools/ToolSupport.h"

namespace
{

class InterruptCallback : public DownloadURLCallback
{
public:
    bool IsCancelled() override { return tools::StopRequested(); }
};

// The task's messages go to standard error, unless quiet (a download says its own failure).
class ToolTask : public KestinPatchTask
{
public:
    void Log(int level, const std::string& text) override { Log(level, ToWide(text)); }
    void Log(int level, const std::wstring& text) override
    {
        if (level >= 3)
            lastError = text;
        if (!quiet)
            std::fprintf(stderr, "fetch-tool: [%d] %s\n", level, ToNativePath(text).c_str());
    }
    bool quiet = false;
    std::wstring lastError; // the last level-3 message
};

// While a download runs, the diagnostic lines of the network code and the task (one or more per
// attempt) are kept aside, so that the user sees the progress and, on a failure, one line with
// its cause: the last of them. The tool's own lines go to the terminal.
class HeldDiagnostics
{
public:
    HeldDiagnostics()
    {
        std::fflush(stderr);
        const int terminal = dup(STDERR_FILENO);
        m_terminal = terminal >= 0 ? fdopen(terminal, "w") : nullptr;
        m_held = std::tmpfile();
        if (m_terminal && m_held)
            dup2(fileno(m_held), STDERR_FILENO);
    }
    ~HeldDiagnostics()
    {
        std::fflush(stderr);
        if (m_terminal && m_held)
            dup2(fileno(m_terminal), STDERR_FILENO);
        if (m_terminal)
            std::fclose(m_terminal);
        if (m_held)
            std::fclose(m_held);
    }
    HeldDiagnostics(const HeldDiagnostics&) = delete;
    HeldDiagnostics& operator=(const HeldDiagnostics&) = delete;

    FILE* Terminal() const { return m_terminal && m_held ? m_terminal : stderr; }

    // The last line held back ("" when none).
    std::string LastLine() const
    {
        if (!m_held)
            return "";
        std::fflush(stderr);
        std::string text;
        char buffer[4096];
        std::rewind(m_held);
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, m_held)) > 0;)
            text.append(buffer, n);
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        const size_t start = text.rfind('\n');
        return start == std::string::npos ? text : text.substr(start + 1);
    }

private:
    FILE* m_terminal = nullptr;
    FILE* m_held = nullptr;
};

constexpr char kHelp[] =
    "usage: fetch-tool [--resume] URL DEST\n"
    "       fetch-tool --patches SERVER_URL...\n"
    "Downloads URL (http, https or ftp) into the file DEST the way the patcher fetches patches: the\n"
    "size is asked first, transfer errors (a host name that does not resolve included) are retried ten\n"
    "times, a final answer (HTTP 4xx, a missing file, a malformed URL) or a full disk ends at once. A\n"
    "transfer that moves less than 1 KiB in 60 s is retried; a server stalled for 3 minutes in all is\n"
    "given up. DEST is replaced only when the download succeeds; a file larger than the free space\n"
    "of DEST's disk is refused before it starts.\n"
    "  --resume   continue an existing DEST over FTP (the download must be the same file); the result\n"
    "             counts only when its size matches the size the server gives. Only for ftp:// URLs\n"
    "             (another is a wrong command line); without a DEST it is an ordinary download\n"
    "  --patches  fetch \"patches.txt\" from the first SERVER_URL that serves a usable list; print\n"
    "             \"server URL\" naming that server, then its entries, one a line: source build,\n"
    "             target build, data URL, executable URL\n"
    "Progress and errors go to standard error; a failed download ends with one line naming its last\n"
    "cause. Non-ASCII characters of a URL are sent\n"
    "percent-encoded as UTF-8.\n"
    "Exit status: 0 done, 1 failed, 2 bad command line (an empty URL, DEST or SERVER_URL among them).\n";

// What is wrong with the command line, "" when nothing; which form it takes otherwise.
std::string WrongArguments(const std::vector<std::string>& given, bool& patches, bool& resume)
{
    patches = !given.empty() && given[0] == "--patches";
    resume = !given.empty() && given[0] == "--resume";
    if (patches)
        return tools::WrongValues({given.begin() + 1, given.end()}, {"SERVER_URL..."});
    return tools::WrongValues({given.begin() + (resume ? 1 : 0), given.end()}, {"URL", "DEST"});
}

// The 8-bit text the download road speaks cannot carry other characters: they go percent-encoded
// as UTF-8, as a browser sends them.
std::string EncodedUrl(const std::string& url)
{
    std::string out;
    for (unsigned char c : url)
    {
        if (c < 0x80 && c > 0x20 && c != 0x7F)
        {
            out += static_cast<char>(c);
            continue;
        }
        char code[4];
        std::snprintf(code, sizeof(code), "%%%02X", c);
        out += code;
    }
    return out;
}

// The scheme the download road takes for url ("ftp", "http", "https"), inferred as it infers it.
std::string SchemeOf(const std::string& url)
{
    std::string scheme, host, user, password, path;
    int port = 0;
    ParseURL(url, scheme, host, port, user, password, path);
    GetSchemeForPort(scheme, host, port);
    return scheme;
}

// The progress line, once there is something to show; true when it has been shown.
bool ShowProgress(FILE* out, ToolTask& task, bool shown, bool final)
{
    const PatchProgress progress = task.GetProgress();
    if (!shown && progress.done == 0)
        return false;
    if (progress.total > 0)
        std::fprintf(out, "\r%llu / %llu bytes (%u%%)", static_cast<unsigned long long>(progress.done),
                     static_cast<unsigned long long>(progress.total), progress.percent);
    else
        std::fprintf(out, "\r%llu bytes", static_cast<unsigned long long>(progress.done));
    if (final)
        std::fprintf(out, "\n");
    std::fflush(out);
    return true;
}

int Fetch(const std::string& url, const std::string& destination, bool resume)
{
    ToolTask task;
    task.quiet = true;
    HeldDiagnostics diagnostics;
    FILE* terminal = diagnostics.Terminal();
    const std::wstring wideUrl = ToWide(url);
    InterruptCallback cancel;
    const bool sizeKnown = task.QueryRemoteSize(wideUrl, &cancel);
    // Without --resume the download starts empty, beside DEST: an existing DEST stays as it is
    // until a whole download replaces it. --resume without a DEST has nothing to continue: it is
    // such a download, and a failure leaves no DEST where there was none.
    struct stat existing{};
    resume = resume && ::stat(destination.c_str(), &existing) == 0;
    tools::ReplacementFile replacement(destination);
    const std::string target = resume ? destination : replacement.Path();
    if (!resume)
        ::unlink(target.c_str());
    std::atomic<bool> running{true};
    bool shown = false;
    OS::GuardedThread progress;
    std::string progressError;
    const bool progressShown = progress.Start([&] {
        while (running)
        {
            shown = ShowProgress(terminal, task, shown, false);
            for (int i = 0; i < 5 && running; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }, &progressError);
    // The download does not need it: it goes on, and the final count still shows.
    if (!progressShown)
        std::fprintf(terminal, "fetch-tool: progress is not shown while downloading: %s\n", progressError.c_str());
    const bool ok = !tools::StopRequested() && task.Download(wideUrl, FromNativePath(target), &cancel);
    running = false;
    progress.Join();
    ShowProgress(terminal, task, shown, true);
    if (!ok)
    {
        // The task's own reason when it gives more than "Unable to download patch file: <url>" (a
        // package too large for its disk, a full disk), else the network's last line.
        const std::wstring generic = std::wstring(PatchMessages::kCannotDownloadPatchFile) + wideUrl;
        const bool taskSaysWhy = task.lastError.size() > generic.size() && task.lastError.rfind(generic, 0) == 0;
        // The refusal for want of room names the disk of the file being written: the user's DEST.
        const std::string cause = replacement.Shown(
            taskSaysWhy ? ToNativePath(task.lastError.substr(generic.size() + 2)) : diagnostics.LastLine());
        const std::string stopped = tools::StopRequested() ? " (stopped by " + SignalName(tools::StopSignal()) + ")" : "";
        std::fprintf(terminal, "fetch-tool: %s: download failed%s%s\n", url.c_str(), stopped.c_str(),
                     cause.empty() ? "" : (" (" + cause + ")").c_str());
        return 1;
    }
    if (!sizeKnown)
        std::fprintf(terminal, "fetch-tool: the server did not give the size of %s\n", url.c_str());
    if (resume)
    {
        const PatchProgress done = task.GetProgress();
        if (!sizeKnown || done.done != done.total)
        {
            std::fprintf(terminal, "fetch-tool: %s was continued, but its size cannot be checked against the "
                                   "server's: it may not be the remote file\n", destination.c_str());
            return 1;
        }
        return 0;
    }
    if (const int error = replacement.Commit())
    {
        std::fprintf(terminal, "fetch-tool: %s: cannot be stored: %s\n", destination.c_str(), std::strerror(error));
        return 1;
    }
    return 0;
}

int ListPatches(const std::vector<std::string>& servers)
{
    ToolTask task;
    std::vector<std::wstring> wide;
    for (const std::string& server : servers)
        wide.push_back(ToWide(EncodedUrl(server)));
    InterruptCallback cancel;
    if (!task.FetchPatchList(wide, &cancel))
        return 1;
    std::printf("server %s\n", ToNarrow(task.GetServerUrl()).c_str());
    for (const auto& [source, entry] : task.GetPatches())
        std::printf("%s %s %s %s\n", source.c_str(), entry.targetVersion.c_str(), ToNarrow(entry.dataUrl).c_str(),
                    ToNarrow(entry.exeUrl).c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    tools::LibraryLinesToStandardError();
    if (tools::AsksForHelp(argc, argv))
        return tools::PrintHelp(kHelp);
    // Ctrl-C and a polite kill both cancel: the download stops within a moment and the partial file goes.
    if (!tools::CatchStopSignals("fetch-tool"))
        return 1;
    bool patches = false, resume = false;
    if (const std::string wrong = WrongArguments(tools::ArgumentsFrom(argc, argv), patches, resume); !wrong.empty())
        return tools::WrongCommandLine("fetch-tool", wrong, kHelp);
    if (patches)
        return tools::FinishOutput("fetch-tool", ListPatches(std::vector<std::string>(argv + 2, argv + argc)));
    const int first = resume ? 2 : 1;
    // Only the FTP road continues a file; the HTTP road would start the file over behind what DEST
    // holds.
    if (resume && SchemeOf(argv[first]) != "ftp")
        return tools::WrongCommandLine("fetch-tool",
                                       std::string("--resume continues FTP downloads only, and \"") + argv[first] +
                                           "\" is not one",
                                       kHelp);
    return Fetch(EncodedUrl(argv[first]), argv[first + 1], resume);
}
