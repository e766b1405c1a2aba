#pragma once
// The crash dump: what the crash handlers write when the process fails, and what dump-tool reads.
// Writing is async-signal-safe once PrepareCrashDumpWriter has run: no allocation, no stdio, no
// lock; memory that may be damaged is only read through process_vm_readv.
//
// File format, version 1. Every integer is little-endian, assembled byte by byte.
//
//   offset 0   8 bytes  magic "LUMODUMP"
//   offset 8   u32      format version (1)
//   offset 12  u32      size of this header (16)
//   then records, each:
//              u32      tag
//              u32      payload length in bytes
//              ...      payload
//   The last record is END (tag 0, length 0); a file without it was cut short. Readers skip
//   records with tags they do not know.
//
// A "string" inside a payload is a u32 byte count followed by that many bytes (UTF-8, no NUL).
//
//   tag 1 PROCESS    u32 pid, u32 build number, string version text, string executable path,
//                    u64 wall-clock seconds since 1970-01-01 UTC, u32 nanoseconds
//   tag 2 REASON     u32 kind (CrashDumpReason), i32 signal number, i32 signal code (siginfo
//                    si_code), u64 fault address (siginfo si_addr), string detail (the failed
//                    assertion, the uncaught exception, ...; may be empty). For a signal the
//                    fields are the signal's; for an assertion, an invalid parameter and an
//                    uncaught exception the signal is SIGABRT, which ends the process right
//                    after the dump (code and address 0); otherwise all three are 0.
//   tag 3 THREAD     u32 thread id (gettid) of the failing thread, string thread name
//   tag 4 REGISTERS  u32 count, then per register: string name, u64 value (x86-64 general
//                    registers as the signal context holds them: r8 ... r15, rdi, rsi, rbp,
//                    rbx, rdx, rax, rcx, rsp, rip, eflags, csgsfs, err, trapno, oldmask, cr2)
//   tag 5 FRAMES     u32 count, then per frame, innermost first: u64 address, u64 offset of the
//                    address in its module (the address minus the module's load bias, i.e. the
//                    module's own virtual address), string module path, string build id (the
//                    raw bytes of the module's GNU build-id note; empty when unknown). The first
//                    frame is the failing instruction for a signal and a return address
//                    otherwise; the others are return addresses.
//   tag 6 STACK      u64 address of the first byte, then the bytes: a window of the failing
//                    thread's stack from 128 bytes below its stack pointer upwards (at most
//                    64 KiB; it ends early where the stack's mapping ends)
//   tag 7 MAPS       the text of /proc/self/maps, verbatim
//   tag 8 STATUS     the text of /proc/self/status, verbatim
//   tag 9 THREADS    u32 count, then u32 thread id per thread of the process
//   tag 10 THREAD STATE  one per thread of a dump of another process (see below): u32 thread id,
//                    string thread name, u32 register count, then per register: string name,
//                    u64 value (x86-64 user registers in the order of user_regs_struct: r15,
//                    r14, r13, r12, rbp, rbx, r11, r10, r9, r8, rax, rcx, rdx, rsi, rdi,
//                    orig_rax, rip, cs, eflags, rsp, ss, fs_base, gs_base, ds, es, fs, gs),
//                    u32 frame count, then the frames as in FRAMES (the first is the instruction
//                    the thread was stopped at, the others return addresses), u64 address of
//                    the first stack byte, u32 stack byte count, then the bytes of the thread's
//                    stack window as in STACK
//   tag 0 END        empty
//
// A dump of another process (WriteRemoteCrashDump, reason kind Remote) has PROCESS (the target's
// pid and executable; the build constants and the time are the writer's), REASON (signal, code
// and address 0), one THREAD STATE per thread, MAPS, STATUS and THREADS of the target, and no
// THREAD, REGISTERS, FRAMES or STACK. Readers of version 1 that do not know THREAD STATE skip it.

#include <ucontext.h>

#include <cstddef>
#include <cstdint>

namespace platform
{
struct ProcessSnapshot;
}

// The build constants the dumps carry.
constexpr uint32_t kSollexBuildNumber = 44088;
constexpr const char* kSollexVersionText = "35673";

enum class CrashDumpReason : uint32_t
{
    Signal = 1,             // a fatal signal
    Snapshot = 2,           // the current state, on request
    UnexpectedExit = 3,     // the process exited without announcing a normal exit
    Assertion = 4,          // a failed Assert
    InvalidParameter = 5,   // a checked wrapper found an invalid argument
    UncaughtException = 6,  // a C++ exception nobody caught
    Remote = 7,             // another process, taken from outside it
};

enum CrashDumpTag : uint32_t
{
    kDumpTagEnd = 0,
    kDumpTagProcess = 1,
    kDumpTagReason = 2,
    kDumpTagThread = 3,
    kDumpTagRegisters = 4,
    kDumpTagFrames = 5,
    kDumpTagStack = 6,
    kDumpTagMaps = 7,
    kDumpTagStatus = 8,
    kDumpTagThreads = 9,
    kDumpTagThreadState = 10,
};

constexpr char kCrashDumpMagic[8] = {'L', 'U', 'M', 'O', 'D', 'U', 'M', 'P'};
constexpr uint32_t kCrashDumpVersion = 1;
constexpr size_t kCrashDumpStackWindow = 64 * 1024;
constexpr size_t kCrashDumpMaxFrames = 128;

struct CrashDumpRequest
{
    CrashDumpReason reason = CrashDumpReason::Snapshot;
    int signalNumber = 0;
    int signalCode = 0;
    uint64_t faultAddress = 0;
    // The failing thread's registers; null when there are none to record.
    const ucontext_t* context = nullptr;
    // Where the frame list starts: a return address on the current stack (the frames inside the
    // dump machinery are left out). 0: at the context's instruction pointer.
    uint64_t firstFrame = 0;
    const char* detail = nullptr;
};

// Sets up what the writer needs outside signal context (the unwinder's first use). Idempotent.
void PrepareCrashDumpWriter();

// Writes a dump of the calling thread to `fd`, which must be a regular file open for writing at
// its start. False when a write failed (the file then holds what was written). Async-signal-safe.
bool WriteCrashDump(int fd, const CrashDumpRequest& request);

// Writes the dump of another process from its snapshot (platform/ProcessSnapshot.h) to `fd`, a
// regular file open for writing at its start. False when a write failed. Not for signal context.
bool WriteRemoteCrashDump(int fd, const platform::ProcessSnapshot& snapshot);

// Creates a new dump file exclusively (0600, never following a link, close-on-exec): `folder`
// ("" for the working directory, else ending in "/") + `name`; while that exists, the name with
// "_1", "_2", ... before its extension. When the folder refuses the file (not writable, missing),
// the file goes into a new private folder (mkdtemp, 0700) below `fallbackParent` instead. Returns
// the descriptor and the path in `path`, or -1. Async-signal-safe.
int CreateCrashDumpFile(const char* folder, const char* name, const char* fallbackParent, char* path,
                        size_t pathCapacity);

// Reads the GNU build id out of a block of ELF notes; returns its length (0: none), copying at
// most `capacity` bytes. Shared by the writer (notes in memory) and the reader (notes in a file).
size_t FindGnuBuildId(const uint8_t* notes, size_t size, uint8_t* id, size_t capacity);
