#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/DebugOutput.h"
#include "lumo/diagnostics/SystemLog.h"
#include "tests/fixtures/OutputCapture.h"
#include "tests/fixtures/ScratchFolder.h"

namespace
{
class RecordingObserver : public LumoSystemLogObserver
{
public:
    void OnLogLine(const wchar_t* line) override { lines.push_back(line); }
    std::vector<std::wstring> lines;
};

TEST(SystemLogTest, PrintfFormsWriteWholeLinesUpToTheLimit)
{
    const std::string long5000(5000, 'x');
    const std::string long70000(70000, 'y');
    fixtures::StdoutCapture capture;
    SystemLogPrintf("%s", long5000.c_str());
    SystemLogPrintf("%s", long70000.c_str());
    SystemLogPrintfW(L"%s-%hs-%d", L"wide", "narrow", 42);
    SystemLogPrintfTo(SYSTEMLOG_STDOUT, "MakeDirectory> CreateDirectoryW returned err %d", 5);
    const std::string text = capture.Text();
    EXPECT_EQ(text, long5000 + "\n" + std::string(SYSTEMLOG_MAX_LINE, 'y') + "\n" + "wide-narrow-42\n" +
                        "MakeDirectory> CreateDirectoryW returned err 5\n");
}

// A wide line keeps a path beyond the 8-bit table; an 8-bit line with a Latin-1 letter reaches a
// terminal as UTF-8 too, and observers see both as written.
TEST(SystemLogTest, NamesBeyondTheEightBitTableStayReadable)
{
    RecordingObserver observer;
    observer.Register();
    fixtures::StdoutCapture capture;
    SystemLogPrintfW(L"Rebuilding %s", L"/home/\u0418\u0433\u0440\u0430/Sollex");
    SystemLogPrintf("%s", "Caf\xe9");
    SystemLogPrintf("%s", "/games/Caf\xc3\xa9");  // a native path, already UTF-8
    const std::string text = capture.Text();
    observer.Unregister();
    EXPECT_EQ(text, "Rebuilding /home/\xd0\x98\xd0\xb3\xd1\x80\xd0\xb0/Sollex\nCaf\xc3\xa9\n/games/Caf\xc3\xa9\n");
    EXPECT_EQ(observer.lines, (std::vector<std::wstring>{L"Rebuilding /home/\u0418\u0433\u0440\u0430/Sollex\n",
                                                          L"Caf\u00e9\n", L"/games/Caf\u00e9\n"}));
}

// A tool that keeps standard output for itself moves every console writer to standard error.
TEST(SystemLogTest, ConsoleLinesFollowTheChosenHandle)
{
    fixtures::StdoutCapture out;
    fixtures::StderrCapture err;
    SetConsoleOutputHandle(STDERR_FILENO);
    SystemLogWrite(SYSTEMLOG_STDOUT, "system log line");
    WriteConsoleText(" Checksum a/b#000 ..\n");
    SetConsoleOutputHandle(STDOUT_FILENO);
    SystemLogWrite(SYSTEMLOG_STDOUT, "back on standard output");
    EXPECT_EQ(err.Text(), "system log line\n Checksum a/b#000 ..\n");
    EXPECT_EQ(out.Text(), "back on standard output\n");
}

// Logs from inside OnLogLine: the line must reach standard output but no observer.
class EchoingObserver : public LumoSystemLogObserver
{
public:
    void OnLogLine(const wchar_t* line) override
    {
        ++calls;
        if (std::wstring(line) == L"outer\n")
            SystemLogWrite(SYSTEMLOG_ALL, "inner");
    }
    int calls = 0;
};

TEST(SystemLogTest, LineLoggedByAnObserverReachesNoObserver)
{
    EchoingObserver first, second;
    first.Register();
    second.Register();
    fixtures::StdoutCapture capture;
    SystemLogWrite(SYSTEMLOG_ALL, "outer");
    EXPECT_EQ(capture.Text(), "outer\ninner\ninner\n");
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(second.calls, 1);
    first.Unregister();
    second.Unregister();
}

TEST(SystemLogTest, ConcurrentLinesArriveWhole)
{
    RecordingObserver observer;
    observer.Register();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i)
                SystemLogPrintfTo(SYSTEMLOG_OBSERVERS, "thread %d line %d %s", t, i, std::string(100, 'a' + t).c_str());
        });
    for (auto& thread : threads)
        thread.join();
    observer.Unregister();
    ASSERT_EQ(observer.lines.size(), 4000u);
    std::vector<int> next(8, 0);
    for (const std::wstring& line : observer.lines)
    {
        int t = -1, i = -1;
        ASSERT_EQ(std::swscanf(line.c_str(), L"thread %d line %d", &t, &i), 2);
        ASSERT_GE(t, 0);
        ASSERT_LT(t, 8);
        EXPECT_EQ(i, next[t]++) << "lines of one thread keep their order";
        EXPECT_EQ(line.substr(line.size() - 101), std::wstring(100, L'a' + t) + L"\n");
    }
}

