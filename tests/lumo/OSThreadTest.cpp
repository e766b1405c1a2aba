#include "lumo/os/OSThread.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>

#include "lumo/os/OSEvent.h"
#include "lumo/os/OSException.h"

namespace
{

class Returns : public OS::Thread
{
public:
    explicit Returns(uint32_t code) : m_code(code) {}
    ~Returns() override { Wait(); }
    uint32_t Run() override
    {
        ++runs;
        return m_code;
    }
    std::atomic<int> runs{0};
    uint32_t m_code;
};

// Runs for ever: for the "still running" programming errors.
class Blocks : public OS::Thread
{
public:
    uint32_t Run() override
    {
        static OS::Event* never = new OS::Event(true);
        never->Wait();
        return 0;
    }
};

uint32_t Doubles(void* arg)
{
    return 2 * *static_cast<uint32_t*>(arg);
}

}  // namespace

TEST(OSThreadDeathTest, StartingOrDestroyingARunningThreadStopsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char* expected = "Assertion failed: WaitForSingleObject\\(m_threadhandle, 0\\) == WAIT_OBJECT_0";
    EXPECT_DEATH(
        {
            dup2(2, 1);  // the report may go to either stream
            Blocks thread;
            thread.Start();
            thread.Start();
        },
        expected);
    EXPECT_DEATH(
        {
            dup2(2, 1);
            Blocks thread;
            thread.Start();
        },
        expected);
}

