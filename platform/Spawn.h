#pragma once
// The one way this program starts another program. The child runs the given argument vector
// directly (no shell); a program name without "/" is looked up in PATH. The file is run as the
// kernel runs it (execve), whichever way the child is started: a file the kernel refuses (ENOEXEC:
// a Windows program, a script without "#!") is not started, never handed to /bin/sh, and the
// error says it is not a Linux program; a script whose "#!" interpreter is missing or refused is
// said to be that, naming the interpreter (platform/StartFailure.h). Its standard input is
// /dev/null; with capture its standard output and standard error share one pipe that this
// process reads. A child inherits only its three standard descriptors and the ones the request
// hands it at fixed numbers: our pipe ends are close-on-exec and every other descriptor is closed
// in the child, so a child started at the same moment from another thread never holds our pipe
// open. The child gets default signal dispositions and an empty signal
// mask, whatever this process ignores or blocks.
//
// The child is watched through a pidfd: waiting, reading its exit status and terminating it can
// never reach another process that happens to reuse its pid. Only this child's status is ever
// collected (never waitpid(-1)), so other code that starts processes keeps its own.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform
{

// A descriptor of ours that the child receives under a fixed number (above the standard three),
// so that it can be named to the child as "/proc/self/fd/<as>": a file this process opened
// through its own checks, which no name swapped in meanwhile can redirect.
struct InheritedDescriptor
{
    int fd = -1;  // ours; stays open and keeps its close-on-exec flag here
    int as = -1;  // the child's number: 3 or more, each used once
};

struct SpawnRequest
{
    std::vector<std::string> argv;  // argv[0] names the program; UTF-8 native text
    std::string workingFolder;      // empty: this process's current folder
    bool captureOutput = false;     // standard output and error on one pipe, see ReadOutput
    // The child gets SIGKILL when the thread that started it ends (the whole process killed
    // included), so it can never outlive its starter and act on what the starter has since
    // restored. The starting thread must stay until the child ends.
    bool dieWithParent = false;
    // The child leads a process group of its own, and Terminate ends the whole group: a script
    // (or a program that starts helpers) cannot leave its own children running after a stop.
    // Only for a child whose output is captured: a group of its own is a background group of the
    // terminal, which may stop it when it writes there.
    bool ownProcessGroup = false;
    std::vector<InheritedDescriptor> inherit;
};

class SpawnedChild
{
public:
    // Starts the child. Null when it could not be started; `error` (when given) then says what
    // failed, and errno holds the reason.
    static std::unique_ptr<SpawnedChild> Spawn(const SpawnRequest& request, std::string* error);

    SpawnedChild(const SpawnedChild&) = delete;
    SpawnedChild& operator=(const SpawnedChild&) = delete;
    // Closes our descriptors. Never kills the child: one still running is collected later (at
    // the next Spawn), so no zombie is left behind.
    ~SpawnedChild();

    pid_t Pid() const { return m_pid; }

    // Reads up to `size` bytes of captured output. Returns the count, 0 at the end, -1 on an
    // error (errno). The end is the pipe's end, or the moment the child itself has ended and
    // everything it wrote has been read: a grandchild that inherited the pipe and keeps it open
    // (or keeps writing) does not keep the reader going. Blocks until there is output or an end;
    // Terminate from another thread ends the wait. One thread reads.
    ssize_t ReadOutput(char* buffer, size_t size);

    // Waits up to `milliseconds` (0xFFFFFFFF: no limit) for the child to end. True once it has.
    bool Wait(uint32_t milliseconds);

    // The Windows-style exit code: 259 while the child runs; its exit status once it has
    // exited; 128 + the signal when a signal ended it, or the code given to Terminate when that
    // was our kill; -1 when the status can no longer be read (someone else collected it).
    int ExitCode();

    // Kills the child (SIGKILL), to report `exitCode` from then on; with ownProcessGroup every
    // process still in its group too. False when the child has already been collected or the
    // signal could not be sent (errno).
    bool Terminate(uint32_t exitCode);

private:
    SpawnedChild() = default;
    // Collects the child's status if it has ended. Called with m_statusLock held.
    void CollectLocked();
    // The reader saw the child end: from now on only what the pipe holds is read.
    void NoteChildEnded();

    pid_t m_pid = -1;
    int m_pidfd = -1;
    int m_outputFd = -1;        // read end of the output pipe, non-blocking
    bool m_childEnded = false;  // seen by ReadOutput (the one reading thread)
    size_t m_drainLeft = 0;     // after that: bytes of the child's output still in the pipe

    std::mutex m_statusLock;
    bool m_collected = false;
    bool m_lost = false;        // the status was collected elsewhere
    int m_code = 0;             // siginfo si_code: CLD_EXITED, CLD_KILLED, CLD_DUMPED
    int m_status = 0;           // exit status or signal number
    bool m_ownGroup = false;    // the child leads its own process group (its pid is the group's id)
    bool m_terminated = false;  // our Terminate sent the kill
    uint32_t m_terminateCode = 0;
};

}  // namespace platform