// The launcher's FIFO: lines arrive as UTF-16LE. Each case runs in a child process, since the
// redirection of standard output lasts for the rest of the process.
std::string FifoPath(const std::string& folder)
{
    return folder + "/" + std::to_string(::getpid()) + "cout";
}

// Runs body with XDG_RUNTIME_DIR at a folder of its own, removes the folder, and ends the child
// process with body's status (_Exit: the parent's state is not the child's to tear down).
[[noreturn]] void ExitInRuntimeFolder(const std::function<int(const std::string& folder)>& body)
{
    int status = 0;
    {
        const fixtures::ScratchFolder folder;
        ::setenv("XDG_RUNTIME_DIR", folder.Path().c_str(), 1);
        status = body(folder.Path());
    }
    std::_Exit(status);
}

int WriteThroughFifo(const std::string& folder)
{
    const std::string fifo = FifoPath(folder);
    if (::mkfifo(fifo.c_str(), 0600) != 0)
        return 2;
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    if (reader < 0 || !InitConsoleOutput() || !IsConsoleOutputPipe())
        return 3;
    SystemLogWrite(SYSTEMLOG_STDOUT, "abc");
    unsigned char bytes[16] = {};
    const ssize_t got = ::read(reader, bytes, sizeof bytes);
    const unsigned char expected[8] = {'a', 0, 'b', 0, 'c', 0, '\n', 0};
    if (got != 8 || !std::equal(expected, expected + 8, bytes))
    {
        std::fprintf(stderr, "read %zd bytes:", got);
        for (ssize_t i = 0; i < got; ++i)
            std::fprintf(stderr, " %02x", bytes[i]);
        return 4;
    }
    return 0;
}

TEST(SystemLogDeathTest, FifoReceivesUtf16Lines)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ExitInRuntimeFolder(WriteThroughFifo), ::testing::ExitedWithCode(0), "");
}

// kind 0: a plain file; 1: a link to a FIFO with a reader; 2: a FIFO without a reader.
int PlantAndInit(int kind, const std::string& folder)
{
    const std::string fifo = FifoPath(folder);
    if (kind == 0)
        ::close(::open(fifo.c_str(), O_WRONLY | O_CREAT, 0600));
    if (kind == 1)
    {
        const std::string real = folder + "/real";
        ::mkfifo(real.c_str(), 0600);
        (void)::open(real.c_str(), O_RDONLY | O_NONBLOCK);
        (void)::symlink(real.c_str(), fifo.c_str());
    }
    if (kind == 2)
        ::mkfifo(fifo.c_str(), 0600);
    return !InitConsoleOutput() && !IsConsoleOutputPipe() ? 0 : 1;
}

TEST(SystemLogDeathTest, FifoPathHoldingSomethingElseIsNotUsed)
{
    // The FIFO's path comes from the environment and is easy to guess: a plain file, a link to a
    // FIFO, or a FIFO without a reader there must leave standard output alone.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (int kind = 0; kind < 3; ++kind)
        EXPECT_EXIT(ExitInRuntimeFolder([kind](const std::string& folder) { return PlantAndInit(kind, folder); }),
                    ::testing::ExitedWithCode(0), "")
            << kind;
}
}  // namespace
