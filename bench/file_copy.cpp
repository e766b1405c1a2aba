// bench-file_copy: copying a 1 GiB file through two file streams (block copy, committed on close)
// against dd with 128 KiB blocks and a final fsync, on the same file from the page cache. Each side
// runs in rounds that alternate which side goes first; the median of each counts, and both copies
// must equal the source. Last line: file_copy: ours <MB/s>, dd <MB/s>, ratio <ours/dd>.
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
constexpr int kRounds = 5;

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
    auto timed = [&](const std::string& target, bool (*copy)(const std::string&, const std::string&)) {
        const auto start = std::chrono::steady_clock::now();
        const bool copied = copy(source, target);
        const double seconds = bench::SecondsSince(start);
        const bool same = copied && SameBytes(source, target);
        ::unlink(target.c_str());
        if (!same)
            std::fprintf(stderr, "bench-file_copy: a copy failed or differs from the source\n");
        return same ? megabytes / seconds : -1.0;
    };
    const auto result = bench::Alternate(
        "file_copy", "dd", "MB/s", kRounds, [&] { return timed(oursPath, CopyOurs); },
        [&] { return timed(ddPath, CopyDd); });
    ::unlink(source.c_str());
    std::printf("file_copy: ours %.0f MB/s, dd %.0f MB/s, ratio %.2f\n", result.ours.median, result.anchor.median,
                result.ours.median / result.anchor.median);
    return 0;
}
