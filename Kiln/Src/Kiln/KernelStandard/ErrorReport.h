#pragma once
// The kernel's error report. When a kernel thread dies from a fault, or a kernel exception
// reaches the thread guard, the kernel writes the plain-text report "ERRORLOG.TXT" (and, for a
// fault, the dump "CRASH.DMP" in the crash handlers' format, lumo/diagnostics/CrashDump.h) and starts the
// crash-report program "XCrashReport.exe" from the program's own folder.
//
// Where the files go: a private folder made for the run's reports (mkdtemp, mode 0700) below
// TMPDIR, else TEMP, else /tmp, named "kiln-report-XXXXXX". Both files are created exclusively,
// never through a link. The folder is kept when the process ends, as the crash-report program
// may still be reading it; the program is started with that folder as its working folder and
// the argument vector {"<folder>/XCrashReport.exe", "<program name>"} (plus "-assert" after an
// assertion report), so it finds ERRORLOG.TXT and CRASH.DMP in its working folder.
//
// ERRORLOG.TXT after a fault (lines end in CR LF; numbers in hexadecimal unless stated):
//   <title> caused <exception name> (0x<code, 8 digits>) 
//   in module <faulting module> at <cs, 4 digits>:<instruction pointer, 16 digits>.
//   (signal <n>, code <n>)        the signal behind the exception (0, 0 for a C++ exception)
//   <blank>
//   Exception handler called in main thread.    or    ... called in thread <id>.
//   the system section (below)
//   Read from|Write to location <address, at least 8 digits> caused an access violation.
//                                                  (access violations only)
//   <blank> Context: and five lines of x86-64 registers:
//     RAX:    0x<16>  RBX: 0x<16>  RCX:   0x<16>      RDX / RSI / RDI
//     R8:     ...     R9:  ...     R10:   ...          R11 / R12 / R13
//     R14:    ...     R15: ...     RBP:   ...
//     RIP:    0x<16>  RSP: 0x<16>  SegCs: 0x<4>
//     EFlags: 0x<8>   Err: 0x<8>   Trap:  0x<8>
//   <blank> Bytes at CS:EIP: then 16 bytes "%02x " ("?? " where unreadable)
//   <blank><blank> Stack: then the stack from the stack pointer up to the stack's end, at most
//     12,288 bytes: "0x<address, 16 digits>: " and four 32-bit words "%08x " a line, missing
//     words padded with nine spaces, then the line's bytes as characters ("." for bytes below
//     32, 127 and above); a final blank line. An unreadable line ends the dump with
//     "Exception encountered during stack dump."
//   the module list: per ELF image mapped from a file, numbered from 1:
//     Module <n> / <path> / Image Base: 0x<16>  Image Size: 0x<8> / Build Id:   <hex or Unknown>
//     File Size:  <decimal, left-aligned in 10>  File Time:  <m/d/yyyy hh:mm:ss>
//     Version Information: with Company, Product, FileDesc "Unknown", FileVer and ProdVer
//     0.0.0.0, and a blank line
//   <blank> ===== [end of ERRORLOG.TXT] =====
// The system section:
//   Error occurred at <m/d/yyyy hh:mm:ss>.  /  <program path>, run by <user>.  (the account of the
//     effective user id; USER or LOGNAME only when the id has no account entry; else Unknown)
//   Operating system:  Linux (<kernel release>).  /  <n> processor(s), type 8664.
//   <n>% memory in use.  and MBytes lines for physical memory, paging file (swap) and user
//   address space (2^47 bytes), each total and free, rounded up to whole megabytes.
//
// After an assertion report: File, Line, Class, Reason, the call stack, the system section.

#include <signal.h>
#include <ucontext.h>

#include <cstddef>
#include <cstdint>

namespace Kiln
{

class Exception;

// What went wrong, in the system's exception numbering (a fault's signal is mapped to the
// matching code), with the failing thread's registers.
struct ExceptionPointers
{
    uint32_t code = 0;
    int signalNumber = 0;  // 0: not a signal (a C++ exception)
    int signalCode = 0;
    uint32_t parameterCount = 0;
    uint64_t parameters[2] = {0, 0};  // access violations: 1 for a write, the address
    const ucontext_t* context = nullptr;
    bool inSignalHandler = false;  // only async-signal-safe calls then
};

constexpr uint32_t kAccessViolationCode = 0xC0000005;
constexpr uint32_t kCppExceptionCode = 0xE06D7363;
constexpr uint32_t kAbortCode = 0xE0000006;  // SIGABRT has no system code; our own row
constexpr int kFatalExitStatus = 3;          // the process's status after a fatal assertion

// Records what the writers need and cannot find out in a signal handler (paths, user, clock
// zone, processors). Idempotent; the thread guard calls it before any body runs.
void PrepareErrorReport();

// Maps a signal to the system's exception record.
void MakeExceptionPointers(int signalNumber, const siginfo_t* info, const ucontext_t* context,
                           ExceptionPointers& pointers);

// Writes ERRORLOG.TXT and CRASH.DMP once per process and starts the crash-report program
// (unless a debugger is attached). 1 when the program was started (the fault is handled), else
// 0. Async-signal-safe when pointers->inSignalHandler is set.
int WriteExceptionReport(const ExceptionPointers* pointers);

// Writes ERRORLOG.TXT for a kernel exception, starts the crash-report program with "-assert"
// and waits for it. A nonzero exit code of that program ends this process with
// kFatalExitStatus. Returns 0.
int WriteAssertReport(const Exception& exception);

// After a report step failed part-way (a contained fault or exception): writes the text still
// pending to the report that was open and closes it, so the next report starts with nothing of
// this one and no descriptor is left behind. Does nothing when no report was left open.
void CloseAbandonedReport();

const char* GetExceptionName(uint32_t code);

// The system's version table, for reports that come from such a system.
bool GetWindowsVersionName(uint32_t platformId, uint32_t major, uint32_t minor, uint32_t build, const char*& name,
                           int& code);

void WriteSystemInfo(int fd);
void WriteRegisters(int fd, const ucontext_t* context);
// From `sp` up to `stackEnd`, at most 12,288 bytes.
void WriteStackDump(int fd, uint64_t sp, uint64_t stackEnd);
void WriteModuleList(int fd);
// Writes the dump of the current thread into `fd`; without pointers, of the current state.
void ExceptionHandlerXCrashReport(int fd, const ExceptionPointers* pointers);

// The fatal-error window: on this system its text goes to standard error and, when a report
// was written, to the end of the report. Async-signal-safe.
void ShowFatalMessageBox(const char* text, const char* caption);

// The folder of this run's reports, "" until the first report made it.
const char* ErrorReportFolder();

}  // namespace Kiln
