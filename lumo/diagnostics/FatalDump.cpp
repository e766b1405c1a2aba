// The fatal-exception path: the time-stamped fatal dump, and the guard around worker threads.

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "lumo/diagnostics/CrashHandlers.h"
#include "platform/SignalStack.h"
#include "lumo/diagnostics/CrashState.h"
#include "lumo/diagnostics/SignalSafeText.h"
#include "lumo/text/StringUtil.h"
#include "platform/NativePath.h"

namespace
{

using namespace crash;

constexpr size_t kFatalNameUnits = 256;  // the name's buffer, terminator included

__attribute__((tls_model("initial-exec"))) thread_local bool t_guarded = false;

std::atomic<FatalExceptionHandler> g_fatalHandler{nullptr};

// What the fatal path recorded for WriteMinidump; valid while the failing thread is in it.
std::atomic<const CrashDumpRequest*> g_fatalRequest{nullptr};

std::mutex g_nameLock;
std::wstring g_fatalName;

// A body that throws ends in std::terminate right at the throw: no handler is found above this
// frame, so the stack of the throw is still there when the terminate handler writes the dump.
void* RunBody(GuardedThreadBody body, void* object) noexcept
{
    return body(object);
}

}  // namespace

namespace crash
{

bool IsGuardedThread()
{
    return t_guarded;
}

void RunFatalPath(const CrashDumpRequest& request)
{
    g_fatalRequest.store(&request);
    if (FatalExceptionHandler handler = g_fatalHandler.load())
        handler();
    else
        WriteMinidump();
    g_fatalRequest.store(nullptr);
}

void EndGuardedThreadProcess()
{
    // A message box cannot be shown from here (the toolkit is neither thread- nor signal-safe).
    SignalSafeText<128> message;
    message.Append("Fatal Error: Unhandled Exception\n");
    message.WriteTo(STDERR_FILENO);
    _exit(255);
}

}  // namespace crash

void BuildMinidumpName(const std::wstring& applicationName)
{
    if (IsDebuggerPresent())
        return;
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    std::wstring name = LumoUtil::FormatWString(L"%s-v%s-%i.%02i.%02i-%02i.%02i.%02i.dmp", applicationName.c_str(),
                                                L"35673", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                                local.tm_hour, local.tm_min, local.tm_sec);
    if (name.size() > kFatalNameUnits - 1)
        name.resize(kFatalNameUnits - 1);
    const std::string native = ToNativePath(name);
    {
        std::lock_guard<std::mutex> lock(g_nameLock);
        g_fatalName = name;
    }
    // Written before the path is enabled, read only after.
    snprintf(g_fatalDumpName, sizeof(g_fatalDumpName), "%s", native.size() < sizeof(g_fatalDumpName) ? native.c_str() : "");
    g_fatalPathEnabled.store(g_fatalDumpName[0] != '\0');
}

std::wstring GetMinidumpName()
{
    std::lock_guard<std::mutex> lock(g_nameLock);
    return g_fatalName;
}

void WriteMinidump()
{
    if (!g_installed.load() || g_fatalDumpName[0] == '\0' || !BeginDump(g_fatalDump))
        return;
    const CrashDumpRequest* recorded = g_fatalRequest.load();
    CrashDumpRequest snapshot;
    ucontext_t context;
    if (!recorded)
    {
        getcontext(&context);
        snapshot.reason = CrashDumpReason::Snapshot;
        snapshot.context = &context;
        snapshot.firstFrame = reinterpret_cast<uint64_t>(__builtin_return_address(0));
        recorded = &snapshot;
    }
    char path[4096];
    const bool written = WriteDumpFile("", g_fatalDumpName, *recorded, path, sizeof(path));
    EndDump(g_fatalDump);
    if (written)
    {
        SignalSafeText<4200> line;
        line.Append("WriteMinidump: ").Append(path).Append("\n");
        line.WriteTo(STDERR_FILENO);
    }
}

void SetFatalExceptionHandler(FatalExceptionHandler handler)
{
    g_fatalHandler = handler;
}

void* GuardedThreadEntry(GuardedThreadBody body, void* object)
{
    platform::EnsureSignalStack();
    if (IsDebuggerPresent())
        return body(object);
    t_guarded = true;
    RunBody(body, object);
    t_guarded = false;
    return nullptr;
}
