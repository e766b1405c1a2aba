#include "platform/ProcessSnapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#ifdef LUMO_HAVE_LIBDW
#include <dwarf.h>
#include <elfutils/libdwfl.h>
#endif

#include "platform/StackCapture.h"

namespace platform
{
namespace
{

// In the order of struct user_regs_struct.
const char* const kRegisterNames[] = {"r15", "r14", "r13",     "r12",     "rbp", "rbx", "r11", "r10", "r9",
                                      "r8",  "rax", "rcx",     "rdx",     "rsi", "rdi", "orig_rax", "rip", "cs",
                                      "eflags", "rsp", "ss", "fs_base", "gs_base", "ds", "es", "fs", "gs"};
static_assert(sizeof(user_regs_struct) == sizeof(kRegisterNames) / sizeof(kRegisterNames[0]) * 8,
              "one name per register");

std::string ReadTextFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The thread ids of the process; false when the process is not there (or not visible).
bool ListThreads(pid_t pid, std::vector<pid_t>& threads)
{
    threads.clear();
    const std::string folder = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return false;
    while (const dirent* entry = readdir(dir))
    {
        char* end = nullptr;
        const long id = strtol(entry->d_name, &end, 10);
        if (entry->d_name[0] != '\0' && *end == '\0' && id > 0)
            threads.push_back(static_cast<pid_t>(id));
    }
    closedir(dir);
    return true;
}

// True for a thread that has ended but is still listed (a leader whose process has other threads
// left): it never stops for a tracer, so waiting for it would never end.
bool ThreadHasEnded(pid_t pid, pid_t thread)
{
    const std::string stat = ReadTextFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(thread) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size())
        return true;
    const char state = stat[close + 2];
    return state == 'Z' || state == 'X' || state == 'x';
}

std::string PtraceScopeText()
{
    std::string scope = ReadTextFile("/proc/sys/kernel/yama/ptrace_scope");
    while (!scope.empty() && (scope.back() == '\n' || scope.back() == ' '))
        scope.pop_back();
    return scope.empty() ? std::string() : ", kernel.yama.ptrace_scope = " + scope;
}

// A thread held by ptrace, and the signal to hand back to it when it is let go.
struct HeldThread
{
    pid_t id = 0;
    int pendingSignal = 0;
};

// Lets every held thread go, however the snapshot ends.
class Holder
{
public:
    explicit Holder(pid_t pid) : m_pid(pid) {}
    ~Holder()
    {
        for (const HeldThread& thread : m_threads)
            ptrace(PTRACE_DETACH, thread.id, nullptr, reinterpret_cast<void*>(static_cast<intptr_t>(thread.pendingSignal)));
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    // Holds every thread of the process, also those started meanwhile by threads not yet held.
    bool HoldAll(std::string& error)
    {
        std::set<pid_t> seen;
        for (;;)
        {
            std::vector<pid_t> listed;
            if (!ListThreads(m_pid, listed))
            {
                error = m_threads.empty() ? "no such process" : "the process ended while it was held";
                return false;
            }
            std::vector<pid_t> seized;
            for (pid_t id : listed)
            {
                if (!seen.insert(id).second || ThreadHasEnded(m_pid, id))
                    continue;
                if (ptrace(PTRACE_SEIZE, id, nullptr, nullptr) != 0)
                {
                    if (errno == ESRCH)
                        continue;  // ended since it was listed
                    const int why = errno;
                    error = "the kernel refuses to trace thread " + std::to_string(id) + " (" + std::strerror(why) +
                            ")";
                    if (why == EPERM)
                        error += ": another user's process, one traced already, or a ptrace restriction" +
                                 PtraceScopeText();
                    return false;
                }
                m_threads.push_back(HeldThread{id, 0});
                if (ptrace(PTRACE_INTERRUPT, id, nullptr, nullptr) != 0 && errno != ESRCH)
                {
                    error = "thread " + std::to_string(id) + " cannot be stopped (" + std::strerror(errno) + ")";
                    return false;
                }
                seized.push_back(id);
            }
            if (seized.empty())
                break;
            for (pid_t id : seized)
                WaitForStop(id);
        }
        if (m_threads.empty())
        {
            error = "no thread of the process could be held";
            return false;
        }
        return true;
    }

    const std::vector<HeldThread>& Threads() const { return m_threads; }

private:
    // Waits until the thread stops for the tracer. Only stops are taken from the wait queue: the
    // process's exit, should it end now, stays for its parent to collect.
    void WaitForStop(pid_t id)
    {
        for (;;)
        {
            siginfo_t info{};
            if (waitid(P_PID, static_cast<id_t>(id), &info, WEXITED | WSTOPPED | __WALL | WNOWAIT) != 0)
            {
                if (errno == EINTR)
                    continue;
                Forget(id);
                return;
            }
            if (info.si_code != CLD_TRAPPED && info.si_code != CLD_STOPPED)
            {
                // Ended. A thread other than the leader is only ours to collect.
                if (id != m_pid)
                    waitid(P_PID, static_cast<id_t>(id), &info, WEXITED | __WALL);
                Forget(id);
                return;
            }
            siginfo_t stop{};
            if (waitid(P_PID, static_cast<id_t>(id), &stop, WSTOPPED | __WALL) != 0)
                continue;
            const int event = stop.si_status >> 8;
            const int signalNumber = stop.si_status & 0xFF;
            // A signal on its way to the thread stopped it before our interrupt did: it is held
            // now just the same, and the signal goes back to it when it is let go.
            if (event == 0 && signalNumber != 0)
                Held(id).pendingSignal = signalNumber;
            return;
        }
    }

    HeldThread& Held(pid_t id)
    {
        for (HeldThread& thread : m_threads)
        {
            if (thread.id == id)
                return thread;
        }
        return m_threads.back();
    }

    void Forget(pid_t id)
    {
        for (size_t i = 0; i < m_threads.size(); ++i)
        {
            if (m_threads[i].id == id)
            {
                m_threads.erase(m_threads.begin() + static_cast<std::ptrdiff_t>(i));
                return;
            }
        }
    }

    pid_t m_pid;
    std::vector<HeldThread> m_threads;
};

// Memory is read through the thread itself: a leader that has ended has none left.
void ReadStack(uint64_t stackPointer, size_t window, SnapshotThread& thread)
{
    thread.stackStart = StackWindowStart(stackPointer);
    thread.stack.clear();
    ReadMappedMemory(
        thread.id, thread.stackStart, window,
        [](const void* bytes, size_t size, void* context) {
            static_cast<std::string*>(context)->append(static_cast<const char*>(bytes), size);
        },
        &thread.stack);
}

#ifdef LUMO_HAVE_LIBDW

struct FrameCollector
{
    std::vector<std::pair<uint64_t, bool>> pcs;  // address, whether it is the stopped instruction
    size_t limit = 0;
};

int CollectFrame(Dwfl_Frame* state, void* argument)
{
    FrameCollector& collector = *static_cast<FrameCollector*>(argument);
    Dwarf_Addr pc = 0;
    bool activation = false;
    if (!dwfl_frame_pc(state, &pc, &activation) || pc == 0)
        return DWARF_CB_ABORT;
    collector.pcs.emplace_back(pc, activation);
    return collector.pcs.size() >= collector.limit ? DWARF_CB_ABORT : DWARF_CB_OK;
}

// The call stacks of the held threads, from the modules the process maps. elfutils reads the
// registers and memory of the held threads itself (it is told they are stopped already).
class Unwinder
{
public:
    // mapsOf: the thread whose /proc maps file to read when the process's own is empty (its
    // leader has ended); 0 for none.
    Unwinder(pid_t pid, pid_t mapsOf)
    {
        static const Dwfl_Callbacks callbacks = {dwfl_linux_proc_find_elf, dwfl_standard_find_debuginfo, nullptr,
                                                 nullptr};
        m_dwfl = dwfl_begin(&callbacks);
        if (!m_dwfl)
            return;
        dwfl_report_begin(m_dwfl);
        int reported = -1;
        if (mapsOf == 0)
        {
            reported = dwfl_linux_proc_report(m_dwfl, pid);
        }
        else
        {
            const std::string maps = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(mapsOf) + "/maps";
            if (FILE* file = fopen(maps.c_str(), "re"))
            {
                reported = dwfl_linux_proc_maps_report(m_dwfl, file);
                fclose(file);
            }
        }
        m_ready = dwfl_report_end(m_dwfl, nullptr, nullptr) == 0 && reported == 0 &&
                  dwfl_linux_proc_attach(m_dwfl, pid, true) == 0;
    }
    ~Unwinder()
    {
        if (m_dwfl)
            dwfl_end(m_dwfl);
    }
    Unwinder(const Unwinder&) = delete;
    Unwinder& operator=(const Unwinder&) = delete;

