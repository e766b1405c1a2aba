#include "platform/Spawn.h"

#include "platform/StartFailure.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// glibc 2.36 declares these without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}

#include <chrono>
#include <climits>

namespace platform
{
namespace
{

constexpr uint32_t kNoLimit = 0xFFFFFFFF;
constexpr int kStillRunning = 259;
constexpr int kOutputPipeSize = 1 << 20;  // the default limit of an unprivileged pipe
constexpr char kStartStep[] = "starting the program";

// Children whose object went away while they still ran. Their status is collected at the next
// spawn, so they do not linger as zombies. Never destroyed: objects may go during exit.
struct Reaper
{
    std::mutex lock;
    std::vector<int> pidfds;
};

Reaper& GetReaper()
{
    static Reaper* reaper = new Reaper;
    return *reaper;
}

// True when the child behind `pidfd` has been collected now, or can no longer be.
bool CollectIfEnded(int pidfd, siginfo_t& info)
{
    info = siginfo_t{};
    for (;;)
    {
        if (waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, WEXITED | WNOHANG) == 0)
            return info.si_pid != 0;
        if (errno != EINTR)
            return true;  // ECHILD: collected by someone else; nothing left to do
    }
}

void DrainReaper()
{
    Reaper& reaper = GetReaper();
    std::lock_guard<std::mutex> guard(reaper.lock);
    for (size_t i = 0; i < reaper.pidfds.size();)
    {
        siginfo_t info;
        if (CollectIfEnded(reaper.pidfds[i], info))
        {
            close(reaper.pidfds[i]);
            reaper.pidfds[i] = reaper.pidfds.back();
            reaper.pidfds.pop_back();
        }
        else
        {
            ++i;
        }
    }
}

std::string Describe(const char* what, const std::string& program, int error)
{
    // The kernel refuses a file it cannot run (a Windows program, a script without "#!"): said as
    // such, since the bare "Exec format error" means nothing to a user.
    if (error == ENOEXEC && strcmp(what, kStartStep) == 0)
        return "\"" + program + "\" is not a Linux program (" + strerror(error) + ")";
    if (strcmp(what, kStartStep) == 0)
    {
        // A file that is there but "missing" or refused may be a script whose interpreter is.
        const std::string interpreter =
            program.find('/') != std::string::npos ? ExplainInterpreterFailure(program, error) : std::string();
        return "\"" + program + "\" cannot be started: " + (interpreter.empty() ? strerror(error) : interpreter);
    }
    return std::string(what) + " for \"" + program + "\": " + strerror(error);
}

// The file a program name stands for, found the way execvp would, but here, before the start, so
// that the start itself is a plain execve: a name with a "/" is taken as it is; a bare name is the
// first executable file of that name in a PATH folder (an empty entry is the current folder).
// Returns 0 or the error number: ENOENT when no folder holds the name, EACCES when one holds it
// but it cannot be run.
int FindProgram(const std::string& program, std::string& path)
{
    if (program.find('/') != std::string::npos)
    {
        path = program;
        return 0;
    }
    const char* variable = getenv("PATH");
    const std::string folders = variable ? variable : "/bin:/usr/bin";
    int error = ENOENT;
    size_t start = 0;
    for (;;)
    {
        const size_t colon = folders.find(':', start);
        const std::string folder = folders.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        const std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + program;
        struct stat info;
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode))
        {
            if (access(candidate.c_str(), X_OK) == 0)
            {
                path = candidate;
                return 0;
            }
            error = EACCES;
        }
        if (colon == std::string::npos)
            return error;
        start = colon + 1;
    }
}

bool CanEnter(const std::string& folder)
{
    struct stat info;
    return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && access(folder.c_str(), X_OK) == 0;
}

bool IsHandedOver(const std::vector<InheritedDescriptor>& inherit, int number)
{
    for (const InheritedDescriptor& entry : inherit)
        if (entry.as == number)
            return true;
    return false;
}

// The first number above every standard and handed-over descriptor of the child.
int FirstFreeNumber(const std::vector<InheritedDescriptor>& inherit)
{
    int first = STDERR_FILENO + 1;
    for (const InheritedDescriptor& entry : inherit)
        first = entry.as >= first ? entry.as + 1 : first;
    return first;
}

