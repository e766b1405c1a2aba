// bench-repair: repair of a tree with 1 % of its 4 MiB segments damaged, over loopback: our repair
// client against the repair-server double, and rsync -c from an rsync daemon doing the same repair
// (both compare every byte of both sides: neither starts from a saved summary). Rounds alternate
// which side runs first; the median of 5 counts. Each side's result is compared with the reference.
// Usage: bench-repair [MiB of the tree, default 2048]. Last line:
//   repair: ours <s>, rsync <s>, ratio <rsync/ours>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "lumo/files/InstallFolder.h"
#include "lumo/net/RepairClient.h"
#include "platform/NativePath.h"
#include "platform/TempFolder.h"
#include "tests/fixtures/LoopbackPort.h"

namespace
{
constexpr int kRounds = 5;
constexpr uint64_t kFileSize = uint64_t(64) << 20;
constexpr uint64_t kSegment = uint64_t(4) << 20;

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Starts a program in the background with its output in a log; its pid.
pid_t StartQuietly(const std::string& command, const std::string& log)
{
    const pid_t pid = fork();
    if (pid == 0)
    {
        execl("/bin/sh", "sh", "-c", ("exec " + command + " > '" + log + "' 2>&1").c_str(), nullptr);
        _exit(127);
    }
    return pid;
}

void Stop(pid_t pid)
{
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

// Flips one byte in every hundredth segment of the files (the same ones each round).
void Damage(const std::string& root, uint64_t files)
{
    for (uint64_t segment = 7; segment < files * (kFileSize / kSegment); segment += 100)
    {
        const std::string path = root + "/file" + std::to_string(segment / (kFileSize / kSegment)) + ".bin";
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(std::streamoff((segment % (kFileSize / kSegment)) * kSegment + 1234));
        file.put('\x5A');
    }
}

double RepairOurs(const std::string& install, int port)
{
    ::unlink((install + "/repair.cks").c_str());
    // Taken as the repair tool takes it: the client works through the take's door.
    std::wstring root, error;
    std::unique_ptr<LumoUtil::InstallLock> lock;
    if (LumoUtil::ResolveInstallFolder(FromNativePath(install), root, error))
        lock = LumoUtil::InstallLock::Acquire(root, error);
    if (!lock)
    {
        std::fprintf(stderr, "bench-repair: %s\n", ToNativePath(error).c_str());
        std::exit(1);
    }
    const auto start = std::chrono::steady_clock::now();
    RepairClient client;
    client.SetRootFolder(lock->Door());
    client.SetSummaryFile(root + L"/repair.cks");
    client.SetServerAddress(SocketAddress{0x7F000001, uint16_t(port)});
    client.Start();
    while (client.IsRunning())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double seconds = bench::SecondsSince(start);
    if (!client.Succeeded())
    {
        std::fprintf(stderr, "bench-repair: our repair failed, error %u in state %d\n", client.GetError(), client.GetState());
        std::exit(1);
    }
    ::unlink((install + "/repair.cks").c_str());
    return seconds;
}
} // namespace

int main(int argc, char** argv)
{
    const uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2048;
    const std::string& folder = platform::PrivateTempFolder();
    char self[4096] = {};
    if (folder.empty() || megabytes < 64 || readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return std::fprintf(stderr, "bench-repair: no temporary folder, or a tree under 64 MiB\n"), 1;
    const std::string bin = std::string(self).substr(0, std::string(self).rfind('/'));
    if (!bench::RunCommand({"cmake", "--build", bin + "/..", "--target", "repair-server"}))
        return std::fprintf(stderr, "bench-repair: cannot build repair-server\n"), 1;

    const std::string reference = folder + "/reference", ours = folder + "/ours", theirs = folder + "/theirs";
    const uint64_t files = (megabytes << 20) / kFileSize;
    bench::RunCommand({"mkdir", "-p", reference});
    for (uint64_t i = 0; i < files; ++i)
        if (!bench::WritePseudoRandomFile(reference + "/file" + std::to_string(i) + ".bin", kFileSize))
            return std::fprintf(stderr, "bench-repair: cannot write the tree\n"), 1;
    bench::RunCommand({"cp", "-r", reference, ours});
    bench::RunCommand({"cp", "-r", reference, theirs});

    const int serverPort = fixtures::FreeLoopbackPort();
    const pid_t server = StartQuietly(bin + "/repair-server '" + reference + "' --port " + std::to_string(serverPort),
                                      folder + "/server.log");
    const int rsyncPort = fixtures::FreeLoopbackPort();
    std::ofstream(folder + "/rsyncd.conf") << "use chroot = false\nuid = " << getuid() << "\ngid = " << getgid()
                                           << "\n[reference]\npath = " << reference << "\nread only = true\n";
    const pid_t daemon = StartQuietly("rsync --daemon --no-detach --address=127.0.0.1 --port=" +
                                          std::to_string(rsyncPort) + " --config='" + folder + "/rsyncd.conf'",
                                      folder + "/rsyncd.log");
    while (!fixtures::LoopbackAccepts(serverPort) || !fixtures::LoopbackAccepts(rsyncPort))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));

    const std::string rsync = "rsync -rc --inplace rsync://127.0.0.1:" + std::to_string(rsyncPort) + "/reference/ '" +
                              theirs + "/'";
    std::printf("tree: %llu files, %llu MiB; %llu segments damaged\n", (unsigned long long)files,
                (unsigned long long)megabytes, (unsigned long long)((files * (kFileSize / kSegment) - 7 + 99) / 100));
    std::vector<double> oursTimes, rsyncTimes;
    for (int round = 0; round < kRounds; ++round)
        for (int side = 0; side < 2; ++side)
        {
            const bool oursNow = (side == 0) == (round % 2 == 0);
            const std::string& tree = oursNow ? ours : theirs;
            Damage(tree, files);
            double seconds = 0;
            if (oursNow)
            {
                bench::QuietStdout quiet;
                seconds = RepairOurs(ours, serverPort);
            }
            else
            {
                const auto start = std::chrono::steady_clock::now();
                if (!bench::RunCommand({"sh", "-c", rsync}))
                    return std::fprintf(stderr, "bench-repair: rsync failed\n"), 1;
                seconds = bench::SecondsSince(start);
            }
            if (!bench::RunCommand({"diff", "-r", "-q", reference, tree}))
                return std::fprintf(stderr, "bench-repair: %s differs after the repair\n", tree.c_str()), 1;
            (oursNow ? oursTimes : rsyncTimes).push_back(seconds);
        }
    Stop(server);
    Stop(daemon);
    bench::RunCommand({"rm", "-rf", reference, ours, theirs});
    std::printf("ours s: %.2f..%.2f, rsync s: %.2f..%.2f\n", *std::min_element(oursTimes.begin(), oursTimes.end()),
                *std::max_element(oursTimes.begin(), oursTimes.end()),
                *std::min_element(rsyncTimes.begin(), rsyncTimes.end()),
                *std::max_element(rsyncTimes.begin(), rsyncTimes.end()));
    std::printf("repair: ours %.2f s, rsync %.2f s, ratio %.2f\n", Median(oursTimes), Median(rsyncTimes),
                Median(rsyncTimes) / Median(oursTimes));
    return 0;
}
