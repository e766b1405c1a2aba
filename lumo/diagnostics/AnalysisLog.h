#pragma once
// The analysis log: an optional, process-wide, time-stamped log file that the system log feeds
// while it exists. A run of identical lines is written once, followed by "[<n> lines suppressed]"
// before the next different line. The file is created on the first line, under a name that
// overwrites no earlier file (lumo/diagnostics/LogFilePath.h).
//
// Lock order: the system log, then an analysis log.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class LumoDataBufferFile;

class AnalysisLog
{
public:
    // subfolder below the log folder; empty: the default subfolder.
    explicit AnalysisLog(std::wstring name, std::wstring subfolder = std::wstring());
    AnalysisLog(const AnalysisLog&) = delete;
    AnalysisLog& operator=(const AnalysisLog&) = delete;
    // Writes a pending suppression note and closes the file.
    ~AnalysisLog();

    // Raw text, normally a line with its "\r\n" from the system log.
    void Write(const char* text, uint32_t length);
    // The line "<label>: <value>\r\n".
    void WriteEntry(const std::wstring& label, const std::wstring& value);

    void Flush();
    // true also flushes at once; while on, repeated lines are all written.
    void SetFlushEachLine(bool on);
    // true opens the file at once; false closes it, and lines are dropped until enabled again.
    void SetEnabled(bool on);
    void Close();
    // Closes the file and chooses a new name for it.
    void Reopen();
    // Opens the file now; with append, a file reopened under its earlier name continues at its end.
    void OpenEx(bool& opened, bool append);

    bool IsEnabled() const;
    bool GetFlushEachLine() const;
    bool GetAppend() const;
    std::wstring GetPath() const;

private:
    void OpenLocked();
    void ReopenLocked();
    void CloseLocked();
    void WriteLineLocked(const std::string& line);
    void WriteSuppressionNoteLocked();
    void WriteRaw(const std::string& text);

    std::string m_lastLine;
    int32_t m_repeats = 0;
    std::wstring m_name;
    std::wstring m_subfolder;
    std::wstring m_path;
    std::unique_ptr<LumoDataBufferFile> m_file;
    bool m_enabled = true;
    bool m_flushEachLine = false;
    bool m_append = false;
    mutable std::mutex m_lock;
};

// Creates the process-wide log when there is none: captures the time base and writes the entries
// "Local time" and "AnalysisLog: Build Version".
void OpenAnalysisLog(const std::wstring& name);
void CloseAnalysisLog();
void FlushAnalysisLog();
// The process-wide log, or null.
AnalysisLog* GetAnalysisLog();

// Re-bases the time base on a date (yyyymmdd) and seconds of day from elsewhere, writing a
// "Time resync" entry, unless they agree with the current base to within a second.
void ResyncTime(uint32_t date, float secondsOfDay);