// Copies of the descriptors to hand over, each at or above firstFree (close-on-exec), so that
// moving one into its number never overwrites another that is still to be moved. Returns 0 or
// the error number; the copies made so far are in staged either way (the caller closes them).
int StageInherited(const std::vector<InheritedDescriptor>& inherit, int firstFree,
                   std::vector<InheritedDescriptor>& staged, std::string& problem)
{
    for (const InheritedDescriptor& entry : inherit)
    {
        if (entry.fd < 0 || entry.as <= STDERR_FILENO)
        {
            problem = "descriptor " + std::to_string(entry.fd) + " cannot be handed over as number " +
                      std::to_string(entry.as);
            return EINVAL;
        }
        for (const InheritedDescriptor& other : inherit)
        {
            if (&other != &entry && other.as == entry.as)
            {
                problem = "two descriptors are handed over as number " + std::to_string(entry.as);
                return EINVAL;
            }
        }
        const int copy = fcntl(entry.fd, F_DUPFD_CLOEXEC, firstFree);
        if (copy < 0)
        {
            problem = "copying descriptor " + std::to_string(entry.fd) + " to hand it over";
            return errno;
        }
        staged.push_back({copy, entry.as});
    }
    return 0;
}

// Owns the spawn attributes and file actions for one start.
class SpawnSetup
{
public:
    SpawnSetup()
    {
        m_actionsReady = posix_spawn_file_actions_init(&m_actions) == 0;
        m_attributesReady = posix_spawnattr_init(&m_attributes) == 0;
    }
    ~SpawnSetup()
    {
        if (m_actionsReady)
            posix_spawn_file_actions_destroy(&m_actions);
        if (m_attributesReady)
            posix_spawnattr_destroy(&m_attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    // Returns 0 or the error number of the step that failed; `step` names it.
    // staged: the inherited descriptors' copies, all at or above firstFree (see StageInherited).
    int Prepare(const SpawnRequest& request, int outputWriteFd, const std::vector<InheritedDescriptor>& staged,
                int firstFree, const char*& step)
    {
        step = "preparing the start";
        if (!m_actionsReady || !m_attributesReady)
            return ENOMEM;

        // Signal state is inherited through exec: give the child the defaults, whatever we
        // ignore (SIGPIPE) or block on our threads.
        sigset_t all;
        sigset_t none;
        sigfillset(&all);
        sigemptyset(&none);
        int rc = posix_spawnattr_setsigdefault(&m_attributes, &all);
        if (rc == 0)
            rc = posix_spawnattr_setsigmask(&m_attributes, &none);
        if (rc == 0)
            {
            short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
            if (request.ownProcessGroup)
            {
                flags |= POSIX_SPAWN_SETPGROUP;
                rc = posix_spawnattr_setpgroup(&m_attributes, 0);
            }
            if (rc == 0)
                rc = posix_spawnattr_setflags(&m_attributes, flags);
        }
        if (rc != 0)
            return rc;

        if (outputWriteFd >= 0)
        {
            // dup2 clears close-on-exec on the copies only; our own descriptor keeps it.
            step = "joining standard output and error on the pipe";
            rc = posix_spawn_file_actions_adddup2(&m_actions, outputWriteFd, STDOUT_FILENO);
            if (rc == 0)
                rc = posix_spawn_file_actions_adddup2(&m_actions, outputWriteFd, STDERR_FILENO);
            if (rc != 0)
                return rc;
        }
        // After the dup2s: a pipe end that landed on descriptor 0 is copied before it is replaced.
        step = "opening /dev/null as standard input";
        rc = posix_spawn_file_actions_addopen(&m_actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        if (rc != 0)
            return rc;
        // Descriptors opened without close-on-exec (by libraries, or inherited from our own
        // parent) must not reach the child either: below firstFree every number that is not
        // handed over is closed, from firstFree on everything (the staged copies included, once
        // they are in place).
        step = "closing the other descriptors";
        for (int fd = STDERR_FILENO + 1; fd < firstFree && rc == 0; ++fd)
            if (!IsHandedOver(staged, fd))
                rc = posix_spawn_file_actions_addclose(&m_actions, fd);
        if (rc != 0)
            return rc;
        step = "handing over the inherited descriptors";
        for (const InheritedDescriptor& copy : staged)
            if ((rc = posix_spawn_file_actions_adddup2(&m_actions, copy.fd, copy.as)) != 0)
                return rc;
        step = "closing the other descriptors";
        rc = posix_spawn_file_actions_addclosefrom_np(&m_actions, firstFree);
        if (rc != 0)
            return rc;
        if (!request.workingFolder.empty())
        {
            step = "changing to the working folder";
            rc = posix_spawn_file_actions_addchdir_np(&m_actions, request.workingFolder.c_str());
            if (rc != 0)
                return rc;
        }
        return 0;
    }

    const posix_spawn_file_actions_t* Actions() const { return &m_actions; }
    const posix_spawnattr_t* Attributes() const { return &m_attributes; }

private:
    posix_spawn_file_actions_t m_actions;
    posix_spawnattr_t m_attributes;
    bool m_actionsReady = false;
    bool m_attributesReady = false;
};

void CloseIfOpen(int& fd)
{
    if (fd >= 0)
    {
        close(fd);
        fd = -1;
    }
}

// posix_spawn cannot ask for a death signal, so a child that must die with us is forked and set
// up by hand, the way posix_spawn would: async-signal-safe calls only (another thread may hold any
// lock at the fork). A close-on-exec pipe carries the failing step and its errno back; it stays
// empty when the exec succeeds. Returns 0 or the error number, with `step` naming the step.
int ForkDyingWithParent(const SpawnRequest& request, const char* program, char* const* argv, int outputWriteFd,
                        const std::vector<InheritedDescriptor>& staged, int firstFree, pid_t& pid, const char*& step)
{
    static const char* const kSteps[] = {"asking for the death signal", "joining standard output and error on the pipe",
                                         "opening /dev/null as standard input", "changing to the working folder",
                                         kStartStep, "making a process group", "handing over the inherited descriptors"};
    step = "creating the start report pipe";
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return errno;
    // Above the standard and handed-over descriptors, so the child's own set-up never lands on it.
    const int reportWrite = fcntl(report[1], F_DUPFD_CLOEXEC, firstFree);
    close(report[1]);
    if (reportWrite < 0)
    {
        const int e = errno;
        close(report[0]);
        return e;
    }
    const char* folder = request.workingFolder.empty() ? nullptr : request.workingFolder.c_str();
    const pid_t parent = getpid();
    pid = fork();
    if (pid == 0)
    {
        auto fail = [reportWrite](int which) {
            const int failure[2] = {which, errno};
            (void)!write(reportWrite, failure, sizeof failure);
            _exit(127);
        };
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
            fail(0);
        if (getppid() != parent)
            _exit(127);  // the parent ended before the death signal was asked for
        if (request.ownProcessGroup && setpgid(0, 0) != 0)
            fail(5);
        struct sigaction defaults = {};
        defaults.sa_handler = SIG_DFL;
        for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber)
            sigaction(signalNumber, &defaults, nullptr);  // refused for the few that cannot change
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (outputWriteFd >= 0 && (dup2(outputWriteFd, STDOUT_FILENO) < 0 || dup2(outputWriteFd, STDERR_FILENO) < 0))
            fail(1);
        const int input = open("/dev/null", O_RDONLY);
        if (input < 0 || (input != STDIN_FILENO && dup2(input, STDIN_FILENO) < 0))
            fail(2);
        for (int fd = STDERR_FILENO + 1; fd < firstFree; ++fd)
            if (!IsHandedOver(staged, fd))
                close(fd);
        for (const InheritedDescriptor& copy : staged)
            if (dup2(copy.fd, copy.as) < 0)
                fail(6);
        close_range(static_cast<unsigned>(firstFree), static_cast<unsigned>(reportWrite) - 1, 0);
        close_range(static_cast<unsigned>(reportWrite) + 1, ~0U, 0);
        if (folder && chdir(folder) != 0)
            fail(3);
        // Never execvp: it hands a file the kernel refuses (ENOEXEC) to /bin/sh.
        execve(program, argv, environ);
        fail(4);
    }
    const int forkError = errno;
    close(reportWrite);
    if (pid < 0)
    {
        close(report[0]);
        step = kStartStep;
        return forkError;
    }
    int failure[2] = {0, 0};
    ssize_t n;
    while ((n = read(report[0], failure, sizeof failure)) < 0 && errno == EINTR)
    {
    }
    close(report[0]);
    if (n != static_cast<ssize_t>(sizeof failure))
        return 0;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
    {
    }
    step = kSteps[failure[0] >= 0 && failure[0] < 7 ? failure[0] : 4];
    return failure[1];
}

}  // namespace

std::unique_ptr<SpawnedChild> SpawnedChild::Spawn(const SpawnRequest& request, std::string* error)
{
    DrainReaper();

    auto fail = [error](std::string text, int errnoValue) -> std::unique_ptr<SpawnedChild> {
        if (error)
            *error = std::move(text);
        errno = errnoValue;
        return nullptr;
    };

    if (request.argv.empty() || request.argv[0].empty())
        return fail("no program to start", EINVAL);
    const std::string& program = request.argv[0];
    // The system takes C strings: a NUL would silently cut an argument or the folder short.
    for (const std::string& argument : request.argv)
    {
        if (argument.find('\0') != std::string::npos)
            return fail("an argument for \"" + program.substr(0, program.find('\0')) + "\" holds a NUL byte", EINVAL);
    }
    if (request.workingFolder.find('\0') != std::string::npos)
        return fail("the working folder for \"" + program + "\" holds a NUL byte", EINVAL);

    int pipeFds[2] = {-1, -1};
    if (request.captureOutput && pipe2(pipeFds, O_CLOEXEC) != 0)
        return fail(Describe("creating the output pipe", program, errno), errno);
    // A larger pipe lets a chatty child write on while we read in small pieces. Only a hint:
    // where the system refuses it, the default pipe works the same, more slowly.
    if (pipeFds[0] >= 0)
        fcntl(pipeFds[0], F_SETPIPE_SZ, kOutputPipeSize);

    // Closed when the start is over: the child holds its own copies by then.
    struct StagedCopies
    {
        std::vector<InheritedDescriptor> list;
        ~StagedCopies()
        {
            for (InheritedDescriptor& copy : list)
                CloseIfOpen(copy.fd);
        }
    } staged;
    const int firstFree = FirstFreeNumber(request.inherit);
    std::string problem;
    int rc = StageInherited(request.inherit, firstFree, staged.list, problem);
    if (rc != 0)
    {
        CloseIfOpen(pipeFds[0]);
        CloseIfOpen(pipeFds[1]);
        return fail(Describe(problem.c_str(), program, rc), rc);
    }

    SpawnSetup setup;
    const char* step = "";
    rc = setup.Prepare(request, pipeFds[1], staged.list, firstFree, step);
    if (rc != 0)
    {
        CloseIfOpen(pipeFds[0]);
        CloseIfOpen(pipeFds[1]);
        return fail(Describe(step, program, rc), rc);
    }

    std::vector<char*> argv;
    argv.reserve(request.argv.size() + 1);
    for (const std::string& argument : request.argv)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    step = kStartStep;
    std::string path;
    rc = FindProgram(program, path);
    if (rc == 0)
        rc = request.dieWithParent
                 ? ForkDyingWithParent(request, path.c_str(), argv.data(), pipeFds[1], staged.list, firstFree, pid, step)
                 : posix_spawn(&pid, path.c_str(), setup.Actions(), setup.Attributes(), argv.data(), environ);
    CloseIfOpen(pipeFds[1]);  // the child holds its copies; our end must not keep the pipe alive
    // posix_spawn reports a working folder it could not enter as a failure of the start itself.
    if (rc != 0 && !request.dieWithParent && !request.workingFolder.empty() && !CanEnter(request.workingFolder))
        step = "changing to the working folder";
    if (rc != 0)
    {
        CloseIfOpen(pipeFds[0]);
        return fail(Describe(step, path.empty() ? program : path, rc), rc);
    }

    // The pid cannot be reused before we collect it, so the pidfd names our child.
    int pidfd = pidfd_open(pid, 0);
    if (pidfd < 0)
    {
        const int openError = errno;
        kill(pid, SIGKILL);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
        {
        }
        CloseIfOpen(pipeFds[0]);
        return fail(Describe("watching the started program", program, openError), openError);
    }

    if (pipeFds[0] >= 0)
    {
        const int flags = fcntl(pipeFds[0], F_GETFL);
        if (flags < 0 || fcntl(pipeFds[0], F_SETFL, flags | O_NONBLOCK) != 0)
        {
            const int flagError = errno;
            pidfd_send_signal(pidfd, SIGKILL, nullptr, 0);
            siginfo_t info{};
            while (waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, WEXITED) < 0 && errno == EINTR)
            {
            }
            close(pidfd);
            CloseIfOpen(pipeFds[0]);
            return fail(Describe("setting up the output pipe", program, flagError), flagError);
        }
    }

