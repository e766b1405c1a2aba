#include "lumo/net/StallWatchedStream.h"

#include <algorithm>

#include "lumo/net/ConsoleLine.h"

StallWatchedStream::StallWatchedStream(std::chrono::milliseconds limit, Clock clock, bool watchThread)
    : m_limit(limit), m_clock(std::move(clock)), m_quietSince(m_clock())
{
    tcp.SetReturnOnPartialData(true);
    if (watchThread && !m_watch.Start([this] { Watch(); }, &m_watchError) && m_watchError.empty())
        m_watchError = "the watch thread was not created";
}

StallWatchedStream::~StallWatchedStream()
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    m_watch.Join();
}

StallWatchedStream::Busy::Busy(StallWatchedStream& stream) : m_stream(stream)
{
    ++m_stream.m_busy;
    ++m_stream.m_activity;
}

StallWatchedStream::Busy::~Busy()
{
    --m_stream.m_busy;
}

LUMORESULT StallWatchedStream::ReadData(void* data, uint32_t length)
{
    Busy busy(*this);
    auto* at = static_cast<uint8_t*>(data);
    while (length > 0)
    {
        const uint64_t before = tcp.GetPosition();
        const LUMORESULT result = tcp.ReadData(at, length);
        if (result != LUMORESULT_OK && result != LUMORESULT_PARTIAL_DATA)
            return result;
        const uint64_t arrived = tcp.GetPosition() - before;
        // A completion that delivered nothing ends the read instead of spinning on it.
        if (arrived == 0 || arrived > length)
            return LUMORESULT_ABORTED;
        at += arrived;
        length -= uint32_t(arrived);
        ++m_activity;
    }
    return LUMORESULT_OK;
}

LUMORESULT StallWatchedStream::WriteData(const void* data, uint32_t length)
{
    Busy busy(*this);
    const auto* at = static_cast<const uint8_t*>(data);
    while (length > 0)
    {
        const uint32_t step = std::min(length, kWriteStep);
        if (const LUMORESULT result = tcp.WriteData(at, step))
            return result;
        at += step;
        length -= step;
        ++m_activity;
        m_written += step;
    }
    return LUMORESULT_OK;
}

bool StallWatchedStream::CheckForStall()
{
    std::lock_guard<std::mutex> hold(m_lock);
    const TimePoint now = m_clock();
    const uint64_t activity = m_activity.load();
    if (m_busy.load() == 0 || activity != m_seenActivity)
    {
        m_seenActivity = activity;
        m_quietSince = now;
        return false;
    }
    if (now - m_quietSince <= m_limit)
        return false;
    LumoNet::PrintConsoleLine("RepairClient> nothing moved to or from the server for %lld ms, giving up\n",
                              static_cast<long long>(m_limit.count()));
    m_quietSince = now;
    tcp.Disconnect(true);
    return true;
}

void StallWatchedStream::Watch()
{
    std::unique_lock<std::mutex> hold(m_lock);
    while (!m_stop)
    {
        m_wake.wait_for(hold, std::chrono::milliseconds(100));
        if (m_stop)
            break;
        hold.unlock();
        CheckForStall();
        hold.lock();
    }
}
