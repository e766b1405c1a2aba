#include <time.h>

#include "lumo/os/OS.h"

namespace OS
{

namespace
{

// The monotonic clock counts nanoseconds; set up once, on first use, from any thread.
struct TimerSetUp
{
    uint32_t mode = 2;  // 1 millisecond clock, 2 high-resolution counter
    uint64_t frequency = 1000000000ull;
    double inverse = 1e-9;  // in double: a float factor keeps only about 7 digits
};

const TimerSetUp& SetUp()
{
    static const TimerSetUp setUp;
    return setUp;
}

}  // namespace

uint64_t GetTimerFrequency()
{
    return SetUp().frequency;
}

uint64_t GetTicks()
{
    (void)SetUp();
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

double TicksToSeconds(uint64_t start, uint64_t end)
{
    return static_cast<double>(static_cast<int64_t>(end - start)) * SetUp().inverse;
}

}  // namespace OS
