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
#include "tests/fixtures/DebugCapture.h"
#include "tests/fixtures/ScratchFolder.h"

namespace
{

using Kiln::LogChannel;

TEST(LogChannel, FileSinkSkipsAMessageWrittenDuringAWrite)
{
    fixtures::ScratchFolder folder;
    const std::string path = folder / "kernel.log";
    auto* file = new Kiln::File;
    ASSERT_TRUE(file->Open(path.c_str(), Kiln::File::OpenMode::Write));
    Kiln::SetKernelLogFile(file, new Kiln::CriticalSection);
    fixtures::DebugCapture capture;
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

// The time prefix is rounded once, so a time just short of a minute never shows 60 seconds.
TEST(LogChannel, TimePrefixCarriesIntoTheNextMinute)
{
    const struct { float elapsed; const char* prefix; } cases[] = {
        {5.34f, "+   0:05.3 : "}, {59.96f, "+   1:00.0 : "}, {119.97f, "+   2:00.0 : "}, {6000.04f, "+ 100:00.0 : "}};
    for (const auto& c : cases)
        EXPECT_STREQ(LogChannel::Prefix(3, c.elapsed).Text(), c.prefix) << c.elapsed;
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
