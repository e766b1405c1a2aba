// fetch-tool URL DEST: downloads URL (http, https or ftp) into the file DEST through the patcher's
//   download road (size query, retries, resume over FTP), showing a progress line on standard error.
//   An existing DEST is continued over FTP and replaced over HTTP. Ctrl-C cancels.
// fetch-tool --patches SERVER_URL...: fetches "patches.txt" from the first server that serves a
//   usable list and prints its entries, one line each: source build, target build, data URL and
//   executable URL, separated by spaces.
// The client's own diagnostic lines go to standard output. Exit status 0 on success, 1 on failure,
// 2 for a bad command line.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "lumo/text/TextConversion.h"
#include "lumo/net/DownloadURLCallback.h"
#include "patch/PatchTask.h"
#include "platform/NativePath.h"

namespace
{

std::atomic<bool> g_interrupted{false};

void OnInterrupt(int)
{
    g_interrupted = true;
}

class InterruptCallback : public DownloadURLCallback
{
public:
    bool IsCancelled() override { return g_interrupted; }
};

// The task's messages go to standard error.
class ToolTask : public KestinPatchTask
{
public:
    void Log(int level, const std::string& text) override { Log(level, ToWide(text)); }
    void Log(int level, const std::wstring& text) override
    {
        std::fprintf(stderr, "fetch-tool: [%d] %s\n", level, ToNativePath(text).c_str());
    }
};

int Usage()
{
    std::fprintf(stderr, "usage: fetch-tool URL DEST\n       fetch-tool --patches SERVER_URL...\n");
    return 2;
}

void ShowProgress(ToolTask& task, bool final)
{
    const PatchProgress progress = task.GetProgress();
    if (progress.total > 0)
        std::fprintf(stderr, "\r%llu / %llu bytes (%u%%)", static_cast<unsigned long long>(progress.done),
                     static_cast<unsigned long long>(progress.total), progress.percent);
    else
        std::fprintf(stderr, "\r%llu bytes", static_cast<unsigned long long>(progress.done));
    if (final)
        std::fprintf(stderr, "\n");
    std::fflush(stderr);
}

int Fetch(const std::string& url, const std::string& destination)
{
    ToolTask task;
    const std::wstring wideUrl = ToWide(url);
    if (!task.QueryRemoteSize(wideUrl))
        std::fprintf(stderr, "fetch-tool: the size of %s is not known\n", url.c_str());
    std::atomic<bool> running{true};
    std::thread progress([&] {
        while (running)
        {
            ShowProgress(task, false);
            for (int i = 0; i < 5 && running; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    InterruptCallback cancel;
    const bool ok = task.Download(wideUrl, FromNativePath(destination), &cancel);
    running = false;
    progress.join();
    ShowProgress(task, true);
    if (!ok)
    {
        std::fprintf(stderr, "fetch-tool: %s: download failed%s\n", url.c_str(), g_interrupted ? " (cancelled)" : "");
        return 1;
    }
    return 0;
}

int ListPatches(const std::vector<std::string>& servers)
{
    ToolTask task;
    std::vector<std::wstring> wide;
    for (const std::string& server : servers)
        wide.push_back(ToWide(server));
    if (!task.FetchPatchList(wide))
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
    std::signal(SIGINT, &OnInterrupt);
    if (argc >= 3 && std::strcmp(argv[1], "--patches") == 0)
        return ListPatches(std::vector<std::string>(argv + 2, argv + argc));
    if (argc != 3 || argv[1][0] == '-')
        return Usage();
    return Fetch(argv[1], argv[2]);
}
