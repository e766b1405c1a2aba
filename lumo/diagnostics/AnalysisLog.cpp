#include "lumo/diagnostics/AnalysisLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>

#include "lumo/diagnostics/LogFilePath.h"
#include "lumo/buffers/LumoDataBufferFile.h"
#include "lumo/text/StringUtil.h"
#include "lumo/text/TextConversion.h"
#include "lumo/diagnostics/TimeBase.h"
#include "platform/NativePath.h"
#include "lumo/diagnostics/SystemLog.h"

namespace
{
std::atomic<AnalysisLog*> g_analysisLog{nullptr};

constexpr int OPEN_TRIES = 5;

// A new file under path, created exclusively: a name that was free a moment ago may be taken now.
bool CreateNewFile(const std::wstring& path)
{
    const int fd = ::open(ToNativePath(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}
}

AnalysisLog::AnalysisLog(std::wstring name, std::wstring subfolder)
    : m_name(std::move(name)), m_subfolder(std::move(subfolder))
{
}

AnalysisLog::~AnalysisLog()
{
    std::lock_guard<std::mutex> lock(m_lock);
    CloseLocked();
}

void AnalysisLog::WriteRaw(const std::string& text)
{
    m_file->WriteData(text.data(), static_cast<uint32_t>(text.size()));
}

void AnalysisLog::WriteSuppressionNoteLocked()
{
    if (m_repeats <= 0 || !m_file)
        return;
    std::string note;
    if (GetLogTimestamps())
    {
        char prefix[TIMESTAMP_LENGTH + 1];
        note.assign(prefix, FormatTimestamp(prefix, sizeof prefix, GetBaseDate(), GetTimeOfDay()));
    }
    note += LumoUtil::FormatString("[%d lines suppressed]\r\n", static_cast<int>(m_repeats));
    WriteRaw(note);
    m_repeats = 0;
}

void AnalysisLog::WriteLineLocked(const std::string& line)
{
    if (!m_enabled)
        return;
    OpenLocked();
    if (!m_file)
        return;
    if (line == m_lastLine && !m_flushEachLine)
    {
        ++m_repeats;
        return;
    }
    m_lastLine = line;
    WriteSuppressionNoteLocked();
    if (GetLogTimestamps())
    {
        char prefix[TIMESTAMP_LENGTH + 1];
        WriteRaw(std::string(prefix, FormatTimestamp(prefix, sizeof prefix, GetBaseDate(), GetTimeOfDay())));
    }
    WriteRaw(line);
    if (m_flushEachLine)
        m_file->Flush();
}

void AnalysisLog::OpenLocked()
{
    if (!m_enabled || m_file)
        return;
    if (m_path.empty())
    {
        ReopenLocked();
        return;
    }
    // The name chosen earlier: continue after what is already there, never over it.
    auto file = std::make_unique<LumoDataBufferFile>(m_path, LumoDataBufferFile::MODE_WRITE_KEEP);
    if (!file->IsOpen())
        return;
    file->SetPosition(file->GetSize());
    m_file = std::move(file);
}

void AnalysisLog::ReopenLocked()
{
    CloseLocked();
    m_path.clear();
    if (!m_enabled)
        return;
    for (int attempt = 0; attempt < OPEN_TRIES; ++attempt)
    {
        std::wstring path;
        MakeLogFilePath(m_name, m_subfolder.c_str(), path);
        if (!CreateNewFile(path))
            continue;
        auto file = std::make_unique<LumoDataBufferFile>(path, LumoDataBufferFile::MODE_WRITE_KEEP);
        if (file->IsOpen())
        {
            m_file = std::move(file);
            m_path = path;
            return;
        }
    }
}

void AnalysisLog::CloseLocked()
{
    if (!m_file)
        return;
    WriteSuppressionNoteLocked();
    m_file->Close();
    m_file.reset();
}

void AnalysisLog::Write(const char* text, uint32_t length)
{
    if (!text || length == 0)
        return;
    std::lock_guard<std::mutex> lock(m_lock);
    WriteLineLocked(std::string(text, length));
}

void AnalysisLog::WriteEntry(const std::wstring& label, const std::wstring& value)
{
    std::lock_guard<std::mutex> lock(m_lock);
    WriteLineLocked(ToNarrow(label) + ": " + ToNarrow(value) + "\r\n");
}

void AnalysisLog::Flush()
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_file)
        return;
    WriteSuppressionNoteLocked();
    m_file->Flush();
}

void AnalysisLog::SetFlushEachLine(bool on)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_flushEachLine = on;
    if (on && m_file)
    {
        WriteSuppressionNoteLocked();
        m_file->Flush();
    }
}

void AnalysisLog::SetEnabled(bool on)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_enabled = on;
    if (on)
        OpenLocked();
    else
        CloseLocked();
}

void AnalysisLog::Close()
{
    std::lock_guard<std::mutex> lock(m_lock);
    CloseLocked();
}

void AnalysisLog::Reopen()
{
    std::lock_guard<std::mutex> lock(m_lock);
    ReopenLocked();
}

void AnalysisLog::OpenEx(bool& opened, bool append)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_append = append;
    if (append)
        OpenLocked();
    else
        ReopenLocked();
    opened = m_file != nullptr;
}

bool AnalysisLog::IsEnabled() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_enabled;
}

bool AnalysisLog::GetFlushEachLine() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_flushEachLine;
}

bool AnalysisLog::GetAppend() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_append;
}

std::wstring AnalysisLog::GetPath() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_path;
}

void OpenAnalysisLog(const std::wstring& name)
{
    if (g_analysisLog.load())
        return;
    uint32_t date = 0;
    double offset = 0.0;
    CaptureTimeBase(date, offset);
    SetTimeBase(date, offset);
    auto log = std::make_unique<AnalysisLog>(name);
    AnalysisLog* expected = nullptr;
    if (!g_analysisLog.compare_exchange_strong(expected, log.get()))
        return;
    AnalysisLog* opened = log.release();
    opened->WriteEntry(L"Local time", FormatDateTimeNow());
    opened->WriteEntry(L"AnalysisLog: Build Version", L"35673");
}

void CloseAnalysisLog()
{
    // Taken out under the system-log lock, so that no line is being written to it as it goes.
    LockSystemLog();
    AnalysisLog* log = g_analysisLog.exchange(nullptr);
    UnlockSystemLog();
    delete log;
}

void FlushAnalysisLog()
{
    if (AnalysisLog* log = g_analysisLog.load())
        log->Flush();
}

AnalysisLog* GetAnalysisLog()
{
    return g_analysisLog.load();
}

void ResyncTime(uint32_t date, float secondsOfDay)
{
    const uint32_t oldDate = GetBaseDate();
    const double oldTime = GetTimeOfDay();
    if (date == oldDate && std::fabs(oldTime - secondsOfDay) < 1.0)
        return;
    if (AnalysisLog* log = g_analysisLog.load())
    {
        log->WriteEntry(L"Time resync",
                        LumoUtil::FormatWString(L"%d:%d -> %d:%d", static_cast<int>(oldDate), static_cast<int>(oldTime),
                                                static_cast<int>(date), static_cast<int>(secondsOfDay)));
    }
    SetTimeBase(date, GetCounterSeconds() - secondsOfDay);
}
