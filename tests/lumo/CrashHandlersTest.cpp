// Crash handlers, dumps and Assert. Every crash happens in a child process: this test binary
// started again with one scenario (CrashScenario.DISABLED_Run), in a fresh working folder of its
// own that is also its TMPDIR. The parent then reads what the child left behind, with the reader
// and with dump-tool.

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/DebugOutput.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BuildConfig.h"
#include "lumo/diagnostics/Assert.h"
#include "lumo/diagnostics/CrashDump.h"
#include "lumo/diagnostics/CrashDumpReader.h"
#include "lumo/diagnostics/CrashHandlers.h"
#include "platform/SignalStack.h"
#include "lumo/diagnostics/DumpSymbols.h"
#include "lumo/diagnostics/LogFilePath.h"
#include "lumo/diagnostics/SystemLog.h"
#include "platform/NativePath.h"
#include "platform/ProcessSnapshot.h"
#include "tests/fixtures/StackOverflow.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/ShellCommand.h"

extern char** environ;

namespace
{

// ---- The child's side -------------------------------------------------------------------------

__attribute__((noinline)) void CrashByNullWrite()
{
    volatile int* volatile target = nullptr;
    *target = 1;
}

__attribute__((noinline)) void AbortHere()
{
    abort();
}

__attribute__((noinline)) void ThrowUncaught()
{
    throw std::runtime_error("nobody catches this");
}

volatile int g_afterAssert = 0;

__attribute__((noinline)) void FailAssertHere(int value)
{
    Assert(value > 0, "value > 0");
    g_afterAssert = 1;  // keeps the call from becoming a jump, so this frame stays on the stack
}

using fixtures::RecurseForever;

// Where a dumped process waits: its worker, once it said so, for a byte on standard input; its main thread for ever.
__attribute__((noinline)) void WorkerReadsInKnownFunction()
{
    pthread_setname_np(pthread_self(), "remote-worker");
    fputs("ready\n", stderr);
    char byte = 0;
    while (read(STDIN_FILENO, &byte, 1) < 0 && errno == EINTR)
        continue;
    fprintf(stderr, "running on %c\n", byte);
    _exit(0);
}

__attribute__((noinline)) void MainWaitsInKnownFunction()
{
    std::thread(WorkerReadsInKnownFunction).detach();
    for (;;)
        pause();
}

// Guarded when `body` is given, else a plain crash.
void RunInNamedThread(void* (*body)(void*))
{
    std::thread worker([body] {
        pthread_setname_np(pthread_self(), "crash-worker");
        body ? GuardedThreadEntry(body, nullptr) : (CrashByNullWrite(), nullptr);
    });
    worker.join();
}

void CrashTwoThreadsAtOnce()
{
    std::atomic<int> ready{0};
    auto crash = [&ready] {
        platform::EnsureSignalStack();
        ready.fetch_add(1);
        while (ready.load() < 2)
        {
        }
        CrashByNullWrite();
    };
    std::thread first(crash);
    std::thread second(crash);
    first.join();
    second.join();
}

void WaitForParentThenExitNormally()
{
    printf("waiting\n");
    fflush(stdout);
    char byte = 0;
    while (read(STDIN_FILENO, &byte, 1) < 0 && errno == EINTR)
    {
    }
    PrepareNormalExit();
    for (;;)
        pause();
}

// The debug channel on standard output, each piece marked, beside what the console gets there;
// written at once, as a child ended by a signal flushes nothing.
void MarkDebugOutput()
{
    platform::SetDebugOutputHook([](const std::string& text) {
        const std::string marked = "[debug] " + text;
        [[maybe_unused]] const ssize_t written = write(STDOUT_FILENO, marked.data(), marked.size());
    });
}

void RunScenario(const std::string& scenario)
{
    if (scenario == "remote-target")
        MainWaitsInKnownFunction();
    if (scenario == "console-close")
    {
        MarkDebugOutput();
        InstallCrashHandlers(false);
        WaitForParentThenExitNormally();
    }
    if (scenario == "console-interrupt")
    {
        MarkDebugOutput();
        InstallCrashHandlers(false);
        kill(getpid(), SIGINT);
        for (int i = 0; i < 500 && !IsConsoleCloseRequested(); ++i)
            usleep(10 * 1000);
        printf("close requested: %d\n", IsConsoleCloseRequested() ? 1 : 0);
        PrepareNormalExit();
        exit(0);
    }
    InstallCrashHandlers(true);
    if (scenario == "null-write")
        CrashByNullWrite();
    else if (scenario == "abort")
        AbortHere();
    else if (scenario == "uncaught")
        [] () noexcept { ThrowUncaught(); }();
    else if (scenario == "guarded-worker" || scenario == "guarded-throw")
    {
        BuildMinidumpName(L"patcher");
        void* (*body)(void*) = [](void*) -> void* { CrashByNullWrite(); return nullptr; };
        if (scenario == "guarded-throw")
            body = [](void*) -> void* { ThrowUncaught(); return nullptr; };
        RunInNamedThread(body);
    }
    else if (scenario == "main-fatal")
    {
        BuildMinidumpName(L"patcher");
        CrashByNullWrite();
    }
    else if (scenario == "unguarded-worker")
    {
        BuildMinidumpName(L"patcher");
        RunInNamedThread(nullptr);
    }
    else if (scenario == "assert")
        FailAssertHere(0);
    else if (scenario == "stack-overflow")
        printf("%d\n", RecurseForever(0));
    else if (scenario == "two-threads")
        CrashTwoThreadsAtOnce();
    else if (scenario == "invalid-parameter")
        InvalidParameterHandler(L"size < 10", nullptr, L"checked.cpp", 12, 0);
    else if (scenario == "snapshot")
    {
        WriteDumpNow();
        WriteDumpNow();  // once per process: no second file
        printf("continued\n");
        PrepareNormalExit();
        exit(0);
    }
    else if (scenario == "exit-unannounced")
        exit(0);
    else if (scenario == "exit-normal")
    {
        PrepareNormalExit();
        exit(0);
    }
    else if (scenario == "folder-gone")
    {
        // The working folder disappears under the process: the dump must go elsewhere.
        mkdir("gone", 0700);
        if (chdir("gone") != 0 || rmdir("../gone") != 0)
            exit(3);
        CrashByNullWrite();
    }
    exit(4);  // an unknown scenario
}

// ---- The parent's side ------------------------------------------------------------------------

struct ChildResult
{
    int status = -1;  // as waitpid reports it
    std::string output;
    pid_t pid = -1;
};

// Runs one scenario in `folder` (also its TMPDIR); `whileRunning` gets the child's pid and the write
// end of its standard input. A child that hangs is killed and reported.
ChildResult RunChild(const std::string& scenario, const std::string& folder,
                     const std::function<void(pid_t, int)>& whileRunning = nullptr)
{
    std::vector<std::string> environment = {"TMPDIR=" + folder, "LUMO_CRASH_SCENARIO=" + scenario};
    for (char** entry = environ; *entry; ++entry)
        if (strncmp(*entry, "TMPDIR=", 7) != 0 && strncmp(*entry, "LUMO_CRASH_SCENARIO=", 20) != 0)
            environment.push_back(*entry);
    std::vector<char*> envp;
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    static std::string exe = std::filesystem::read_symlink("/proc/self/exe");
    std::string filter = "--gtest_filter=CrashScenario.DISABLED_Run", disabled = "--gtest_also_run_disabled_tests",
                noCatch = "--gtest_catch_exceptions=0";
    char* argv[] = {exe.data(), filter.data(), disabled.data(), noCatch.data(), nullptr};

    const std::string outputPath = folder + "/child-output.txt";
    const int output = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    int input[2] = {-1, -1};
    EXPECT_EQ(pipe2(input, O_CLOEXEC), 0);
    ChildResult result;
    result.pid = fork();
    if (result.pid == 0)
    {
        dup2(output, STDOUT_FILENO);
        dup2(output, STDERR_FILENO);
        dup2(input[0], STDIN_FILENO);
        if (chdir(folder.c_str()) == 0)
            execve(exe.c_str(), argv, envp.data());
        _exit(121);
    }
    close(output);
    close(input[0]);
    if (whileRunning)
        whileRunning(result.pid, input[1]);
    close(input[1]);
    for (int i = 0; waitpid(result.pid, &result.status, WNOHANG) != result.pid; ++i)
    {
        if (i == 3000)
        {
            kill(result.pid, SIGKILL);
            waitpid(result.pid, &result.status, 0);
            ADD_FAILURE() << "scenario " << scenario << " hung";
            break;
        }
        usleep(10 * 1000);
    }
    result.output = fixtures::ReadFile(outputPath);
    return result;
}

// Names in `folder` that start with `prefix` and end with `suffix`, sorted.
std::vector<std::string> FilesIn(const std::string& folder, const std::string& suffix, const std::string& prefix = "")
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
    {
        const std::string name = entry.path().filename();
        if (name.rfind(prefix, 0) == 0 && name.size() >= suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string RunDumpTool(const std::string& dumpPath)
{
    return fixtures::RunShell(LUMO_BIN_DIR "/dump-tool '" + dumpPath + "' 2>&1");
}

CrashDumpContents ReadDump(const std::string& path)
{
    CrashDumpContents dump;
    std::string error;
    EXPECT_TRUE(ReadCrashDump(fixtures::ReadFile(path), dump, error)) << path << ": " << error;
    return dump;
}

// How a child ends: "signal N" when `signalNumber` is set, else "exit N".
std::string Ending(int signalNumber, int code = 0)
{
    return signalNumber ? "signal " + std::to_string(signalNumber) : "exit " + std::to_string(code);
}

std::string EndingOf(int status)
{
    return WIFEXITED(status) ? Ending(0, WEXITSTATUS(status)) : Ending(WTERMSIG(status));
}

// In sanitizer builds the sanitizer takes the fault signals for itself: no handler of ours runs.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizerOwnsFaults = true;
#else
constexpr bool kSanitizerOwnsFaults = false;
#endif

#define SKIP_IF_SANITIZER_OWNS_FAULTS()                                          \
    if (kSanitizerOwnsFaults)                                                    \
    GTEST_SKIP() << "the sanitizer of this build handles fault signals itself"

// Little-endian fields, written independently of the dump writer.
std::string U64(uint64_t value, int bytes = 8)
{
    std::string text;
    for (int i = 0; i < bytes; ++i)
        text += static_cast<char>(value >> (8 * i));
    return text;
}
std::string U32(uint32_t value) { return U64(value, 4); }
std::string Text(const std::string& text) { return U32(text.size()) + text; }
}  // namespace

TEST(CrashScenario, DISABLED_Run)
{
    const char* scenario = getenv("LUMO_CRASH_SCENARIO");
    ASSERT_NE(scenario, nullptr);
    RunScenario(scenario);
}

// Each failure leaves one dump whose printout names the signal, the thread and the function
// that failed, and the process ends with a failure status.
TEST(CrashHandlers, EachFailureLeavesOneDumpNamingSignalThreadAndFunction)
{
    struct Case
    {
        const char* scenario;
        const char* dumpPattern;  // regular expression of the dump's file name
        const char* signalText;   // in dump-tool's Reason line
        const char* function;     // a frame dump-tool must name
        bool mainThread;          // else the worker thread "crash-worker"
        int exitSignal;           // 0: exits with status 255
    };
    const Case cases[] = {
        {"null-write", "Sollex-44088\\.dmp", "SIGSEGV (11), code SEGV_MAPERR, fault address 0x0", "CrashByNullWrite",
         true, SIGSEGV},
        {"abort", "Sollex-44088\\.dmp", "SIGABRT (6)", "AbortHere", true, SIGABRT},
        {"uncaught", "Sollex-44088\\.dmp", "uncaught exception, ending by SIGABRT (6)", "ThrowUncaught", true,
         SIGABRT},
        {"guarded-worker", "patcher-v35673-\\d{4}\\.\\d{2}\\.\\d{2}-\\d{2}\\.\\d{2}\\.\\d{2}\\.dmp", "SIGSEGV (11)",
         "CrashByNullWrite", false, 0},
        {"guarded-throw", "patcher-v35673-\\d{4}\\.\\d{2}\\.\\d{2}-\\d{2}\\.\\d{2}\\.\\d{2}\\.dmp",
         "uncaught exception", "ThrowUncaught", false, 0},
        // The main thread takes the fatal path too, but ends by its signal.
        {"main-fatal", "patcher-v35673-\\d{4}\\.\\d{2}\\.\\d{2}-\\d{2}\\.\\d{2}\\.\\d{2}\\.dmp", "SIGSEGV (11)",
         "CrashByNullWrite", true, SIGSEGV},
        {"unguarded-worker", "Sollex-44088\\.dmp", "SIGSEGV (11)", "CrashByNullWrite", false, SIGSEGV},
        {"assert", "Sollex-44088\\.dmp", "Reason: assertion, ending by SIGABRT (6)", "FailAssertHere", true,
         SIGABRT},
        // Only the alternate signal stack leaves room for the handler here.
        {"stack-overflow", "Sollex-44088\\.dmp", "SIGSEGV (11)", "RecurseForever", true, SIGSEGV},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.scenario);
        const bool fault = c.exitSignal == SIGSEGV || (c.exitSignal == 0 && strstr(c.scenario, "worker"));
        if (kSanitizerOwnsFaults && fault)
            continue;
        fixtures::ScratchFolder folder;
        const ChildResult child = RunChild(c.scenario, folder.Path());
        EXPECT_EQ(EndingOf(child.status), Ending(c.exitSignal, 255)) << child.output;
        EXPECT_TRUE(c.exitSignal || child.output.find("Fatal Error: Unhandled Exception") != std::string::npos)
            << child.output;

        const std::vector<std::string> dumps = FilesIn(folder.Path(), ".dmp");
        ASSERT_EQ(dumps.size(), 1u) << child.output;
        EXPECT_TRUE(std::regex_match(dumps[0], std::regex(c.dumpPattern))) << dumps[0];

        const std::string printout = RunDumpTool(folder / dumps[0]);
        EXPECT_NE(printout.find(c.signalText), std::string::npos) << printout;
        EXPECT_NE(printout.find(c.function), std::string::npos) << printout;
        const std::string thread = c.mainThread ? "Thread: " + std::to_string(child.pid) + " \"" : "\"crash-worker\"";
        EXPECT_NE(printout.find(thread), std::string::npos) << printout;
        EXPECT_NE(printout.find("Executable: "), std::string::npos) << printout;
    }
}

// The reader proves the fields one by one against what the parent knows of the child.
TEST(CrashHandlers, DumpFieldsDescribeTheFailingProcess)
{
    SKIP_IF_SANITIZER_OWNS_FAULTS();
    fixtures::ScratchFolder folder;
    const ChildResult child = RunChild("null-write", folder.Path());
    const CrashDumpContents dump = ReadDump(folder / "Sollex-44088.dmp");

    EXPECT_TRUE(dump.complete);
    EXPECT_EQ(dump.pid, static_cast<uint32_t>(child.pid));
    EXPECT_EQ(dump.executable, std::filesystem::read_symlink("/proc/self/exe").string());
    EXPECT_LE(static_cast<time_t>(dump.seconds), time(nullptr));
    EXPECT_GT(static_cast<time_t>(dump.seconds), time(nullptr) - 600);

    EXPECT_EQ(dump.reason, static_cast<uint32_t>(CrashDumpReason::Signal));
    EXPECT_EQ(dump.signalNumber, SIGSEGV);
    EXPECT_EQ(dump.signalCode, SEGV_MAPERR);
    EXPECT_EQ(dump.faultAddress, 0u);
    EXPECT_EQ(dump.threadId, static_cast<uint32_t>(child.pid));
    EXPECT_NE(std::find(dump.threads.begin(), dump.threads.end(), dump.threadId), dump.threads.end());

    uint64_t rip = 0, rsp = 0, scratch = 0;
    for (const auto& [name, value] : dump.registers)
        (name == "rip" ? rip : name == "rsp" ? rsp : scratch) = value;
    ASSERT_FALSE(dump.frames.empty());
    EXPECT_EQ(dump.frames[0].address, rip);
    EXPECT_EQ(dump.frames[0].module, dump.executable);
    EXPECT_EQ(dump.frames[0].buildId, ReadFileBuildId(dump.executable));
    EXPECT_FALSE(dump.frames[0].buildId.empty());

    // The stack window starts below the stack pointer and holds the return address of the frame
    // that called the crashing function.
    EXPECT_EQ(dump.stackStart, rsp - 128);
    // At least 4 KiB, unless the stack's mapping ends sooner (a shallow stack under a small
    // environment).
    uint64_t mappingEnd = 0;
    std::istringstream maps(dump.maps);
    for (std::string line; std::getline(maps, line) && mappingEnd == 0;)
    {
        uint64_t from = 0, to = 0;
        if (sscanf(line.c_str(), "%" SCNx64 "-%" SCNx64, &from, &to) == 2 && from <= rsp && rsp < to)
            mappingEnd = to;
    }
    ASSERT_NE(mappingEnd, 0u) << "no mapping holds the stack pointer";
    EXPECT_GE(dump.stack.size(), std::min<uint64_t>(4096u, mappingEnd - dump.stackStart));
    ASSERT_GE(dump.frames.size(), 2u);
    bool returnAddressFound = false;
    for (size_t at = 0; at + 8 <= dump.stack.size(); at += 8)
    {
        uint64_t word = 0;
        for (int i = 0; i < 8; ++i)
            word |= static_cast<uint64_t>(static_cast<uint8_t>(dump.stack[at + i])) << (8 * i);
        returnAddressFound = returnAddressFound || word == dump.frames[1].address;
    }
    EXPECT_TRUE(returnAddressFound);

    EXPECT_NE(dump.maps.find(dump.executable), std::string::npos);
    EXPECT_NE(dump.maps.find("[stack]"), std::string::npos);
    EXPECT_NE(dump.status.find("Pid:\t" + std::to_string(child.pid)), std::string::npos);
}

TEST(CrashHandlers, OnlyOneDumpPerProcess)
{
    SKIP_IF_SANITIZER_OWNS_FAULTS();
    struct Case
    {
        const char* scenario;
        bool preexisting;                   // a Sollex-44088.dmp lies there already
        std::vector<std::string> expected;  // .dmp files afterwards
    };
    const Case cases[] = {
        {"two-threads", false, {"Sollex-44088.dmp"}},
        {"null-write", true, {"Sollex-44088.dmp", "Sollex-44088_1.dmp"}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.scenario);
        fixtures::ScratchFolder folder;
        if (c.preexisting)
            fixtures::WriteFile(folder / "Sollex-44088.dmp", "earlier");
        const ChildResult child = RunChild(c.scenario, folder.Path());
        EXPECT_EQ(EndingOf(child.status), Ending(SIGSEGV));
        EXPECT_EQ(FilesIn(folder.Path(), ".dmp"), c.expected);
        EXPECT_EQ(fixtures::ReadFile(folder / "Sollex-44088.dmp") == "earlier", c.preexisting);
        const CrashDumpContents dump = ReadDump(folder / c.expected.back());
        EXPECT_TRUE(dump.complete && dump.signalNumber == SIGSEGV);
    }
}

// The failures that end in an orderly way: how the process ends, what it says, and the reason its
// dump gives (none: no dump).
TEST(CrashHandlers, OrderlyEndsLeaveTheirDump)
{
    struct Case
    {
        const char* scenario;
        int exitSignal;  // 0: exits with 0
        const char* output;
        int reason;      // -1: no dump
    };
    const Case cases[] = {
        {"exit-unannounced", 0, "", static_cast<int>(CrashDumpReason::UnexpectedExit)},
        {"exit-normal", 0, "", -1},
        {"invalid-parameter", SIGABRT, "Invalid Parameter Handler> function=NULL, file=checked.cpp, line=12",
         static_cast<int>(CrashDumpReason::InvalidParameter)},
        {"snapshot", 0, "continued", static_cast<int>(CrashDumpReason::Snapshot)}, // and only one dump
        {"assert", SIGABRT, "Assertion failed: value > 0", static_cast<int>(CrashDumpReason::Assertion)},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.scenario);
        fixtures::ScratchFolder folder;
        const ChildResult child = RunChild(c.scenario, folder.Path());
        EXPECT_EQ(EndingOf(child.status), Ending(c.exitSignal));
        EXPECT_NE(child.output.find(c.output), std::string::npos) << child.output;
        const std::vector<std::string> dumps = FilesIn(folder.Path(), ".dmp");
        ASSERT_EQ(dumps.size(), c.reason < 0 ? 0u : 1u);
        EXPECT_TRUE(c.reason < 0 || ReadDump(folder / dumps[0]).reason == static_cast<uint32_t>(c.reason));
    }
}

