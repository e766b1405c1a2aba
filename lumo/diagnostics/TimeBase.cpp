#include "lumo/diagnostics/TimeBase.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace
{
double SystemCounterSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void SystemLocalTime(LocalTimeParts& parts)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    parts.year = static_cast<uint32_t>(local.tm_year + 1900);
    parts.month = static_cast<uint32_t>(local.tm_mon + 1);
    parts.dayOfWeek = static_cast<uint32_t>(local.tm_wday);
    parts.day = static_cast<uint32_t>(local.tm_mday);
    parts.hour = static_cast<uint32_t>(local.tm_hour);
    parts.minute = static_cast<uint32_t>(local.tm_min);
    // A leap second reads as 60; the log's day has 86,400 seconds.
    parts.second = static_cast<uint32_t>(local.tm_sec > 59 ? 59 : local.tm_sec);
    parts.milliseconds = static_cast<uint32_t>(now.tv_nsec / 1000000);
}

std::atomic<double (*)()> g_counterSource{&SystemCounterSeconds};
std::atomic<void (*)(LocalTimeParts&)> g_localTimeSource{&SystemLocalTime};

// Written once when the log opens and by a resync; atomics keep readers on other threads defined.
std::atomic<uint32_t> g_baseDate{0};
std::atomic<double> g_baseOffset{0.0};
std::atomic<bool> g_timestamps{false};

LocalTimeParts ReadLocalTime()
{
    LocalTimeParts parts;
    g_localTimeSource.load()(parts);
    return parts;
}

constexpr double SECONDS_PER_DAY = 86400.0;
}

void SetTimeBaseClock(double (*counterSeconds)(), void (*localTime)(LocalTimeParts& parts))
{
    g_counterSource = counterSeconds ? counterSeconds : &SystemCounterSeconds;
    g_localTimeSource = localTime ? localTime : &SystemLocalTime;
}

void GetLocalTimeParts(uint32_t& year, uint32_t& month, uint32_t& dayOfWeek, uint32_t& day,
                       uint32_t& hour, uint32_t& minute, uint32_t& second, uint32_t& milliseconds)
{
    const LocalTimeParts parts = ReadLocalTime();
    year = parts.year;
    month = parts.month;
    dayOfWeek = parts.dayOfWeek;
    day = parts.day;
    hour = parts.hour;
    minute = parts.minute;
    second = parts.second;
    milliseconds = parts.milliseconds;
}

double GetCounterSeconds()
{
    return g_counterSource.load()();
}

void CaptureTimeBase(uint32_t& date, double& offset)
{
    const LocalTimeParts now = ReadLocalTime();
    const double counter = GetCounterSeconds();
    date = (now.year * 100 + now.month) * 100 + now.day;
    offset = counter - (now.hour * 3600.0 + now.minute * 60.0 + now.second + now.milliseconds * 0.001);
}

void SetTimeBase(uint32_t date, double offset)
{
    g_baseDate = date;
    g_baseOffset = offset;
}

double GetTimeOfDay()
{
    return GetCounterSeconds() - g_baseOffset.load();
}

double GetBaseOffset()
{
    return g_baseOffset.load();
}

uint32_t GetBaseDate()
{
    return g_baseDate.load();
}

void AddDays(uint32_t& date, int32_t days)
{
    using namespace std::chrono;
    const year_month_day ymd{year{static_cast<int>(date / 10000)}, month{(date / 100) % 100},
                             day{date % 100}};
    const year_month_day moved{sys_days{ymd} + std::chrono::days{days}};
    date = static_cast<uint32_t>(static_cast<int>(moved.year())) * 10000 +
           static_cast<unsigned>(moved.month()) * 100 + static_cast<unsigned>(moved.day());
}

int32_t NormaliseDayTime(double& seconds, int32_t& days)
{
    const double whole = std::floor(seconds / SECONDS_PER_DAY);
    const int32_t moved = static_cast<int32_t>(whole);
    seconds -= whole * SECONDS_PER_DAY;
    // Rounding of a value just below a day boundary can leave exactly one day.
    if (seconds >= SECONDS_PER_DAY)
        seconds = 0.0;
    days += moved;
    return moved;
}

size_t FormatTimestamp(char* buffer, size_t bufferSize, uint32_t date, double secondsOfDay)
{
    if (!buffer || bufferSize < TIMESTAMP_LENGTH + 1)
        return 0;
    int32_t days = 0;
    NormaliseDayTime(secondsOfDay, days);
    if (days != 0)
        AddDays(date, days);
    // Truncated, so that 59.999 s never prints as 60.
    const auto hundredths = static_cast<uint64_t>(secondsOfDay * 100.0);
    const auto wholeSeconds = static_cast<unsigned>(hundredths / 100);
    const int written = std::snprintf(buffer, bufferSize, "%02u.%02u.%02u  %02u:%02u:%02u.%02u| ",
                                      (date / 10000) % 100, (date / 100) % 100, date % 100,
                                      wholeSeconds / 3600, (wholeSeconds / 60) % 60, wholeSeconds % 60,
                                      static_cast<unsigned>(hundredths % 100));
    return written < 0 ? 0 : static_cast<size_t>(written);
}

std::wstring FormatDateTimeNow()
{
    const LocalTimeParts now = ReadLocalTime();
    char text[32];
    std::snprintf(text, sizeof text, "%02u/%02u/%02u %02u:%02u:%02u", now.month % 100, now.day % 100,
                  now.year % 100, now.hour % 100, now.minute % 100, now.second % 100);
    return std::wstring(text, text + std::char_traits<char>::length(text));
}

void SetLogTimestamps(bool on)
{
    g_timestamps = on;
}

bool GetLogTimestamps()
{
    return g_timestamps.load();
}
