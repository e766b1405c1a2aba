#pragma once
// The system log: the libraries' one diagnostic line writer. Each line goes, as a mask selects, to
// standard output, to the analysis log (when one is open), to the debugger output and to the
// registered observers. One recursive lock serialises every line, observer registration and the
// reports of the crash handlers, so lines never interleave.
//
// Standard output (or the descriptor SetConsoleOutputHandle chose): when a launching tool has made the FIFO
//     ${XDG_RUNTIME_DIR:-${TMPDIR:-/tmp}}/<pid>cout
// (owned by our user, with its reader already open) before the program starts, standard output is
// redirected to it at start-up and every line is written there as UTF-16LE; otherwise lines are
// written to standard output as the 8-bit bytes of the line.

#include <cstdint>
#include <set>
#include <string>

enum : uint32_t
{
    SYSTEMLOG_STDOUT = 1,     // the line and "\n"
    SYSTEMLOG_ANALYSIS = 2,   // the line and "\r\n", only while an analysis log is open
    SYSTEMLOG_DEBUGGER = 4,   // the line and "\n" to the debugger output
    SYSTEMLOG_OBSERVERS = 8,  // the line and "\n", wide, to every registered observer
    SYSTEMLOG_ALL = 0xFFFFFFFFu,
    // Every destination but the console: a developer's line that names the product's own
    // functions and codes, which the user does not read.
    SYSTEMLOG_DETAIL = SYSTEMLOG_ANALYSIS | SYSTEMLOG_DEBUGGER | SYSTEMLOG_OBSERVERS,
};

// The longest formatted line the printf operations write; longer text is cut.
constexpr size_t SYSTEMLOG_MAX_LINE = 65535;

// Receives every line written with the observer bit. Constructing one does not register it; it
// must be unregistered before it is destroyed. OnLogLine runs with the system-log lock held, so it
// must not wait for another thread that logs; a line it logs itself reaches no observer.
class LumoSystemLogObserver
{
public:
    LumoSystemLogObserver() = default;
    LumoSystemLogObserver(const LumoSystemLogObserver&) = delete;
    LumoSystemLogObserver& operator=(const LumoSystemLogObserver&) = delete;
    virtual ~LumoSystemLogObserver();

    // line ends in "\n".
    virtual void OnLogLine(const wchar_t* line);

    void Register();
    void Unregister();
};

// Registered observers, ordered by address, and the flag set while they are being called.
extern std::set<LumoSystemLogObserver*>& g_systemLogObservers;
extern bool g_bIsIterating;

void SystemLogWrite(uint32_t mask, std::string line);
void SystemLogPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A line holds 8-bit text or UTF-8 (lumo/text/TextConversion.h's DecodeUtf8Or8Bit tells them apart);
// the terminal and the debugger output receive it as UTF-8, a pipe as UTF-16LE, observers as wide text.
// Wide format in the product's dialect (lumo/text/FormatDialect.h), written as UTF-8 so that no
// character is lost.
void SystemLogPrintfW(const wchar_t* format, ...);
void SystemLogPrintfTo(uint32_t mask, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The system-log lock, recursive for its owner.
void LockSystemLog();
void UnlockSystemLog();

// Calls every observer with the line, unless observers are already being called.
void BroadcastSystemLogLine(const wchar_t* line);

// Opens the launcher's FIFO and makes it standard output when there is one; runs once at start-up
// (and again from tests that create the FIFO). True when output now goes to the FIFO.
bool InitConsoleOutput();
// The descriptor console lines are written to (standard output unless set otherwise), and whether
// it is the launcher's FIFO.
int GetConsoleOutputHandle();
bool IsConsoleOutputPipe();
// Sends console lines to another descriptor: a command-line tool whose own output is standard
// output sends the libraries' lines to standard error.
void SetConsoleOutputHandle(int fd);
// Writes text as it stands to the console output (after what stdio holds for standard output):
// the libraries' printf-style diagnostic lines that are not system-log lines.
void WriteConsoleText(const std::string& text);

// A Linux process has no console window of its own: both do nothing.
void ShowConsoleWindow(bool show);
void DisableConsoleClose();
