// bench-crc: the summary scan of a tree (every segment read and checksummed, on all cores) against
// cksum over the same files (the same CRC register, one process, one core), both from the page
// cache. Rounds alternate which side runs first; the median of 5 counts, the spread is printed.
// Usage: bench-crc [MiB of the tree, default 4096]. Last line:
//   crc: ours <MB/s>, cksum <MB/s>, ratio <ours/cksum>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "lumo/net/FileTreeSummary.h"
#include "lumo/net/SegmentCrc.h"
#include "platform/NativePath.h"
#include "platform/TempFolder.h"

namespace
{
constexpr int kRounds = 5;
constexpr uint64_t kFileSize = uint64_t(64) << 20;

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Our scan, its per-segment lines silenced; the number of segments found.
size_t ScanQuietly(const std::string& root)
{
    bench::QuietStdout quiet;
    FileTreeSummary summary;
    summary.Scan(FromNativePath(root), {});
    return summary.Snapshot().size();
}
} // namespace

int main(int argc, char** argv)
{
    const uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 4096;
    const std::string& folder = platform::PrivateTempFolder();
    if (folder.empty() || megabytes < 64)
    {
        std::fprintf(stderr, "bench-crc: no temporary folder, or a tree under 64 MiB\n");
        return 1;
    }
    const std::string root = folder + "/tree";
    std::string files;
    const uint64_t count = (megabytes << 20) / kFileSize;
    bench::RunCommand({"mkdir", "-p", root});
    for (uint64_t i = 0; i < count; ++i)
    {
        const std::string path = root + "/file" + std::to_string(i) + ".bin";
        if (!bench::WritePseudoRandomFile(path, kFileSize))
        {
            std::fprintf(stderr, "bench-crc: cannot write %s\n", path.c_str());
            return 1;
        }
        files += " '" + path + "'";
    }
    const std::string cksum = "cksum" + files + " > /dev/null";
    const double total = double(count * kFileSize) / 1e6;
    std::printf("tree: %llu files, %.0f MB; carry-less multiply: %s\n", (unsigned long long)count, total,
                LumoUtil::HasCarrylessMultiply() ? "yes" : "no");
    bench::RunCommand({"sh", "-c", cksum}); // brings the tree into the page cache

    std::vector<double> ours, anchor;
    for (int round = 0; round < kRounds; ++round)
        for (int side = 0; side < 2; ++side)
        {
            const bool oursNow = (side == 0) == (round % 2 == 0);
            const auto start = std::chrono::steady_clock::now();
            if (oursNow && ScanQuietly(root) != count * (kFileSize >> 22))
                return std::fprintf(stderr, "bench-crc: the scan missed segments\n"), 1;
            if (!oursNow && !bench::RunCommand({"sh", "-c", cksum}))
                return std::fprintf(stderr, "bench-crc: cksum failed\n"), 1;
            (oursNow ? ours : anchor).push_back(total / bench::SecondsSince(start));
        }
    bench::RunCommand({"rm", "-rf", root});
    std::printf("ours MB/s: %.0f..%.0f, cksum MB/s: %.0f..%.0f\n", *std::min_element(ours.begin(), ours.end()),
                *std::max_element(ours.begin(), ours.end()), *std::min_element(anchor.begin(), anchor.end()),
                *std::max_element(anchor.begin(), anchor.end()));
    std::printf("crc: ours %.0f MB/s, cksum %.0f MB/s, ratio %.2f\n", Median(ours), Median(anchor),
                Median(ours) / Median(anchor));
    return 0;
}