    void Frames(pid_t thread, uint64_t instruction, size_t limit, std::vector<SnapshotFrame>& frames)
    {
        FrameCollector collector;
        collector.limit = limit;
        if (m_ready)
            dwfl_getthread_frames(m_dwfl, thread, CollectFrame, &collector);
        if (collector.pcs.empty() && limit > 0)
            collector.pcs.emplace_back(instruction, true);
        for (const auto& [pc, activation] : collector.pcs)
            frames.push_back(Describe(pc, activation));
    }

private:
    SnapshotFrame Describe(uint64_t pc, bool activation)
    {
        SnapshotFrame frame;
        frame.address = pc;
        if (!m_dwfl)
            return frame;
        // A return address may be the first byte after its module's last call: look up the call.
        Dwfl_Module* module = dwfl_addrmodule(m_dwfl, activation || pc == 0 ? pc : pc - 1);
        if (!module)
            return frame;
        Dwarf_Addr start = 0;
        const char* name = dwfl_module_info(module, nullptr, &start, nullptr, nullptr, nullptr, nullptr, nullptr);
        frame.module = name ? name : "";
        Dwarf_Addr bias = start;
        if (!dwfl_module_getelf(module, &bias))
            bias = start;
        frame.offset = pc - bias;
        const unsigned char* bits = nullptr;
        GElf_Addr where = 0;
        const int length = dwfl_module_build_id(module, &bits, &where);
        if (length > 0 && bits)
            frame.buildId.assign(reinterpret_cast<const char*>(bits), static_cast<size_t>(length));
        return frame;
    }

