#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include "platform/Spawn.h"
#include "tests/fixtures/ProcessEnded.h"
#include "tests/fixtures/ScratchFolder.h"

using platform::SpawnedChild;
using platform::SpawnRequest;

namespace
{

std::unique_ptr<SpawnedChild> StartShell(const std::string& script, bool capture = true, bool dieWithParent = false)
{
    SpawnRequest request;
    request.argv = {"/bin/sh", "-c", script};
    request.captureOutput = capture;
    request.dieWithParent = dieWithParent;
    std::string error;
    std::unique_ptr<SpawnedChild> child = SpawnedChild::Spawn(request, &error);
    EXPECT_TRUE(child) << error;
    return child;
}

// Reads to the end on another thread, so that a reader that never ends fails the test instead of
// hanging it; the child is killed then to free the thread.
std::string ReadAllWithin(SpawnedChild& child, std::chrono::seconds limit)
{
    auto reading = std::async(std::launch::async, [&child] {
        std::string text;
        char buffer[4096];
        ssize_t n;
        while ((n = child.ReadOutput(buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<size_t>(n));
        EXPECT_EQ(n, 0) << "read failed: " << strerror(errno);
        return text;
    });
    if (reading.wait_for(limit) != std::future_status::ready)
    {
        ADD_FAILURE() << "reading the child's output did not end";
        child.Terminate(1);
    }
    return reading.get();
}

bool ProcessExists(pid_t pid)
{
    return kill(pid, 0) == 0;
}

}  // namespace

// Both ways of starting (posix_spawn, and the fork that asks for a death signal) give the child the
// same: output and error on one pipe in order, empty standard input, default signals.
TEST(Spawn, ExitCodesAndSignalsAreReportedAsTheyHappened)
{
    struct Case { const char* script; int code; const char* output; };
    const Case cases[] = {
        {"echo one; echo two >&2; echo three; cat; exit 3", 3, "one\ntwo\nthree\n"},
        {"exit 255", 255, ""},
        {"kill -KILL $$", 128 + SIGKILL, ""},
        {"kill -TERM $$", 128 + SIGTERM, ""},  // SIGTERM default, whatever the parent does
        {"kill -PIPE $$", 128 + SIGPIPE, ""},  // we ignore SIGPIPE; the child must not inherit that
    };
    signal(SIGPIPE, SIG_IGN);
    for (bool dieWithParent : {false, true})
        for (const Case& c : cases)
        {
            SCOPED_TRACE(std::string(c.script) + (dieWithParent ? " (dies with us)" : ""));
            auto child = StartShell(c.script, true, dieWithParent);
            ASSERT_TRUE(child);
            EXPECT_EQ(ReadAllWithin(*child, std::chrono::seconds(10)), c.output);
            EXPECT_TRUE(child->Wait(20000));
            EXPECT_EQ(child->ExitCode(), c.code);
        }
}

// The child asked to die with us is killed when the thread that started it ends.
TEST(Spawn, ChildThatDiesWithItsParentEndsWithTheStartingThread)
{
    pid_t pid = 0;
    std::thread([&] {
        auto child = StartShell("exec sleep 60", false, true);
        pid = child ? child->Pid() : 0;
    }).join();
    ASSERT_GT(pid, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto gone = [pid] {
        char state = 0;
        FILE* stat = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
        const bool read = stat && fscanf(stat, "%*d %*s %c", &state) == 1;
        if (stat)
            fclose(stat);
        return !read || state == 'Z';
    };
    while (!gone() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(gone());
}

TEST(Spawn, GrandchildHoldingThePipeDoesNotKeepTheReaderWaiting)
{
    auto child = StartShell("sleep 60 & echo $!");
    const std::string text = ReadAllWithin(*child, std::chrono::seconds(10));
    const pid_t grandchild = static_cast<pid_t>(std::stol(text));
    EXPECT_TRUE(ProcessExists(grandchild));
    EXPECT_TRUE(child->Wait(10000));
    EXPECT_EQ(child->ExitCode(), 0);
    kill(grandchild, SIGKILL);
}

TEST(Spawn, GrandchildFillingThePipeDoesNotKeepTheReaderGoing)
{
    auto child = StartShell("yes spam & echo pid=$!; sleep 0.2; echo last");
    const std::string text = ReadAllWithin(*child, std::chrono::seconds(20));
    const size_t at = text.find("pid=");
    ASSERT_NE(at, std::string::npos);
    const pid_t grandchild = static_cast<pid_t>(std::stol(text.substr(at + 4)));
    EXPECT_NE(text.find("last\n"), std::string::npos);  // all the child wrote is there
    kill(grandchild, SIGKILL);
}

TEST(Spawn, TerminateEndsOnlyThatChildWithTheGivenCode)
{
    auto first = StartShell("exec sleep 60", false);
    auto second = StartShell("exec sleep 60", false);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->ExitCode(), 259);
    EXPECT_FALSE(first->Wait(0));

    EXPECT_TRUE(first->Terminate(7));
    EXPECT_TRUE(first->Wait(10000));
    EXPECT_EQ(first->ExitCode(), 7);

    EXPECT_FALSE(second->Wait(0));
    EXPECT_TRUE(ProcessExists(second->Pid()));
    // Collected: no signal can reach whatever process now has that pid.
    EXPECT_FALSE(first->Terminate(9));
    EXPECT_EQ(first->ExitCode(), 7);

    EXPECT_TRUE(second->Terminate(1));
    EXPECT_TRUE(second->Wait(10000));
    EXPECT_EQ(second->ExitCode(), 1);
}

// A child that leads its own process group takes everything still in the group along when it is
// terminated (a script's own children), by either way of starting. The child's own code is
// reported as for any Terminate.
TEST(Spawn, TerminateOfAGroupLeaderEndsItsWholeGroup)
{
    const struct { const char* name; bool dieWithParent; } cases[] = {
        {"posix_spawn", false},
        {"fork with a death signal", true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        SpawnRequest request;
        request.argv = {"/bin/sh", "-c", "sleep 300 & echo $!; wait"};
        request.captureOutput = true;
        request.ownProcessGroup = true;
        request.dieWithParent = c.dieWithParent;
        std::string error;
        std::unique_ptr<SpawnedChild> child = SpawnedChild::Spawn(request, &error);
        ASSERT_TRUE(child) << error;
        std::string line;
        char byte;
        while (line.find('\n') == std::string::npos && child->ReadOutput(&byte, 1) == 1)
            line += byte;
        const pid_t grandchild = static_cast<pid_t>(std::atoi(line.c_str()));
        ASSERT_GT(grandchild, 0) << line;
        EXPECT_EQ(getpgid(child->Pid()), child->Pid());
        EXPECT_TRUE(child->Terminate(5));
        EXPECT_TRUE(child->Wait(0xFFFFFFFF));
        EXPECT_EQ(child->ExitCode(), 5);
        // A killed grandchild goes to whoever reaps orphans; a zombie counts as ended.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (!fixtures::ProcessEnded(grandchild) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const bool ended = fixtures::ProcessEnded(grandchild);
        EXPECT_TRUE(ended) << "grandchild " << grandchild;
        if (!ended)
            kill(grandchild, SIGKILL);
    }
}

TEST(Spawn, TerminateFromAnotherThreadEndsABlockedRead)
{
    auto child = StartShell("echo started; exec sleep 60");
    ASSERT_TRUE(child);
    const auto start = std::chrono::steady_clock::now();
    std::thread killer([&child] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_TRUE(child->Terminate(1));
    });
    EXPECT_EQ(ReadAllWithin(*child, std::chrono::seconds(10)), "started\n");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200)) << "the read ended on its own";
    killer.join();
    EXPECT_TRUE(child->Wait(10000));
    EXPECT_EQ(child->ExitCode(), 1);
}

// A child lists its own descriptors: only the three standard ones may be open, also while other
// threads start children at the same moment.
TEST(Spawn, ChildrenInheritNoOtherDescriptorEvenWhenStartedConcurrently)
{
    auto run = [] {
        for (int i = 0; i < 25; ++i)
        {
            auto child = StartShell("ls /proc/$$/fd; true", true, i % 2 == 1);
            if (!child)
                return;
            EXPECT_EQ(ReadAllWithin(*child, std::chrono::seconds(20)), "0\n1\n2\n");
            EXPECT_TRUE(child->Wait(20000));
            EXPECT_EQ(child->ExitCode(), 0);
        }
    };
    std::thread a(run);
    std::thread b(run);
    a.join();
    b.join();
}

// Descriptors handed over arrive under their numbers, also when one's number is where another
// one sits (the two swap places), and nothing else comes with them; a number that is standard or
// taken twice is refused before anything starts.
TEST(Spawn, HandedOverDescriptorsArriveUnderTheirNumbersAndNothingElse)
{
    fixtures::ScratchFolder scratch;
    const std::string a = scratch / "a", b = scratch / "b";
    FILE* fa = fopen(a.c_str(), "we");
    FILE* fb = fopen(b.c_str(), "we");
    ASSERT_TRUE(fa && fb);
    fputs("from a\n", fa);
    fputs("from b\n", fb);
    fclose(fa);
    fclose(fb);
    const int first = open(a.c_str(), O_RDONLY | O_CLOEXEC);
    const int second = open(b.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    // At 40 and 41, to be handed over as 41 and 40; a stray descriptor without close-on-exec at 7.
    ASSERT_EQ(dup3(first, 40, O_CLOEXEC), 40);
    ASSERT_EQ(dup3(second, 41, O_CLOEXEC), 41);
    const int strayWas = fcntl(first, F_DUPFD, 7);
    ASSERT_GE(strayWas, 7);
    for (bool dieWithParent : {false, true})
    {
        SCOPED_TRACE(dieWithParent ? "forked" : "posix_spawn");
        SpawnRequest request;
        request.argv = {"/bin/sh", "-c", "ls /proc/$$/fd; cat /proc/self/fd/40; cat /proc/self/fd/41"};
        request.captureOutput = true;
        request.dieWithParent = dieWithParent;
        request.inherit = {{40, 41}, {41, 40}};
        std::string error;
        auto child = SpawnedChild::Spawn(request, &error);
        ASSERT_TRUE(child) << error;
        EXPECT_EQ(ReadAllWithin(*child, std::chrono::seconds(20)), "0\n1\n2\n40\n41\nfrom b\nfrom a\n");
        EXPECT_TRUE(child->Wait(20000));
        EXPECT_EQ(child->ExitCode(), 0);
        // Ours are still open and still close-on-exec.
        EXPECT_EQ(fcntl(40, F_GETFD), FD_CLOEXEC);
        EXPECT_EQ(fcntl(41, F_GETFD), FD_CLOEXEC);

        for (const std::vector<platform::InheritedDescriptor>& bad :
             {std::vector<platform::InheritedDescriptor>{{40, 2}}, {{40, 5}, {41, 5}}, {{-1, 5}}})
        {
            request.inherit = bad;
            EXPECT_FALSE(SpawnedChild::Spawn(request, &error));
            EXPECT_EQ(errno, EINVAL);
        }
    }
    for (int fd : {first, second, 40, 41, strayWas})
        close(fd);
}

TEST(Spawn, WorkingFolderAndFailures)
{
    SpawnRequest request;
    request.argv = {"pwd"};  // found through PATH
    request.workingFolder = "/usr/lib";
    request.captureOutput = true;
    std::string error;
    auto child = SpawnedChild::Spawn(request, &error);
    ASSERT_TRUE(child) << error;
    EXPECT_EQ(ReadAllWithin(*child, std::chrono::seconds(10)), "/usr/lib\n");

    struct Case { std::vector<std::string> argv; std::string folder; int error; const char* mentions; };
    const Case failures[] = {
        {{"/nonexistent/program"}, "", ENOENT, "/nonexistent/program"},
        {{"no-such-program-anywhere"}, "", ENOENT, "\"no-such-program-anywhere\" cannot be started: No such file"},
        {{"pwd"}, "/nonexistent/folder", ENOENT, "pwd"},
        {{}, "", EINVAL, "no program"},
        {{"printf", std::string("cut\0here", 8)}, "", EINVAL, "NUL"},
        {{"pwd"}, std::string("/usr\0/lib", 9), EINVAL, "NUL"},
    };
    for (bool dieWithParent : {false, true})
        for (const Case& c : failures)
        {
            request.argv = c.argv;
            request.workingFolder = c.folder;
            request.dieWithParent = dieWithParent;
            error.clear();
            EXPECT_FALSE(SpawnedChild::Spawn(request, &error));
            EXPECT_EQ(errno, c.error) << error;
            EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
        }
}

// A file the kernel will not run is refused, whichever way the child is started, found by its path
// or through PATH: never handed to /bin/sh, which would run its lines as a script.
TEST(Spawn, FileTheKernelRefusesIsNotAProgramAndNeverReachesAShell)
{
    char folderTemplate[] = "/tmp/spawn-noexec-XXXXXX";
    ASSERT_NE(mkdtemp(folderTemplate), nullptr);
    const std::string folder = folderTemplate;
    const std::string marker = folder + "/marker";
    struct Case { const char* name; std::string bytes; };
    const Case cases[] = {
        {"tool.exe", std::string("MZ\x90\x00\x03\x00\ntouch '", 14) + marker + "'; exit 0\n"},  // a Windows program's start
        {"script", "touch '" + marker + "'; exit 0\n"},                                          // a script without "#!"
    };
    const char* const oldPath = getenv("PATH");
    const std::string savedPath = oldPath ? oldPath : "";
    for (const Case& c : cases)
    {
        const std::string program = folder + "/" + c.name;
        FILE* file = fopen(program.c_str(), "we");
        ASSERT_NE(file, nullptr);
        fwrite(c.bytes.data(), 1, c.bytes.size(), file);
        fclose(file);
        chmod(program.c_str(), 0755);
        for (bool viaPath : {false, true})
            for (bool dieWithParent : {false, true})
            {
                SCOPED_TRACE(std::string(c.name) + (viaPath ? " through PATH" : "") + (dieWithParent ? " (dies with us)" : ""));
                SpawnRequest request;
                request.argv = {viaPath ? c.name : program, "arg"};
                request.dieWithParent = dieWithParent;
                if (viaPath)
                    setenv("PATH", (folder + ":" + savedPath).c_str(), 1);
                std::string error;
                auto child = SpawnedChild::Spawn(request, &error);
                const int spawnError = errno;
                setenv("PATH", savedPath.c_str(), 1);
                if (child)
                    child->Wait(20000);
                EXPECT_FALSE(child);
                EXPECT_EQ(spawnError, ENOEXEC);
                EXPECT_EQ(error, "\"" + program + "\" is not a Linux program (Exec format error)");
                EXPECT_NE(access(marker.c_str(), F_OK), 0) << "the file was run by a shell";
                unlink(marker.c_str());
            }
        unlink(program.c_str());
    }
    rmdir(folder.c_str());
}

// The start of a 64-bit x86-64 ELF program whose only program header names `loader` as its
// program loader (PT_INTERP): enough for the kernel to look for the loader.
std::string ElfProgramWithLoader(const std::string& loader)
{
    std::string bytes;
    auto put = [&bytes](uint64_t value, int size) {
        for (int i = 0; i < size; ++i)
            bytes += static_cast<char>(value >> (8 * i) & 0xFF);
    };
    bytes += std::string("\x7f" "ELF\x02\x01\x01", 7) + std::string(9, '\0');
    put(2, 2), put(62, 2), put(1, 4), put(0x400000, 8), put(64, 8), put(0, 8);  // type, machine, ..., table at 64
    put(0, 4), put(64, 2), put(56, 2), put(1, 2), put(0, 2), put(0, 2), put(0, 2);  // one entry of 56 bytes
    put(3, 4), put(4, 4), put(64 + 56, 8), put(0, 8), put(0, 8);                    // PT_INTERP, its bytes at 120
    put(loader.size() + 1, 8), put(loader.size() + 1, 8), put(1, 8);
    return bytes + loader + '\0';
}

// A file that is there but will not start is never said to be missing itself: a script whose
// "#!" interpreter is missing, cut by a Windows line end, a Windows path or not runnable names it,
// and so does a program whose loader is missing.
TEST(Spawn, ScriptWhoseInterpreterCannotRunNamesTheInterpreter)
{
    fixtures::ScratchFolder folder;
    const std::string plain = folder / "plain-file";
    fixtures::WriteFile(plain, "not a program\n");
    chmod(plain.c_str(), 0644);
    struct Case { const char* name; std::string text; mode_t mode; int error; std::string reason; };
    const Case cases[] = {
        {"missing", "#!/nonexistent/interpreter\nexit 0\n", 0755, ENOENT,
         "its interpreter \"/nonexistent/interpreter\" (named on its \"#!\" line) does not exist"},
        {"blanks and an argument", "#! \t/nonexistent/interpreter -x\nexit 0\n", 0755, ENOENT,
         "its interpreter \"/nonexistent/interpreter\" (named on its \"#!\" line) does not exist"},
        {"windows line end", "#!/bin/sh\r\nexit 0\r\n", 0755, ENOENT,
         "its \"#!\" line ends in a carriage return (a Windows line end), so its interpreter is \"/bin/sh\\r\", "
         "which does not exist"},
        {"windows path", "#!C:\\Python\\python.exe\nexit 0\n", 0755, ENOENT,
         "its \"#!\" line names a Windows program as its interpreter: \"C:\\Python\\python.exe\""},
        {"interpreter not runnable", "#!" + plain + "\nexit 0\n", 0755, EACCES,
         "its interpreter \"" + plain + "\" (named on its \"#!\" line) cannot be run: Permission denied"},
        {"program for another system", ElfProgramWithLoader("/nonexistent/ld-linux.so.2"), 0755, ENOENT,
         "its program loader \"/nonexistent/ld-linux.so.2\" does not exist (a program built for another system)"},
        // The script itself is what is refused or missing: the plain reason.
        {"script not executable", "#!/nonexistent/interpreter\nexit 0\n", 0644, EACCES, "Permission denied"},
        {"no such script", "", 0, ENOENT, "No such file or directory"},
    };
    for (const Case& c : cases)
    {
        const std::string program = folder / c.name;
        if (c.mode != 0)
        {
            fixtures::WriteFile(program, c.text);
            chmod(program.c_str(), c.mode);
        }
        for (bool dieWithParent : {false, true})
        {
            SCOPED_TRACE(std::string(c.name) + (dieWithParent ? " (dies with us)" : ""));
            SpawnRequest request;
            request.argv = {program};
            request.dieWithParent = dieWithParent;
            std::string error;
            auto child = SpawnedChild::Spawn(request, &error);
            const int spawnError = errno;
            if (child)
                child->Wait(20000);
            EXPECT_FALSE(child);
            EXPECT_EQ(spawnError, c.error);
            EXPECT_EQ(error, "\"" + program + "\" cannot be started: " + c.reason);
        }
    }
}

// A working folder that cannot be entered is said to be that, however the child is started.
TEST(Spawn, WorkingFolderThatCannotBeEnteredIsNamed)
{
    for (bool dieWithParent : {false, true})
    {
        SCOPED_TRACE(dieWithParent);
        SpawnRequest request;
        request.argv = {"/bin/true"};
        request.workingFolder = "/nonexistent/folder";
        request.dieWithParent = dieWithParent;
        std::string error;
        EXPECT_FALSE(SpawnedChild::Spawn(request, &error));
        EXPECT_EQ(error, "changing to the working folder for \"/bin/true\": No such file or directory");
    }
}

TEST(Spawn, DroppingARunningChildLeavesItRunningAndLeaksNoDescriptor)
{
    auto countDescriptors = [] {
        int count = 0;
        for (int fd = 0; fd < 1024; ++fd)
            count += fcntl(fd, F_GETFD) != -1;
        return count;
    };
    const int before = countDescriptors();
    pid_t pid;
    {
        auto child = StartShell("exec sleep 60");
        ASSERT_TRUE(child);
        pid = child->Pid();
    }
    EXPECT_TRUE(ProcessExists(pid));
    kill(pid, SIGKILL);
    // Later starts collect dropped children once they have ended: no zombie stays, no
    // descriptor. (A child may be dropped between closing its output and ending, so it can take
    // a start or two.)
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    do
    {
        auto child = StartShell("echo x");
        EXPECT_EQ(ReadAllWithin(*child, std::chrono::seconds(10)), "x\n");
        EXPECT_TRUE(child->Wait(10000));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while ((ProcessExists(pid) || countDescriptors() != before) && std::chrono::steady_clock::now() < deadline);
    EXPECT_FALSE(ProcessExists(pid));
    EXPECT_EQ(countDescriptors(), before);
}
