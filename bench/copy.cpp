// Copying a 1 GiB file: the file helpers' committed copy against cp of the same file.
//
// Our copy puts the data on the disk before it reports success (a move across file systems
// deletes the original right after it), so the anchor that does the same work is cp followed by
// sync of the copy; plain cp, which leaves the data in the page cache, is shown as well. Rounds
// alternate which side goes first, with the disk synced and the copy removed between rounds; the
// median of each counts.
//
// Usage: bench-copy [size in MiB] [rounds]

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "lumo/files/FileUtil.h"
#include "platform/NativePath.h"

namespace
{
double Seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// The source is on disk before timing starts, so neither side pays for writing it back.
bool MakeSource(const std::string& path, uint64_t size)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = bench::WritePseudoRandomBytes(fd, size);
    return fsync(fd) == 0 && close(fd) == 0 && ok;
}

template <typename Fn>
double Timed(const std::string& target, Fn fn)
{
    unlink(target.c_str());
    sync();
    const auto start = std::chrono::steady_clock::now();
    const bool ok = fn();
    const double seconds = Seconds(std::chrono::steady_clock::now() - start);
    if (!ok)
    {
        std::fprintf(stderr, "copy failed\n");
        std::exit(1);
    }
    unlink(target.c_str());
    sync();
    return seconds;
}
}

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // rounds show as they finish
    const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : bench::kMinimumRounds;
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench-copy-XXXXXX";
    if (!mkdtemp(folder.data()))
    {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string source = folder + "/source.bin";
    const std::string target = folder + "/target.bin";
    std::printf("writing a %zu MiB source file in %s\n", mib, folder.c_str());
    if (!MakeSource(source, uint64_t(mib) << 20))
    {
        std::perror("source");
        return 1;
    }

    const auto result = bench::Alternate(
        "copy", "cp+sync", "s", rounds,
        [&] { return Timed(target, [&] { return LumoUtil::CopyFileCommitted(FromNativePath(source), FromNativePath(target)); }); },
        [&] { return Timed(target, [&] { return bench::RunCommand({"cp", source, target}) && bench::RunCommand({"sync", target}); }); });
    std::vector<double> plain;
    for (int round = 0; round < rounds; ++round)
        plain.push_back(Timed(target, [&] { return bench::RunCommand({"cp", source, target}); }));
    const double cpPlain = bench::SpreadOf(plain).median;
    unlink(source.c_str());
    rmdir(folder.c_str());

    const double size = static_cast<double>(mib);
    std::printf("plain cp (data left in the page cache): %.0f MiB/s\n", size / cpPlain);
    std::printf("copy: ours %.0f MiB/s, cp+sync %.0f MiB/s, ratio %.2f\n", size / result.ours.median,
                size / result.anchor.median, result.anchor.median / result.ours.median);
    return 0;
}