    Dwfl* m_dwfl = nullptr;
    bool m_ready = false;
};

#else

class Unwinder
{
public:
    Unwinder(pid_t, pid_t) {}
    void Frames(pid_t, uint64_t instruction, size_t limit, std::vector<SnapshotFrame>& frames)
    {
        if (limit > 0)
            frames.push_back(SnapshotFrame{instruction, 0, std::string(), std::string()});
    }
};

#endif

}  // namespace

bool TakeProcessSnapshot(pid_t pid, size_t stackWindow, size_t frameLimit, ProcessSnapshot& snapshot,
                         std::string& error)
{
    snapshot = ProcessSnapshot{};
    error.clear();
    const std::string what = "process " + std::to_string(pid) + ": ";
    if (pid <= 0)
    {
        error = what + "no process id";
        return false;
    }
    if (pid == getpid())
    {
        error = what + "a process cannot trace itself (its own dump is taken from inside)";
        return false;
    }

    Holder holder(pid);
    if (!holder.HoldAll(error))
    {
        error = what + error;
        return false;
    }
    snapshot.pid = pid;
    const std::string proc = "/proc/" + std::to_string(pid);
    snapshot.status = ReadTextFile(proc + "/status");
    // The memory map and the executable belong to the process, but a leader that has ended no
    // longer shows them: then they are read through a thread that is still there.
    pid_t mapsOf = 0;
    std::string where = proc;
    snapshot.maps = ReadTextFile(proc + "/maps");
    if (snapshot.maps.empty())
    {
        mapsOf = holder.Threads().front().id;
        where = proc + "/task/" + std::to_string(mapsOf);
        snapshot.maps = ReadTextFile(where + "/maps");
    }
    char exe[4096];
    const ssize_t exeLength = readlink((where + "/exe").c_str(), exe, sizeof(exe));
    if (exeLength > 0)
        snapshot.executable.assign(exe, static_cast<size_t>(exeLength));

    Unwinder unwinder(pid, mapsOf);
    for (const HeldThread& held : holder.Threads())
    {
        SnapshotThread thread;
        thread.id = held.id;
        thread.name = ReadTextFile(proc + "/task/" + std::to_string(held.id) + "/comm");
        if (!thread.name.empty() && thread.name.back() == '\n')
            thread.name.pop_back();
        user_regs_struct registers{};
        if (ptrace(PTRACE_GETREGS, held.id, nullptr, &registers) != 0)
        {
            error = what + "the registers of thread " + std::to_string(held.id) + " cannot be read (" +
                    std::strerror(errno) + ")";
            return false;
        }
        uint64_t values[sizeof(kRegisterNames) / sizeof(kRegisterNames[0])];
        memcpy(values, &registers, sizeof(values));
        for (size_t i = 0; i < sizeof(values) / sizeof(values[0]); ++i)
            thread.registers.emplace_back(kRegisterNames[i], values[i]);
        ReadStack(registers.rsp, stackWindow, thread);
        unwinder.Frames(held.id, registers.rip, frameLimit, thread.frames);
        snapshot.threads.push_back(std::move(thread));
    }
    return true;
}

}  // namespace platform
