#include "lumo/net/StallWatchedStream.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "lumo/net/ConsoleLine.h"
#include "lumo/text/StringUtil.h"

namespace
{
LumoNet::StallPolicy PolicyWithWindow(std::chrono::milliseconds limit)
{
    LumoNet::StallPolicy policy = LumoNet::GetStallPolicy();
    policy.window = limit;
    return policy;
}

// "a.b.c.d" of an address in host byte order.
std::string DottedAddress(uint32_t address)
{
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}
} // namespace

StallWatchedStream::StallWatchedStream(std::chrono::milliseconds limit, Clock clock, bool watchThread)
    : m_stall(PolicyWithWindow(limit), std::move(clock))
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

LUMORESULT StallWatchedStream::ReadData(void* data, uint32_t length)
{
    Busy busy(*this);
    auto* at = static_cast<uint8_t*>(data);
    while (length > 0)
    {
        if (const uint32_t left = m_aheadLeft.load(); left > 0)
        {
            const uint32_t n = std::min(left, length);
            std::memcpy(at, m_ahead.get() + m_aheadAt, n);
            m_aheadAt += n;
            m_aheadLeft -= n;
            at += n;
            length -= n;
            continue;
        }
        // A large read goes straight into the caller's memory.
        const bool ahead = length < kReadAhead;
        if (ahead && !m_ahead)
            m_ahead = std::make_unique<uint8_t[]>(kReadAhead);
        uint8_t* into = ahead ? m_ahead.get() : at;
        const uint32_t asked = ahead ? kReadAhead : length;
        const uint64_t before = tcp.GetPosition();
        const LUMORESULT result = tcp.ReadData(into, asked);
        if (result != LUMORESULT_OK && result != LUMORESULT_PARTIAL_DATA)
            return result;
        const uint64_t arrived = tcp.GetPosition() - before;
        // A completion that delivered nothing ends the read instead of spinning on it.
        if (arrived == 0 || arrived > asked)
            return LUMORESULT_ABORTED;
        m_stall.Moved(arrived);
        if (ahead)
        {
            m_aheadAt = 0;
            m_aheadLeft = uint32_t(arrived);
            continue;
        }
        at += arrived;
        length -= uint32_t(arrived);
    }
    return LUMORESULT_OK;
}

LUMORESULT StallWatchedStream::WriteData(const void* data, uint32_t length)
{
    Busy busy(*this);
    return tcp.WriteData(data, length);
}

void StallWatchedStream::TakeSent()
{
    const uint64_t sent = tcp.GetBytesSent();
    m_stall.Moved(sent - m_sentSeen);
    m_sentSeen = sent;
}

bool StallWatchedStream::CheckForStall()
{
    std::lock_guard<std::mutex> hold(m_lock);
    TakeSent();
    if (m_busy.load() == 0)
    {
        m_stall.Restart();
        return false;
    }
    if (!m_stall.IsStalled())
        return false;
    const LumoNet::StallPolicy& policy = m_stall.GetPolicy();
    const SocketAddress peer = tcp.GetRemoteAddress();
    const std::string server = LumoNet::ServerKey(DottedAddress(peer.address), peer.port);
    const auto total = LumoNet::ServerStallLedger::ForRun().Add(server, m_stall.QuietFor());
    m_stallReason = LumoUtil::FormatString("less than %llu bytes moved to or from the server %s in %lld s "
                                           "(%lld s stalled in all)",
                                           static_cast<unsigned long long>(policy.floorBytes), server.c_str(),
                                           LumoNet::WholeSeconds(policy.window), LumoNet::WholeSeconds(total));
    LumoNet::PrintConsoleLine("%s, giving up\n", m_stallReason.c_str());
    m_stall.Restart();
    tcp.Disconnect(true);
    return true;
}

std::string StallWatchedStream::GetStallReason()
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_stallReason;
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
