#pragma once
// The time base of the analysis log: the local date paired with the monotonic counter, so that
// line stamps are precise to the hundredth of a second and do not jump when the wall clock is set.
//
// Base date: the local date as the decimal yyyymmdd (20100507). Base offset: counter seconds at
// local midnight of the base date, so that counter seconds - base offset = seconds since that
// midnight. The base is captured when the analysis log opens and changed only by ResyncTime.

#include <cstddef>
#include <cstdint>
#include <string>

// One reading of the local wall clock, as the analysis log uses it.
struct LocalTimeParts
{
    uint32_t year = 0;
    uint32_t month = 0;      // 1-12
    uint32_t dayOfWeek = 0;  // 0 = Sunday
    uint32_t day = 0;        // 1-31
    uint32_t hour = 0;
    uint32_t minute = 0;
    uint32_t second = 0;
    uint32_t milliseconds = 0;
};

void GetLocalTimeParts(uint32_t& year, uint32_t& month, uint32_t& dayOfWeek, uint32_t& day,
                       uint32_t& hour, uint32_t& minute, uint32_t& second, uint32_t& milliseconds);
// Seconds of the monotonic counter.
double GetCounterSeconds();

// Reads the clock: date = yyyymmdd of today, offset = counter seconds - seconds since midnight.
void CaptureTimeBase(uint32_t& date, double& offset);
// Makes date and offset the process-wide base.
void SetTimeBase(uint32_t date, double offset);
// Counter seconds - base offset; may exceed 86,400 after midnight has passed.
double GetTimeOfDay();
double GetBaseOffset();
uint32_t GetBaseDate();

// Moves a yyyymmdd date by days (negative goes back), across months and years.
void AddDays(uint32_t& date, int32_t days);
// Moves whole days of 86,400 s out of seconds (negative seconds included) into days, so that
// 0 <= seconds < 86,400 afterwards; returns the number of days moved.
int32_t NormaliseDayTime(double& seconds, int32_t& days);

// Length of the line prefix "yy.mm.dd  hh:mm:ss.cc| " without its terminator.
constexpr size_t TIMESTAMP_LENGTH = 23;
// Writes the line prefix for a date and its seconds of day (rolled into the following days when
// they exceed one day; hundredths truncated) and returns the characters written. The buffer must
// hold TIMESTAMP_LENGTH + 1 characters; a smaller one receives nothing and gives 0.
size_t FormatTimestamp(char* buffer, size_t bufferSize, uint32_t date, double secondsOfDay);
// "MM/DD/YY hh:mm:ss" of the local time now.
std::wstring FormatDateTimeNow();

// Whether analysis-log lines carry the time-stamp prefix; off at start.
void SetLogTimestamps(bool on);
bool GetLogTimestamps();

// Replaces the clock for tests; a null function restores the system's.
void SetTimeBaseClock(double (*counterSeconds)(), void (*localTime)(LocalTimeParts& parts));
