#include "Kiln/Src/Kiln/KernelStandard/FatalError.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Kiln/Src/Kiln/KernelStandard/ErrorReport.h"
#include "Kiln/Src/Kiln/KernelStandard/KilnException.h"
#include "Kiln/Src/Kiln/KernelStandard/KilnThread.h"
#include "lumo/diagnostics/CrashHandlers.h"
#include "tests/fixtures/ScratchFolder.h"

namespace
{

__attribute__((noinline)) void ThrowFromHere(const char* message)
{
    throw Kiln::FileEx(__FILE__, 77, message);
}

Kiln::FileEx CatchFileError(const char* message)
{
    try
    {
        ThrowFromHere(message);
    }
    catch (const Kiln::FileEx& error)
    {
        return error;
    }
    return Kiln::FileEx("", 0, "");
}

TEST(KilnException, CarriesMessageSourceAndCallStack)
{
    const Kiln::FileEx error = CatchFileError("cannot read the archive");
    EXPECT_STREQ(error.Message(), "cannot read the archive");
    EXPECT_STREQ(error.TypeName(), "File");
    EXPECT_STREQ(error.File(), __FILE__);
    EXPECT_EQ(error.Line(), 77u);
    // A copy (as the catch above made) carries the call stack of the throw.
    EXPECT_NE(std::string(error.CallStack()).find("CatchFileError"), std::string::npos) << error.CallStack();
    // Messages are cut to the fixed field, never overrun it.
    const std::string longMessage(300, 'x');
    EXPECT_EQ(std::string(Kiln::Exception("f", 1, longMessage.c_str()).Message()), longMessage.substr(0, 255));
    EXPECT_STREQ(Kiln::Exception("f", 1, nullptr).Message(), "");
}

TEST(KilnFatalError, AbortFlagStopsNewThreadBodies)
{
    static std::atomic<int> runs{0};
    Kiln::SetFatalAbort(true);
    {
        Kiln::Thread thread([](void*) -> uint32_t { return static_cast<uint32_t>(++runs + 40); }, nullptr, true);
        ASSERT_TRUE(thread.Wait(Kiln::kInfinite));
        EXPECT_EQ(thread.ExitCode(), 0u);
    }
    Kiln::SetFatalAbort(false);
    EXPECT_EQ(runs.load(), 0);
    Kiln::Thread thread([](void*) -> uint32_t { return static_cast<uint32_t>(++runs + 40); }, nullptr, true);
    ASSERT_TRUE(thread.Wait(Kiln::kInfinite));
    EXPECT_EQ(thread.ExitCode(), 41u);
}

// ---- the fatal path in child processes ----

// The crash-report stand-in must sit beside the test binary under the program's name.
std::string ProgramFolder()
{
    return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

void PlaceCrashReportDouble()
{
    const std::string target = ProgramFolder() + "/XCrashReport.exe";
    if (!fixtures::PathExists(ProgramFolder() + "/xcrash-report"))
        FAIL() << "build the xcrash-report stand-in first";
    const std::string temporary = target + "." + std::to_string(getpid());
    unlink(temporary.c_str());
    ASSERT_EQ(symlink("xcrash-report", temporary.c_str()), 0);
    ASSERT_EQ(rename(temporary.c_str(), target.c_str()), 0);
}

// The file's bytes, or "" when there is none.
std::string ReadFile(const std::string& path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

std::atomic<int> g_callbacks{0};

// The address sanitizer build (with the undefined-behaviour checks) stops at the faulting
// statement itself, before any signal.
#if defined(__SANITIZE_ADDRESS__)
#define SKIP_IF_SANITIZER_STOPS_FAULTS() GTEST_SKIP() << "the sanitizer of this build stops the fault itself"
#else
#define SKIP_IF_SANITIZER_STOPS_FAULTS() (void)0
#endif

// Each test's child runs in its own working folder with its own TMPDIR. The death tests re-run
// the test binary, so the child finds the folder through the environment the parent set.
class KilnFatalChild : public ::testing::Test
{
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        if (const char* existing = getenv("LUMO_KILN_SCRATCH"))
        {
            m_root = existing;  // the child of a death test
            return;
        }
        PlaceCrashReportDouble();
        m_scratch = std::make_unique<fixtures::ScratchFolder>();
        m_root = m_scratch->Path();
        mkdir((m_root + "/tmp").c_str(), 0700);
        mkdir((m_root + "/work").c_str(), 0700);
        m_savedTmp = getenv("TMPDIR") ? getenv("TMPDIR") : "";
        setenv("LUMO_KILN_SCRATCH", m_root.c_str(), 1);
        setenv("TMPDIR", (m_root + "/tmp").c_str(), 1);
        setenv("LUMO_XCRASH_RECORD", (m_root + "/record.txt").c_str(), 1);
        setenv("LUMO_XCRASH_EXIT", "0", 1);
    }

    void TearDown() override
    {
        unsetenv("LUMO_KILN_SCRATCH");
        unsetenv("LUMO_XCRASH_RECORD");
        unsetenv("LUMO_XCRASH_EXIT");
        if (m_savedTmp.empty())
            unsetenv("TMPDIR");
        else
            setenv("TMPDIR", m_savedTmp.c_str(), 1);
    }

    // For the child: its own working folder, quiet channels, a shutdown callback that counts.
    void EnterChild()
    {
        if (chdir((m_root + "/work").c_str()) != 0)
            _exit(90);
        Kiln::AddShutdownCallback([](void*) { ++g_callbacks; }, nullptr);
    }

    // Runs `routine` on a kernel thread; ends the process with 0 when the thread ended with
    // `expectedCode` and the shutdown chain ran `expectedCallbacks` times, else with 20 + what went wrong.
    [[noreturn]] void RunAndExit(Kiln::Thread::Routine routine, uint32_t expectedCode, int expectedCallbacks)
    {
        EnterChild();
        uint32_t code;
        {
            Kiln::Thread thread(routine, nullptr, true);
            if (!thread.Wait(Kiln::kInfinite))
                _exit(21);
            code = thread.ExitCode();
        }
        fflush(nullptr);
        _exit(code != expectedCode ? 22 : g_callbacks.load() != expectedCallbacks ? 23 : 0);
    }

    std::string ReportFolder()
    {
        for (const auto& entry : std::filesystem::directory_iterator(m_root + "/tmp"))
            if (entry.path().filename().string().rfind("kiln-report-", 0) == 0)
                return entry.path();
        return "";
    }

    std::string Report() { return ReadFile(ReportFolder() + "/ERRORLOG.TXT"); }

    // The arguments of each start of the crash-report program, and its working folders.
    // The program may still be running when the child has ended: waits (up to 10 s) for `count`
    // complete records.
    std::vector<std::vector<std::string>> Starts(std::vector<std::string>* folders = nullptr,
                                                 std::vector<std::string>* found = nullptr, size_t count = 1)
    {
        std::string record;
        for (int i = 0; i < 1000; ++i)
        {
            record = ReadFile(m_root + "/record.txt");
            size_t ends = 0;
            for (size_t at = 0; (at = record.find("\nend\n", at)) != std::string::npos; ++at)
                ++ends;
            if (ends >= count)
                break;
            usleep(10000);
        }
        std::vector<std::vector<std::string>> starts;
        std::istringstream lines(record);
        std::string line;
        while (std::getline(lines, line))
        {
            if (line == "start")
                starts.emplace_back();
            else if (line.rfind("arg ", 0) == 0)
                starts.back().push_back(line.substr(4));
            else if (line.rfind("cwd ", 0) == 0 && folders)
                folders->push_back(line.substr(4));
            else if (line.rfind("file ", 0) == 0 && line.substr(line.size() - 4) == " yes" && found)
                found->push_back(line.substr(5, line.size() - 9));
        }
        return starts;
    }

    void ExpectHandledFault(Kiln::Thread::Routine routine, const std::vector<std::string>& expected,
                            bool accessViolation);
    std::string CrashReportPath() const { return ProgramFolder() + "/XCrashReport.exe"; }

    std::unique_ptr<fixtures::ScratchFolder> m_scratch;
    std::string m_root;
    std::string m_savedTmp;
};

uint32_t ThrowFileError(void*)
{
    throw Kiln::FileEx(__FILE__, 1234, "the archive \"data.bin\" is damaged");
}

TEST_F(KilnFatalChild, KernelExceptionWritesAssertReportAndRunsShutdown)
{
    EXPECT_EXIT(RunAndExit(ThrowFileError, 0, 1), ::testing::ExitedWithCode(0), "");
    const std::string report = Report();
    for (const std::string& part : {std::string("File: ") + __FILE__ + "\r\nLine: 1234\r\nClass: File\r\n"
                                    "Reason: the archive \"data.bin\" is damaged\r\n",
                                    std::string("Kiln::RunThreadGuarded"), std::string("\r\n\r\nError occurred at "),
                                    std::string(" processor(s), type 8664.\r\n"),
                                    std::string("MBytes user address space free.\r\n")})
        EXPECT_TRUE(Contains(report, part)) << part << "\n---\n" << report;
    EXPECT_FALSE(Contains(report, "Context:")) << report;

    std::vector<std::string> folders;
    std::vector<std::string> found;
    const auto starts = Starts(&folders, &found);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0], (std::vector<std::string>{CrashReportPath(), "test_kiln", "-assert"}));
    EXPECT_EQ(found, std::vector<std::string>{"ERRORLOG.TXT"});
    EXPECT_EQ(folders, std::vector<std::string>{ReportFolder()});
    struct stat info;
    ASSERT_EQ(stat(ReportFolder().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(KilnFatalChild, RefusalByTheCrashReportProgramEndsTheProcessAsFailed)
{
    setenv("LUMO_XCRASH_EXIT", "1", 1);
    EXPECT_EXIT(RunAndExit(ThrowFileError, 0, 1), ::testing::ExitedWithCode(Kiln::kFatalExitStatus), "");
    EXPECT_EQ(Starts().size(), 1u);
}

TEST_F(KilnFatalChild, AssertExceptionRunsShutdownWithoutReport)
{
    EXPECT_EXIT(RunAndExit([](void*) -> uint32_t { throw Kiln::AssertEx(); }, 0, 1), ::testing::ExitedWithCode(0),
                "");
    EXPECT_EQ(ReportFolder(), "");
    EXPECT_TRUE(Starts(nullptr, nullptr, 0).empty());
}

TEST_F(KilnFatalChild, ShutdownChainRunsAgainWhenReentered)
{
    EXPECT_EXIT(
        {
            EnterChild();
            Kiln::AddShutdownCallback(
                [](void*) {
                    if (g_callbacks.load() < 3)
                        Kiln::CriticalShutdown();
                },
                nullptr);
            Kiln::AddShutdownCallback([](void*) { throw 1; }, nullptr);  // ends the chain at once
            Kiln::CriticalShutdown();
            const int afterFailure = g_callbacks.load();
            _exit(afterFailure == 0 ? 0 : 30 + afterFailure);
        },
        ::testing::ExitedWithCode(0), "");
}

uint32_t WriteToNull(void*)
{
    *static_cast<volatile int*>(nullptr) = 1;
    return 9;
}

// The "ExceptionHandler" channel for the tests below: enabled, and its print faults (or throws)
// on the lines that start with the text in g_failOn; other lines are kept in g_printed.
const char* g_failOn = "";
bool g_throwInstead = false;
char g_printed[1024];

void PrintOrFail(const char* text)
{
    if (*g_failOn && strncmp(text, g_failOn, strlen(g_failOn)) == 0)
    {
        if (g_throwInstead)
            throw std::runtime_error("the log is gone");
        *static_cast<volatile int*>(nullptr) = 1;
    }
    strncat(g_printed, text, sizeof g_printed - strlen(g_printed) - 2);
    strcat(g_printed, "|");
}

void UseFailingChannel(const char* failOn, bool throwInstead)
{
    g_failOn = failOn;
    g_throwInstead = throwInstead;
    Kiln::SetExceptionChannelHooks({[] { return true; }, PrintOrFail, [] { strcat(g_printed, "closed|"); }});
}

// A failure inside the fatal path (a fault or an exception in its print) is contained there: the
// fatal-error text, the abort flag, the shutdown chain, and the path usable again, so a later
// kernel exception does not stop on its lock.
TEST_F(KilnFatalChild, FailureInsideTheReportShowsTheFatalTextAbortsAndRunsShutdown)
{
    SKIP_IF_SANITIZER_STOPS_FAULTS();
    for (const bool throwInstead : {false, true})
    {
        SCOPED_TRACE(throwInstead);
        EXPECT_EXIT(
            {
                UseFailingChannel("** EXCEPTION **", throwInstead);
                EnterChild();
                uint32_t code;
                {
                    Kiln::Thread thread(ThrowFileError, nullptr, true);
                    if (!thread.Wait(Kiln::kInfinite))
                        _exit(21);
                    code = thread.ExitCode();
                }
                if (code != 0 || g_callbacks.load() != 1 || !Kiln::IsFatalAbortSet())
                    _exit(22);
                if (strcmp(g_printed, "Critical Shutdown ...|") != 0)
                    _exit(23);
                // Later kernel threads do not run; a later report from elsewhere returns at once.
                static std::atomic<int> runs{0};
                Kiln::Thread later([](void*) -> uint32_t { return static_cast<uint32_t>(++runs); }, nullptr, true);
                if (!later.Wait(Kiln::kInfinite) || runs.load() != 0)
                    _exit(24);
                Kiln::SetFatalAbort(false);
                if (Kiln::HandleFatalException(Kiln::FileEx(__FILE__, 1, "later")) != 1)
                    _exit(25);
                _exit(0);
            },
            ::testing::ExitedWithCode(0), "Fatal Error: An error occurred trying to display the fatal error window! \\(0\\)");
        // No report of the fault took its place, and the crash-report program never started.
        EXPECT_EQ(Report(), "");
        usleep(100000);
        EXPECT_TRUE(Starts(nullptr, nullptr, 0).empty());
        std::filesystem::remove_all(m_root + "/tmp");
        mkdir((m_root + "/tmp").c_str(), 0700);
    }
}

// A kernel exception whose class name faults (or throws) once the report has its "File:" and
// "Line:" lines pending.
bool g_typeNameThrows = false;

class BrokenTypeNameEx : public Kiln::Exception
{
public:
    BrokenTypeNameEx() : Kiln::Exception("broken.cpp", 4321, "broken") {}
    const char* TypeName() const override
    {
        if (g_typeNameThrows)
            throw std::runtime_error("no name");
        return *static_cast<const char* volatile*>(nullptr);
    }
};

// The descriptors this process holds on a report file.
size_t ReportDescriptors()
{
    size_t count = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        count += std::filesystem::read_symlink(entry.path(), error).filename() == "ERRORLOG.TXT" ? 1 : 0;
    return count;
}

// The report cut short keeps what it had and is closed: no descriptor stays open, and the next
// report holds nothing of the abandoned one.
TEST_F(KilnFatalChild, ReportCutShortByAFailureIsClosedAndTheNextStartsClean)
{
    SKIP_IF_SANITIZER_STOPS_FAULTS();
    for (const bool throwInstead : {false, true})
    {
        SCOPED_TRACE(throwInstead);
        EXPECT_EXIT(
            {
                EnterChild();
                g_typeNameThrows = throwInstead;
                if (Kiln::HandleFatalException(BrokenTypeNameEx()) != 1 || !Kiln::IsFatalAbortSet())
                    _exit(21);
                if (ReportDescriptors() != 0)
                    _exit(22);
                const std::string cut = ReadFile(ReportFolder() + "/ERRORLOG.TXT");
                if (cut.rfind("File: broken.cpp\r\nLine: 4321\r\nFatal Error: ", 0) != 0)
                    _exit(23);
                Kiln::SetFatalAbort(false);
                Kiln::WriteAssertReport(Kiln::FileEx("later.cpp", 7, "later"));
                if (Report().rfind("File: later.cpp\r\nLine: 7\r\nClass: File\r\n", 0) != 0)
                    _exit(24);
                _exit(0);
            },
            ::testing::ExitedWithCode(0), "Fatal Error: An error occurred trying to display the fatal error window! \\(0\\)");
        std::filesystem::remove_all(m_root + "/tmp");
        mkdir((m_root + "/tmp").c_str(), 0700);
    }
}

// The same holds for the shutdown: a faulting "Critical Shutdown ..." line closes the log and the
// chain still runs; a faulting callback ends the chain with "Critical Shutdown failure!", on any
// thread, and the process goes on.
TEST_F(KilnFatalChild, FaultInsideTheShutdownIsContained)
{
    SKIP_IF_SANITIZER_STOPS_FAULTS();
    EXPECT_EXIT(
        {
            UseFailingChannel("Critical Shutdown ...", false);
            EnterChild();
            Kiln::CriticalShutdown();
            if (strcmp(g_printed, "closed|") != 0 || g_callbacks.load() != 1)
                _exit(30);
            g_failOn = "";
            g_printed[0] = '\0';
            Kiln::AddShutdownCallback([](void*) { WriteToNull(nullptr); }, nullptr);
            Kiln::CriticalShutdown();
            if (strcmp(g_printed, "Critical Shutdown ...|Critical Shutdown failure!|") != 0)
                _exit(31);
            if (g_callbacks.load() != 1)  // the chain ended at the faulting callback
                _exit(32);
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(Report(), "");
}

volatile int g_zero = 0;

uint32_t DivideByZero(void*)
{
    return static_cast<uint32_t>(100 / g_zero);
}

uint32_t ThrowStandardError(void*)
{
    throw std::runtime_error("not a kernel exception");
}

// A fault on a kernel thread is reported, the crash-report program is started, the thread ends
// with 0 and the process goes on.
void KilnFatalChild::ExpectHandledFault(Kiln::Thread::Routine routine, const std::vector<std::string>& expected,
                                        bool accessViolation)
{
    EXPECT_EXIT(RunAndExit(routine, 0, 0), ::testing::ExitedWithCode(0), "");
    const std::string report = Report();
    std::vector<std::string> parts = expected;
    for (const char* part : {"Exception handler called in thread ", "\r\nContext:\r\nRAX:    0x",
                             "\r\nBytes at CS:EIP:\r\n", "\r\n\r\nStack:\r\n", "Module 1\r\n", "Build Id:   ",
                             "\r\n===== [end of ERRORLOG.TXT] =====\r\n"})
        parts.push_back(part);
    for (const std::string& part : parts)
        EXPECT_TRUE(Contains(report, part)) << part << "\n---\n" << report;
    EXPECT_EQ(Contains(report, "caused an access violation"), accessViolation) << report;
    // The stack is dumped unless the fault was the stack itself running out.
    EXPECT_EQ(Contains(report, "\r\n\r\nStack:\r\nException encountered during stack dump.\r\n"),
              Contains(report, "a Stack Overflow")) << report;
    EXPECT_EQ(ReadFile(ReportFolder() + "/CRASH.DMP").substr(0, 8), "LUMODUMP");
    std::vector<std::string> found;
    const auto starts = Starts(nullptr, &found);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0], (std::vector<std::string>{CrashReportPath(), "test_kiln"}));
    EXPECT_EQ(found, (std::vector<std::string>{"ERRORLOG.TXT", "CRASH.DMP"}));
}

TEST_F(KilnFatalChild, WriteToNullIsReportedAsAccessViolation)
{
    SKIP_IF_SANITIZER_STOPS_FAULTS();
    ExpectHandledFault(WriteToNull,
                       {"test_kiln caused an Access Violation (0xc0000005) \r\nin module test_kiln at ",
                        ".\r\n(signal 11, code 1)\r\n\r\nException handler called in thread ",
                        "\r\nWrite to location 00000000 caused an access violation.\r\n"},
                       true);
}

TEST_F(KilnFatalChild, FaultIsHandledBeforeTheProcessCrashHandlers)
{
    SKIP_IF_SANITIZER_STOPS_FAULTS();
    // The process's crash handlers come first at start-up; a kernel thread's fault still ends in
    // the kernel's report, and no crash dump of the process is written.
    EXPECT_EXIT(
        {
            InstallCrashHandlers(true);
            RunAndExit(WriteToNull, 0, 0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_TRUE(Contains(Report(), "an Access Violation"));
    EXPECT_EQ(Starts().size(), 1u);
    for (const auto& entry : std::filesystem::directory_iterator(m_root + "/work"))
        EXPECT_NE(entry.path().extension(), ".dmp") << entry.path();
}

TEST_F(KilnFatalChild, IntegerDivisionByZeroIsReported)
{
    SKIP_IF_SANITIZER_STOPS_FAULTS();
    ExpectHandledFault(DivideByZero, {"test_kiln caused an Integer Divide by Zero (0xc0000094) \r\nin module ", ".\r\n(signal 8, code 1)\r\n\r\n"},
                       false);
}

TEST_F(KilnFatalChild, UncaughtCppExceptionIsReported)
{
    ExpectHandledFault(ThrowStandardError,
                       {"test_kiln caused a Microsoft C++ Exception (0xe06d7363) \r\nin module ",
                        ".\r\n(signal 0, code 0)\r\n\r\n"}, false);
}

volatile uint32_t g_depthLimit = 0xFFFFFFFF;  // never reached: the stack runs out first

__attribute__((noinline)) uint32_t Recurse(uint32_t depth)
{
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    if (depth >= g_depthLimit)
        return 0;
    return Recurse(depth + 1) + frame[0];
}

uint32_t OverflowStack(void*)
{
    return Recurse(0);
}

TEST_F(KilnFatalChild, StackOverflowIsReported)
{
    SKIP_IF_SANITIZER_STOPS_FAULTS();
    ExpectHandledFault(OverflowStack, {"test_kiln caused a Stack Overflow (0xc00000fd) \r\nin module ", ".\r\n(signal 11, code "}, false);
}

TEST_F(KilnFatalChild, WithDebuggerTheFaultIsReportedButNotHandled)
{
    SKIP_IF_SANITIZER_STOPS_FAULTS();
    EXPECT_EXIT(
        {
            SetDebuggerProbe([] { return true; });
            RunAndExit(DivideByZero, 0, 0);
        },
        // Ended by the signal (or, in sanitizer builds, by the sanitizer's report of it): not with 0.
        [](int status) { return !(WIFEXITED(status) && WEXITSTATUS(status) == 0); }, "");
    EXPECT_TRUE(Contains(Report(), "an Integer Divide by Zero"));
    EXPECT_EQ(ReadFile(ReportFolder() + "/CRASH.DMP").substr(0, 8), "LUMODUMP");
    usleep(200000);  // a wrongly started program would have written by now
    EXPECT_TRUE(Starts(nullptr, nullptr, 0).empty());
}

}  // namespace
