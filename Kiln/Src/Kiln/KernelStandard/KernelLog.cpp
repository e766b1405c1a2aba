#include "Kiln/Src/Kiln/KernelStandard/KernelLog.h"

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "Kiln/Src/Kiln/KernelStandard/KilnFile.h"
#include "Kiln/Src/Kiln/KernelStandard/SyncObject.h"
#include "lumo/diagnostics/TimeBase.h"
#include "lumo/text/Utf16.h"
#include "platform/NativePath.h"

namespace Kiln
{

namespace
{

std::atomic<double (*)()> g_clock{nullptr};
std::atomic<double> g_startTime{0.0};
std::atomic<File*> g_logFile{nullptr};
std::atomic<SyncObject*> g_logLock{nullptr};
std::atomic<FILE*> g_echo{nullptr};
std::atomic<bool> g_running{false};
std::atomic<bool> g_suppressed{false};
std::atomic<bool> g_flushAfterWrite{true};
constexpr uint8_t kPrefixDefault = 1;

}  // namespace

double GetKernelSeconds()
{
    auto clock = g_clock.load();
    return clock ? clock() : GetCounterSeconds();
}

void SetKernelClock(double (*clock)())
{
    g_clock = clock;
}

void SetKernelStartTime(double seconds)
{
    g_startTime = seconds;
}

double GetKernelStartTime()
{
    return g_startTime.load();
}

void SetKernelLogFile(File* file, SyncObject* lock)
{
    g_logFile = file;
    g_logLock = lock;
}

File* GetKernelLogFile()
{
    return g_logFile.load();
}

SyncObject* GetKernelLogLock()
{
    return g_logLock.load();
}

void SetLogEcho(FILE* stream)
{
    g_echo = stream;
}

FILE* GetLogEcho()
{
    return g_echo.load();
}

void SetLogRunning(bool running)
{
    g_running = running;
}

bool IsLogRunning()
{
    return g_running.load();
}

void SetLogSuppressed(bool suppressed)
{
    g_suppressed = suppressed;
}

bool IsLogSuppressed()
{
    return g_suppressed.load();
}

uint8_t GetLogPrefixDefault()
{
    return kPrefixDefault;
}

void SetLogFlushAfterWrite(bool flush)
{
    g_flushAfterWrite = flush;
}

bool GetLogFlushAfterWrite()
{
    return g_flushAfterWrite.load();
}

uint32_t WriteLogText(const char* text)
{
    File* file = g_logFile.load();
    if (!file || !text || !*text)
        return 0;
    if (file->textEncoding == 2)
    {
        // The kernel's texts are UTF-8 on this system (paths included).
        const std::vector<uint8_t> units = LumoUtil::EncodeUtf16LE(FromNativePath(text));
        return file->Write(units.data(), static_cast<uint32_t>(units.size()));
    }
    return file->Write(text, static_cast<uint32_t>(std::strlen(text)));
}

void FlushLogFile()
{
    File* file = g_logFile.load();
    if (file && file->IsOpen() && file->Dirty() > 0)
        file->Commit();
}

void LogEmergencyClose()
{
    File* file = g_logFile.load();
    if (!file || !file->IsOpen())
        return;
    SyncObject* lock = g_logLock.load();
    if (lock)
        lock->Wait(kInfinite);
    g_logFile = nullptr;
    file->Close();
    delete file;
    if (lock)
        lock->Unlock();
}

void CloseKernelLog()
{
    g_running = false;
    delete g_logLock.exchange(nullptr);
    File* file = g_logFile.load();
    if (!file)
        return;
    if (file->IsOpen())
        WriteLogText("End.\r\n");
    g_logFile = nullptr;
    file->Close();
    delete file;
}

}  // namespace Kiln
