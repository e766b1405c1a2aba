#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "lumo/diagnostics/CallStack.h"
#include "lumo/diagnostics/SystemLog.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/WaitFor.h"

namespace
{

int g_lineC = 0;
int g_lineB = 0;
int g_lineA = 0;
std::vector<StackFrameRecord> g_frames;

__attribute__((noinline)) int ChainC(int depth)
{
    StackContext context;
    g_lineC = __LINE__, StackWalker::CaptureContext(context);
    StackWalker::CaptureAndSymbolise(g_frames, context, kLogCallStackFrames);
    asm volatile("");
    return depth + 1;
}

__attribute__((noinline)) int ChainB(int depth)
{
    int result;
    g_lineB = __LINE__, result = ChainC(depth + 1);
    asm volatile("");
    return result + 1;
}

__attribute__((noinline)) int ChainA(int depth)
{
    int result;
    g_lineA = __LINE__, result = ChainB(depth + 1);
    asm volatile("");
    return result + 1;
}

size_t FindFrame(const std::vector<StackFrameRecord>& frames, const std::wstring& function)
{
    size_t i = 0;
    while (i < frames.size() && frames[i].function.find(function) == std::wstring::npos)
        ++i;
    return i;
}

__attribute__((noinline)) uint16_t WalkAtDepth(int depth, uint64_t* addresses, uint32_t limit)
{
    if (depth > 0)
    {
        const uint16_t count = WalkAtDepth(depth - 1, addresses, limit);
        asm volatile("");
        return count;
    }
    StackContext context;
    StackWalker::CaptureContext(context);
    const uint16_t count = StackWalker::Walk(addresses, context, limit);
    asm volatile("");
    return count;
}

__attribute__((noinline)) void LogAtDepth(int depth, bool withSymbols)
{
    if (depth > 0)
    {
        LogAtDepth(depth - 1, withSymbols);
        asm volatile("");
        return;
    }
    LogCallStack(withSymbols);
    asm volatile("");  // no tail call: this frame stays on the stack
}

__attribute__((noinline)) std::wstring InnermostFunctionHere()
{
    StackContext context;
    StackWalker::CaptureContext(context);
    std::vector<StackFrameRecord> frames;
    StackWalker::CaptureAndSymbolise(frames, context, kAllocationStackFrames);
    return frames.empty() ? std::wstring() : frames[0].function;
}

// Tells its thread id, then waits in poll, where ThreadSanitizer runs signal handlers, until `fd` can be read.
__attribute__((noinline)) bool WaitInKnownFunction(int fd, std::atomic<pid_t>& id)
{
    id = gettid();
    pollfd readable{fd, POLLIN, 0};
    while (poll(&readable, 1, -1) < 0 && errno == EINTR)
        continue;
    return readable.revents & POLLIN;
}

class LineCollector : public LumoSystemLogObserver
{
public:
    void OnLogLine(const wchar_t* line) override { lines.emplace_back(line); }
    std::vector<std::wstring> lines;
};

class StackWalkerTest : public ::testing::Test
{
protected:
    void SetUp() override { StackWalker::Acquire(); }
    void TearDown() override { StackWalker::Release(true); }
};

}  // namespace

TEST_F(StackWalkerTest, NamesTheCallingFunctionsWithFileAndLineInnermostFirst)
{
    ChainA(0);
    const size_t c = FindFrame(g_frames, L"ChainC");
    const size_t b = FindFrame(g_frames, L"ChainB");
    const size_t a = FindFrame(g_frames, L"ChainA");
    ASSERT_LT(a, g_frames.size());
    EXPECT_EQ(c, 0u);  // the capture point itself
    EXPECT_EQ(b, c + 1);
    EXPECT_EQ(a, b + 1);
    const int lines[] = {g_lineC, g_lineB, g_lineA};
    for (size_t i = 0; i < 3; ++i)
    {
        const StackFrameRecord& frame = g_frames[c + i];
        EXPECT_TRUE(frame.file.ends_with(L"/tests/lumo/CallStackTest.cpp")) << frame.file;
        EXPECT_EQ(frame.line, static_cast<uint32_t>(lines[i])) << frame.function;
        EXPECT_EQ(frame.image, std::filesystem::read_symlink("/proc/self/exe").wstring());
    }
    // Full names: namespaces and parameters (a specialised copy may add "[clone ...]").
    EXPECT_EQ(g_frames[a].function.rfind(L"(anonymous namespace)::ChainA(int)", 0), 0u) << g_frames[a].function;
    // The test body that called the chain comes right after it.
    ASSERT_LT(a + 1, g_frames.size());
    EXPECT_NE(g_frames[a + 1].function.find(L"NamesTheCallingFunctions"), std::wstring::npos);
}

