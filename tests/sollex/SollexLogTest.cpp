#include <cmath>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/DebugOutput.h"
#include "platform/Waitable.h"
#include "sollex/SollexLog.h"

namespace
{

// Collects what the "Sollex" channel writes to the debugger output.
class LogCapture
{
public:
    LogCapture()
    {
        m_previous = platform::SetDebugOutputHook([this](const std::string& text) {
            std::lock_guard<std::mutex> hold(m_lock);
            m_text += text;
        });
    }
    ~LogCapture() { platform::SetDebugOutputHook(m_previous); }

    std::string Text()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_text;
    }

private:
    platform::DebugOutputHook m_previous;
    std::mutex m_lock;
    std::string m_text;
};

TEST(SollexLog, ErrorThrowsOnlyWhenAskedWithTheTextCutToItsField)
{
    LogCapture capture;
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

}  // namespace
