#pragma once
// A picture of another process, for its dump: every thread stopped for a moment through ptrace
// (seized and interrupted, so the process does not see a SIGSTOP), its registers, the top of its
// stack and its call stack read, then every thread let go where it was. The process goes on
// running afterwards; a signal that reached a thread while it was held is handed back to it.
//
// Tracing needs the kernel's consent: the same user (or CAP_SYS_PTRACE), a process nobody traces
// yet, and under Yama's ptrace_scope 1 an ancestor of the process or one it named with
// PR_SET_PTRACER. A thread that has ended but is still listed (a leader that left its process
// to the other threads) is left out. Not for signal context.
//
// Call stacks are unwound with elfutils from the modules' call-frame information, reading the
// stopped threads' memory; without elfutils in the build each thread has only its instruction
// pointer.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace platform
{

struct SnapshotFrame
{
    uint64_t address = 0;
    uint64_t offset = 0;  // in its module: the address minus the module's load bias (0: no module)
    std::string module;   // the module's path as the process maps it; empty when unknown
    std::string buildId;  // the raw bytes of the module's GNU build id; empty when unknown
};

struct SnapshotThread
{
    pid_t id = 0;
    std::string name;
    // x86-64 user registers in the order of struct user_regs_struct: r15, r14, r13, r12, rbp, rbx,
    // r11, r10, r9, r8, rax, rcx, rdx, rsi, rdi, orig_rax, rip, cs, eflags, rsp, ss, fs_base,
    // gs_base, ds, es, fs, gs.
    std::vector<std::pair<std::string, uint64_t>> registers;
    // The instruction the thread stopped at first, then the return addresses, innermost first.
    std::vector<SnapshotFrame> frames;
    uint64_t stackStart = 0;  // address of stack[0]
    std::string stack;        // from 128 bytes below the stack pointer upwards
};

struct ProcessSnapshot
{
    pid_t pid = 0;
    std::string executable;  // the target of /proc/<pid>/exe
    std::string maps;        // /proc/<pid>/maps, verbatim
    std::string status;      // /proc/<pid>/status, verbatim
    std::vector<SnapshotThread> threads;
};

// Takes the picture of process `pid` (not the calling process). stackWindow: the most stack bytes
// kept per thread (the window ends early where the stack's mapping ends); frameLimit: the most
// frames per thread. False with `error` saying what failed (for a refused trace: the kernel's
// reason and the likely cause); every thread held is let go in any case.
bool TakeProcessSnapshot(pid_t pid, size_t stackWindow, size_t frameLimit, ProcessSnapshot& snapshot,
                         std::string& error);

}  // namespace platform
