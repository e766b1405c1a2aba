// The tracking allocator as this binary's global operator new and delete. The leak report runs
// at process exit, so it is checked in child processes: this binary started again with a
// scenario in LUMO_TRACKING_SCENARIO, which runs instead of the tests (see main below), with
// the debugger output on standard error.

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "lumo/diagnostics/CrashHandlers.h"
#include "lumo/tracking/GlobalOperators.h"
#include "platform/Waitable.h"
#include "tests/fixtures/ScratchFolder.h"

extern char** environ;

namespace
{

// ---- Child scenarios --------------------------------------------------------------------------

char* volatile g_leaked = nullptr;
constexpr int kLeakLine = __LINE__ + 4;  // the line of the new below

__attribute__((noinline)) void LeakHere()
{
    g_leaked = new char[24];
    asm volatile("" ::: "memory");  // no jump into operator new: this frame stays on the stack
}

volatile int g_rounds = 3;  // the loops below are not unrolled: one call site each

constexpr int kLeakThereLine = __LINE__ + 4;

__attribute__((noinline)) void LeakThere()
{
    g_leaked = new char[40];
    asm volatile("" ::: "memory");
}

// Writes the byte at `outside` (13 or -1) of a 13-byte block.
__attribute__((noinline)) void WriteOneBytePast(ptrdiff_t outside)
{
    char* block = new char[13];
    asm volatile("" : : "r"(block) : "memory");  // keeps the new/delete pair
    block[outside] = 1;
    delete[] block;
}
constexpr int kFaultLine = __LINE__ - 3;

// Held from main until the executable's destructors run, which the dynamic loader calls at exit
// together with every library's.
char* g_heldUntilExit = nullptr;

__attribute__((destructor)) void FreeHeldBlock()
{
    delete[] g_heldUntilExit;
    g_heldUntilExit = nullptr;
}

int RunScenario(const std::string& scenario)
{
    if (scenario.starts_with("overrun") || scenario == "underrun")
    {
        if (scenario.ends_with("crash-handlers"))
            InstallCrashHandlers(true);
        SetGuardPages(scenario == "underrun" ? GuardPages::Underrun : GuardPages::Overrun);
        WriteOneBytePast(scenario == "underrun" ? -1 : 13);
        return 5;  // not caught
    }
    if (scenario == "leak")
    {
        LeakHere();
        std::vector<std::string> freed(10, std::string(100, 'x'));
        return 0;
    }
    if (scenario == "two-sites")
    {
        // A thread's stack captures are reused while its call chain stays the same; each site
        // must still get its own stack.
        for (int i = 0; i < g_rounds; ++i)
            LeakHere();
        for (int i = 0; i < g_rounds; ++i)
            LeakThere();
        LeakHere();
        return 0;
    }
    if (scenario == "freed-at-unload")
    {
        g_heldUntilExit = new char[32];
        return 0;
    }
    if (scenario == "loaded-library")
    {
        void* library = dlopen(LUMO_TRACKING_LOADED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (!library)
            return 6;
        auto firstByte = reinterpret_cast<char (*)()>(dlsym(library, "LoadedLibraryFirstByte"));
        if (!firstByte || firstByte() != 1)
            return 7;
        LeakHere();
        return 0;
    }
    if (scenario == "clean")
    {
        std::vector<std::string> strings;
        for (int i = 0; i < 100; ++i)
            strings.push_back(std::string(50 + i, 'y'));
        std::thread worker([] { delete new int(5); });
        worker.join();
        return 0;
    }
    return 4;
}

// ---- Helpers of the parent --------------------------------------------------------------------

struct ChildResult { int status = -1; std::string output; pid_t pid = -1; };

ChildResult RunChild(const std::string& scenario)
{
    fixtures::ScratchFolder folder;
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry)
    {
        if (strncmp(*entry, "LUMO_DEBUG_OUTPUT=", 18) != 0 && strncmp(*entry, "TMPDIR=", 7) != 0)
            environment.push_back(*entry);
    }
    environment.push_back("LUMO_DEBUG_OUTPUT=1");
    environment.push_back("TMPDIR=" + folder.Path());
    environment.push_back("LUMO_TRACKING_SCENARIO=" + scenario);
    std::vector<char*> envp;
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    char exe[4096];
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    exe[length > 0 ? length : 0] = '\0';
    char* argv[] = {exe, nullptr};

    const std::string outputPath = folder / "output.txt";
    const int output = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ChildResult result;
    result.pid = fork();
    if (result.pid == 0)
    {
        dup2(output, STDOUT_FILENO);
        dup2(output, STDERR_FILENO);
        if (chdir(folder.Path().c_str()) != 0)
            _exit(120);
        execve(exe, argv, envp.data());
        _exit(121);
    }
    close(output);
    waitpid(result.pid, &result.status, 0);
    result.output = fixtures::ReadFile(outputPath);
    return result;
}

std::mutex g_linesLock;
std::wstring g_lines;

void CollectLine(const wchar_t* line)
{
    std::lock_guard<std::mutex> lock(g_linesLock);
    g_lines += line;
}

}  // namespace

