// bench-alloc: small-block new/delete throughput of the tracking allocator against the C
// library's heap, in one process. Both sides run the same workload through a non-inlined
// operator-new-like call: rounds of 64 blocks of 16..64 bytes allocated, then freed. Ours is a
// DebugAllocator with the real stack capture, symbol look-up and output (this binary keeps the
// plain global operators, so the anchor is glibc's malloc behind libstdc++'s operator new).
// Three workloads: one call chain, as loops do (the capture finds its thread's last walk still
// valid); the call chain changing at every allocation (the headline, the common case in a
// program); and 8 threads. Rounds alternate which side goes first; the median counts.
// Last line: alloc: ours <Mpairs/s>, glibc <Mpairs/s>, ratio <ours/glibc>, chains changing.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <new>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "lumo/diagnostics/DebugAllocator.h"
#include "lumo/diagnostics/DebugAllocatorHooks.h"

namespace
{

constexpr int kBatch = 64;

DebugAllocator g_tracked(kSystemDebugAllocatorHooks);

__attribute__((noinline)) void* TrackedNew(size_t size)
{
    void* block = g_tracked.Alloc(size, reinterpret_cast<uint64_t>(__builtin_return_address(0)));
    if (!block)
        throw std::bad_alloc();
    return block;
}

__attribute__((noinline)) void TrackedDelete(void* block)
{
    g_tracked.Free(block, reinterpret_cast<uint64_t>(__builtin_return_address(0)));
}

__attribute__((noinline)) void* PlainNew(size_t size)
{
    return ::operator new(size);
}

__attribute__((noinline)) void PlainDelete(void* block)
{
    ::operator delete(block);
}

// A few call levels, as real allocation sites have, so the capture walks a realistic depth.
template <void* (*New)(size_t), void (*Delete)(void*)>
__attribute__((noinline)) void Batch(void** blocks, int round)
{
    for (int i = 0; i < kBatch; ++i)
        blocks[i] = New(16 + static_cast<size_t>((i + round) % 4) * 16);
    for (int i = 0; i < kBatch; ++i)
        Delete(blocks[i]);
}

// Two call sites taking turns: every capture meets a call chain other than its thread's last
// one, so the unwinder walks the whole stack each time.
__attribute__((noinline)) void* TrackedNewFromA(size_t size)
{
    void* block = TrackedNew(size);
    asm volatile("" ::: "memory");
    return block;
}

__attribute__((noinline)) void* TrackedNewFromB(size_t size)
{
    void* block = TrackedNew(size + 1);
    asm volatile("" ::: "memory");
    return block;
}

__attribute__((noinline)) void* AlternatingTrackedNew(size_t size)
{
    static thread_local bool turn = false;
    turn = !turn;
    return turn ? TrackedNewFromA(size) : TrackedNewFromB(size);
}

template <void* (*New)(size_t), void (*Delete)(void*)>
__attribute__((noinline)) double PairsPerSecond(double seconds)
{
    void* blocks[kBatch];
    uint64_t pairs = 0;
    const auto start = std::chrono::steady_clock::now();
    double elapsed = 0;
    for (int round = 0; elapsed < seconds; ++round)
    {
        for (int i = 0; i < 16; ++i)
            Batch<New, Delete>(blocks, round + i);
        pairs += 16 * kBatch;
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    return static_cast<double>(pairs) / elapsed;
}

template <void* (*New)(size_t), void (*Delete)(void*)>
double ThreadedPairsPerSecond(int threads, double seconds)
{
    std::vector<double> rates(static_cast<size_t>(threads));
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&rates, t, seconds] { rates[static_cast<size_t>(t)] = PairsPerSecond<New, Delete>(seconds); });
    for (std::thread& worker : workers)
        worker.join();
    double total = 0;
    for (double rate : rates)
        total += rate;
    return total;
}

// The stack capture alone, at the depth Alloc captures from, on top of malloc/free.
__attribute__((noinline)) void* CaptureOnlyNew(size_t size)
{
    uint64_t frames[kAllocationFrames + 8];
    CaptureAllocationStack(frames, kAllocationFrames + 8);
    return ::operator new(size);
}

}  // namespace

int main()
{
    g_tracked.Start();
    g_tracked.MarkMainStarted();
    PairsPerSecond<TrackedNew, TrackedDelete>(0.2);  // warm up the unwinder and the heap
    PairsPerSecond<PlainNew, PlainDelete>(0.2);

    const auto loop = bench::Alternate(
        "one call chain", "glibc", "Mpairs/s", bench::kMinimumRounds,
        [] { return PairsPerSecond<TrackedNew, TrackedDelete>(0.4) / 1e6; },
        [] { return PairsPerSecond<PlainNew, PlainDelete>(0.4) / 1e6; });
    const auto changing = bench::Alternate(
        "changing call chains", "glibc", "Mpairs/s", bench::kMinimumRounds,
        [] { return PairsPerSecond<AlternatingTrackedNew, TrackedDelete>(0.4) / 1e6; },
        [] { return PairsPerSecond<PlainNew, PlainDelete>(0.4) / 1e6; });
    const auto threaded = bench::Alternate(
        "8 threads", "glibc", "Mpairs/s", bench::kMinimumRounds,
        [] { return ThreadedPairsPerSecond<TrackedNew, TrackedDelete>(8, 0.4) / 1e6; },
        [] { return ThreadedPairsPerSecond<PlainNew, PlainDelete>(8, 0.4) / 1e6; });
    const double captureOnly = PairsPerSecond<CaptureOnlyNew, PlainDelete>(0.4) / 1e6;
    const double trackedNs = 1e3 / loop.ours.median;
    const double glibcNs = 1e3 / loop.anchor.median;
    const double captureNs = 1e3 / captureOnly - glibcNs;
    std::printf("per new/delete pair: tracked %.0f ns, glibc %.0f ns; of the %.0f ns added, the stack capture takes "
                "%.0f ns, the tables and locks the rest\n",
                trackedNs, glibcNs, trackedNs - glibcNs, captureNs);
    std::printf("one call chain: ours %.2f Mpairs/s, glibc %.2f Mpairs/s, ratio %.3f\n", loop.ours.median,
                loop.anchor.median, loop.ours.median / loop.anchor.median);
    std::printf("8 threads: ours %.2f Mpairs/s, glibc %.2f Mpairs/s, ratio %.3f\n", threaded.ours.median,
                threaded.anchor.median, threaded.ours.median / threaded.anchor.median);
    if (g_tracked.BlockCount() != 0)
    {
        std::fprintf(stderr, "bench-alloc: %zu blocks still recorded\n", g_tracked.BlockCount());
        return 1;
    }
    std::printf("alloc: ours %.2f Mpairs/s, glibc %.2f Mpairs/s, ratio %.3f\n", changing.ours.median,
                changing.anchor.median, changing.ours.median / changing.anchor.median);
    return 0;
}
