#include "sollex/SollexLog.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Kiln/Src/Kiln/KernelStandard/ErrorReport.h"
#include "Kiln/Src/Kiln/KernelStandard/KernelLog.h"
#include "Kiln/Src/Kiln/KernelStandard/KilnStartup.h"
#include "Kiln/Src/Kiln/KernelStandard/LogChannel.h"
#include "lumo/text/FormatDialect.h"
#include "platform/Waitable.h"

namespace
{

constexpr int32_t kSollexLevel = 2;

std::atomic<bool> g_throwOnError{false};

// The frame-time average is kept by the one thread that draws frames.
float g_frameTimeSum = 0.0f;
uint32_t g_frameCount = 0;

std::atomic<uint32_t> g_mainThreadId{0};
std::mutex g_mainThreadStackLock;
std::vector<uint32_t> g_mainThreadStack;

Kiln::LogChannel* SollexChannel()
{
    static Kiln::LogChannel* channel = [] {
        Kiln::KilnLibraryInit();
        return Kiln::LogChannel::Find("Sollex");
    }();
    return channel;
}

std::string FormatText(const char* format, va_list args)
{
    LumoUtil::VaListFormatArgs formatArgs(args);
    return LumoUtil::FormatNarrowDialect(format, formatArgs, std::string().max_size());
}

void WriteToChannel(const std::string& text)
{
    // The kernel's shut-down deletes every channel, the one kept above included: a line written
    // after it goes nowhere.
    if (Kiln::IsKilnShutDown())
        return;
    Kiln::LogChannel* channel = SollexChannel();
    channel->level = kSollexLevel;
    Kiln::LogChannel::Printf(channel, "%s", text.c_str());
}

}  // namespace

void SollexLogMessage(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string text = FormatText(format, args);
    va_end(args);
    WriteToChannel(text);
}

void SollexLogFatal(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string text = FormatText(format, args);
    va_end(args);
    WriteToChannel(text);
    // No debugger catches the line here: get it onto the disk before the process goes.
    Kiln::FlushLogFile();
    Kiln::ShowFatalMessageBox(text.c_str(), "Error");
    _exit(1);
}

void SollexLogError(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string text = FormatText(format, args);
    va_end(args);
    WriteToChannel(text);
    if (g_throwOnError.load())
        throw SollexEx(".\\SollexLog", 80, text.c_str());
}

void SetSollexLogThrowOnError(bool throwOnError)
{
    g_throwOnError = throwOnError;
}

void SollexLogFrameTime(float seconds)
{
    if (seconds < 0.2f)  // false for NaN
    {
        g_frameTimeSum += seconds;
        ++g_frameCount;
    }
}

void SollexLogEnd()
{
    if (g_frameTimeSum > 0.0f)
        SollexLogMessage("SollexLogEnd> Averaged %ffps over %fsec", static_cast<double>(g_frameCount / g_frameTimeSum),
                         static_cast<double>(g_frameTimeSum));
}

bool IsMainThread()
{
    return g_mainThreadId.load() == static_cast<uint32_t>(platform::CurrentThreadId());
}

uint32_t GetMainThreadId()
{
    return g_mainThreadId.load();
}

void ClearMainThread()
{
    g_mainThreadId = 0;
}

uint32_t PushMainThread()
{
    const uint32_t self = static_cast<uint32_t>(platform::CurrentThreadId());
    std::lock_guard<std::mutex> hold(g_mainThreadStackLock);
    g_mainThreadStack.push_back(g_mainThreadId.load());
    g_mainThreadId = self;
    return self;
}

void PopMainThread()
{
    std::lock_guard<std::mutex> hold(g_mainThreadStackLock);
    if (g_mainThreadStack.empty())
        return;
    g_mainThreadId = g_mainThreadStack.back();
    g_mainThreadStack.pop_back();
}

void SleepMs(int32_t milliseconds)
{
    if (milliseconds > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
