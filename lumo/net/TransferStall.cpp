#include "lumo/net/TransferStall.h"

#include <atomic>
#include <cctype>

namespace LumoNet
{
namespace
{
std::mutex g_ruleLock;
StallPolicy g_policy;
StallClock g_clock;
} // namespace

void SetStallRule(const StallPolicy& policy, StallClock clock)
{
    std::lock_guard<std::mutex> hold(g_ruleLock);
    g_policy = policy;
    g_clock = std::move(clock);
}

void ResetStallRule()
{
    SetStallRule(StallPolicy(), nullptr);
}

StallPolicy GetStallPolicy()
{
    std::lock_guard<std::mutex> hold(g_ruleLock);
    return g_policy;
}

std::chrono::steady_clock::time_point StallNow()
{
    StallClock clock;
    {
        std::lock_guard<std::mutex> hold(g_ruleLock);
        clock = g_clock;
    }
    return clock ? clock() : std::chrono::steady_clock::now();
}

TransferStallWatch::TransferStallWatch() : m_policy(GetStallPolicy()), m_markTime(Now())
{
}

TransferStallWatch::TransferStallWatch(const StallPolicy& policy, StallClock clock)
    : m_policy(policy), m_clock(std::move(clock)), m_markTime(Now())
{
}

void TransferStallWatch::Restart()
{
    m_markTime = Now();
    m_markCount = GetMoved();
}

void TransferStallWatch::Look(TimePoint now)
{
    const uint64_t moved = GetMoved();
    if (moved - m_markCount >= m_policy.floorBytes)
    {
        m_markCount = moved;
        m_markTime = now;
    }
}

bool TransferStallWatch::IsStalled()
{
    const TimePoint now = Now();
    Look(now);
    return now - m_markTime >= m_policy.window;
}

TransferStallWatch::Duration TransferStallWatch::QuietFor()
{
    const TimePoint now = Now();
    Look(now);
    return now > m_markTime ? now - m_markTime : Duration::zero();
}

ServerStallLedger& ServerStallLedger::ForRun()
{
    static ServerStallLedger ledger;
    return ledger;
}

ServerStallLedger::Duration ServerStallLedger::Add(const std::string& server, Duration stalled)
{
    std::lock_guard<std::mutex> hold(m_lock);
    Duration& total = m_stalled[server];
    if (stalled > Duration::zero())
        total += stalled;
    return total;
}

ServerStallLedger::Duration ServerStallLedger::Stalled(const std::string& server) const
{
    std::lock_guard<std::mutex> hold(m_lock);
    const auto found = m_stalled.find(server);
    return found == m_stalled.end() ? Duration::zero() : found->second;
}

bool ServerStallLedger::IsGivenUp(const std::string& server) const
{
    return Stalled(server) >= GetStallPolicy().giveUpAfter;
}

void ServerStallLedger::Clear()
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_stalled.clear();
}

std::string ServerKey(const std::string& host, int port)
{
    std::string key;
    for (const char c : host)
        key.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return key + ":" + std::to_string(port);
}

long long WholeSeconds(std::chrono::steady_clock::duration duration)
{
    return static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(duration).count());
}

} // namespace LumoNet
