// bench-container: the chunked zlib container against pigz on the same 256 MiB of mixed data
// (runs of text-like words and of random bytes), read from the page cache, both on every hardware
// thread this process may use (ours takes as many as it may; pigz is told the same number):
//   compress:   CompressData file to file  vs  pigz -6 -p N -c
//   decompress: DecompressData file to file  vs  pigz -d -p N -c
// then both again pinned to one core against gzip. Every run is a child process (ours is this
// program started again), so its peak memory is its own. Rounds alternate which side goes first;
// medians count. Every round trip must give back the input.
// Last line: the whole round trip, container: ours <MB/s>, pigz <MB/s>, ratio <ours/pigz>.
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "lumo/buffers/Compression.h"
#include "lumo/buffers/LumoDataBufferFile.h"
#include "lumo/buffers/Md5.h"
#include "platform/NativePath.h"
#include "platform/Processors.h"
#include "platform/TempFolder.h"

extern char** environ;

namespace
{
constexpr uint64_t kInputSize = uint64_t(256) << 20;

struct RunResult
{
    bool ok = false;
    double seconds = 0;
    double peakMiB = 0;
};

// Starts argv with standard output sent to outPath (when given) and waits for it.
RunResult Run(const std::vector<std::string>& args, const std::string& outPath)
{
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!outPath.empty())
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);

    RunResult result;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
    {
        std::fprintf(stderr, "bench-container: cannot start %s: %s\n", argv[0], std::strerror(spawned));
        return result;
    }
    int status = 0;
    struct rusage usage = {};
    if (wait4(pid, &status, 0, &usage) != pid)
        return result;
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.peakMiB = double(usage.ru_maxrss) / 1024.0; // ru_maxrss is in KiB
    result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!result.ok)
        std::fprintf(stderr, "bench-container: %s failed (status %d)\n", args[0].c_str(), status);
    return result;
}

// Mixed data: runs of words (compress about 4:1) and of random bytes (do not compress).
bool WriteInput(const std::string& path)
{
    static const char* const words[] = {"the ",      "signal ",   "points ", "route\n",  "carriage ", "timetable ",
                                        "platform ", "junction ", "freight ", "engine ", "12:45 ",    "departs ",
                                        "via ",      "north ",    "yard\n",   "coupling "};
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    uint64_t x = 0x9E3779B97F4A7C15ull;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    std::string block;
    bool ok = true;
    uint64_t written = 0;
    while (ok && written < kInputSize)
    {
        block.clear();
        while (block.size() < (1 << 20))
        {
            const uint64_t kind = next();
            const size_t run = 4096 + kind % 65536;
            if (kind % 3 == 0)
            {
                for (size_t i = 0; i < run; i += 8)
                {
                    const uint64_t r = next();
                    block.append(reinterpret_cast<const char*>(&r), 8);
                }
            }
            else
            {
                const size_t end = block.size() + run;
                while (block.size() < end)
                    block += words[next() % 16];
            }
        }
        const size_t length = size_t(std::min<uint64_t>(block.size(), kInputSize - written));
        ok = ::write(fd, block.data(), length) == ssize_t(length);
        written += length;
    }
    return ::close(fd) == 0 && ok;
}

// The child side: one container operation from file to file.
int RunOurs(const std::string& action, const std::string& in, const std::string& out)
{
    LumoDataBufferFile source(FromNativePath(in), LumoDataBufferFile::MODE_READ);
    LumoDataBufferFile destination(FromNativePath(out), LumoDataBufferFile::MODE_WRITE);
    if (!source.IsOpen() || !destination.IsOpen())
        return 1;
    const LUMORESULT result = action == "--compress" ? LumoUtil::CompressData(destination, source)
                                                     : LumoUtil::DecompressData(destination, source);
    // Closed by the destructor, without the commit to disk that Close adds: pigz and gzip do not
    // sync either, and the parent checks the output's digest.
    return result == LUMORESULT_OK ? 0 : 1;
}

uint64_t FileSize(const std::string& path)
{
    struct stat info = {};
    return ::stat(path.c_str(), &info) == 0 ? uint64_t(info.st_size) : 0;
}

