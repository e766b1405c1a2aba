// child-output: how fast a child's output is read through the program's child-process code
// (8192-byte reads, as the product reads its tools' output), against the same bytes through a
// shell pipe into cat. Both sides start `cat` on one 100 MiB file that the page cache holds (without
// NUL bytes, which the reader leaves out). The anchor is one pipe of two cats started by a shell, ours
// one cat read by this process. Rounds alternate which side goes first; the median counts.

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "bench/BenchSupport.h"
#include "lumo/os/ChildProcess.h"
#include "platform/NativePath.h"

namespace
{

constexpr size_t kSize = 100u << 20;
constexpr int kRounds = 5;

double Seconds(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double OursMegabytesPerSecond(const std::string& file)
{
    const auto start = std::chrono::steady_clock::now();
    auto process = OS::Process::Start(L"/bin/cat", "\"" + file + "\"");
    if (!process)
    {
        fprintf(stderr, "bench-child-output: cannot start cat\n");
        exit(1);
    }
    std::string chunk;
    size_t total = 0;
    while (process->ReadOutput(chunk))
    {
        total += chunk.size();
        chunk.clear();
    }
    process->Wait(0xFFFFFFFF);
    const double seconds = Seconds(start);
    if (total != kSize || process->GetExitCode() != 0)
    {
        fprintf(stderr, "bench-child-output: read %zu bytes, exit code %d\n", total, process->GetExitCode());
        exit(1);
    }
    return kSize / 1048576.0 / seconds;
}

double PipeMegabytesPerSecond(const std::string& file)
{
    const std::string command = "cat '" + file + "' | cat > /dev/null";
    const auto start = std::chrono::steady_clock::now();
    if (system(command.c_str()) != 0)
    {
        fprintf(stderr, "bench-child-output: the pipe failed\n");
        exit(1);
    }
    return kSize / 1048576.0 / Seconds(start);
}

}  // namespace

int main()
{
    char folder[] = "/tmp/bench-child-output-XXXXXX";
    if (!mkdtemp(folder))
        return 1;
    const std::string file = std::string(folder) + "/data";
    if (system(("head -c " + std::to_string(kSize) + " /dev/urandom | tr '\\000' '\\001' > '" + file + "'").c_str()) != 0)
        return 1;

    OursMegabytesPerSecond(file);  // warm the page cache
    const auto result = bench::Alternate(
        "child-output", "cat-pipe", "MB/s", kRounds, [&] { return OursMegabytesPerSecond(file); },
        [&] { return PipeMegabytesPerSecond(file); });
    unlink(file.c_str());
    rmdir(folder);
    printf("child-output: ours %.0f MB/s, cat-pipe %.0f MB/s, ratio %.3f\n", result.ours.median, result.anchor.median,
           result.ours.median / result.anchor.median);
    return 0;
}