TEST(GlobalAllocator, LeakReportNamesSizeThreadAndSite)
{
    const ChildResult child = RunChild("leak");
    ASSERT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << child.output;
    const std::string entry = "GlobalAllocatorTest.cpp(" + std::to_string(kLeakLine) +
                              "): 1 memory block of size 24 was never freed (thread id " + std::to_string(child.pid) +
                              ").";
    EXPECT_NE(child.output.find(entry), std::string::npos) << child.output;
    EXPECT_NE(child.output.find(">>>>>>>>>> DEBUG ALLOCATION >>>>>>>>>>"), std::string::npos);
    EXPECT_NE(child.output.find("A total of 1 leaks at 1 locations."), std::string::npos) << child.output;
    EXPECT_NE(child.output.find("<<<<<<<<<< DEBUG ALLOCATION <<<<<<<<<<"), std::string::npos);
}

TEST(GlobalAllocator, EachSiteKeepsItsOwnStack)
{
    const ChildResult child = RunChild("two-sites");
    ASSERT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << child.output;
    const std::string thread = " (thread id " + std::to_string(child.pid) + ").";
    const std::string here = "GlobalAllocatorTest.cpp(" + std::to_string(kLeakLine) + "): ";
    const std::string there = "GlobalAllocatorTest.cpp(" + std::to_string(kLeakThereLine) + "): ";
    for (const std::string& entry : {here + "3 memory blocks of size 24 were never freed" + thread,
                                     here + "1 memory block of size 24 was never freed" + thread,
                                     there + "3 memory blocks of size 40 were never freed" + thread,
                                     std::string("A total of 7 leaks at 3 locations.")})
        EXPECT_NE(child.output.find(entry), std::string::npos) << entry << "\n" << child.output;
}

TEST(GlobalAllocator, ProgramThatFreesEverythingHasNoEntry)
{
    const ChildResult child = RunChild("clean");
    ASSERT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << child.output;
    EXPECT_NE(child.output.find("A total of 0 leaks at 0 locations."), std::string::npos) << child.output;
    EXPECT_EQ(child.output.find("never freed"), std::string::npos) << child.output;
    EXPECT_EQ(child.output.find("unknown memory block"), std::string::npos) << child.output;
}

// The report comes after the destructors that the dynamic loader runs at exit (the toolkit's
// tables go then), and leaves out what the static initialisers of a library loaded after main
// keep; a leak of the program's own beside it is still named.
TEST(GlobalAllocator, ReportRunsLastAndSkipsLoadedLibrariesInitialisers)
{
    const ChildResult atUnload = RunChild("freed-at-unload");
    ASSERT_TRUE(WIFEXITED(atUnload.status) && WEXITSTATUS(atUnload.status) == 0) << atUnload.output;
    EXPECT_NE(atUnload.output.find("A total of 0 leaks at 0 locations."), std::string::npos) << atUnload.output;

    const ChildResult loaded = RunChild("loaded-library");
    ASSERT_TRUE(WIFEXITED(loaded.status) && WEXITSTATUS(loaded.status) == 0) << loaded.status << loaded.output;
    EXPECT_EQ(loaded.output.find("size 48"), std::string::npos) << loaded.output;
    EXPECT_NE(loaded.output.find("GlobalAllocatorTest.cpp(" + std::to_string(kLeakLine) +
                                 "): 1 memory block of size 24 was never freed"),
              std::string::npos)
        << loaded.output;
    EXPECT_NE(loaded.output.find("A total of 1 leaks at 1 locations."), std::string::npos) << loaded.output;
}

// A one-byte overrun (underrun) faults at its guard page: the filter names the write, or crash handlers dump.
TEST(GlobalAllocator, GuardPageCatchesOneByteOverrunAndUnderrun)
{
    const std::regex caught("Memory bound was overwritten\nCall stack:\n.*GlobalAllocatorTest\\.cpp\\(" +
                            std::to_string(kFaultLine) + "\\), .*WriteOneBytePast");
    for (const std::string scenario : {"overrun", "underrun", "overrun-with-crash-handlers"})
    {
        const ChildResult child = RunChild(scenario);
        const bool handlers = scenario.ends_with("crash-handlers");
        EXPECT_TRUE(WIFSIGNALED(child.status) && WTERMSIG(child.status) == SIGSEGV) << scenario << child.status;
        EXPECT_EQ(std::regex_search(child.output, caught), !handlers) << scenario << "\n" << child.output;
        EXPECT_EQ(child.output.find("CreateMiniDump: ") < child.output.find("Memory bound"), handlers) << child.output;
    }
}

