#include "Kiln/Src/Kiln/KernelStandard/ErrorReport.h"

#include <elf.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Kiln/Src/Kiln/KernelStandard/KilnException.h"
#include "Kiln/Src/Kiln/KernelStandard/ReportWriter.h"
#include "lumo/diagnostics/CrashDump.h"
#include "lumo/diagnostics/CrashHandlers.h"
#include "platform/DebugOutput.h"
#include "platform/Spawn.h"
#include "platform/Waitable.h"

extern char** environ;

namespace Kiln
{

namespace
{

constexpr const char* kReportName = "ERRORLOG.TXT";
constexpr const char* kDumpName = "CRASH.DMP";
constexpr const char* kCrashReportProgram = "XCrashReport.exe";
constexpr uint64_t kStackDumpLimit = 12288;

// Filled by PrepareErrorReport, read in signal handlers.
char g_programPath[PATH_MAX] = "Unknown";
char g_programName[PATH_MAX] = "Unknown";
char g_programTitle[PATH_MAX] = "Unknown";
char g_crashReportPath[PATH_MAX + 32];
char g_tempParent[PATH_MAX];
char g_userName[256] = "Unknown";
char g_osRelease[128] = "";
long g_processors = 1;
long g_zoneOffset = 0;  // seconds east of UTC
uint64_t g_mainThread = 0;

char g_reportFolder[PATH_MAX + 32] = "";
char g_reportPath[PATH_MAX + 64] = "";
// The report being written, -1 between reports; a report cut short by a contained fault is
// closed through it (CloseAbandonedReport).
volatile sig_atomic_t g_openReport = -1;
std::atomic<bool> g_exceptionReportAllowed{true};
std::once_flag g_prepared;

char g_maps[512 * 1024];

// ---- small async-signal-safe helpers ----

void Append(char* out, size_t capacity, const char* text)
{
    const size_t length = strnlen(out, capacity);
    size_t i = 0;
    for (; text[i] && length + i + 1 < capacity; ++i)
        out[length + i] = text[i];
    out[length + i] = '\0';
}

bool ReadMemory(uint64_t address, void* out, size_t size)
{
    iovec local{out, size};
    iovec remote{reinterpret_cast<void*>(address), size};
    return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
}

size_t ReadFileInto(const char* path, char* out, size_t capacity)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    size_t length = 0;
    while (length + 1 < capacity)
    {
        const ssize_t n = read(fd, out + length, capacity - 1 - length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        length += static_cast<size_t>(n);
    }
    out[length] = '\0';
    close(fd);
    return length;
}

uint64_t ParseHex(const char*& p)
{
    uint64_t value = 0;
    for (;; ++p)
    {
        const char c = *p;
        if (c >= '0' && c <= '9')
            value = value * 16 + static_cast<uint64_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            value = value * 16 + static_cast<uint64_t>(c - 'a' + 10);
        else
            return value;
    }
}

// One line of /proc/self/maps.
struct Mapping
{
    uint64_t start = 0;
    uint64_t end = 0;
    uint64_t offset = 0;
    char perms[5] = "";
    const char* path = "";  // inside g_maps
    size_t pathLength = 0;
};

// Reads the line at `p` (inside g_maps); returns the start of the next one, null at the end.
const char* NextMapping(const char* p, Mapping& mapping)
{
    if (!p || !*p)
        return nullptr;
    const char* lineEnd = strchr(p, '\n');
    if (!lineEnd)
        lineEnd = p + strlen(p);
    mapping = Mapping{};
    mapping.start = ParseHex(p);
    if (*p == '-')
        ++p;
    mapping.end = ParseHex(p);
    while (*p == ' ')
        ++p;
    for (int i = 0; i < 4 && p < lineEnd; ++i)
        mapping.perms[i] = *p++;
    while (*p == ' ')
        ++p;
    mapping.offset = ParseHex(p);
    // device and inode, then the path
    for (int field = 0; field < 2; ++field)
    {
        while (*p == ' ')
            ++p;
        while (p < lineEnd && *p != ' ')
            ++p;
    }
    while (p < lineEnd && *p == ' ')
        ++p;
    mapping.path = p;
    mapping.pathLength = static_cast<size_t>(lineEnd - p);
    return *lineEnd ? lineEnd + 1 : lineEnd;
}

bool LoadMaps()
{
    return ReadFileInto("/proc/self/maps", g_maps, sizeof g_maps) > 0;
}

bool FindMapping(uint64_t address, Mapping& found)
{
    Mapping mapping;
    for (const char* p = g_maps; (p = NextMapping(p, mapping));)
        if (address >= mapping.start && address < mapping.end)
        {
            found = mapping;
            return true;
        }
    return false;
}

struct CivilTime
{
    int year, month, day, hour, minute, second;
};

// UTC seconds plus the zone offset recorded at start, broken down without the C library's
// zone lock.
CivilTime BreakDown(time_t seconds)
{
    const int64_t local = static_cast<int64_t>(seconds) + g_zoneOffset;
    int64_t days = local / 86400;
    int64_t rest = local % 86400;
    if (rest < 0)
    {
        rest += 86400;
        --days;
    }
    // Days since 1970-01-01 to a civil date (proleptic Gregorian).
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    return CivilTime{static_cast<int>(year), static_cast<int>(month), static_cast<int>(day),
                     static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60)};
}

void FormatTime(time_t seconds, char* out, size_t capacity)
{
    const CivilTime t = BreakDown(seconds);
    FormatInto(out, capacity, "%d/%d/%d %02d:%02d:%02d", t.month, t.day, t.year, t.hour, t.minute, t.second);
}

// Creates `name` in the report folder (made on first use), exclusively. -1 on failure.
int CreateReportFile(const char* name, char* path, size_t capacity)
{
    if (!g_reportFolder[0])
    {
        char folder[sizeof g_reportFolder] = "";
        Append(folder, sizeof folder, g_tempParent);
        Append(folder, sizeof folder, "/kiln-report-XXXXXX");
        if (!mkdtemp(folder))
            return -1;
        memcpy(g_reportFolder, folder, sizeof folder);
    }
    path[0] = '\0';
    Append(path, capacity, g_reportFolder);
    Append(path, capacity, "/");
    Append(path, capacity, name);
    // The folder is ours alone (0700): an earlier report of this run may go.
    unlink(path);
    return open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

int OpenReport()
{
    const int fd = CreateReportFile(kReportName, g_reportPath, sizeof g_reportPath);
    if (fd < 0)
    {
        static const char message[] = "Error creating exception report\r\n";
        // The debug output may allocate; standard error never does.
        ssize_t ignored = write(STDERR_FILENO, message, sizeof message - 1);
        (void)ignored;
        g_reportPath[0] = '\0';
    }
    g_openReport = fd;
    return fd;
}

void CloseReport(int fd)
{
    ReportFlush(fd);
    fsync(fd);
    close(fd);
    g_openReport = -1;
}

// Starts the crash-report program from a signal handler: only async-signal-safe calls.
bool StartCrashReportFromSignal(bool assert)
{
    const char* argv[] = {g_crashReportPath, g_programName, assert ? "-assert" : nullptr, nullptr};
    const pid_t pid = _Fork();
    if (pid < 0)
        return false;
    if (pid == 0)
    {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber)
            signal(signalNumber, SIG_DFL);
        close_range(3, ~0U, 0);
        if (g_reportFolder[0] && chdir(g_reportFolder) != 0)
            _exit(127);
        execve(g_crashReportPath, const_cast<char* const*>(argv), environ);
        _exit(127);
    }
    return true;
}

std::unique_ptr<platform::SpawnedChild> StartCrashReport(bool assert)
{
    platform::SpawnRequest request;
    request.argv = {g_crashReportPath, g_programName};
    if (assert)
        request.argv.push_back("-assert");
    request.workingFolder = g_reportFolder;
    std::string error;
    auto child = platform::SpawnedChild::Spawn(request, &error);
    if (!child)
        platform::WriteDebugOutput("Kiln::ErrorReport> " + error + "\n");
    return child;
}

// Which thread failed: "main thread" or "thread <id>".
const char* ThreadText(char* buffer, size_t capacity)
{
    const long tid = syscall(SYS_gettid);
    if (static_cast<uint64_t>(tid) == g_mainThread)
        return "main thread";
    FormatInto(buffer, capacity, "thread %lld", static_cast<long long>(tid));
    return buffer;
}

uint64_t Register(const ucontext_t* context, int index)
{
    return context ? static_cast<uint64_t>(context->uc_mcontext.gregs[index]) : 0;
}

// The module's GNU build id as hexadecimal text, from its program headers in memory.
void BuildIdText(uint64_t base, char* out, size_t capacity)
{
    out[0] = '\0';
    Elf64_Ehdr header;
    if (!ReadMemory(base, &header, sizeof header) || header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phnum > 64)
        return;
    Elf64_Phdr headers[64];
    if (!ReadMemory(base + header.e_phoff, headers, header.e_phnum * sizeof(Elf64_Phdr)))
        return;
    uint64_t firstLoad = UINT64_MAX;
    for (int i = 0; i < header.e_phnum; ++i)
        if (headers[i].p_type == PT_LOAD && headers[i].p_vaddr < firstLoad)
            firstLoad = headers[i].p_vaddr & ~uint64_t{0xFFF};
    if (firstLoad == UINT64_MAX)
        return;
    const uint64_t bias = base - firstLoad;
    for (int i = 0; i < header.e_phnum; ++i)
    {
        if (headers[i].p_type != PT_NOTE)
            continue;
        uint8_t notes[512];
        const size_t size = headers[i].p_filesz < sizeof notes ? headers[i].p_filesz : sizeof notes;
        if (!ReadMemory(bias + headers[i].p_vaddr, notes, size))
            continue;
        uint8_t id[64];
        const size_t length = FindGnuBuildId(notes, size, id, sizeof id);
        if (length == 0)
            continue;
        size_t at = 0;
        for (size_t j = 0; j < length && at + 3 < capacity; ++j)
        {
            out[at++] = "0123456789abcdef"[id[j] >> 4];
            out[at++] = "0123456789abcdef"[id[j] & 15];
        }
        out[at] = '\0';
        return;
    }
}

const struct
{
    uint32_t code;
    const char* text;
} kExceptionNames[] = {
    {0x40010005, "a Control-C"},
    {0x40010008, "a Control-Break"},
    {0x80000002, "a Datatype Misalignment"},
    {0x80000003, "a Breakpoint"},
    {0xC0000005, "an Access Violation"},
    {0xC0000006, "an In Page Error"},
    {0xC0000017, "a No Memory"},
    {0xC000001D, "an Illegal Instruction"},
    {0xC0000025, "a Noncontinuable Exception"},
    {0xC0000026, "an Invalid Disposition"},
    {0xC000008C, "a Array Bounds Exceeded"},
    {0xC000008D, "a Float Denormal Operand"},
    {0xC000008E, "a Float Divide by Zero"},
    {0xC000008F, "a Float Inexact Result"},
    {0xC0000090, "a Float Invalid Operation"},
    {0xC0000091, "a Float Overflow"},
    {0xC0000092, "a Float Stack Check"},
    {0xC0000093, "a Float Underflow"},
    {0xC0000094, "an Integer Divide by Zero"},
    {0xC0000095, "an Integer Overflow"},
    {0xC0000096, "a Privileged Instruction"},
    {0xC00000FD, "a Stack Overflow"},
    {0xC0000142, "a DLL Initialization Failed"},
    {0xE06D7363, "a Microsoft C++ Exception"},
    {kAbortCode, "an Abort"},
};

// The account the process runs as (the effective user id, whose rights the process has), from
// the system's account database; the login environment's name only when the id has no entry
// (a container's user, say), and "Unknown" without either.
void ReadUserName(char* name, size_t size)
{
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 4096);
    passwd entry;
    passwd* found = nullptr;
    int error;
    while ((error = getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (error == 0 && found && found->pw_name && *found->pw_name)
    {
        snprintf(name, size, "%s", found->pw_name);
        return;
    }
    const char* user = getenv("USER");
    if (!user || !*user)
        user = getenv("LOGNAME");
    snprintf(name, size, "%s", user && *user ? user : "Unknown");
}

}  // namespace

void PrepareErrorReport()
{
    std::call_once(g_prepared, [] {
        PrepareCrashDumpWriter();
        g_mainThread = static_cast<uint64_t>(getpid());
        const ssize_t n = readlink("/proc/self/exe", g_programPath, sizeof g_programPath - 1);
        if (n > 0)
        {
            g_programPath[n] = '\0';
            const char* slash = strrchr(g_programPath, '/');
            snprintf(g_programName, sizeof g_programName, "%s", slash ? slash + 1 : g_programPath);
            snprintf(g_programTitle, sizeof g_programTitle, "%s", g_programName);
            if (char* dot = strrchr(g_programTitle, '.'))
                *dot = '\0';
            const size_t folderLength = slash ? static_cast<size_t>(slash - g_programPath) : 0;
            snprintf(g_crashReportPath, sizeof g_crashReportPath, "%.*s/%s", static_cast<int>(folderLength),
                     g_programPath, kCrashReportProgram);
        }
        else
        {
            snprintf(g_crashReportPath, sizeof g_crashReportPath, "%s", kCrashReportProgram);
        }
        const char* temp = getenv("TMPDIR");
        if (!temp || !*temp)
            temp = getenv("TEMP");
        if (!temp || !*temp)
            temp = "/tmp";
        snprintf(g_tempParent, sizeof g_tempParent, "%s", temp);
        ReadUserName(g_userName, sizeof g_userName);
        utsname names;
        if (uname(&names) == 0)
            snprintf(g_osRelease, sizeof g_osRelease, "%s", names.release);
        g_processors = sysconf(_SC_NPROCESSORS_ONLN);
        const time_t now = time(nullptr);
        tm local;
        if (localtime_r(&now, &local))
            g_zoneOffset = local.tm_gmtoff;
    });
}

void MakeExceptionPointers(int signalNumber, const siginfo_t* info, const ucontext_t* context,
                           ExceptionPointers& pointers)
{
    pointers = ExceptionPointers{};
    pointers.signalNumber = signalNumber;
    pointers.signalCode = info ? info->si_code : 0;
    pointers.context = context;
    const uint64_t address = info ? reinterpret_cast<uint64_t>(info->si_addr) : 0;
    switch (signalNumber)
    {
    case SIGSEGV:
    {
        const uint64_t sp = Register(context, REG_RSP);
        // A fault just below the stack pointer is the stack running out.
        if (context && address < sp + 4096 && address + 65536 > sp)
        {
            pointers.code = 0xC00000FD;
            break;
        }
        pointers.code = kAccessViolationCode;
        pointers.parameterCount = 2;
        pointers.parameters[0] = (Register(context, REG_ERR) & 2) ? 1 : 0;  // bit 1: a write
        pointers.parameters[1] = address;
        break;
    }
    case SIGBUS:
        pointers.code = pointers.signalCode == BUS_ADRALN ? 0x80000002 : 0xC0000006;
        break;
    case SIGFPE:
        switch (pointers.signalCode)
        {
        case FPE_INTDIV: pointers.code = 0xC0000094; break;
        case FPE_INTOVF: pointers.code = 0xC0000095; break;
        case FPE_FLTDIV: pointers.code = 0xC000008E; break;
        case FPE_FLTOVF: pointers.code = 0xC0000091; break;
        case FPE_FLTUND: pointers.code = 0xC0000093; break;
        case FPE_FLTRES: pointers.code = 0xC000008F; break;
        case FPE_FLTSUB: pointers.code = 0xC000008C; break;
        default: pointers.code = 0xC0000090; break;
        }
        break;
    case SIGILL: pointers.code = 0xC000001D; break;
    case SIGTRAP: pointers.code = 0x80000003; break;
    case SIGABRT: pointers.code = kAbortCode; break;
    default: pointers.code = 0; break;
    }
}

const char* GetExceptionName(uint32_t code)
{
    for (const auto& entry : kExceptionNames)
        if (entry.code == code)
            return entry.text;
    return "an Unknown exception type";
}

bool GetWindowsVersionName(uint32_t platformId, uint32_t major, uint32_t minor, uint32_t build, const char*& name,
                           int& code)
{
    name = "unknown Windows version";
    code = 0;
    build &= 0xFFFF;
    if (platformId == 1 && major == 4)
    {
        if (minor < 10)
        {
            if (build == 950)
                name = "Windows 95", code = 1;
            else if (build >= 951 && build <= 1080)
                name = "Windows 95 SP1", code = 2;
            else if (build > 1080)
                name = "Windows 95 OSR2", code = 3;
        }
        else if (minor == 10)
        {
            if (build == 1998)
                name = "Windows 98", code = 4;
            else if (build >= 1999 && build <= 2182)
                name = "Windows 98 SP1", code = 5;
            else if (build >= 2183)
                name = "Windows 98 SE", code = 6;
        }
        else if (minor == 90)
            name = "Windows ME", code = 7;
    }
    else if (platformId == 2)
    {
        if (major == 3 && minor == 51)
            name = "Windows NT 3.51", code = 101;
        else if (major == 4 && minor == 0)
            name = "Windows NT 4", code = 102;
        else if (major == 5 && minor == 0)
            name = "Windows 2000", code = 103;
        else if (major == 5 && minor == 1)
            name = "Windows XP", code = 104;
        else if (major == 5 && minor == 2)
            name = "Windows 2003 Server", code = 105;
    }
    else if (platformId == 3)
        name = "Windows CE", code = 201;
    return true;
}

void WriteSystemInfo(int fd)
{
    char when[64];
    FormatTime(time(nullptr), when, sizeof when);
    ReportPrintf(fd, "Error occurred at %s.\r\n", when);
    ReportPrintf(fd, "%s, run by %s.\r\n", g_programPath, g_userName);
    ReportPrintf(fd, "Operating system:  %s (%s).\r\n", "Linux", g_osRelease);
    ReportPrintf(fd, "%d processor(s), type %d.\r\n", static_cast<int>(g_processors), 8664);

    struct sysinfo memory{};
    sysinfo(&memory);
    const uint64_t unit = memory.mem_unit ? memory.mem_unit : 1;
    const uint64_t total = memory.totalram * unit;
    const uint64_t free = memory.freeram * unit;
    const uint64_t swap = memory.totalswap * unit;
    const uint64_t swapFree = memory.freeswap * unit;
    const uint64_t space = uint64_t{1} << 47;
    char statm[128];
    uint64_t used = 0;
    if (ReadFileInto("/proc/self/statm", statm, sizeof statm) > 0)
        for (const char* p = statm; *p >= '0' && *p <= '9'; ++p)
            used = used * 10 + static_cast<uint64_t>(*p - '0');
    used *= static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    auto mb = [](uint64_t bytes) { return static_cast<unsigned long long>((bytes + 0xFFFFF) >> 20); };
    ReportPrintf(fd, "%d%% memory in use.\r\n", total ? static_cast<int>((total - free) * 100 / total) : 0);
    ReportPrintf(fd, "%llu MBytes physical memory.\r\n", mb(total));
    ReportPrintf(fd, "%llu MBytes physical memory free.\r\n", mb(free));
    ReportPrintf(fd, "%llu MBytes paging file.\r\n", mb(swap));
    ReportPrintf(fd, "%llu MBytes paging file free.\r\n", mb(swapFree));
    ReportPrintf(fd, "%llu MBytes user address space.\r\n", mb(space));
    ReportPrintf(fd, "%llu MBytes user address space free.\r\n", mb(space > used ? space - used : 0));
}

void WriteRegisters(int fd, const ucontext_t* context)
{
    auto r = [context](int index) { return static_cast<unsigned long long>(Register(context, index)); };
    ReportPrintf(fd, "\r\nContext:\r\n");
    ReportPrintf(fd, "RAX:    0x%016llx  RBX: 0x%016llx  RCX:   0x%016llx\r\n", r(REG_RAX), r(REG_RBX), r(REG_RCX));
    ReportPrintf(fd, "RDX:    0x%016llx  RSI: 0x%016llx  RDI:   0x%016llx\r\n", r(REG_RDX), r(REG_RSI), r(REG_RDI));
    ReportPrintf(fd, "R8:     0x%016llx  R9:  0x%016llx  R10:   0x%016llx\r\n", r(REG_R8), r(REG_R9), r(REG_R10));
    ReportPrintf(fd, "R11:    0x%016llx  R12: 0x%016llx  R13:   0x%016llx\r\n", r(REG_R11), r(REG_R12), r(REG_R13));
    ReportPrintf(fd, "R14:    0x%016llx  R15: 0x%016llx  RBP:   0x%016llx\r\n", r(REG_R14), r(REG_R15), r(REG_RBP));
    ReportPrintf(fd, "RIP:    0x%016llx  RSP: 0x%016llx  SegCs: 0x%04llx\r\n", r(REG_RIP), r(REG_RSP),
                 r(REG_CSGSFS) & 0xFFFF);
    ReportPrintf(fd, "EFlags: 0x%08llx  Err: 0x%08llx  Trap:  0x%08llx\r\n", r(REG_EFL), r(REG_ERR), r(REG_TRAPNO));
}

void WriteStackDump(int fd, uint64_t sp, uint64_t stackEnd)
{
    ReportPrintf(fd, "\r\n\r\nStack:\r\n");
    const uint64_t end = stackEnd > sp && stackEnd - sp > kStackDumpLimit ? sp + kStackDumpLimit : stackEnd;
    for (uint64_t line = sp; line < end; line += 16)
    {
        const size_t bytes = end - line < 16 ? static_cast<size_t>(end - line) & ~size_t{3} : 16;
        if (bytes == 0)
            break;
        uint8_t data[16];
        if (!ReadMemory(line, data, bytes))
        {
            ReportPrintf(fd, "Exception encountered during stack dump.\r\n");
            return;
        }
        ReportPrintf(fd, "0x%016llx: ", static_cast<unsigned long long>(line));
        for (size_t i = 0; i < 16; i += 4)
        {
            if (i < bytes)
                ReportPrintf(fd, "%08x ", static_cast<unsigned>(data[i] | data[i + 1] << 8 | data[i + 2] << 16 |
                                                                 static_cast<uint32_t>(data[i + 3]) << 24));
            else
                ReportPrintf(fd, "         ");
        }
        for (size_t i = 0; i < bytes; ++i)
            ReportPrintf(fd, "%c", data[i] < 32 || data[i] >= 127 ? '.' : static_cast<char>(data[i]));
        ReportPrintf(fd, "\r\n");
    }
    ReportPrintf(fd, "\r\n");
}

void WriteModuleList(int fd)
{
    if (!LoadMaps())
        return;
    int number = 1;
    Mapping mapping;
    for (const char* p = g_maps; (p = NextMapping(p, mapping));)
    {
        if (mapping.offset != 0 || mapping.pathLength == 0 || mapping.path[0] != '/')
            continue;
        char magic[4];
        if (!ReadMemory(mapping.start, magic, sizeof magic) || memcmp(magic, ELFMAG, SELFMAG) != 0)
            continue;
        char path[PATH_MAX];
        const size_t length = mapping.pathLength < sizeof path ? mapping.pathLength : sizeof path - 1;
        memcpy(path, mapping.path, length);
        path[length] = '\0';
        // The image ends with the last of its consecutive mappings.
        uint64_t end = mapping.end;
        Mapping next;
        for (const char* q = p; (q = NextMapping(q, next));)
        {
            if (next.pathLength != mapping.pathLength || memcmp(next.path, mapping.path, length) != 0)
                break;
            end = next.end;
        }
        char buildId[160];
        BuildIdText(mapping.start, buildId, sizeof buildId);
        struct stat info{};
        const bool haveFile = stat(path, &info) == 0;
        char fileTime[64] = "Unknown";
        if (haveFile)
            FormatTime(info.st_mtime, fileTime, sizeof fileTime);
        ReportPrintf(fd, "Module %d\r\n", number++);
        ReportPrintf(fd, "%s\r\n", path);
        ReportPrintf(fd, "Image Base: 0x%016llx  Image Size: 0x%08llx\r\n",
                     static_cast<unsigned long long>(mapping.start),
                     static_cast<unsigned long long>(end - mapping.start));
        ReportPrintf(fd, "Build Id:   %s\r\n", buildId[0] ? buildId : "Unknown");
        ReportPrintf(fd, "File Size:  %-10lld  File Time:  %s\r\n",
                     static_cast<long long>(haveFile ? info.st_size : 0), fileTime);
        ReportPrintf(fd, "Version Information:\r\n");
        ReportPrintf(fd, "   Company:    %s\r\n", "Unknown");
        ReportPrintf(fd, "   Product:    %s\r\n", "Unknown");
        ReportPrintf(fd, "   FileDesc:   %s\r\n", "Unknown");
        ReportPrintf(fd, "   FileVer:    %d.%d.%d.%d\r\n", 0, 0, 0, 0);
        ReportPrintf(fd, "   ProdVer:    %d.%d.%d.%d\r\n", 0, 0, 0, 0);
        ReportPrintf(fd, "\r\n");
    }
}

void ExceptionHandlerXCrashReport(int fd, const ExceptionPointers* pointers)
{
    CrashDumpRequest request;
    ucontext_t now;
    if (pointers)
    {
        if (!pointers->inSignalHandler)
            platform::WriteDebugOutput("ExceptionHandlerXCrashReport> writing minidump\r\n");
        request.reason = pointers->signalNumber ? CrashDumpReason::Signal : CrashDumpReason::UncaughtException;
        request.signalNumber = pointers->signalNumber;
        request.signalCode = pointers->signalCode;
        request.faultAddress = pointers->parameters[1];
        request.context = pointers->context;
    }
    else
    {
        platform::WriteDebugOutput("ExceptionHandlerXCrashReport> raising exception\r\n");
        getcontext(&now);
        request.reason = CrashDumpReason::Snapshot;
        request.context = &now;
    }
    WriteCrashDump(fd, request);
}

int WriteExceptionReport(const ExceptionPointers* pointers)
{
    if (!pointers || !g_exceptionReportAllowed.exchange(false))
        return 0;
    PrepareErrorReport();  // a no-op after the guard's own call
    const int fd = OpenReport();
    if (fd < 0)
        return 0;
    const ucontext_t* context = pointers->context;
    const uint64_t ip = Register(context, REG_RIP);
    const uint64_t sp = Register(context, REG_RSP);
    LoadMaps();
    Mapping code;
    char module[PATH_MAX] = "Unknown";
    if (FindMapping(ip, code) && code.pathLength > 0 && code.path[0] == '/')
    {
        const char* name = code.path + code.pathLength;
        while (name > code.path && name[-1] != '/')
            --name;
        const size_t length = static_cast<size_t>(code.path + code.pathLength - name);
        if (length < sizeof module)
        {
            memcpy(module, name, length);
            module[length] = '\0';
        }
    }
    Mapping stack;
    const uint64_t stackEnd = FindMapping(sp, stack) ? stack.end : sp;

    // The first two lines keep the layout readers of the report expect; the signal that stands
    // for the exception follows on a line of its own.
    ReportPrintf(fd, "%s caused %s (0x%08x) \r\nin module %s at %04x:%016llx.\r\n", g_programTitle,
                 GetExceptionName(pointers->code), pointers->code, module,
                 static_cast<unsigned>(Register(context, REG_CSGSFS) & 0xFFFF), static_cast<unsigned long long>(ip));
    ReportPrintf(fd, "(signal %d, code %d)\r\n\r\n", pointers->signalNumber, pointers->signalCode);
    char threadText[48];
    ReportPrintf(fd, "Exception handler called in %s.\r\n", ThreadText(threadText, sizeof threadText));
    WriteSystemInfo(fd);
    if (pointers->code == kAccessViolationCode && pointers->parameterCount >= 2)
        ReportPrintf(fd, "%s location %08llx caused an access violation.\r\n",
                     pointers->parameters[0] ? "Write to" : "Read from",
                     static_cast<unsigned long long>(pointers->parameters[1]));
    WriteRegisters(fd, context);
    ReportPrintf(fd, "\r\nBytes at CS:EIP:\r\n");
    for (uint64_t i = 0; i < 16; ++i)
    {
        uint8_t byte;
        if (context && ReadMemory(ip + i, &byte, 1))
            ReportPrintf(fd, "%02x ", static_cast<unsigned>(byte));
        else
            ReportPrintf(fd, "?? ");
    }
    WriteStackDump(fd, sp, stackEnd);
    WriteModuleList(fd);
    ReportPrintf(fd, "\r\n===== [end of %s] =====\r\n", kReportName);
    CloseReport(fd);

    char dumpPath[sizeof g_reportPath];
    const int dump = CreateReportFile(kDumpName, dumpPath, sizeof dumpPath);
    if (dump >= 0)
    {
        ExceptionHandlerXCrashReport(dump, pointers);
        close(dump);
    }

    if (IsDebuggerPresent())
        return 0;
    if (pointers->inSignalHandler)
        return StartCrashReportFromSignal(false) ? 1 : 0;
    return StartCrashReport(false) ? 1 : 0;
}

int WriteAssertReport(const Exception& exception)
{
    PrepareErrorReport();
    const int fd = OpenReport();
    if (fd < 0)
        return 0;
    ReportPrintf(fd, "File: %s\r\n", exception.File() ? exception.File() : "Unknown");
    ReportPrintf(fd, "Line: %d\r\n", static_cast<int>(exception.Line()));
    ReportPrintf(fd, "Class: %s\r\n", exception.TypeName());
    ReportPrintf(fd, "Reason: %s\r\n", exception.Message());
    ReportPrintf(fd, "%s\r\n\r\n", exception.CallStack());
    WriteSystemInfo(fd);
    CloseReport(fd);

    auto child = StartCrashReport(true);
    if (!child)
    {
        ShowFatalMessageBox("An error occurred trying to display the fatal error window!", "Fatal Error");
        return 0;
    }
    child->Wait(platform::kInfinite);
    if (child->ExitCode() != 0)
    {
        // The user chose to end the program: end it as failed (never with a success status).
        _exit(kFatalExitStatus);
    }
    return 0;
}

void CloseAbandonedReport()
{
    if (g_openReport >= 0)
        CloseReport(g_openReport);  // what was written before the fault stays in the report
    else
        ReportDiscard();
}

void ShowFatalMessageBox(const char* text, const char* caption)
{
    char line[1024] = "";
    Append(line, sizeof line, caption);
    Append(line, sizeof line, ": ");
    Append(line, sizeof line, text);
    Append(line, sizeof line, "\r\n");
    const size_t length = strlen(line);
    ssize_t ignored = write(STDERR_FILENO, line, length);
    if (g_reportPath[0])
    {
        const int fd = open(g_reportPath, O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0)
        {
            ignored = write(fd, line, length);
            close(fd);
        }
    }
    (void)ignored;
}

const char* ErrorReportFolder()
{
    return g_reportFolder;
}

}  // namespace Kiln
