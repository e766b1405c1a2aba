// Deleting a tree of 100,000 small files: the file helpers' recursive delete against rm -rf.
// The tree (100 folders of 1,000 files of 64 bytes) is built anew before every round, outside the
// timing, and the disk is synced first; rounds alternate which tool goes first and the median of each counts.
//
// Usage: bench-delete-tree [files] [rounds]

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
constexpr int FILES_PER_FOLDER = 1000;

bool BuildTree(const std::string& root, int files)
{
    if (mkdir(root.c_str(), 0755) != 0)
        return false;
    const char content[64] = "a small file of the kind an unpacked patch leaves behind\n";
    for (int i = 0; i < files; ++i)
    {
        const std::string folder = root + "/d" + std::to_string(i / FILES_PER_FOLDER);
        if (i % FILES_PER_FOLDER == 0 && mkdir(folder.c_str(), 0755) != 0)
            return false;
        const std::string path = folder + "/f" + std::to_string(i % FILES_PER_FOLDER) + ".dat";
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 || write(fd, content, sizeof content) != static_cast<ssize_t>(sizeof content) || close(fd) != 0)
            return false;
    }
    sync();
    return true;
}

template <typename Fn>
double Timed(const std::string& root, int files, Fn fn)
{
    if (!BuildTree(root, files))
    {
        std::perror("building the tree");
        std::exit(1);
    }
    const auto start = std::chrono::steady_clock::now();
    const bool ok = fn();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    struct stat info{};
    if (!ok || lstat(root.c_str(), &info) == 0)
    {
        std::fprintf(stderr, "delete failed\n");
        std::exit(1);
    }
    return seconds;
}
}

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // rounds show as they finish
    const int files = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : bench::kMinimumRounds;
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench-delete-XXXXXX";
    if (!mkdtemp(folder.data()))
    {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string root = folder + "/tree";

    const auto result = bench::Alternate(
        "delete-tree", "rm -rf", "s", rounds,
        [&] { return Timed(root, files, [&] { return LumoUtil::DeleteDirectory(FromNativePath(root)); }); },
        [&] { return Timed(root, files, [&] { return bench::RunCommand({"rm", "-rf", root}); }); });
    rmdir(folder.c_str());
    std::printf("delete-tree: ours %.0f files/s, rm -rf %.0f files/s, ratio %.2f\n", files / result.ours.median,
                files / result.anchor.median, result.anchor.median / result.ours.median);
    return 0;
}
