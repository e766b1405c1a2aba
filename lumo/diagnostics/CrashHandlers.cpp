#include "lumo/diagnostics/CrashHandlers.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <typeinfo>

#include "lumo/diagnostics/AnalysisLog.h"
#include "lumo/diagnostics/CallStack.h"
#include "lumo/diagnostics/CrashState.h"
#include "lumo/diagnostics/FaultExit.h"
#include "lumo/diagnostics/LogFilePath.h"
#include "lumo/diagnostics/SignalSafeText.h"
#include "platform/ConsoleControl.h"
#include "platform/NativePath.h"
#include "platform/ProcessSnapshot.h"
#include "platform/SignalChain.h"
#include "platform/SignalStack.h"
#include "lumo/diagnostics/SystemLog.h"

namespace crash
{

DumpOnce g_crashDump{0};
DumpOnce g_fatalDump{0};
std::atomic<bool> g_installed{false};
std::atomic<bool> g_fatalPathEnabled{false};
char g_dumpFolder[4096];
char g_fallbackParent[1024];
char g_fatalDumpName[1024];

bool BeginDump(DumpOnce& once)
{
    const int self = static_cast<int>(syscall(SYS_gettid));
    int expected = 0;
    if (once.compare_exchange_strong(expected, self))
        return true;
    // Another thread writes the dump: wait for it (up to 30 s), so that this thread's ending the
    // process does not cut the dump short.
    for (int i = 0; i < 3000; ++i)
    {
        const int writer = once.load();
        if (writer == kDumpWritten || writer == self)
            break;
        timespec pause{0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return false;
}

void EndDump(DumpOnce& once)
{
    once.store(kDumpWritten);
}

bool DumpWritten(const DumpOnce& once)
{
    return once.load() == kDumpWritten;
}

bool WriteDumpFile(const char* folder, const char* name, const CrashDumpRequest& request, char* path,
                   size_t pathCapacity)
{
    const int fd = CreateCrashDumpFile(folder, name, g_fallbackParent, path, pathCapacity);
    if (fd < 0)
        return false;
    const bool written = WriteCrashDump(fd, request);
    close(fd);
    return written;
}

bool IsMainThread()
{
    return syscall(SYS_gettid) == getpid();
}

}  // namespace crash

namespace
{

using namespace crash;

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT};

struct sigaction g_previousActions[NSIG];

// The dump request for a signal: its number, code, fault address and the interrupted context.
CrashDumpRequest SignalDumpRequest(int signalNumber, const siginfo_t* info, const ucontext_t* context)
{
    CrashDumpRequest request;
    request.reason = CrashDumpReason::Signal;
    request.signalNumber = signalNumber;
    request.signalCode = info ? info->si_code : 0;
    request.faultAddress = info ? reinterpret_cast<uint64_t>(info->si_addr) : 0;
    request.context = context;
    return request;
}
std::terminate_handler g_previousTerminate = nullptr;

std::atomic<bool> g_consoleCloseAllowed{true};
std::atomic<bool> g_dumpOnUnexpectedExit{false};
std::atomic<bool> g_closeRequested{false};
std::atomic<DebuggerProbe> g_debuggerProbe{nullptr};

const char kCrashDumpName[] = "Sollex-44088.dmp";
static_assert(kSollexBuildNumber == 44088, "the dump name carries the build number");

// Hands the signal on: to the handler installed before ours, or to the default action, which
// ends the process once this handler returns (the signal stays blocked until then).
void PassSignalOn(int signalNumber, siginfo_t* info, void* context)
{
    platform::PassSignalOn(signalNumber, info, context, g_previousActions[signalNumber]);
}

void OnFatalSignal(int signalNumber, siginfo_t* info, void* rawContext)
{
    // A thread under a fault guard ends the process before anything is written.
    ExitIfFaultGuarded(signalNumber, info);
    const int savedErrno = errno;
    const ucontext_t* context = static_cast<const ucontext_t*>(rawContext);
    // abort() after an assertion, an invalid parameter or an uncaught exception: that path has
    // written its dump already.
    const bool alreadyReported = signalNumber == SIGABRT && (DumpWritten(g_crashDump) || DumpWritten(g_fatalDump));
    if (!alreadyReported)
    {
        const CrashDumpRequest request = SignalDumpRequest(signalNumber, info, context);
        const bool guarded = IsGuardedThread();
        if (g_fatalPathEnabled.load() && (guarded || IsMainThread()))
        {
            RunFatalPath(request);
            if (guarded)
                EndGuardedThreadProcess();
        }
        else
        {
            CreateMiniDump(signalNumber, info, context);
        }
    }
    PassSignalOn(signalNumber, info, rawContext);
    errno = savedErrno;
}

// The text of the exception being handled: "<type>: <what>".
void DescribeCurrentException(char* text, size_t capacity)
{
    text[0] = '\0';
    const std::type_info* type = abi::__cxa_current_exception_type();
    if (!type)
    {
        snprintf(text, capacity, "std::terminate called without an active exception");
        return;
    }
    int status = 0;
    char* demangled = abi::__cxa_demangle(type->name(), nullptr, nullptr, &status);
    const char* typeName = status == 0 && demangled ? demangled : type->name();
    try
    {
        throw;
    }
    catch (const std::exception& exception)
    {
        snprintf(text, capacity, "uncaught exception %s: %s", typeName, exception.what());
    }
    catch (...)
    {
        snprintf(text, capacity, "uncaught exception %s", typeName);
    }
    free(demangled);
}

char g_exceptionText[1024];

__attribute__((noinline)) void OnTerminate()
{
    DescribeCurrentException(g_exceptionText, sizeof(g_exceptionText));
    const uint64_t caller = reinterpret_cast<uint64_t>(__builtin_return_address(0));
    const bool guarded = IsGuardedThread();
    if (g_fatalPathEnabled.load() && (guarded || IsMainThread()))
    {
        ucontext_t context;
        getcontext(&context);
        CrashDumpRequest request;
        request.reason = CrashDumpReason::UncaughtException;
        request.signalNumber = guarded ? 0 : SIGABRT;  // a guarded thread ends the process by exit
        request.context = &context;
        request.firstFrame = caller;
        request.detail = g_exceptionText;
        RunFatalPath(request);
        if (guarded)
            EndGuardedThreadProcess();
    }
    else
    {
        WriteDumpNowFor(CrashDumpReason::UncaughtException, g_exceptionText, caller);
    }
    if (g_previousTerminate)
        g_previousTerminate();
    abort();
}

// Where a dump goes that its folder refuses: below TMPDIR, TEMP or /tmp.
const char* TemporaryParent()
{
    const char* temp = getenv("TMPDIR");
    if (!temp || !*temp)
        temp = getenv("TEMP");
    if (!temp || !*temp)
        temp = "/tmp";
    return temp;
}

// Where the next dump goes: the log folder's path, made now (outside signal context).
void PrepareDumpFolders()
{
    // Asked with a name that does not exist, so that neither of its naming modes touches an
    // earlier dump; only the folder part is kept (and the folder is made now).
    std::wstring path;
    MakeLogFilePath(L"Sollex-44088.dmp.folder", nullptr, path);
    const size_t slash = path.rfind(L'/');
    const std::string folder = slash == std::wstring::npos ? std::string() : ToNativePath(path.substr(0, slash + 1));
    snprintf(g_dumpFolder, sizeof(g_dumpFolder), "%s", folder.size() < sizeof(g_dumpFolder) ? folder.c_str() : "");

    snprintf(g_fallbackParent, sizeof(g_fallbackParent), "%s", TemporaryParent());
}

void InstallSignalHandlers()
{
    for (int signalNumber : kFatalSignals)
    {
        struct sigaction action{};
        action.sa_sigaction = OnFatalSignal;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        sigaction(signalNumber, &action, &g_previousActions[signalNumber]);
    }
}

bool TracerPresent()
{
    const int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[4096];
    ssize_t length = read(fd, text, sizeof(text) - 1);
    close(fd);
    if (length <= 0)
        return false;
    text[length] = '\0';
    const char* field = strstr(text, "TracerPid:");
    if (!field)
        return false;
    field += strlen("TracerPid:");
    while (*field == ' ' || *field == '\t')
        ++field;
    return *field != '\0' && *field != '0';
}

}  // namespace

void InstallCrashHandlers(bool allowConsoleClose)
{
    g_consoleCloseAllowed = allowConsoleClose;
    g_dumpOnUnexpectedExit = true;
    if (g_installed.exchange(true))
        return;
    PrepareCrashDumpWriter();
    PrepareDumpFolders();
    platform::EnsureSignalStack();
    InstallSignalHandlers();
    g_previousTerminate = std::set_terminate(OnTerminate);
    std::atexit(DumpOnUnexpectedExit);
    platform::SetConsoleControlHandler(ConsoleCtrlHandler, true);
}

void PrepareNormalExit()
{
    g_dumpOnUnexpectedExit = false;
    g_consoleCloseAllowed = true;
}

bool IsConsoleCloseRequested()
{
    return g_closeRequested.load();
}

int CreateMiniDump(int signalNumber, const siginfo_t* info, const ucontext_t* context)
{
    if (!g_installed.load() || !BeginDump(g_crashDump))
        return 1;
    const CrashDumpRequest request = SignalDumpRequest(signalNumber, info, context);
    char path[4096];
    const bool written = WriteDumpFile(g_dumpFolder, kCrashDumpName, request, path, sizeof(path));
    EndDump(g_crashDump);
    if (written)
    {
        // The system log and the analysis log allocate and lock: not here. Standard error
        // tells where the dump went.
        SignalSafeText<4200> line;
        line.Append("CreateMiniDump: ").Append(path).Append("\n");
        line.WriteTo(STDERR_FILENO);
    }
    return 1;
}

void WriteDumpNow()
{
    WriteDumpNowFor(CrashDumpReason::Snapshot, nullptr, reinterpret_cast<uint64_t>(__builtin_return_address(0)));
}

void WriteDumpNowFor(CrashDumpReason reason, const char* detail, uint64_t firstFrame)
{
    if (!g_installed.load() || !BeginDump(g_crashDump))
        return;
    ucontext_t context;
    getcontext(&context);
    CrashDumpRequest request;
    request.reason = reason;
    // These end in abort() right after the dump.
    if (reason == CrashDumpReason::Assertion || reason == CrashDumpReason::InvalidParameter ||
        reason == CrashDumpReason::UncaughtException)
        request.signalNumber = SIGABRT;
    request.context = &context;
    request.firstFrame = firstFrame ? firstFrame : reinterpret_cast<uint64_t>(__builtin_return_address(0));
    request.detail = detail;
    char path[4096];
    const bool written = WriteDumpFile(g_dumpFolder, kCrashDumpName, request, path, sizeof(path));
    EndDump(g_crashDump);
    if (!written)
        return;
    LockSystemLog();
    if (AnalysisLog* log = GetAnalysisLog())
    {
        log->SetFlushEachLine(true);
        SystemLogPrintfW(L"CreateMiniDump: %s", FromNativePath(path).c_str());
        LogCallStack(true);
    }
    UnlockSystemLog();
}

void DumpOnUnexpectedExit()
{
    if (g_dumpOnUnexpectedExit.load())
        WriteDumpNowFor(CrashDumpReason::UnexpectedExit, "the process exited without a normal exit", 0);
}

void InvalidParameterHandler(const wchar_t* /*expression*/, const wchar_t* function, const wchar_t* file,
                             unsigned line, uintptr_t /*reserved*/)
{
    WriteDumpNowFor(CrashDumpReason::InvalidParameter, "invalid parameter",
                    reinterpret_cast<uint64_t>(__builtin_return_address(0)));
    SystemLogPrintfW(L"Invalid Parameter Handler> function=%s, file=%s, line=%d", function ? function : L"NULL",
                     file ? file : L"NULL", static_cast<int>(line));
    abort();
}

bool ConsoleCtrlHandler(uint32_t controlType)
{
    // The handler's trace, not the user's: off the console (standard output is the program's).
    SystemLogPrintfTo(SYSTEMLOG_DETAIL, "Console Window event handler called for CtrlType=%d", static_cast<int>(controlType));
    if (g_consoleCloseAllowed.load())
    {
        g_dumpOnUnexpectedExit = false;
        return false;
    }
    g_closeRequested = true;
    if (controlType <= platform::kCtrlBreakEvent)
        return true;
    // The process is going away (terminal closed, asked to stop): hold it until the program
    // allows the close, then let the signal end it.
    while (!g_consoleCloseAllowed.load())
    {
        timespec pause{1, 0};
        nanosleep(&pause, nullptr);
    }
    return false;
}

bool WriteRemoteMinidump(pid_t process)
{
    platform::ProcessSnapshot snapshot;
    std::string error;
    if (!platform::TakeProcessSnapshot(process, kCrashDumpStackWindow, kCrashDumpMaxFrames, snapshot, error))
    {
        SystemLogPrintf("WriteRemoteMinidump> %s", error.c_str());
        return false;
    }
    // The process runs on by now: the file is written from the snapshot.
    std::wstring name = L"lumo-remote-v" + FromNativePath(kSollexVersionText) + L".dmp";
    std::wstring chosen;
    MakeLogFilePath(name, nullptr, chosen);
    const std::string native = ToNativePath(chosen);
    const size_t slash = native.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : native.substr(0, slash + 1);
    const std::string file = slash == std::string::npos ? native : native.substr(slash + 1);
    char path[4096];
    const int fd = CreateCrashDumpFile(folder.c_str(), file.c_str(), TemporaryParent(), path, sizeof(path));
    if (fd < 0)
    {
        SystemLogPrintf("WriteRemoteMinidump> process %d: the dump file %s cannot be created (%s)",
                        static_cast<int>(process), native.c_str(), strerror(errno));
        return false;
    }
    const bool written = WriteRemoteCrashDump(fd, snapshot);
    const int writeErrno = errno;
    if (!written || close(fd) != 0)
    {
        SystemLogPrintf("WriteRemoteMinidump> process %d: the dump file %s cannot be written (%s)",
                        static_cast<int>(process), path, strerror(written ? errno : writeErrno));
        if (!written)
            close(fd);
        return false;
    }
    SystemLogPrintfW(L"WriteRemoteMinidump: %s", FromNativePath(path).c_str());
    return true;
}

bool IsDebuggerPresent()
{
    if (DebuggerProbe probe = g_debuggerProbe.load())
        return probe();
    return TracerPresent();
}

void SetDebuggerProbe(DebuggerProbe probe)
{
    g_debuggerProbe = probe;
}
