#include <gtest/gtest.h>

#include <chrono>

#include "lumo/net/SaveSchedule.h"

namespace
{
using std::chrono::milliseconds;

// A save is due once the interval has passed since the last one ended, or twenty times the last
// save's length when that is longer; the clock is the test's.
TEST(SaveSchedule, DueAfterTheIntervalOrTwentyTimesTheLastSave)
{
    const struct { milliseconds saveLength, sinceEnd; bool due; } cases[] = {
        {milliseconds(0), milliseconds(999), false},  {milliseconds(0), milliseconds(1000), true},
        {milliseconds(40), milliseconds(999), false}, {milliseconds(40), milliseconds(1000), true},
        {milliseconds(100), milliseconds(1999), false}, {milliseconds(100), milliseconds(2000), true},
        {milliseconds(500), milliseconds(9999), false}, {milliseconds(500), milliseconds(10000), true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::to_string(c.saveLength.count()) + " ms save, " + std::to_string(c.sinceEnd.count()) +
                     " ms after it");
        SaveSchedule::Clock::time_point now{};
        SaveSchedule schedule([&] { return now; });
        EXPECT_FALSE(schedule.Due()); // it starts as if a save had just ended
        int saves = 0;
        schedule.Save([&] {
            ++saves;
            now += c.saveLength;
        });
        EXPECT_EQ(saves, 1);
        now += c.sinceEnd;
        EXPECT_EQ(schedule.Due(), c.due);
    }
}

} // namespace