std::string DigestOf(const std::string& path)
{
    std::string digest;
    return ComputeFileMD5Hex(path, digest) == 0 ? digest : "unreadable";
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4)
        return RunOurs(argv[1], argv[2], argv[3]);

    const std::string& folder = platform::PrivateTempFolder();
    if (folder.empty())
    {
        std::fprintf(stderr, "bench-container: no temporary folder\n");
        return 1;
    }
    const std::string input = folder + "/input.bin";
    const std::string ours = folder + "/input.lzc";
    const std::string oursBack = folder + "/ours.out";
    const std::string gz = folder + "/input.gz";
    const std::string gzBack = folder + "/gzip.out";
    if (!WriteInput(input))
    {
        std::fprintf(stderr, "bench-container: cannot write %s\n", input.c_str());
        return 1;
    }
    const std::string inputDigest = DigestOf(input); // also brings the input into the page cache
    char self[4096] = {};
    if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return 1;

    const unsigned threads = platform::UsableProcessorCount();
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    sched_getaffinity(0, sizeof allowed, &allowed);
    int firstCpu = 0;
    while (firstCpu < CPU_SETSIZE && !CPU_ISSET(firstCpu, &allowed))
        ++firstCpu;
    const std::string oneCore = std::to_string(firstCpu);
    const std::string pigzThreads = std::to_string(threads);

    // Every run is a child; a failed run or a wrong output ends the benchmark.
    double peak[4] = {};  // compress ours, pigz; decompress ours, pigz (highest of the rounds)
    auto run = [&](const std::vector<std::string>& args, const std::string& out, const std::string& check,
                   double* peakOf) {
        const RunResult r = Run(args, out);
        if (!r.ok || (!check.empty() && DigestOf(check) != inputDigest))
        {
            std::fprintf(stderr, "bench-container: %s failed or did not give back the input\n", args[0].c_str());
            return -1.0;
        }
        if (peakOf)
            *peakOf = std::max(*peakOf, r.peakMiB);
        return r.seconds;
    };
    const std::string pigz = "/usr/bin/pigz", gzip = "/usr/bin/gzip", taskset = "/usr/bin/taskset";
    std::printf("ours and pigz on %u hardware threads; single-core runs on cpu %s\n", threads, oneCore.c_str());
    const auto compress = bench::Alternate(
        "compress", "pigz -6", "s", bench::kMinimumRounds,
        [&] { return run({self, "--compress", input, ours}, "", "", &peak[0]); },
        [&] { return run({pigz, "-6", "-p", pigzThreads, "-c", input}, gz, "", &peak[1]); });
    const auto decompress = bench::Alternate(
        "decompress", "pigz -d", "s", bench::kMinimumRounds,
        [&] { return run({self, "--decompress", ours, oursBack}, "", oursBack, &peak[2]); },
        [&] { return run({pigz, "-d", "-p", pigzThreads, "-c", gz}, gzBack, gzBack, &peak[3]); });
    const uint64_t oursSize = FileSize(ours), gzSize = FileSize(gz);
    const auto compressOne = bench::Alternate(
        "compress on one core", "gzip -6", "s", bench::kMinimumRounds,
        [&] { return run({taskset, "-c", oneCore, self, "--compress", input, ours}, "", "", nullptr); },
        [&] { return run({taskset, "-c", oneCore, gzip, "-6", "-c", input}, gz, "", nullptr); });
    const auto decompressOne = bench::Alternate(
        "decompress on one core", "gzip -d", "s", bench::kMinimumRounds,
        [&] { return run({taskset, "-c", oneCore, self, "--decompress", ours, oursBack}, "", oursBack, nullptr); },
        [&] { return run({taskset, "-c", oneCore, gzip, "-d", "-c", gz}, gzBack, gzBack, nullptr); });
    for (const std::string& path : {input, ours, oursBack, gz, gzBack})
        ::unlink(path.c_str());

    const double mb = double(kInputSize) / 1e6;
    const double chunkMiB = double(LumoUtil::kContainerChunkSize) / (1 << 20);
    std::printf("size: ours %.1f MB, pigz %.1f MB of %.1f MB\n", oursSize / 1e6, gzSize / 1e6, mb);
    std::printf("peak memory: compress ours %.0f MiB, pigz %.0f MiB; decompress ours %.0f MiB, pigz %.0f MiB; "
                "limit two chunks = %.0f MiB\n",
                peak[0], peak[1], peak[2], peak[3], 2 * chunkMiB);
    std::printf("container compress: ours %.1f MB/s, pigz -6 %.1f MB/s, ratio %.2f\n", mb / compress.ours.median,
                mb / compress.anchor.median, compress.anchor.median / compress.ours.median);
    std::printf("container decompress: ours %.1f MB/s, pigz -d %.1f MB/s, ratio %.2f\n", mb / decompress.ours.median,
                mb / decompress.anchor.median, decompress.anchor.median / decompress.ours.median);
    const double oneOurs = compressOne.ours.median + decompressOne.ours.median;
    const double oneGzip = compressOne.anchor.median + decompressOne.anchor.median;
    std::printf("container on one core: ours %.1f MB/s, gzip %.1f MB/s, ratio %.2f\n", mb / oneOurs, mb / oneGzip,
                oneGzip / oneOurs);
    const double oursTotal = compress.ours.median + decompress.ours.median;
    const double pigzTotal = compress.anchor.median + decompress.anchor.median;
    std::printf("container: ours %.1f MB/s, pigz %.1f MB/s, ratio %.2f\n", mb / oursTotal, mb / pigzTotal,
                pigzTotal / oursTotal);
    return 0;
}
