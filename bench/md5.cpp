// bench-md5: our whole-file MD5 against md5sum on the same 1 GiB file, read from the page cache.
// Rounds alternate which side goes first; the median of each counts. Both must agree on the
// digest. Last line: md5: ours <MB/s>, md5sum <MB/s>, ratio <ours/md5sum>.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>

#include "bench/BenchSupport.h"
#include "lumo/buffers/Md5.h"
#include "platform/TempFolder.h"

namespace
{
constexpr uint64_t kFileSize = uint64_t(1) << 30;
constexpr int kRounds = 5;

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

bool WriteTestFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const size_t blockSize = 1 << 20;
    std::unique_ptr<uint64_t[]> block(new uint64_t[blockSize / 8]);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    bool ok = true;
    for (uint64_t written = 0; ok && written < kFileSize; written += blockSize)
    {
        for (size_t i = 0; i < blockSize / 8; ++i)
        {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            block[i] = x;
        }
        ok = ::write(fd, block.get(), blockSize) == ssize_t(blockSize);
    }
    return ::close(fd) == 0 && ok;
}

// md5sum's digest of the file, or an empty text when it failed.
std::string RunMd5sum(const std::string& path)
{
    const std::string command = "md5sum '" + path + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return {};
    char line[4096] = {};
    const bool got = std::fgets(line, sizeof line, pipe) != nullptr;
    if (pclose(pipe) != 0 || !got || std::strlen(line) < 32)
        return {};
    return std::string(line, 32);
}
} // namespace

int main()
{
    const std::string& folder = platform::PrivateTempFolder();
    if (folder.empty())
    {
        std::fprintf(stderr, "bench-md5: no temporary folder\n");
        return 1;
    }
    const std::string path = folder + "/md5-bench.bin";
    if (!WriteTestFile(path))
    {
        std::fprintf(stderr, "bench-md5: cannot write %s\n", path.c_str());
        return 1;
    }
    // One untimed pass brings the whole file into the page cache.
    std::string reference = RunMd5sum(path);
    if (reference.empty())
    {
        std::fprintf(stderr, "bench-md5: md5sum failed\n");
        return 1;
    }

    const double megabytes = double(kFileSize) / 1e6;
    auto checked = [&](const std::string& digest, int error, std::chrono::steady_clock::time_point start) {
        const double seconds = Seconds(start);
        if (error != 0 || digest != reference)
        {
            std::fprintf(stderr, "bench-md5: digests differ: %s (error %d) against %s\n", digest.c_str(), error,
                         reference.c_str());
            return -1.0;
        }
        return megabytes / seconds;
    };
    const auto result = bench::Alternate(
        "md5", "md5sum", "MB/s", kRounds,
        [&] {
            const auto start = std::chrono::steady_clock::now();
            std::string ours;
            const int error = ComputeFileMD5Hex(path, ours);
            return checked(ours, error, start);
        },
        [&] {
            const auto start = std::chrono::steady_clock::now();
            return checked(RunMd5sum(path), 0, start);
        });
    ::unlink(path.c_str());
    std::printf("md5: ours %.0f MB/s, md5sum %.0f MB/s, ratio %.2f\n", result.ours.median, result.anchor.median,
                result.ours.median / result.anchor.median);
    return 0;
}
