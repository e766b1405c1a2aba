// bench-file_copy: copying a 1 GiB file through two file streams (block copy, committed on close)
// against dd with 128 KiB blocks and a final fsync, on the same file from the page cache. Each side
// runs several times, alternating; the best run of each counts, and both copies must equal the
// source. Last line: file_copy: ours <MB/s>, dd <MB/s>, ratio <ours/dd>.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "bench/BenchSupport.h"
#include "lumo/buffers/LumoDataBufferFile.h"
#include "lumo/buffers/LumoDataBufferUtil.h"
#include "platform/TempFolder.h"

namespace
{
constexpr uint64_t kFileSize = uint64_t(1) << 30;
constexpr int kRounds = 3;

std::wstring Wide(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

bool CopyOurs(const std::string& from, const std::string& to)
{
    LumoDataBufferFile source(Wide(from), LumoDataBufferFile::MODE_READ);
    LumoDataBufferFile destination(Wide(to), LumoDataBufferFile::MODE_WRITE);
    if (!source.IsOpen() || !destination.IsOpen())
        return false;
    const LUMORESULT copied = LumoUtil::CopyRemainingData(destination, source);
    return destination.Close() == LUMORESULT_OK && copied == LUMORESULT_OK;
}

bool Run(const std::string& command)
{
    const int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool CopyDd(const std::string& from, const std::string& to)
{
    return Run("dd if='" + from + "' of='" + to + "' bs=128K conv=fsync status=none");
}

bool SameBytes(const std::string& a, const std::string& b)
{
    return Run("cmp -s '" + a + "' '" + b + "'");
}
} // namespace

int main()
{
    const std::string& folder = platform::PrivateTempFolder();
    if (folder.empty())
    {
        std::fprintf(stderr, "bench-file_copy: no temporary folder\n");
        return 1;
    }
    const std::string source = folder + "/copy-source.bin";
    const std::string oursPath = folder + "/copy-ours.bin";
    const std::string ddPath = folder + "/copy-dd.bin";
    if (!bench::WritePseudoRandomFile(source, kFileSize))
    {
        std::fprintf(stderr, "bench-file_copy: cannot write %s\n", source.c_str());
        return 1;
    }

    const double megabytes = double(kFileSize) / 1e6;
    double bestOurs = 1e30, bestAnchor = 1e30;
    bool ok = true;
    for (int round = 1; ok && round <= kRounds; ++round)
    {
        auto start = std::chrono::steady_clock::now();
        ok = CopyOurs(source, oursPath);
        const double oursSeconds = bench::SecondsSince(start);

        start = std::chrono::steady_clock::now();
        ok = CopyDd(source, ddPath) && ok;
        const double anchorSeconds = bench::SecondsSince(start);

        if (!ok || !SameBytes(source, oursPath) || !SameBytes(source, ddPath))
        {
            std::fprintf(stderr, "bench-file_copy: a copy failed or differs from the source\n");
            ok = false;
            break;
        }
        std::printf("round %d: ours %.3f s, dd %.3f s\n", round, oursSeconds, anchorSeconds);
        bestOurs = std::min(bestOurs, oursSeconds);
        bestAnchor = std::min(bestAnchor, anchorSeconds);
        ::unlink(oursPath.c_str());
        ::unlink(ddPath.c_str());
    }
    ::unlink(source.c_str());
    ::unlink(oursPath.c_str());
    ::unlink(ddPath.c_str());
    if (!ok)
        return 1;

    const double ours = megabytes / bestOurs;
    const double anchor = megabytes / bestAnchor;
    std::printf("file_copy: ours %.0f MB/s, dd %.0f MB/s, ratio %.2f\n", ours, anchor, ours / anchor);
    return 0;
}
