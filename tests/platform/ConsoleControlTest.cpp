#include "platform/ConsoleControl.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>

using namespace platform;

namespace
{

std::atomic<uint32_t> g_seen{0xFFFFFFFF};
std::atomic<int> g_calls{0};

bool Handles(uint32_t type)
{
    g_seen = type;
    ++g_calls;
    return true;
}

bool Declines(uint32_t)
{
    ++g_calls;
    return false;
}

void WaitForCalls(int n)
{
    while (g_calls < n)
        usleep(1000);
}

}  // namespace

// Each case runs in a fresh process that raises the signal at itself.
TEST(ConsoleControlDeathTest, HandlersRunOnTheirThreadAndDecideWhetherTheProcessEnds)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A handler that deals with SIGTERM keeps the process alive; it learns the type.
    EXPECT_EXIT(
        {
            SetConsoleControlHandler(Declines, true);
            SetConsoleControlHandler(Handles, true);
            raise(SIGTERM);
            WaitForCalls(1);
            fprintf(stderr, "type %u calls %d\n", g_seen.load(), g_calls.load());
            exit(0);
        },
        testing::ExitedWithCode(0), "type 6 calls 1");
    // Newest first; when every handler declines, the signal ends the process as it would have.
    EXPECT_EXIT(
        {
            SetConsoleControlHandler(Declines, true);
            SetConsoleControlHandler(Declines, true);
            raise(SIGTERM);
            for (;;)
                pause();
        },
        testing::KilledBySignal(SIGTERM), "");
    // A removed handler is not asked.
    EXPECT_EXIT(
        {
            SetConsoleControlHandler(Handles, true);
            SetConsoleControlHandler(Handles, false);
            raise(SIGINT);
            for (;;)
                pause();
        },
        testing::KilledBySignal(SIGINT), "");
}

// Every stop signal, the terminal's Ctrl-\ (SIGQUIT) among them, reaches the handlers as its type
// and back: a handler that takes it keeps the process alive.
TEST(ConsoleControlDeathTest, EveryStopSignalIsTakenOverAndKnownByItsType)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct { int signal; uint32_t type; } cases[] = {
        {SIGINT, kCtrlCEvent}, {SIGQUIT, kCtrlBreakEvent}, {SIGHUP, kCtrlCloseEvent}, {SIGTERM, kCtrlShutdownEvent},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.signal);
        EXPECT_EQ(ConsoleControlTypeOfSignal(c.signal), c.type);
        EXPECT_EQ(SignalOfConsoleControlType(c.type), c.signal);
        EXPECT_EXIT(
            {
                SetConsoleControlHandler(Handles, true);
                raise(c.signal);
                WaitForCalls(1);
                fprintf(stderr, "type %u\n", g_seen.load());
                exit(0);
            },
            testing::ExitedWithCode(0), "type " + std::to_string(c.type) + "\n");
    }
    EXPECT_EQ(ConsoleControlTypeOfSignal(SIGUSR1), 0xFFFFFFFFu);
}

TEST(ConsoleControl, BrokenPipesAreErrorsNotSignals)
{
    IgnoreBrokenPipeSignal();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    EXPECT_EQ(write(fds[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    close(fds[1]);
}