TEST_F(StackWalkerTest, WalksStopAtTheLimitOrTheEndOfTheStack)
{
    uint64_t addresses[kLogCallStackFrames];
    EXPECT_EQ(WalkAtDepth(40, addresses, kAllocationStackFrames), kAllocationStackFrames);
    const uint16_t shallow = WalkAtDepth(0, addresses, kLogCallStackFrames);
    EXPECT_GT(shallow, 3u);
    EXPECT_LT(shallow, kLogCallStackFrames);
    EXPECT_EQ(WalkAtDepth(0, addresses, 0), 0u);
}

TEST_F(StackWalkerTest, SymbolisesFromManyThreadsAtOnce)
{
    std::vector<std::thread> threads;
    std::vector<std::wstring> names(8);
    for (size_t t = 0; t < names.size(); ++t)
    {
        threads.emplace_back([&names, t] {
            for (int i = 0; i < 20; ++i)
                names[t] = InnermostFunctionHere();
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (const std::wstring& name : names)
        EXPECT_NE(name.find(L"InnermostFunctionHere"), std::wstring::npos) << name;
}

// Another thread is captured where it waits and goes on, the caller's own id where it is; others fail clearly.
TEST_F(StackWalkerTest, CapturesAnotherThreadWhereItWaitsAndLetsItGoOn)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::atomic<pid_t> id{0};
    bool wentOn = false;
    std::thread waiting([&] { wentOn = WaitInKnownFunction(fds[0], id); });
    // Until it sleeps in poll (under ThreadSanitizer a signal that comes earlier is handled later, elsewhere).
    EXPECT_TRUE(fixtures::WaitFor([&] {
        return id && fixtures::ReadFile("/proc/self/task/" + std::to_string(id) + "/stat").find(") S ") != std::string::npos;
    }));
    StackContext context;
    std::string error;
    std::vector<StackFrameRecord> frames;
    if (StackWalker::CaptureContext(context, id, error))
        StackWalker::CaptureAndSymbolise(frames, context, kLogCallStackFrames);
    EXPECT_EQ(write(fds[1], "x", 1), 1);
    waiting.join();
    close(fds[0]);
    close(fds[1]);
    EXPECT_TRUE(wentOn);
    EXPECT_LT(FindFrame(frames, L"WaitInKnownFunction"), frames.size()) << error;
    EXPECT_EQ(FindFrame(frames, L"CapturesAnotherThread"), frames.size()) << "nothing of the capturing side";
    ASSERT_TRUE(StackWalker::CaptureContext(context, gettid(), error)) << error;
    EXPECT_FALSE(context.frames);  // its own stack is walked as it is
    StackWalker::CaptureAndSymbolise(frames, context, kLogCallStackFrames);
    EXPECT_NE(frames.at(0).function.find(L"CapturesAnotherThread"), std::wstring::npos) << frames[0].function;
    const std::string ended = " has ended (or is no thread of this process)";
    for (const auto& [thread, reason] : {std::pair<pid_t, std::string>{id, ended}, {1, ended}, {-5, " is no thread id"}})
    {
        context.pc = 1;
        EXPECT_FALSE(StackWalker::CaptureContext(context, thread, error, 200)) << reason;
        EXPECT_EQ(error, "thread " + std::to_string(thread) + reason);
        EXPECT_EQ(context.pc, 0u) << reason;
    }
}

TEST(LogCallStack, WritesOneAddressLineKeptBelow511Characters)
{
    LineCollector collector;
    collector.Register();
    volatile int depth = 100;  // no copy specialised for one depth
    LogAtDepth(depth, false);
    collector.Unregister();

    ASSERT_EQ(collector.lines.size(), 1u);
    const std::wstring& line = collector.lines[0];
    ASSERT_EQ(line.rfind(L"callstack: ", 0), 0u) << line;
    ASSERT_EQ(line.back(), L'\n');
    const std::wstring text = line.substr(11, line.size() - 12);
    EXPECT_LT(text.size(), 511u);
    EXPECT_GT(text.size(), 400u);  // 64 frames do not fit: it is filled
    // Whole addresses, each followed by a blank.
    ASSERT_EQ(text.back(), L' ');
    for (wchar_t c : text)
        EXPECT_TRUE(c == L' ' || (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f')) << text;
}

