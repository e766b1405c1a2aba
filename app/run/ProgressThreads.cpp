#include "app/run/ProgressThreads.h"

#include <chrono>

namespace LumoPatch {

namespace {

constexpr uint32_t kClockStepMs = 500;

}  // namespace

bool ProgressThread::Start(std::string* error)
{
    return m_thread.Started() || m_thread.Start([this] { Body(); }, error);
}

void ProgressThread::Stop()
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_running = false;
    }
    m_wake.notify_all();
    m_thread.Join();
}

bool ProgressThread::Step()
{
    std::unique_lock<std::mutex> hold(m_lock);
    return !m_wake.wait_for(hold, std::chrono::milliseconds(m_stepMs), [this] { return !m_running; });
}

bool ProgressThread::Running()
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_running;
}

void ADBHackProgressThread::Body()
{
    const int duration = m_minutes == 0 ? 1 : static_cast<int>(m_minutes * 60000);
    uint32_t t = 0;
    while (t < static_cast<uint32_t>(duration) && Running())
    {
        m_host.SetGauge(2 * duration, static_cast<int>(t));
        if (!Step())
            break;
        t += kClockStepMs;
    }
    m_host.SetGauge(2 * duration, duration);
}

void ADBRepairProgressThread::Body()
{
    m_host.SetGauge(kRange, kStart);
    uint32_t t = 0;
    while (t < kLimitMs && Step())
    {
        t += kClockStepMs;
        m_host.SetGauge(kRange, kStart + static_cast<int>(t));
    }
    // A longer update stands just short of full: a full bar would say it has ended.
    while (Step())
    {
    }
    m_host.SetGauge(1, 1);
}

uint32_t EstimatePatchMinutes(uint64_t packageBytes)
{
    float minutes = static_cast<float>(static_cast<double>(packageBytes) / 1024 / 1024 * 2);
    if (minutes > 10.0f)
        minutes = 10.0f;
    return static_cast<uint32_t>(minutes);
}

}  // namespace LumoPatch
