// The re-entrant shared/exclusive lock with deadlock detection against std::shared_mutex:
// uncontended shared and exclusive lock/unlock on one thread, and 8 threads taking the lock
// exclusively (and 1 in 4 times exclusively, else shared) for a fixed time each round. Rounds
// alternate between the two; the best round of each side counts. Figures are nanoseconds per
// lock/unlock pair (for the contended runs: wall time divided by the pairs all threads made).
// Last line: locks: ours <ns> ns, std::shared_mutex <ns> ns, ratio <theirs/ours>, for the
// 8-thread exclusive case.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "sollex/SharedExclusiveLock.h"

namespace
{

using Clock = std::chrono::steady_clock;

constexpr int kThreads = 8;
constexpr int kRounds = 3;
constexpr long kUncontendedPairs = 2000000;
constexpr auto kContendedTime = std::chrono::milliseconds(700);

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

struct Figures
{
    double shared = 1e300, exclusive = 1e300, contended = 1e300, mixed = 1e300;
    void Keep(const Figures& round)
    {
        shared = std::min(shared, round.shared);
        exclusive = std::min(exclusive, round.exclusive);
        contended = std::min(contended, round.contended);
        mixed = std::min(mixed, round.mixed);
    }
};

volatile long g_sink = 0;  // work inside the lock, so that the holding is not empty

Figures MeasureOurs()
{
    SharedExclusiveLock lock;
    Figures f;
    f.shared = NanosecondsPer(kUncontendedPairs, [&] {
        lock.Lock(false);
        lock.Unlock();
    });
    f.exclusive = NanosecondsPer(kUncontendedPairs, [&] {
        lock.Lock(true);
        lock.Unlock();
    });
    f.contended = Contended([&](int, long) {
        lock.Lock(true);
        g_sink = g_sink + 1;
        lock.Unlock();
    });
    f.mixed = Contended([&](int, long i) {
        lock.Lock(i % 4 == 0);
        g_sink = g_sink + 1;
        lock.Unlock();
    });
    return f;
}

Figures MeasureTheirs()
{
    std::shared_mutex lock;
    Figures f;
    f.shared = NanosecondsPer(kUncontendedPairs, [&] {
        lock.lock_shared();
        lock.unlock_shared();
    });
    f.exclusive = NanosecondsPer(kUncontendedPairs, [&] {
        lock.lock();
        lock.unlock();
    });
    f.contended = Contended([&](int, long) {
        lock.lock();
        g_sink = g_sink + 1;
        lock.unlock();
    });
    f.mixed = Contended([&](int, long i) {
        if (i % 4 == 0)
        {
            lock.lock();
            g_sink = g_sink + 1;
            lock.unlock();
        }
        else
        {
            lock.lock_shared();
            g_sink = g_sink + 1;
            lock.unlock_shared();
        }
    });
    return f;
}

void Line(const char* name, double ours, double theirs)
{
    printf("%s: ours %.1f ns, std::shared_mutex %.1f ns, ratio %.3f\n", name, ours, theirs, theirs / ours);
}

}  // namespace

int main()
{
    Figures ours, theirs;
    for (int round = 0; round < kRounds; ++round)
    {
        const Figures o = MeasureOurs();
        const Figures t = MeasureTheirs();
        printf("round %d: ours %.1f / %.1f / %.1f / %.1f ns, std::shared_mutex %.1f / %.1f / %.1f / %.1f ns "
               "(shared, exclusive, %d threads exclusive, %d threads mixed)\n",
               round + 1, o.shared, o.exclusive, o.contended, o.mixed, t.shared, t.exclusive, t.contended, t.mixed,
               kThreads, kThreads);
        fflush(stdout);
        ours.Keep(o);
        theirs.Keep(t);
    }
    Line("uncontended shared", ours.shared, theirs.shared);
    Line("uncontended exclusive", ours.exclusive, theirs.exclusive);
    Line("8 threads mixed (1 in 4 exclusive)", ours.mixed, theirs.mixed);
    Line("locks", ours.contended, theirs.contended);
    return 0;
}
