// The kernel's small-block allocator (Alloc::New / Alloc::Delete) against the C library's
// malloc / free: pairs of one allocation and one free of 16 to 160 bytes, with 256 blocks live
// per thread and frees in random order, on 1 and 8 threads. Figure: ns per pair (per thread).
// Rounds alternate which side goes first; the median of each side counts.
// Last line: heap: ours <ns> ns, glibc malloc <ns> ns, ratio <theirs/ours> (one thread).

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "Kiln/Src/Kiln/KernelStandard/BlockAllocator.h"

namespace
{

using Clock = std::chrono::steady_clock;

constexpr size_t kLive = 256;
constexpr size_t kPattern = 4096;

struct Ours
{
    static void* New(size_t size) { return Kiln::Alloc::New(size); }
    static void Delete(void* p) { Kiln::Alloc::Delete(p); }
};

struct Glibc
{
    static void* New(size_t size) { return malloc(size); }
    static void Delete(void* p) { free(p); }
};

// One thread's run: returns ns per pair.
template <class Allocator>
double Run(long pairs, unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<size_t> sizes(kPattern), slots(kPattern);
    for (size_t i = 0; i < kPattern; ++i)
    {
        sizes[i] = 16 + random() % 145;
        slots[i] = random() % kLive;
    }
    void* live[kLive];
    for (size_t i = 0; i < kLive; ++i)
        live[i] = Allocator::New(sizes[i]);
    const auto start = Clock::now();
    for (long i = 0; i < pairs; ++i)
    {
        const size_t at = static_cast<size_t>(i) % kPattern;
        void*& slot = live[slots[at]];
        Allocator::Delete(slot);
        slot = Allocator::New(sizes[at]);
        *static_cast<volatile char*>(slot) = 1;  // touch it, as a caller would
    }
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / pairs;
    for (void* p : live)
        Allocator::Delete(p);
    return ns;
}

template <class Allocator>
double RunThreads(int threads, long pairs)
{
    std::vector<std::thread> workers;
    std::vector<double> results(static_cast<size_t>(threads));
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] { results[static_cast<size_t>(t)] = Run<Allocator>(pairs, 17u + static_cast<unsigned>(t)); });
    double sum = 0;
    for (int t = 0; t < threads; ++t)
    {
        workers[static_cast<size_t>(t)].join();
        sum += results[static_cast<size_t>(t)];
    }
    return sum / threads;
}

}  // namespace

int main()
{
    const long pairs = 20000000;
    RunThreads<Ours>(1, pairs / 4);  // warm up both heaps
    RunThreads<Glibc>(1, pairs / 4);
    const auto one = bench::Alternate(
        "1 thread", "glibc malloc", "ns", bench::kMinimumRounds, [&] { return RunThreads<Ours>(1, pairs); },
        [&] { return RunThreads<Glibc>(1, pairs); });
    const auto eight = bench::Alternate(
        "8 threads", "glibc malloc", "ns", bench::kMinimumRounds, [&] { return RunThreads<Ours>(8, pairs / 4); },
        [&] { return RunThreads<Glibc>(8, pairs / 4); });
    printf("8 threads: ours %.1f ns, glibc malloc %.1f ns per pair and thread, ratio %.2f\n", eight.ours.median,
           eight.anchor.median, eight.anchor.median / eight.ours.median);
    printf("heap: ours %.1f ns, glibc malloc %.1f ns, ratio %.2f\n", one.ours.median, one.anchor.median,
           one.anchor.median / one.ours.median);
    return 0;
}
