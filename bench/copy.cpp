// Copying a 1 GiB file: the file helpers' committed copy against cp of the same file.
//
// Our copy puts the data on the disk before it reports success (a move across file systems
// deletes the original right after it), so the anchor that does the same work is cp followed by
// sync of the copy; plain cp, which leaves the data in the page cache, is shown as well. Each
// tool runs several rounds, alternating, with the disk synced and the copy removed between
// rounds; the best round of each counts.
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

#include "lumo/FileUtil.h"
#include "platform/NativePath.h"

extern char** environ;

namespace
{
double Seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

bool Run(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0)
        return false;
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool MakeSource(const std::string& path, size_t mib)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    std::vector<unsigned char> block(1 << 20);
    uint32_t state = 12345;
    for (size_t m = 0; m < mib; ++m)
    {
        for (auto& byte : block)
        {
            state = state * 1664525u + 1013904223u;
            byte = static_cast<unsigned char>(state >> 24);
        }
        if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size()))
        {
            close(fd);
            return false;
        }
    }
    return fsync(fd) == 0 && close(fd) == 0;
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
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
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
    if (!MakeSource(source, mib))
    {
        std::perror("source");
        return 1;
    }

    double ours = 1e30, cpSync = 1e30, cpPlain = 1e30;
    for (int round = 0; round < rounds; ++round)
    {
        const double a = Timed(target, [&] { return LumoUtil::CopyFileCommitted(FromNativePath(source), FromNativePath(target)); });
        const double b = Timed(target, [&] { return Run({"cp", source, target}) && Run({"sync", target}); });
        const double c = Timed(target, [&] { return Run({"cp", source, target}); });
        std::printf("round %d: ours %.3f s, cp+sync %.3f s, cp %.3f s\n", round + 1, a, b, c);
        ours = std::min(ours, a);
        cpSync = std::min(cpSync, b);
        cpPlain = std::min(cpPlain, c);
    }
    unlink(source.c_str());
    rmdir(folder.c_str());

    const double size = static_cast<double>(mib);
    std::printf("plain cp (data left in the page cache): %.0f MiB/s\n", size / cpPlain);
    std::printf("copy: ours %.0f MiB/s, cp+sync %.0f MiB/s, ratio %.2f\n", size / ours, size / cpSync, cpSync / ours);
    return 0;
}