TEST(GlobalAllocator, FailedRequestsThrowOrReturnNull)
{
    ASSERT_TRUE(GlobalDebugAllocator().IsTracking());
    const size_t counts[] = {size_t(1) << 46, SIZE_MAX / 2, SIZE_MAX - 15};
    for (size_t count : counts)
    {
        SCOPED_TRACE(count);
        EXPECT_THROW(static_cast<void>(operator new[](count)), std::bad_alloc);
        EXPECT_THROW(static_cast<void>(operator new(count)), std::bad_alloc);
        EXPECT_EQ(operator new(count, std::nothrow), nullptr);
        EXPECT_EQ(operator new[](count, std::nothrow), nullptr);
        EXPECT_THROW(static_cast<void>(operator new(count, std::align_val_t(64))), std::bad_alloc);
    }
    void* a = operator new(0);
    void* b = operator new(0);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(a, b);
    operator delete(a);
    operator delete(b);
    // Over-aligned blocks keep their alignment.
    void* aligned = operator new(100, std::align_val_t(256));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(aligned) % 256, 0u);
    operator delete(aligned, std::align_val_t(256));
}

TEST(GlobalAllocator, DoubleFreeIsReportedAndSurvived)
{
    SetOutputCallback(CollectLine);
    int* volatile block = new int(3);
    const size_t before = GlobalDebugAllocator().BlockCount();
    delete block;
    delete block;  // reported, not passed to free(): the process lives on
    SetOutputCallback(nullptr);
    EXPECT_EQ(GlobalDebugAllocator().BlockCount(), before - 1);
    std::lock_guard<std::mutex> lock(g_linesLock);
    EXPECT_NE(g_lines.find(L"GlobalAllocatorTest.cpp("), std::wstring::npos) << g_lines;
    EXPECT_NE(g_lines.find(L"): unknown memory block starting at"), std::wstring::npos) << g_lines;
    g_lines.clear();
}

// Eight threads allocate and free at random for a while: every block is counted once and
// found again when freed.
TEST(GlobalAllocator, ThreadsNeverLoseOrDoubleCountBlocks)
{
    SetOutputCallback(CollectLine);
    std::atomic<bool> stop{false};
    std::atomic<size_t> operations{0};
    std::vector<std::thread> threads;
    threads.reserve(8);  // before the baseline: the vector's own block stays
    const size_t baseline = GlobalDebugAllocator().BlockCount();
    for (int t = 0; t < 8; ++t)
    {
        threads.emplace_back([&stop, &operations, t] {
            std::mt19937 random(static_cast<unsigned>(t));
            std::vector<char*> live;
            live.reserve(512);
            size_t done = 0;
            while (!stop.load() || !live.empty())
            {
                const bool allocate = !stop.load() && (live.empty() || (random() % 3 != 0 && live.size() < 500));
                if (allocate)
                {
                    const size_t size = 1 + random() % 200;
                    char* block = new char[size];
                    block[0] = static_cast<char>(size);
                    live.push_back(block);
                }
                else
                {
                    const size_t index = random() % live.size();
                    delete[] live[index];
                    live[index] = live.back();
                    live.pop_back();
                }
                ++done;
            }
            operations += done;
        });
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    stop = true;
    for (std::thread& thread : threads)
        thread.join();
    SetOutputCallback(nullptr);
    EXPECT_GT(operations.load(), 1000u);
    EXPECT_EQ(GlobalDebugAllocator().BlockCount(), baseline);
    std::lock_guard<std::mutex> lock(g_linesLock);
    EXPECT_EQ(g_lines.find(L"unknown memory block"), std::wstring::npos) << g_lines.substr(0, 2000);
    g_lines.clear();
}

// fork() while other threads allocate: the child gets the allocator's locks free and can
// allocate before it ends.
TEST(GlobalAllocator, ForkWhileThreadsAllocate)
{
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
    {
        threads.emplace_back([&stop] {
            while (!stop.load())
                delete[] new char[64];
        });
    }
    for (int round = 0; round < 100; ++round)
    {
        const pid_t pid = fork();
        if (pid == 0)
        {
            for (int i = 0; i < 10; ++i)
                delete new std::string(100, 'z');
            _exit(0);
        }
        ASSERT_GT(pid, 0);
        int status = -1;
        bool ended = false;
        for (int i = 0; i < 500 && !ended; ++i)  // 5 s, far beyond what a child needs
        {
            ended = waitpid(pid, &status, WNOHANG) == pid;
            if (!ended)
                usleep(10 * 1000);
        }
        if (!ended)
        {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        ASSERT_TRUE(ended) << "round " << round << ": the child hung";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    stop = true;
    for (std::thread& thread : threads)
        thread.join();
}

int main(int argc, char** argv)
{
    if (const char* scenario = getenv("LUMO_TRACKING_SCENARIO"))
        return RunScenario(scenario);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
