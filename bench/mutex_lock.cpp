// Uncontended lock and unlock of the OS-layer mutex (the waitable core) against a plain
// std::recursive_mutex, and the signal-to-wake time of an event against a condition variable.
// Last line: mutex_lock: ours <ns> ns, std::recursive_mutex <ns> ns, ratio <theirs/ours>.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

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
    const long rounds = 5000000;
    OS::Mutex ours;
    std::recursive_mutex theirs;
    double oursNs = 0, theirsNs = 0;
    for (int pass = 0; pass < 2; ++pass)  // the first pass warms up
    {
        oursNs = NanosecondsPer(rounds, [&] { OS::MutexLock lock(ours); });
        theirsNs = NanosecondsPer(rounds, [&] { std::lock_guard<std::recursive_mutex> lock(theirs); });
    }
    printf("event signal-to-wake: ours %.1f us, std::condition_variable %.1f us\n", EventPingPong(20000),
           ConditionPingPong(20000));
    printf("mutex_lock: ours %.1f ns, std::recursive_mutex %.1f ns, ratio %.2f\n", oursNs, theirsNs,
           theirsNs / oursNs);
    return 0;
}
