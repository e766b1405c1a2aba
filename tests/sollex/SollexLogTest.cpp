#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Kiln/Src/Kiln/KernelStandard/KilnStartup.h"
#include "Kiln/Src/Kiln/KernelStandard/LogChannel.h"
#include "platform/DebugOutput.h"
#include "platform/Waitable.h"
#include "sollex/SollexLog.h"
#include "tests/fixtures/DebugCapture.h"

namespace
{

TEST(SollexLog, ErrorThrowsOnlyWhenAskedWithTheTextCutToItsField)
{
    fixtures::DebugCapture capture;
    EXPECT_NO_THROW(SollexLogError("quiet %d", 1));
    EXPECT_NE(capture.Text().find("quiet 1"), std::string::npos);

    SetSollexLogThrowOnError(true);
    const std::string longText(400, 'e');
    try
    {
        SollexLogError("loud %s", longText.c_str());
        ADD_FAILURE() << "no exception";
    }
    catch (const SollexEx& error)
    {
        EXPECT_STREQ(error.TypeName(), "Sollex Error");
        EXPECT_STREQ(error.File(), ".\\SollexLog");
        EXPECT_EQ(error.Line(), 80u);
        EXPECT_EQ(std::string(error.Message()), ("loud " + longText).substr(0, 255));
    }
    SetSollexLogThrowOnError(false);
    EXPECT_NE(capture.Text().find("loud eee"), std::string::npos);  // logged before the throw
}

TEST(SollexLog, FatalShowsTheTextAndEndsWithStatusOne)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(SollexLogFatal("cannot go on: %s", "disk gone"), ::testing::ExitedWithCode(1),
                "Error: cannot go on: disk gone");
}

// A line after the kernel's shut-down (which deletes every channel) goes nowhere, even once the
// channel's memory is taken again.
TEST(SollexLog, LineAfterTheKernelShutDownGoesNowhere)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            fixtures::DebugCapture capture;
            SollexLogMessage("before");
            Kiln::KilnShutdown();
            for (int i = 0; i < 256; ++i)
                std::memset(std::malloc(sizeof(Kiln::LogChannel)), 0xFF, sizeof(Kiln::LogChannel));
            SollexLogMessage("after");
            std::_Exit(capture.Saw("before") && !capture.Saw("after") ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
