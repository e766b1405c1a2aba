// The re-entrant shared/exclusive lock with deadlock detection against std::shared_mutex:
// uncontended shared and exclusive lock/unlock on one thread, and 8 threads taking the lock
// exclusively (and 1 in 4 times exclusively, else shared) for a fixed time each round. Each case
// runs in rounds that alternate which side goes first; the median of each side counts. Figures
// are nanoseconds per lock/unlock pair (for the contended runs: wall time divided by the pairs
// all threads made). Last line: locks: ours <ns> ns, std::shared_mutex <ns> ns, ratio
// <theirs/ours>, for the 8-thread exclusive case.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "sollex/SharedExclusiveLock.h"

namespace
{

using Clock = std::chrono::steady_clock;

constexpr int kThreads = 8;
constexpr int kRounds = 5;
constexpr long kUncontendedPairs = 2000000;
constexpr auto kContendedTime = std::chrono::milliseconds(500);

template <class Body>
double NanosecondsPer(long pairs, Body body)
{
    const auto start = Clock::now();
    for (long i = 0; i < pairs; ++i)
        body();
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / static_cast<double>(pairs);
}

// `pair(thread index, iteration)` takes and gives back the lock once; returns ns per pair.
template <class Pair>
double Contended(Pair pair)
{
    std::atomic<bool> go{false}, stop{false};
    std::atomic<long> total{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back([&, t] {
            while (!go.load())
                std::this_thread::yield();
            long done = 0;
            while (!stop.load(std::memory_order_relaxed))
                pair(t, done++);
            total += done;
        });
    }
    const auto start = Clock::now();
    go = true;
    std::this_thread::sleep_for(kContendedTime);
    stop = true;
    for (std::thread& thread : threads)
        thread.join();
    const double elapsed = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    return elapsed / static_cast<double>(std::max(total.load(), 1L));
}

volatile long g_sink = 0;  // work inside the lock, so that the holding is not empty

SharedExclusiveLock g_ours;
std::shared_mutex g_theirs;

double OursShared()
{
    return NanosecondsPer(kUncontendedPairs, [] {
        g_ours.Lock(false);
        g_ours.Unlock();
    });
}

double TheirsShared()
{
    return NanosecondsPer(kUncontendedPairs, [] {
        g_theirs.lock_shared();
        g_theirs.unlock_shared();
    });
}

double OursExclusive()
{
    return NanosecondsPer(kUncontendedPairs, [] {
        g_ours.Lock(true);
        g_ours.Unlock();
    });
}

double TheirsExclusive()
{
    return NanosecondsPer(kUncontendedPairs, [] {
        g_theirs.lock();
        g_theirs.unlock();
    });
}

double OursContended()
{
    return Contended([](int, long) {
        g_ours.Lock(true);
        g_sink = g_sink + 1;
        g_ours.Unlock();
    });
}

double TheirsContended()
{
    return Contended([](int, long) {
        g_theirs.lock();
        g_sink = g_sink + 1;
        g_theirs.unlock();
    });
}

double OursMixed()
{
    return Contended([](int, long i) {
        g_ours.Lock(i % 4 == 0);
        g_sink = g_sink + 1;
        g_ours.Unlock();
    });
}

double TheirsMixed()
{
    return Contended([](int, long i) {
        if (i % 4 == 0)
        {
            g_theirs.lock();
            g_sink = g_sink + 1;
            g_theirs.unlock();
        }
        else
        {
            g_theirs.lock_shared();
            g_sink = g_sink + 1;
            g_theirs.unlock_shared();
        }
    });
}

void Line(const char* name, double ours, double theirs)
{
    printf("%s: ours %.1f ns, std::shared_mutex %.1f ns, ratio %.3f\n", name, ours, theirs, theirs / ours);
}

}  // namespace

int main()
{
    const char* anchor = "std::shared_mutex";
    const auto shared = bench::Alternate("uncontended shared", anchor, "ns", kRounds, OursShared, TheirsShared);
    const auto exclusive =
        bench::Alternate("uncontended exclusive", anchor, "ns", kRounds, OursExclusive, TheirsExclusive);
    const auto mixed = bench::Alternate("8 threads mixed", anchor, "ns", kRounds, OursMixed, TheirsMixed);
    const auto contended = bench::Alternate("8 threads exclusive", anchor, "ns", kRounds, OursContended, TheirsContended);
    Line("uncontended shared", shared.ours.median, shared.anchor.median);
    Line("uncontended exclusive", exclusive.ours.median, exclusive.anchor.median);
    Line("8 threads mixed (1 in 4 exclusive)", mixed.ours.median, mixed.anchor.median);
    Line("locks", contended.ours.median, contended.anchor.median);
    return 0;
}
