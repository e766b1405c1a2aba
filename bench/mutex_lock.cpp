// Uncontended lock and unlock of the OS-layer mutex (the waitable core) against a plain
// std::recursive_mutex, and the signal-to-wake time of an event against a condition variable.
// Rounds alternate which side goes first; the median of each side counts.
// Last line: mutex_lock: ours <ns> ns, std::recursive_mutex <ns> ns, ratio <theirs/ours>.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "bench/BenchSupport.h"
#include "lumo/os/OSEvent.h"
#include "lumo/os/OSMutex.h"

namespace
{

using Clock = std::chrono::steady_clock;

template <class F>
double NanosecondsPer(long rounds, F body)
{
    auto start = Clock::now();
    for (long i = 0; i < rounds; ++i)
        body();
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / rounds;
}

// One thread sets, the other wakes and answers: half a round trip is one signal-to-wake.
double EventPingPong(int rounds)
{
    OS::Event ping(false), pong(false);
    std::thread other([&] {
        for (int i = 0; i < rounds; ++i)
        {
            ping.Wait();
            pong.Set();
        }
    });
    auto start = Clock::now();
    for (int i = 0; i < rounds; ++i)
    {
        ping.Set();
        pong.Wait();
    }
    other.join();
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / rounds / 2;
}

double ConditionPingPong(int rounds)
{
    std::mutex m;
    std::condition_variable cv;
    int turn = 0;  // even: the other thread's turn to answer
    std::thread other([&] {
        for (int i = 0; i < rounds; ++i)
        {
            std::unique_lock<std::mutex> lock(m);
            cv.wait(lock, [&] { return turn == 2 * i + 1; });
            ++turn;
            cv.notify_all();
        }
    });
    auto start = Clock::now();
    for (int i = 0; i < rounds; ++i)
    {
        std::unique_lock<std::mutex> lock(m);
        ++turn;
        cv.notify_all();
        cv.wait(lock, [&] { return turn == 2 * i + 2; });
    }
    other.join();
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / rounds / 2;
}

}  // namespace

int main()
{
    const long pairs = 5000000;
    OS::Mutex ours;
    std::recursive_mutex theirs;
    const auto events = bench::Alternate(
        "event signal-to-wake", "std::condition_variable", "us", bench::kMinimumRounds,
        [] { return EventPingPong(20000); }, [] { return ConditionPingPong(20000); });
    const auto lock = bench::Alternate(
        "mutex_lock", "std::recursive_mutex", "ns", bench::kMinimumRounds,
        [&] { return NanosecondsPer(pairs, [&] { OS::MutexLock hold(ours); }); },
        [&] { return NanosecondsPer(pairs, [&] { std::lock_guard<std::recursive_mutex> hold(theirs); }); });
    printf("event signal-to-wake: ours %.1f us, std::condition_variable %.1f us\n", events.ours.median,
           events.anchor.median);
    printf("mutex_lock: ours %.1f ns, std::recursive_mutex %.1f ns, ratio %.2f\n", lock.ours.median,
           lock.anchor.median, lock.anchor.median / lock.ours.median);
    return 0;
}
