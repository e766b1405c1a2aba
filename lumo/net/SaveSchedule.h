#pragma once
// When the repair client saves its summary while records arrive. A save writes the whole summary
// (lumo/net/SavedSummary.h): with 100,000 entries that is several megabytes and a flush, so a save
// every few records would cost more than the records. A save is due once kInterval has passed since
// the last one ended, and never before twenty times the last save's own length has passed: saving
// takes at most a twentieth of the run, and a kill loses the entries of about the last second of
// records. Nothing of the files is lost with them: an entry not saved only makes the next scan read
// its file again (the file's time has moved on), and the server sends nothing it already matches.

#include <chrono>
#include <functional>

class SaveSchedule
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kInterval{1000};
    static constexpr int kCostFactor = 20;

    // now: the clock (tests script it). The schedule starts as if a save had just ended.
    explicit SaveSchedule(std::function<Clock::time_point()> now = Clock::now);

    bool Due() const;
    // Runs save and times it; the next save is due from its end.
    void Save(const std::function<void()>& save);

private:
    std::function<Clock::time_point()> m_now;
    Clock::time_point m_lastEnd;
    Clock::duration m_lastLength{};
};
