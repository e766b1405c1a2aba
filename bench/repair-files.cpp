// bench-repair-files: repair of many small files over loopback. 100,000 files of 1 KiB, 500 to a
// folder, 1 % of them with one byte changed: repair-tool against the repair-server double, and
// rsync -a --checksum from an rsync daemon doing the same repair. Two figures a round: the damaged
// run starting without a summary (both sides read every file), then the clean run straight after
// (ours with the summary it saved, rsync reading every file again, as --checksum does). Rounds
// alternate which side runs first; the median of 5 counts. Each side's result is compared with the
// reference. Usage: bench-repair-files [files, default 100000]. Last line:
//   repair-files: ours <s>, rsync <s>, ratio <rsync/ours>   (the damaged run)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "platform/TempFolder.h"
#include "tests/fixtures/LoopbackPort.h"

namespace
{
constexpr uint64_t kFileSize = 1024;
constexpr uint64_t kFilesPerFolder = 500;

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

std::string FileName(const std::string& root, uint64_t i)
{
    return root + "/d" + std::to_string(i / kFilesPerFolder) + "/f" + std::to_string(i) + ".bin";
}

// Changes one byte in every hundredth file (the same ones each round, a new value each time).
void Damage(const std::string& root, uint64_t files, int round)
{
    for (uint64_t i = 37; i < files; i += 100)
    {
        std::fstream file(FileName(root, i), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(std::streamoff(i % kFileSize));
        file.put(char(0x5A + round + 1));
    }
}

// Runs command quietly; its time in seconds, or -1 when it failed.
double Timed(const std::string& command)
{
    const auto start = std::chrono::steady_clock::now();
    if (!bench::RunCommand({"sh", "-c", command + " > /dev/null 2>&1"}))
    {
        std::fprintf(stderr, "bench-repair-files: failed: %s\n", command.c_str());
        return -1;
    }
    return bench::SecondsSince(start);
}
} // namespace

int main(int argc, char** argv)
{
    const uint64_t files = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
    const std::string& folder = platform::PrivateTempFolder();
    char self[4096] = {};
    if (folder.empty() || files < 100 || readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return std::fprintf(stderr, "bench-repair-files: no temporary folder, or fewer than 100 files\n"), 1;
    const std::string bin = std::string(self).substr(0, std::string(self).rfind('/'));
    if (!bench::RunCommand({"cmake", "--build", bin + "/..", "--target", "repair-server", "repair-tool"}))
        return std::fprintf(stderr, "bench-repair-files: cannot build repair-server and repair-tool\n"), 1;

    const std::string reference = folder + "/reference", ours = folder + "/ours", theirs = folder + "/theirs";
    for (uint64_t d = 0; d * kFilesPerFolder < files; ++d)
        bench::RunCommand({"mkdir", "-p", reference + "/d" + std::to_string(d)});
    for (uint64_t i = 0; i < files; ++i)
    {
        const int fd = ::open(FileName(reference, i).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || !bench::WritePseudoRandomBytes(fd, kFileSize, 0x9E3779B97F4A7C15ull + i) || ::close(fd) != 0)
            return std::fprintf(stderr, "bench-repair-files: cannot write the tree\n"), 1;
    }
    bench::RunCommand({"cp", "-a", reference, ours});
    bench::RunCommand({"cp", "-a", reference, theirs});

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

    const std::string repair = bin + "/repair-tool '" + ours + "' 127.0.0.1:" + std::to_string(serverPort);
    const std::string rsync =
        "rsync -a --checksum rsync://127.0.0.1:" + std::to_string(rsyncPort) + "/reference/ '" + theirs + "/'";
    std::printf("tree: %llu files of %llu bytes, %llu to a folder; %llu damaged\n", (unsigned long long)files,
                (unsigned long long)kFileSize, (unsigned long long)kFilesPerFolder,
                (unsigned long long)((files - 37 + 99) / 100));
    std::vector<double> oursClean, rsyncClean;
    int oursRound = 0, rsyncRound = 0;
    auto same = [&](const std::string& tree) {
        if (bench::RunCommand({"diff", "-r", "-q", "-x", "repair.cks", reference, tree}))
            return true;
        std::fprintf(stderr, "bench-repair-files: %s differs after the repair\n", tree.c_str());
        return false;
    };
    const bench::SideBySide damaged = bench::Alternate(
        "repair-files", "rsync", "s", bench::kMinimumRounds,
        [&] {
            Damage(ours, files, oursRound++);
            ::unlink((ours + "/repair.cks").c_str());
            const double seconds = Timed(repair);
            const double clean = seconds < 0 ? -1 : Timed(repair);
            oursClean.push_back(clean);
            return clean < 0 || !same(ours) ? -1 : seconds;
        },
        [&] {
            Damage(theirs, files, rsyncRound++);
            const double seconds = Timed(rsync);
            const double clean = seconds < 0 ? -1 : Timed(rsync);
            rsyncClean.push_back(clean);
            return clean < 0 || !same(theirs) ? -1 : seconds;
        });
    Stop(server);
    Stop(daemon);
    bench::RunCommand({"rm", "-rf", reference, ours, theirs});
    const bench::Spread oursAgain = bench::SpreadOf(oursClean), rsyncAgain = bench::SpreadOf(rsyncClean);
    std::printf("repair-files clean run (summary in place): ours %.2f s (%.2f to %.2f), rsync %.2f s (%.2f to %.2f), "
                "ratio %.2f\n",
                oursAgain.median, oursAgain.low, oursAgain.high, rsyncAgain.median, rsyncAgain.low, rsyncAgain.high,
                rsyncAgain.median / oursAgain.median);
    std::printf("repair-files: ours %.2f s, rsync %.2f s, ratio %.2f\n", damaged.ours.median, damaged.anchor.median,
                damaged.anchor.median / damaged.ours.median);
    return 0;
}
