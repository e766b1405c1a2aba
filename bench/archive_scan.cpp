// bench-archive_scan: finding the patch archive in a 256 MiB executable that carries one at its
// very end (the worst case: every 4096-byte boundary before it is probed), against cat reading the
// same file into /dev/null, both from the page cache. Rounds alternate which side goes first; the
// median of each counts. Ours runs in this process, cat as a process of its own: a user's
// comparison, so cat's start-up is part of its figure. Last line: archive_scan: ours <MB/s>, cat <MB/s>, ratio <ours/cat>.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "bench/BenchSupport.h"
#include "patch/EmbeddedPatchArchive.h"
#include "platform/NativePath.h"
#include "platform/TempFolder.h"

extern char** environ;

namespace
{
constexpr uint64_t kPrefixSize = uint64_t(256) << 20;
constexpr int kRounds = 5;

void PutU32(std::string& out, uint64_t value)
{
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// Pseudo-random bytes (an executable has no long runs), then one archive of one empty package.
bool WriteExecutable(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = bench::WritePseudoRandomBytes(fd, kPrefixSize);
    uint8_t magic[kEmbeddedArchiveMagicSize];
    GetEmbeddedArchiveMagic(magic);
    const uint64_t directory = kPrefixSize + kEmbeddedArchiveHeaderSize;
    const uint64_t total = directory + kEmbeddedPatchEntrySize;
    std::string archive(reinterpret_cast<const char*>(magic), sizeof magic);
    PutU32(archive, total);
    PutU32(archive, 1);
    PutU32(archive, directory);
    PutU32(archive, directory >> 32);
    PutU32(archive, 0);
    std::string entry = std::string("1") + std::string(31, '\0') + "2" + std::string(31, '\0');
    for (uint64_t value : {directory, uint64_t(0)})
    {
        PutU32(entry, value);
        PutU32(entry, value >> 32);
    }
    archive += entry;
    ok = ok && ::write(fd, archive.data(), archive.size()) == ssize_t(archive.size());
    return ::close(fd) == 0 && ok;
}

bool RunCat(const std::string& path)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const char* argv[] = {"/bin/cat", path.c_str(), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    return spawned == 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
} // namespace

int main()
{
    const std::string& folder = platform::PrivateTempFolder();
    const std::string path = folder + "/patcher.exe";
    if (folder.empty() || !WriteExecutable(path))
    {
        std::fprintf(stderr, "bench-archive_scan: cannot write the test executable\n");
        return 1;
    }
    RunCat(path); // into the page cache
    const double mb = double(kPrefixSize) / 1e6;
    const auto result = bench::Alternate(
        "archive_scan", "cat", "MB/s", kRounds,
        [&] {
            const auto start = std::chrono::steady_clock::now();
            EmbeddedPatchArchive archive;
            const LUMORESULT found = archive.Open(FromNativePath(path));
            const double seconds = bench::SecondsSince(start);
            if (found != LUMORESULT_OK || archive.GetHeaderOffset() != kPrefixSize)
            {
                std::fprintf(stderr, "bench-archive_scan: the archive was not found (%u)\n", found);
                return -1.0;
            }
            return mb / seconds;
        },
        [&] {
            const auto start = std::chrono::steady_clock::now();
            if (!RunCat(path))
            {
                std::fprintf(stderr, "bench-archive_scan: cat failed\n");
                return -1.0;
            }
            return mb / bench::SecondsSince(start);
        });
    ::unlink(path.c_str());
    std::printf("archive_scan: ours %.0f MB/s, cat %.0f MB/s, ratio %.2f\n", result.ours.median, result.anchor.median,
                result.ours.median / result.anchor.median);
    return 0;
}
