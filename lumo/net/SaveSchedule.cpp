#include "lumo/net/SaveSchedule.h"

#include <algorithm>
#include <utility>

SaveSchedule::SaveSchedule(std::function<Clock::time_point()> now) : m_now(std::move(now)), m_lastEnd(m_now()) {}

bool SaveSchedule::Due() const
{
    const Clock::duration wait = std::max<Clock::duration>(kInterval, m_lastLength * kCostFactor);
    return m_now() - m_lastEnd >= wait;
}

void SaveSchedule::Save(const std::function<void()>& save)
{
    const Clock::time_point start = m_now();
    save();
    m_lastEnd = m_now();
    m_lastLength = m_lastEnd - start;
}
