#include "Kiln/Src/Kiln/KernelStandard/LogChannel.h"

#include <cmath>
#include <mutex>

#include "Kiln/Src/Kiln/KernelStandard/FatalError.h"
#include "Kiln/Src/Kiln/KernelStandard/KernelLog.h"
#include "Kiln/Src/Kiln/KernelStandard/KilnFile.h"
#include "Kiln/Src/Kiln/KernelStandard/SyncObject.h"
#include "platform/DebugOutput.h"

namespace Kiln
{

namespace
{

// The channel list: a sentinel of a circular list.
struct ChannelList
{
    LogChannel* first = nullptr;
    LogChannel* last = nullptr;
    uint32_t count = 0;
};

std::mutex& ListLock()
{
    static std::mutex* lock = new std::mutex;  // used at exit: never destroyed
    return *lock;
}

ChannelList* g_list = nullptr;                          // guarded by ListLock
std::atomic<LogChannel*> g_exceptionChannel{nullptr};

// ASCII only, so that no locale changes which names match.
bool SameName(const char* a, const char* b)
{
    for (;; ++a, ++b)
    {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
        if (x == '\0')
            return true;
    }
}

bool ExceptionChannelEnabled()
{
    LogChannel* channel = g_exceptionChannel.load();
    return channel && IsLogRunning() && channel->threshold >= 1 && channel->sinks != 0 && !IsLogSuppressed();
}

void ExceptionChannelPrint(const char* text)
{
    if (LogChannel* channel = g_exceptionChannel.load())
    {
        channel->level = 1;
        LogChannel::Printf(channel, "%s", text);
    }
}

}  // namespace

LogChannel* LogChannel::Find(const char* name)
{
    const char* wanted = name ? name : "";
    std::lock_guard<std::mutex> hold(ListLock());
    if (!g_list)
        g_list = new ChannelList;
    LogChannel* channel = g_list->first;
    for (uint32_t i = 0; i < g_list->count; ++i, channel = channel->next)
    {
        if (SameName(channel->name.Text(), wanted))
            return channel;
    }
    channel = new LogChannel;
    channel->name = wanted;
    channel->format = static_cast<uint8_t>(kFormatLineEnd + 2 * GetLogPrefixDefault());
    if (!g_list->first)
    {
        channel->next = channel->prev = channel;
        g_list->first = channel;
    }
    else
    {
        channel->prev = g_list->last;
        channel->next = g_list->first;
        g_list->last->next = channel;
        g_list->first->prev = channel;
    }
    g_list->last = channel;
    ++g_list->count;
    return channel;
}

void LogChannel::Printf(LogChannel* channel, const char* format, ...)
{
    if (!channel)
        return;
    va_list args;
    va_start(args, format);
    channel->Write(format, args);
    va_end(args);
}

KilnString LogChannel::Prefix(int32_t level, float elapsed)
{
    // Rounded once to tenths of a second, then split: rounding minutes and seconds each on its own
    // shows 119.97 s as "1:60.0".
    const long long tenths = elapsed > 0 ? std::llround(static_cast<double>(elapsed) * 10.0) : 0;
    const char letter = level >= 0 && level <= 4 ? kLevelLetters[level] : ' ';
    KilnString prefix;
    prefix.Format("%c %3lld:%02lld.%lld : ", letter, tenths / 600, tenths % 600 / 10, tenths % 10);
    return prefix;
}

void LogChannel::Write(const char* fmt, va_list args)
{
    KilnString message;
    if (format & kFormatPrefix)
    {
        const double start = GetKernelStartTime();
        const float elapsed = start > 0 ? static_cast<float>(GetKernelSeconds() - start) : 0.0f;
        message = Prefix(level.load(std::memory_order_relaxed), elapsed);
    }
    message.AppendFormatV(fmt, args);
    if (format & kFormatLineEnd)
        message.Insert(message.Length(), "\r\n");
    if ((sinks & kSinkFile) && GetKernelLogFile())
    {
        SyncObject* lock = GetKernelLogLock();
        if (lock)
            lock->Wait(kInfinite);
        File* file = GetKernelLogFile();
        if (file && file->IsOpen() && busy.load() == 0)
        {
            busy = 1;
            try
            {
                WriteLogText(message.Text());
                if (GetLogFlushAfterWrite())
                    FlushLogFile();
            }
            catch (...)
            {
                busy = 0;
                if (lock)
                    lock->Unlock();
                throw;
            }
            busy = 0;
        }
        if (lock)
            lock->Unlock();
    }
    if (sinks & kSinkDebugger)
        platform::WriteDebugOutput(message.Text());
    if (FILE* echo = GetLogEcho())
        std::fprintf(echo, "%s", message.Text());
}

void LogChannelsInit()
{
    LogChannel::Find("PackedHeap");
    g_exceptionChannel = LogChannel::Find("ExceptionHandler");
    ExceptionChannelHooks hooks;
    hooks.enabled = ExceptionChannelEnabled;
    hooks.print = ExceptionChannelPrint;
    hooks.emergencyClose = LogEmergencyClose;
    SetExceptionChannelHooks(hooks);
}

void LogShutdown()
{
    SetExceptionChannelHooks(ExceptionChannelHooks{});
    g_exceptionChannel = nullptr;
    CloseKernelLog();
    std::lock_guard<std::mutex> hold(ListLock());
    if (!g_list)
        return;
    LogChannel* channel = g_list->first;
    for (uint32_t i = 0; i < g_list->count; ++i)
    {
        LogChannel* next = channel->next;
        delete channel;
        channel = next;
    }
    delete g_list;
    g_list = nullptr;
}

}  // namespace Kiln