    std::unique_ptr<SpawnedChild> child(new SpawnedChild);
    child->m_pid = pid;
    child->m_pidfd = pidfd;
    child->m_outputFd = pipeFds[0];
    child->m_ownGroup = request.ownProcessGroup;
    return child;
}

SpawnedChild::~SpawnedChild()
{
    CloseIfOpen(m_outputFd);
    if (m_pidfd < 0)
        return;
    bool done;
    {
        std::lock_guard<std::mutex> guard(m_statusLock);
        CollectLocked();
        done = m_collected || m_lost;
    }
    if (done)
    {
        close(m_pidfd);
        return;
    }
    Reaper& reaper = GetReaper();
    try
    {
        std::lock_guard<std::mutex> guard(reaper.lock);
        reaper.pidfds.push_back(m_pidfd);
    }
    catch (...)
    {
        // No memory for the list: the descriptor stays open, which keeps the child collectable
        // by nobody but costs nothing else. Destructors never throw.
    }
}

ssize_t SpawnedChild::ReadOutput(char* buffer, size_t size)
{
    if (m_outputFd < 0)
    {
        errno = EBADF;
        return -1;
    }
    for (;;)
    {
        if (!m_childEnded)
        {
            pollfd ended = {m_pidfd, POLLIN, 0};
            if (poll(&ended, 1, 0) > 0 && (ended.revents & POLLIN))
                NoteChildEnded();
        }
        if (m_childEnded)
        {
            if (m_drainLeft == 0)
                return 0;
            if (size > m_drainLeft)
                size = m_drainLeft;
        }

        const ssize_t n = read(m_outputFd, buffer, size);
        if (n >= 0)
        {
            if (m_childEnded)
                m_drainLeft -= static_cast<size_t>(n);
            return n;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return -1;
        if (m_childEnded)
            return 0;

        pollfd fds[2] = {{m_outputFd, POLLIN, 0}, {m_pidfd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            return -1;
    }
}

void SpawnedChild::NoteChildEnded()
{
    // Everything the child wrote is in the pipe by now: read that much and no more, so that a
    // grandchild still holding (or filling) the pipe cannot keep the reader going.
    int available = 0;
    if (ioctl(m_outputFd, FIONREAD, &available) != 0 || available < 0)
        available = 0;
    m_drainLeft = static_cast<size_t>(available);
    m_childEnded = true;
}

bool SpawnedChild::Wait(uint32_t milliseconds)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;)
    {
        {
            std::lock_guard<std::mutex> guard(m_statusLock);
            CollectLocked();
            if (m_collected || m_lost)
                return true;
        }
        int timeout = -1;
        if (milliseconds != kNoLimit)
        {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return false;
            timeout = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        pollfd fd = {m_pidfd, POLLIN, 0};
        if (poll(&fd, 1, timeout) < 0 && errno != EINTR)
            return false;
    }
}

int SpawnedChild::ExitCode()
{
    std::lock_guard<std::mutex> guard(m_statusLock);
    CollectLocked();
    if (m_lost)
        return -1;
    if (!m_collected)
        return kStillRunning;
    if (m_code == CLD_EXITED)
        return m_status;
    if (m_terminated && m_status == SIGKILL)
        return static_cast<int>(m_terminateCode);
    return 128 + m_status;
}

bool SpawnedChild::Terminate(uint32_t exitCode)
{
    std::lock_guard<std::mutex> guard(m_statusLock);
    if (m_collected || m_lost || m_pidfd < 0)
    {
        errno = ESRCH;
        return false;
    }
    // The group's id is the child's pid, which cannot be reused while the child is not collected:
    // the group signal reaches no stranger. The child itself is signalled through its pidfd too.
    if (m_ownGroup)
        kill(-m_pid, SIGKILL);
    if (pidfd_send_signal(m_pidfd, SIGKILL, nullptr, 0) != 0)
        return false;
    m_terminated = true;
    m_terminateCode = exitCode;
    return true;
}

void SpawnedChild::CollectLocked()
{
    if (m_collected || m_lost || m_pidfd < 0)
        return;
    siginfo_t info;
    if (!CollectIfEnded(m_pidfd, info))
        return;
    if (info.si_pid == 0)
    {
        m_lost = true;
        return;
    }
    m_collected = true;
    m_code = info.si_code;
    m_status = info.si_status;
}

}  // namespace platform
