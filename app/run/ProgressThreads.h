// The threads that move the gauge by elapsed time while something without progress of its own
// runs: one patch being installed (the first half of the gauge) and the asset-database update
// (the second half). Their clock advances 500 ms a step; a step waits the host's step time in
// real time (500 ms in the product), and Stop ends the wait at once. Both run under the crash guard
// and are always joined.
#pragma once

#include "app/core/RunHost.h"
#include "lumo/os/GuardedThread.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace LumoPatch {

class ProgressThread
{
public:
    ProgressThread(RunHost& host, uint32_t stepMs) : m_host(host), m_stepMs(stepMs) {}
    virtual ~ProgressThread() { Stop(); }
    ProgressThread(const ProgressThread&) = delete;
    ProgressThread& operator=(const ProgressThread&) = delete;

    // False when no thread could be created (error says why): the gauge then stays where it is,
    // and the work it would follow goes on without it.
    bool Start(std::string* error = nullptr);
    // Clears the running flag, wakes the thread and joins it; safe to call more than once.
    void Stop();

protected:
    virtual void Body() = 0;
    // Waits one step; false once the thread has been told to stop.
    bool Step();
    bool Running();

    RunHost& m_host;

private:
    const uint32_t m_stepMs;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_running = true;
    OS::GuardedThread m_thread;
};

// One patch: D = minutes x 60,000 ms (1 when minutes is 0), range 2 x D, the value follows the
// clock, and ends at D (half the gauge).
class ADBHackProgressThread : public ProgressThread
{
public:
    ADBHackProgressThread(RunHost& host, uint32_t stepMs, uint32_t minutes)
        : ProgressThread(host, stepMs), m_minutes(minutes) {}
    ~ADBHackProgressThread() override { Stop(); }

private:
    void Body() override;
    const uint32_t m_minutes;
};

// The database update: range 1,201,000, value 600,000 plus the clock up to 600 s (1,200,000, just
// short of full, however long the update takes beyond that), then full once it is stopped.
class ADBRepairProgressThread : public ProgressThread
{
public:
    using ProgressThread::ProgressThread;
    ~ADBRepairProgressThread() override { Stop(); }

    static constexpr int kRange = 1201000;
    static constexpr int kStart = 600000;
    static constexpr uint32_t kLimitMs = 600000;

private:
    void Body() override;
};

// The duration estimate of a package, in whole minutes: twice its size in MiB, at most 10.
uint32_t EstimatePatchMinutes(uint64_t packageBytes);

}  // namespace LumoPatch
