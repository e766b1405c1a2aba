#include <gtest/gtest.h>

#include "lumo/diagnostics/TimeBase.h"

namespace
{
double g_fakeCounter = 0.0;
LocalTimeParts g_fakeLocal;

double FakeCounter() { return g_fakeCounter; }
void FakeLocal(LocalTimeParts& parts) { parts = g_fakeLocal; }

class TimeBaseTest : public ::testing::Test
{
protected:
    void SetUp() override { SetTimeBaseClock(&FakeCounter, &FakeLocal); }
    void TearDown() override
    {
        SetTimeBaseClock(nullptr, nullptr);
        SetTimeBase(0, 0.0);
    }
};

TEST_F(TimeBaseTest, AddDaysCrossesMonthsAndYears)
{
    const struct { uint32_t date; int32_t days; uint32_t expected; } cases[] = {
        {20240228, 1, 20240229},  {20230228, 1, 20230301},   {20231231, 1, 20240101}, {20240301, -1, 20240229},
        {20240101, 365, 20241231}, {20240101, -365, 20230101}, {20100507, 0, 20100507}};
    for (const auto& c : cases)
    {
        uint32_t date = c.date;
        AddDays(date, c.days);
        EXPECT_EQ(date, c.expected) << c.date << " + " << c.days;
    }
}

TEST_F(TimeBaseTest, NormaliseDayTimeMovesWholeDays)
{
    const struct { double seconds, expectedSeconds; int32_t expectedDays; } cases[] = {
        {-10.0, 86390.0, -1}, {172801.0, 1.0, 2}, {86400.0, 0.0, 1}, {5.5, 5.5, 0}, {-86400.0, 0.0, -1}};
    for (const auto& c : cases)
    {
        double seconds = c.seconds;
        int32_t days = 3;
        EXPECT_EQ(NormaliseDayTime(seconds, days), c.expectedDays) << c.seconds;
        EXPECT_DOUBLE_EQ(seconds, c.expectedSeconds) << c.seconds;
        EXPECT_EQ(days, 3 + c.expectedDays) << c.seconds;
    }
}

TEST_F(TimeBaseTest, TimestampPrefix)
{
    char buffer[TIMESTAMP_LENGTH + 1];
    struct Case { uint32_t date; double seconds; const char* expected; } cases[] = {
        {20100507, 14 * 3600 + 3 * 60 + 9.27, "10.05.07  14:03:09.27| "},
        {20100507, 59.999, "10.05.07  00:00:59.99| "},            // truncated, never 60
        {20101231, 86400 + 3600 + 0.5, "11.01.01  01:00:00.50| "},  // past midnight rolls the date
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(FormatTimestamp(buffer, sizeof buffer, c.date, c.seconds), TIMESTAMP_LENGTH);
        EXPECT_STREQ(buffer, c.expected);
    }
    EXPECT_EQ(FormatTimestamp(buffer, TIMESTAMP_LENGTH, 20100507, 0.0), 0u);
}

}  // namespace
