#include "Kiln/Src/Kiln/KernelStandard/LogChannel.h"

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Kiln/Src/Kiln/KernelStandard/KernelLog.h"
#include "Kiln/Src/Kiln/KernelStandard/KilnFile.h"
#include "Kiln/Src/Kiln/KernelStandard/SyncObject.h"
#include "platform/DebugOutput.h"
#include "tests/fixtures/ScratchFolder.h"

namespace
{

using Kiln::LogChannel;

double g_now = 0;
double TestClock()
{
    return g_now;
}

// Captures the debugger output for the life of the object.
class DebugCapture
{
public:
    DebugCapture()
    {
        m_previous = platform::SetDebugOutputHook([this](const std::string& text) {
            std::lock_guard<std::mutex> hold(m_lock);
            m_lines.push_back(text);
        });
    }
    ~DebugCapture() { platform::SetDebugOutputHook(m_previous); }
    std::vector<std::string> Lines()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_lines;
    }

private:
    std::mutex m_lock;
    std::vector<std::string> m_lines;
    platform::DebugOutputHook m_previous;
};

TEST(LogChannel, PrefixCountsMinutesAndSecondsFromTheStart)
{
    DebugCapture capture;
    Kiln::SetKernelClock(TestClock);
    LogChannel* channel = LogChannel::Find("PrefixTest");
    channel->sinks = LogChannel::kSinkDebugger;
    struct
    {
        double start;
        double now;
        int level;
        const char* expected;
    } rows[] = {
        {1000, 1125.5, 2, "?   2:05.5 : hello\r\n"},
        {1000, 1030, 0, "    0:30.0 : hello\r\n"},
        {1000, 1060, 1, "!   1:00.0 : hello\r\n"},
        {1000, 1180, 3, "+   3:00.0 : hello\r\n"},
        {1000, 1000 + 6000, 4, "- 100:00.0 : hello\r\n"},
        {0, 1234, 2, "?   0:00.0 : hello\r\n"},
    };
    for (const auto& row : rows)
    {
        Kiln::SetKernelStartTime(row.start);
        g_now = row.now;
        channel->level = row.level;
        LogChannel::Printf(channel, "%s", "hello");
    }
    Kiln::SetKernelStartTime(0);
    Kiln::SetKernelClock(nullptr);
    channel->format = 0;
    LogChannel::Printf(channel, "as %s", "is");
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), std::size(rows) + 1);
    for (size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(lines[i], rows[i].expected);
    EXPECT_EQ(lines.back(), "as is");
}

TEST(LogChannel, FileSinkSkipsAMessageWrittenDuringAWrite)
{
    fixtures::ScratchFolder folder;
    const std::string path = folder / "kernel.log";
    auto* file = new Kiln::File;
    ASSERT_TRUE(file->Open(path.c_str(), Kiln::File::OpenMode::Write));
    Kiln::SetKernelLogFile(file, new Kiln::CriticalSection);
    DebugCapture capture;
    LogChannel* channel = LogChannel::Find("FileSinkTest");
    channel->format = LogChannel::kFormatLineEnd;
    LogChannel::Printf(channel, "first %d", 1);
    channel->busy = 1;  // as if this channel were already writing
    LogChannel::Printf(channel, "second");
    channel->busy = 0;
    file->textEncoding = 2;
    LogChannel::Printf(channel, "w\xC3\xA9");
    EXPECT_EQ(fixtures::ReadFile(path), std::string("first 1\r\n") + std::string("w\0\xE9\0\r\0\n\0", 8));
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"first 1\r\n", "second\r\n", "w\xC3\xA9\r\n"}));
    Kiln::LogEmergencyClose();
    EXPECT_EQ(Kiln::GetKernelLogFile(), nullptr);
    delete Kiln::GetKernelLogLock();
    Kiln::SetKernelLogFile(nullptr, nullptr);
}

TEST(LogChannel, ShutdownAtExitEndsTheKernelLog)
{
    fixtures::ScratchFolder folder;
    const std::string path = folder / "kernel.log";
    EXPECT_EXIT(
        {
            auto* file = new Kiln::File;
            if (!file->Open(path.c_str(), Kiln::File::OpenMode::Write))
                std::_Exit(3);
            Kiln::SetKernelLogFile(file, new Kiln::CriticalSection);
            Kiln::SetLogRunning(true);
            LogChannel* channel = LogChannel::Find("ExceptionHandler");
            channel->format = LogChannel::kFormatLineEnd;
            channel->sinks = LogChannel::kSinkFile;
            LogChannel::Printf(channel, "bye");
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ(fixtures::ReadFile(path), "bye\r\nEnd.\r\n");
}

}  // namespace
