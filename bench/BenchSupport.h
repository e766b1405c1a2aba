#pragma once
// Pieces every side-by-side benchmark needs: a stopwatch, running the outside tool, and test files
// of pseudo-random bytes (incompressible, with no long runs, like executables and archives).
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

extern char** environ;

namespace bench
{

inline double SecondsSince(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Runs argv[0] (looked up in PATH) and waits; true when it exited with status 0.
inline bool RunCommand(const std::vector<std::string>& argv)
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

// Appends size bytes (a whole number of MiB is fastest) of xorshift output to fd.
inline bool WritePseudoRandomBytes(int fd, uint64_t size, uint64_t seed = 0x9E3779B97F4A7C15ull)
{
    const size_t blockSize = 1 << 20;
    std::unique_ptr<uint64_t[]> block(new uint64_t[blockSize / 8]);
    uint64_t x = seed;
    for (uint64_t written = 0; written < size;)
    {
        for (size_t i = 0; i < blockSize / 8; ++i)
        {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            block[i] = x;
        }
        const size_t n = size - written < blockSize ? size_t(size - written) : blockSize;
        if (::write(fd, block.get(), n) != ssize_t(n))
            return false;
        written += n;
    }
    return true;
}

// Creates (or truncates) path and fills it with size pseudo-random bytes.
inline bool WritePseudoRandomFile(const std::string& path, uint64_t size)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool ok = WritePseudoRandomBytes(fd, size);
    return ::close(fd) == 0 && ok;
}

// Sends this process's standard output to /dev/null while it lives (for code that prints a line
// per file or segment while it is timed).
class QuietStdout
{
public:
    QuietStdout() : m_saved(::dup(STDOUT_FILENO))
    {
        std::fflush(stdout);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    ~QuietStdout()
    {
        std::fflush(stdout);
        ::dup2(m_saved, STDOUT_FILENO);
        ::close(m_saved);
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

private:
    int m_saved;
};

// The rounds of one side: their median, which is the figure reported, and the lowest and
// highest round, printed so that a reader sees how noisy the machine was.
struct Spread
{
    double median = 0, low = 0, high = 0;
};

inline Spread SpreadOf(std::vector<double> values)
{
    Spread spread;
    if (values.empty())
        return spread;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    spread.median = values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
    spread.low = values.front();
    spread.high = values.back();
    return spread;
}

constexpr int kMinimumRounds = 5;

struct SideBySide
{
    Spread ours, anchor;
};

// Runs `rounds` rounds of both sides (at least kMinimumRounds). Even rounds run ours first, odd
// rounds the anchor first, so neither side always meets the warmer caches or the quieter
// machine. Each call returns its side's figure in `unit` (a time or a rate); a negative figure
// means the run failed, which ends the benchmark (the side has said why). Prints every round
// and both spreads; the medians are the figures to report.
template <class Ours, class Anchor>
SideBySide Alternate(const char* label, const char* anchorName, const char* unit, int rounds, Ours ours, Anchor anchor)
{
    rounds = std::max(rounds, kMinimumRounds);
    std::vector<double> oursFigures, anchorFigures;
    for (int round = 0; round < rounds; ++round)
    {
        const bool oursFirst = round % 2 == 0;
        double o = 0, a = 0;
        if (oursFirst)
        {
            o = ours();
            a = o < 0 ? 0 : anchor();
        }
        else
        {
            a = anchor();
            o = a < 0 ? 0 : ours();
        }
        if (o < 0 || a < 0 || std::isnan(o) || std::isnan(a))
        {
            std::fprintf(stderr, "%s: round %d failed\n", label, round + 1);
            std::exit(1);
        }
        std::printf("%s round %d (%s first): ours %.4g %s, %s %.4g %s\n", label, round + 1,
                    oursFirst ? "ours" : anchorName, o, unit, anchorName, a, unit);
        std::fflush(stdout);
        oursFigures.push_back(o);
        anchorFigures.push_back(a);
    }
    SideBySide result{SpreadOf(oursFigures), SpreadOf(anchorFigures)};
    std::printf("%s spread over %d rounds: ours median %.4g %s (%.4g to %.4g), %s median %.4g %s (%.4g to %.4g)\n",
                label, rounds, result.ours.median, unit, result.ours.low, result.ours.high, anchorName,
                result.anchor.median, unit, result.anchor.low, result.anchor.high);
    std::fflush(stdout);
    return result;
}

}  // namespace bench
