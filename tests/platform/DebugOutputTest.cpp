#include "platform/DebugOutput.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace platform;

TEST(DebugOutputDeathTest, GoesToStandardErrorOnlyWhenEnabled)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("LUMO_DEBUG_OUTPUT", "1", 1);
            WriteDebugOutput("for the developer\n");
            exit(0);
        },
        testing::ExitedWithCode(0), "for the developer");
    EXPECT_EXIT(
        {
            setenv("LUMO_DEBUG_OUTPUT", "0", 1);
            WriteDebugOutput("hidden\n");
            fputs("end\n", stderr);
            exit(0);
        },
        testing::ExitedWithCode(0), "^end\n$");
}
