#pragma once
// Error output shared by the command-line tools. Header-only: every tools/*.cpp is a program of
// its own.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "lumo/diagnostics/SystemLog.h"
#include "platform/ConsoleControl.h"
#include "platform/LastError.h"
#include "platform/NativePath.h"
#include "platform/RunOwner.h"

namespace tools
{

// UTF-8 for the terminal, keeping "\" as it stands in package paths.
inline std::string ForDisplay(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text)
        out += c == L'\\' ? std::string("\\") : ToNativePath(std::wstring(1, c));
    return out;
}

// "<tool>: <what>" on standard error; returns exit status 1. what says what failed and why, in
// words: the library's result code is for the code that called it, not for the user.
inline int PrintFailure(const char* tool, const std::wstring& what)
{
    std::fprintf(stderr, "%s: %s\n", tool, ForDisplay(what).c_str());
    return 1;
}

// True when the only argument asks for the usage ("--help" or "-h").
inline bool AsksForHelp(int argc, char** argv)
{
    return argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
}

// The help text on standard output; exit status 0 (1 when it cannot be written).
inline int PrintHelp(const char* text)
{
    std::fputs(text, stdout);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

// Everything printed reaches standard output, or the run fails: a listing cut short by a full disk
// or a closed pipe must not end in success.
inline int FinishOutput(const char* tool, int status)
{
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return status;
    std::fprintf(stderr, "%s: standard output cannot be written: %s\n", tool, std::strerror(errno ? errno : EIO));
    return 1;
}

// The libraries' console lines (the system log's, the network code's) are not a tool's output:
// they go to standard error, beside the tool's own messages. Every tool calls this first.
inline void LibraryLinesToStandardError()
{
    SetConsoleOutputHandle(STDERR_FILENO);
}

// A tool that must print nothing but its own messages sends the libraries' lines away instead.
inline void SilenceLibraryLines()
{
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0)
        SetConsoleOutputHandle(null); // kept open for the rest of the run
}

// A request to stop (SIGINT, SIGTERM, SIGHUP or SIGQUIT, through the console-control handler)
// arrived: the first such signal, 0 while none has.
inline std::atomic<int> g_stopSignal{0};

inline bool StopRequested()
{
    return g_stopSignal.load() != 0;
}

inline int StopSignal()
{
    return g_stopSignal.load();
}

// From now on those signals no longer end the program: they set StopRequested(), which the run
// polls so that it stops and puts back what it changed. False (last error set) when the handler
// cannot be installed.
inline bool StopOnConsoleControl()
{
    return platform::SetConsoleControlHandler([](uint32_t controlType) {
        int none = 0;
        g_stopSignal.compare_exchange_strong(none, platform::SignalOfConsoleControlType(controlType));
        return true;
    }, true);
}

// StopOnConsoleControl for a tool's main: when the handler cannot be installed, says so with the
// system's reason on standard error (consequence ends the line) and answers false.
inline bool CatchStopSignals(const char* tool, const char* consequence = "")
{
    if (StopOnConsoleControl())
        return true;
    std::fprintf(stderr, "%s: stop signals cannot be caught (%s)%s\n", tool, std::strerror(errno), consequence);
    return false;
}

// Both names exist and are the same file.
inline bool IsSameFile(const std::string& a, const std::string& b)
{
    struct stat first = {}, second = {};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

// Why path cannot be read as a file's content: "" when it is a regular file (or does not exist,
// which the open reports), else what it is.
inline std::string NotARegularFile(const std::string& path)
{
    struct stat info = {};
    if (::stat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode))
        return "";
    return S_ISDIR(info.st_mode) ? "it is a folder" : "it is not a regular file";
}

// A file written under a temporary name beside its destination and renamed over it only by
// Commit: a run that fails leaves an existing destination untouched. The temporary name is
// "<destination>.part-<owner tag>" (platform/RunOwner.h): the partial files that killed runs left
// for the same destination are removed when the next one starts.
class ReplacementFile
{
public:
    explicit ReplacementFile(std::string destination)
        : m_destination(std::move(destination)), m_temporary(m_destination + ".part-" + platform::OwnerTag())
    {
        const size_t slash = m_destination.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : m_destination.substr(0, slash);
        const std::string name = slash == std::string::npos ? m_destination : m_destination.substr(slash + 1);
        if (platform::RemoveLeftovers(folder, name + ".part-") != 0)
            std::fprintf(stderr, "%s: a partial file that an interrupted run left beside it cannot be removed\n",
                         m_destination.c_str());
    }
    ~ReplacementFile()
    {
        if (!m_committed)
            ::unlink(m_temporary.c_str());
    }
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    const std::string& Path() const { return m_temporary; }

    // text with the temporary name replaced by the destination's: messages name the file the user gave.
    std::string Shown(std::string text) const
    {
        const size_t at = text.find(m_temporary);
        return at == std::string::npos ? text : text.replace(at, m_temporary.size(), m_destination);
    }
    std::wstring Shown(std::wstring text) const
    {
        const std::wstring temporary = FromNativePath(m_temporary);
        const size_t at = text.find(temporary);
        return at == std::wstring::npos ? text : text.replace(at, temporary.size(), FromNativePath(m_destination));
    }

    // Flushes the temporary file to the disk and renames it over the destination. 0, or errno.
    int Commit()
    {
        const int fd = ::open(m_temporary.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return errno;
        const int synced = ::fsync(fd) == 0 ? 0 : errno;
        ::close(fd);
        if (synced != 0)
            return synced;
        if (::rename(m_temporary.c_str(), m_destination.c_str()) != 0)
            return errno;
        m_committed = true;
        return 0;
    }

private:
    std::string m_destination;
    std::string m_temporary;
    bool m_committed = false;
};

} // namespace tools
