#include "lumo/diagnostics/SystemLog.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

#include "lumo/diagnostics/AnalysisLog.h"
#include "lumo/diagnostics/Assert.h"
#include "lumo/text/FormatDialect.h"
#include "lumo/text/TextConversion.h"
#include "lumo/text/Utf16.h"
#include "platform/DebugOutput.h"
#include "platform/Utf8.h"
#include "platform/WriteFully.h"

namespace
{
// A log line from format and args, cut to the longest line the log takes.
std::string FormatLine(const char* format, va_list args)
{
    LumoUtil::VaListFormatArgs source(args);
    return LumoUtil::FormatNarrowDialect(format, source, SYSTEMLOG_MAX_LINE);
}

std::wstring FormatLine(const wchar_t* format, va_list args)
{
    LumoUtil::VaListFormatArgs source(args);
    return LumoUtil::FormatWideDialect(format, source, SYSTEMLOG_MAX_LINE);
}

// The lock and the observer set live in static storage that is never destroyed: threads may still
// log while the exit handlers run.
std::recursive_mutex& SystemLogLock()
{
    alignas(std::recursive_mutex) static unsigned char storage[sizeof(std::recursive_mutex)];
    static std::recursive_mutex* lock = new (storage) std::recursive_mutex;
    return *lock;
}

std::set<LumoSystemLogObserver*>& ObserverSet()
{
    using Set = std::set<LumoSystemLogObserver*>;
    alignas(Set) static unsigned char storage[sizeof(Set)];
    static Set* observers = new (storage) Set;
    return *observers;
}

std::atomic<bool> g_outputIsPipe{false};
std::atomic<int> g_consoleHandle{STDOUT_FILENO};

std::string ConsolePipePath()
{
    const char* folder = std::getenv("XDG_RUNTIME_DIR");
    if (!folder || !*folder)
        folder = std::getenv("TMPDIR");
    if (!folder || !*folder)
        folder = "/tmp";
    std::string path = folder;
    if (path.back() != '/')
        path += '/';
    return path + std::to_string(static_cast<long>(::getpid())) + "cout";
}

// Console set-up before the application starts.
const bool g_consoleReady = InitConsoleOutput();
}

std::set<LumoSystemLogObserver*>& g_systemLogObservers = ObserverSet();
bool g_bIsIterating = false;

bool InitConsoleOutput()
{
    std::lock_guard<std::recursive_mutex> lock(SystemLogLock());
    if (g_outputIsPipe)
        return true;
    // Non-blocking, so that a FIFO without a reader fails at once (ENXIO) instead of hanging the
    // start-up; no link is followed, and only a FIFO of our own user is taken, since the path is
    // one another local user could guess.
    const int fd = ::open(ConsolePipePath().c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info{};
    if (::fstat(fd, &info) != 0 || !S_ISFIFO(info.st_mode) || info.st_uid != ::geteuid())
    {
        ::close(fd);
        return false;
    }
    // Text already buffered by stdio belongs to the old standard output.
    std::fflush(stdout);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || ::dup2(fd, STDOUT_FILENO) < 0)
    {
        ::close(fd);
        return false;
    }
    ::close(fd);
    // A reader that goes away must fail our writes, not end the process.
    struct sigaction current{};
    if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        ::signal(SIGPIPE, SIG_IGN);
    g_outputIsPipe = true;
    return true;
}

int GetConsoleOutputHandle()
{
    return g_consoleHandle.load();
}

void SetConsoleOutputHandle(int fd)
{
    std::lock_guard<std::recursive_mutex> lock(SystemLogLock());
    std::fflush(stdout);
    g_consoleHandle = fd;
}

void WriteConsoleText(const std::string& text)
{
    const int fd = GetConsoleOutputHandle();
    if (fd == STDOUT_FILENO)
        std::fflush(stdout);
    platform::WriteFully(fd, text.data(), text.size());
}

bool IsConsoleOutputPipe()
{
    return g_outputIsPipe;
}

void ShowConsoleWindow(bool)
{
}

void DisableConsoleClose()
{
}

void LockSystemLog()
{
    SystemLogLock().lock();
}

void UnlockSystemLog()
{
    SystemLogLock().unlock();
}

void SystemLogWrite(uint32_t mask, std::string line)
{
    (void)g_consoleReady;
    std::lock_guard<std::recursive_mutex> lock(SystemLogLock());
    if (mask & SYSTEMLOG_ANALYSIS)
    {
        if (AnalysisLog* log = GetAnalysisLog())
        {
            const std::string entry = line + "\r\n";
            log->Write(entry.data(), static_cast<uint32_t>(entry.size()));
        }
    }
    line += '\n';
    // Lines hold 8-bit text, or UTF-8 where they carry native paths or wide text: a terminal and
    // the debugger output get UTF-8 either way, so no name is garbled there.
    const std::wstring wide = DecodeUtf8Or8Bit(line);
    const std::string terminal = platform::WideToUtf8(wide);
    if (mask & SYSTEMLOG_DEBUGGER)
        platform::WriteDebugOutput(terminal);
    if (mask & SYSTEMLOG_STDOUT)
    {
        const int fd = GetConsoleOutputHandle();
        if (g_outputIsPipe && fd == STDOUT_FILENO)
        {
            std::fflush(stdout);
            const std::vector<uint8_t> bytes = LumoUtil::EncodeUtf16LE(wide);
            platform::WriteFully(fd, bytes.data(), bytes.size());
        }
        else
        {
            WriteConsoleText(terminal);
        }
    }
    if (mask & SYSTEMLOG_OBSERVERS)
        BroadcastSystemLogLine(wide.c_str());
}

void SystemLogPrintfTo(uint32_t mask, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string line = FormatLine(format, args);
    va_end(args);
    SystemLogWrite(mask, std::move(line));
}

void SystemLogPrintf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string line = FormatLine(format, args);
    va_end(args);
    SystemLogWrite(SYSTEMLOG_ALL, std::move(line));
}

void SystemLogPrintfW(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::wstring line = FormatLine(format, args);
    va_end(args);
    // UTF-8 rather than the 8-bit table: a path beyond it (a Cyrillic home folder) stays readable.
    SystemLogWrite(SYSTEMLOG_ALL, platform::WideToUtf8(line));
}

void BroadcastSystemLogLine(const wchar_t* line)
{
    std::lock_guard<std::recursive_mutex> lock(SystemLogLock());
    if (g_bIsIterating)
        return;
    struct IterationFlag
    {
        IterationFlag() { g_bIsIterating = true; }
        ~IterationFlag() { g_bIsIterating = false; }  // also when an observer throws
    } flag;
    for (LumoSystemLogObserver* observer : ObserverSet())
        observer->OnLogLine(line);
}

LumoSystemLogObserver::~LumoSystemLogObserver()
{
    std::lock_guard<std::recursive_mutex> lock(SystemLogLock());
    Assert(!g_bIsIterating, "!g_bIsIterating");
    Assert(ObserverSet().find(this) == ObserverSet().end(),
           "g_systemLogObservers.find(this) == g_systemLogObservers.end()");
}

void LumoSystemLogObserver::OnLogLine(const wchar_t*)
{
}

void LumoSystemLogObserver::Register()
{
    std::lock_guard<std::recursive_mutex> lock(SystemLogLock());
    Assert(!g_bIsIterating, "!g_bIsIterating");
    ObserverSet().insert(this);
}

void LumoSystemLogObserver::Unregister()
{
    std::lock_guard<std::recursive_mutex> lock(SystemLogLock());
    Assert(!g_bIsIterating, "!g_bIsIterating");
    ObserverSet().erase(this);
}