// A folder that refuses the dump sends it to a new private folder below TMPDIR, never to a fixed
// name in a shared place.
TEST(CrashHandlers, RefusedFolderSendsDumpToPrivateFolder)
{
    SKIP_IF_SANITIZER_OWNS_FAULTS();
    fixtures::ScratchFolder folder;
    const ChildResult child = RunChild("folder-gone", folder.Path());
    EXPECT_EQ(EndingOf(child.status), Ending(SIGSEGV));
    const std::vector<std::string> privateFolders = FilesIn(folder.Path(), "", "lumo-dump-");
    ASSERT_EQ(privateFolders.size(), 1u) << child.output;
    struct stat info{};
    ASSERT_EQ(stat((folder / privateFolders[0]).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(ReadDump(folder / privateFolders[0] + "/Sollex-44088.dmp").signalNumber, SIGSEGV);
}

// A close request while closing is not allowed holds the process until the program allows it;
// then the signal ends it.
TEST(CrashHandlers, ConsoleCloseWaitsForNormalExit)
{
    fixtures::ScratchFolder folder;
    bool aliveAfterTerm = false;
    const ChildResult child = RunChild("console-close", folder.Path(), [&](pid_t pid, int input) {
        // Wait for the child to be ready, then ask it to stop.
        for (int i = 0; i < 1000 && fixtures::ReadFile(folder / "child-output.txt").find("waiting") == std::string::npos; ++i)
            usleep(10 * 1000);
        kill(pid, SIGTERM);
        usleep(300 * 1000);
        int status = 0;
        aliveAfterTerm = waitpid(pid, &status, WNOHANG) == 0;
        const char go = 'g';
        EXPECT_EQ(write(input, &go, 1), 1);
    });
    EXPECT_TRUE(aliveAfterTerm);
    EXPECT_EQ(EndingOf(child.status), Ending(SIGTERM));
    EXPECT_NE(child.output.find("[debug] Console Window event handler called for CtrlType=6"), std::string::npos)
        << child.output;
    EXPECT_TRUE(FilesIn(folder.Path(), ".dmp").empty());
}

// Ctrl+C while closing is not allowed is refused: the program goes on and can see the request.
TEST(CrashHandlers, InterruptIsRefusedWhileCloseIsNotAllowed)
{
    fixtures::ScratchFolder folder;
    const ChildResult child = RunChild("console-interrupt", folder.Path());
    EXPECT_EQ(EndingOf(child.status), Ending(0));
    // The handler's trace is on the debug channel only: the console (standard output) never has it.
    const std::string trace = "Console Window event handler called for CtrlType=0";
    EXPECT_NE(child.output.find("[debug] " + trace), std::string::npos) << child.output;
    EXPECT_EQ(child.output.find(trace), child.output.rfind(trace)) << child.output;
    EXPECT_NE(child.output.find("close requested: 1"), std::string::npos) << child.output;
}

// A guarded body that returns gives zero; with a debugger there is no guard and its own result comes back.
TEST(CrashHandlers, DebuggerPresentLeavesFatalPathOff)
{
    int marker = 7;
    const auto body = [](void* object) -> void* { return object; };
    EXPECT_EQ(GuardedThreadEntry(body, &marker), nullptr);
    SetDebuggerProbe([] { return true; });
    BuildMinidumpName(L"patcher");
    EXPECT_TRUE(GetMinidumpName().empty());
    EXPECT_EQ(GuardedThreadEntry(body, &marker), &marker);
    SetDebuggerProbe(nullptr);
}

TEST(CrashDumpReader, BadDumpsGetAClearError)
{
    fixtures::ScratchFolder folder;
    RunChild("snapshot", folder.Path());
    const std::string good = fixtures::ReadFile(folder / "Sollex-44088.dmp");
    ASSERT_GT(good.size(), 100u);

    std::string badLength = good;
    badLength.replace(16 + 4, 4, "\xff\xff\xff\xff");  // the first record's length, past any dump's end
    struct Case { const char* name; std::string bytes; const char* error; };
    const Case cases[] = {
        {"empty", "", "not a crash dump"},
        {"wrong magic", "LUMODUMX" + good.substr(8), "not a crash dump"},
        {"later version", good.substr(0, 8) + std::string("\x02\0\0\0", 4) + good.substr(12), "unsupported crash dump version 2"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CrashDumpContents dump;
        std::string error;
        EXPECT_FALSE(ReadCrashDump(c.bytes, dump, error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
    // Cut after whole records or inside one: read as far as the whole records go, marked incomplete,
    // and a cut inside a record says where.
    const uint32_t firstLength = static_cast<uint8_t>(good[20]) | static_cast<uint8_t>(good[21]) << 8;
    const struct { std::string bytes; const char* cut; bool hasProcess; } cuts[] = {
        {good.substr(0, 16 + 8 + firstLength), "", true},
        {good.substr(0, 16 + 8 + firstLength + 3), "record header cut short at offset ", true},
        {badLength, "claims 4294967295 bytes", false},
    };
    for (const auto& c : cuts)
    {
        CrashDumpContents dump;
        std::string error;
        ASSERT_TRUE(ReadCrashDump(c.bytes, dump, error)) << error;
        EXPECT_FALSE(dump.complete);
        EXPECT_EQ(dump.hasProcess, c.hasProcess);
        EXPECT_EQ(dump.cutShort.empty(), !*c.cut);
        EXPECT_NE(dump.cutShort.find(c.cut), std::string::npos) << dump.cutShort;
    }
}

// Dumps of the test process itself land in a scratch folder; the system log's lines are kept.
struct RemoteDump : testing::Test, LumoSystemLogObserver
{
    void SetUp() override { SetLogFolders(FromNativePath(folder.Path() + "/").c_str(), L""), Register(); }
    void TearDown() override { Unregister(), SetLogFolders(nullptr, nullptr); }
    void OnLogLine(const wchar_t* line) override { lines.push_back(ToNativePath(line)); }
    fixtures::ScratchFolder folder;
    std::vector<std::string> lines;
};

// Another process is dumped twice and runs on; dump-tool names the function each of its threads waits in.
TEST_F(RemoteDump, ShowsEachThreadInItsFunctionAndTheProcessRunsOn)
{
    bool dumped = false;
    const ChildResult child = RunChild("remote-target", folder.Path(), [&](pid_t pid, int input) {
        for (int i = 0; i < 3000 && fixtures::ReadFile(folder / "child-output.txt").find("ready\n") == std::string::npos; ++i)
            usleep(10 * 1000);
        dumped = WriteRemoteMinidump(pid) && WriteRemoteMinidump(pid);
        EXPECT_EQ(write(input, "k", 1), 1);
    });
    EXPECT_NE(child.output.find("running on k"), std::string::npos) << child.output;
    const std::string lastLine = lines.empty() ? "" : lines.back();
    if (!dumped && lastLine.find("the kernel refuses to trace") != std::string::npos)
        GTEST_SKIP() << "this machine does not let a parent trace its child: " << lastLine;
    ASSERT_TRUE(dumped) << lastLine;
    ASSERT_EQ(FilesIn(folder.Path(), ".dmp"),
              (std::vector<std::string>{"lumo-remote-v35673.dmp", "lumo-remote-v35673_1.dmp"}));
    const CrashDumpContents dump = ReadDump(folder / "lumo-remote-v35673.dmp");
    EXPECT_EQ(dump.reason, static_cast<uint32_t>(CrashDumpReason::Remote));
    ASSERT_EQ(dump.threadStates.size(), 2u);
    const std::string printed = RunDumpTool(folder / "lumo-remote-v35673.dmp");
    const auto part = [&](const std::string& heading) {  // from the thread's heading to the next one's
        const size_t at = printed.find(heading);
        return at == std::string::npos ? std::string() : printed.substr(at, printed.find("Thread ", at + 1) - at);
    };
    EXPECT_NE(part("Thread " + std::to_string(dump.pid) + " \"").find("MainWaitsInKnownFunction"), std::string::npos) << printed;
    EXPECT_NE(part(" \"remote-worker\":").find("WorkerReadsInKnownFunction"), std::string::npos) << printed;
}

// A refused dump returns false, logs the reason and leaves no file.
TEST_F(RemoteDump, RefusalsAreLoggedWithTheReason)
{
    const pid_t unused = std::stoi(fixtures::ReadFile("/proc/sys/kernel/pid_max"));  // above any process id
    std::vector<std::pair<pid_t, std::string>> cases = {
        {unused, "no such process"}, {getpid(), "a process cannot trace itself"}, {0, "no process id"}};
    if (geteuid() != 0)
        cases.push_back({1, "the kernel refuses to trace thread 1 (Operation not permitted)"});
    for (const auto& [pid, reason] : cases)
    {
        lines.clear();
        EXPECT_FALSE(WriteRemoteMinidump(pid)) << reason;
        ASSERT_EQ(lines.size(), 1u) << reason;
        EXPECT_TRUE(lines[0].starts_with("WriteRemoteMinidump> process " + std::to_string(pid) + ": " + reason)) << lines[0];
    }
    EXPECT_TRUE(FilesIn(folder.Path(), ".dmp").empty());
}

// The THREAD STATE record is written byte for byte and read back; a frame count past its end is an error.
TEST(CrashDumpReader, ThreadStateRecordsAreByteExactAndCheckedOnReading)
{
    const platform::SnapshotThread thread{4243, "worker", {{"rip", 0x401020}, {"rsp", 0x7ffc0000}},
                                          {{0x401020, 0x1020, "/opt/sollex/patcher", "\x01\xab"}}, 0x7ffbff80,
                                          std::string("\x00\x01\x02", 3)};
    const std::string payload = U32(4243) + Text("worker") +                                          // id, name
                                U32(2) + Text("rip") + U64(0x401020) + Text("rsp") + U64(0x7ffc0000) +  // registers
                                U32(1) + U64(0x401020) + U64(0x1020) + Text("/opt/sollex/patcher") + Text("\x01\xab") +
                                U64(0x7ffbff80) + Text(thread.stack);
    const int fd = memfd_create("dump", MFD_CLOEXEC);
    ASSERT_TRUE(WriteRemoteCrashDump(fd, platform::ProcessSnapshot{0, "", "", "", {thread}}));
    const std::string written = fixtures::ReadFile("/proc/self/fd/" + std::to_string(fd));
    close(fd);
    EXPECT_NE(written.find(U32(kDumpTagThreadState) + Text(payload)), std::string::npos);
    CrashDumpContents dump;
    std::string error;
    ASSERT_TRUE(ReadCrashDump(written, dump, error)) << error;
    ASSERT_EQ(dump.threadStates.size(), 1u);
    EXPECT_EQ(dump.threadStates[0].registers, thread.registers);
    EXPECT_EQ(dump.threadStates[0].stack, thread.stack);
    const std::string cut = U32(1) + Text("w") + U32(0) + U32(5) + U64(1);  // five frames promised, part of one given
    const std::string bad = written.substr(0, 16) + U32(kDumpTagThreadState) + Text(cut) + U32(kDumpTagEnd) + U32(0);
    EXPECT_FALSE(ReadCrashDump(bad, dump, error));
    EXPECT_NE(error.find("record 10 at offset 16 ends inside a field"), std::string::npos) << error;
}
