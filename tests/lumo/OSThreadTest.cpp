#include "lumo/os/OSThread.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "lumo/os/OSEvent.h"
#include "lumo/os/OSException.h"

namespace
{

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

