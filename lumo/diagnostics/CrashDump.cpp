#include "lumo/diagnostics/CrashDump.h"

#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/ProcessSnapshot.h"
#include "platform/StackCapture.h"

namespace
{

// Copies memory of this process without faulting on a bad address: the kernel reports EFAULT
// instead. True when every byte was read.
bool SafeRead(void* target, uint64_t source, size_t size)
{
    if (size == 0)
        return true;
    iovec local{target, size};
    iovec remote{reinterpret_cast<void*>(source), size};
    return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
}

size_t CStringLength(const char* text)
{
    size_t length = 0;
    while (text && text[length])
        ++length;
    return length;
}

// Buffered output that remembers where each record's length field lies, so that records of a
// size not known in advance (the text of /proc files) can be written as they are read.
class DumpOutput
{
public:
    explicit DumpOutput(int fd) : m_fd(fd) {}

    void U8(uint8_t value) { Bytes(&value, 1); }
    void U32(uint32_t value)
    {
        uint8_t bytes[4];
        for (int i = 0; i < 4; ++i)
            bytes[i] = static_cast<uint8_t>(value >> (8 * i));
        Bytes(bytes, 4);
    }
    void U64(uint64_t value)
    {
        uint8_t bytes[8];
        for (int i = 0; i < 8; ++i)
            bytes[i] = static_cast<uint8_t>(value >> (8 * i));
        Bytes(bytes, 8);
    }
    void String(const char* text, size_t length)
    {
        U32(static_cast<uint32_t>(length));
        Bytes(text, length);
    }
    void String(const char* text) { String(text, CStringLength(text)); }
    void Bytes(const void* data, size_t size)
    {
        const uint8_t* bytes = static_cast<const uint8_t*>(data);
        while (size > 0)
        {
            if (m_used == sizeof(m_buffer))
                Flush();
            size_t chunk = sizeof(m_buffer) - m_used;
            if (chunk > size)
                chunk = size;
            memcpy(m_buffer + m_used, bytes, chunk);
            m_used += chunk;
            m_position += chunk;
            bytes += chunk;
            size -= chunk;
        }
    }

    void BeginRecord(uint32_t tag)
    {
        U32(tag);
        m_lengthAt = m_position;
        U32(0);
    }
    void EndRecord()
    {
        Flush();
        const uint64_t length = m_position - m_lengthAt - 4;
        uint8_t bytes[4];
        for (int i = 0; i < 4; ++i)
            bytes[i] = static_cast<uint8_t>(length >> (8 * i));
        if (pwrite(m_fd, bytes, 4, static_cast<off_t>(m_lengthAt)) != 4)
            m_failed = true;
    }

    void Flush()
    {
        size_t done = 0;
        while (done < m_used)
        {
            ssize_t n = write(m_fd, m_buffer + done, m_used - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
            {
                m_failed = true;
                break;
            }
            done += static_cast<size_t>(n);
        }
        m_used = 0;
    }

    bool Failed() const { return m_failed; }

private:
    int m_fd;
    uint8_t m_buffer[4096];
    size_t m_used = 0;
    uint64_t m_position = 0;
    uint64_t m_lengthAt = 0;
    bool m_failed = false;
};

void WriteProcess(DumpOutput& out, uint32_t pid, const char* exe, size_t exeLength)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);

    out.BeginRecord(kDumpTagProcess);
    out.U32(pid);
    out.U32(kSollexBuildNumber);
    out.String(kSollexVersionText);
    out.String(exe, exeLength);
    out.U64(static_cast<uint64_t>(now.tv_sec));
    out.U32(static_cast<uint32_t>(now.tv_nsec));
    out.EndRecord();
}

void WriteReason(DumpOutput& out, const CrashDumpRequest& request)
{
    out.BeginRecord(kDumpTagReason);
    out.U32(static_cast<uint32_t>(request.reason));
    out.U32(static_cast<uint32_t>(request.signalNumber));
    out.U32(static_cast<uint32_t>(request.signalCode));
    out.U64(request.faultAddress);
    out.String(request.detail ? request.detail : "");
    out.EndRecord();
}

void WriteProcess(DumpOutput& out)
{
    char exe[1024];
    ssize_t exeLength = readlink("/proc/self/exe", exe, sizeof(exe));
    if (exeLength < 0)
        exeLength = 0;
    WriteProcess(out, static_cast<uint32_t>(getpid()), exe, static_cast<size_t>(exeLength));
}

void WriteThread(DumpOutput& out)
{
    char name[17] = {};
    prctl(PR_GET_NAME, name, 0, 0, 0);
    out.BeginRecord(kDumpTagThread);
    out.U32(static_cast<uint32_t>(syscall(SYS_gettid)));
    out.String(name);
    out.EndRecord();
}

void WriteRegisters(DumpOutput& out, const ucontext_t& context)
{
    // In the order of the context's general-register array (REG_R8 = 0 ... REG_CR2 = 22).
    static const char* const kNames[NGREG] = {"r8",  "r9",  "r10", "r11", "r12",    "r13",    "r14", "r15",
                                              "rdi", "rsi", "rbp", "rbx", "rdx",    "rax",    "rcx", "rsp",
                                              "rip", "eflags", "csgsfs", "err", "trapno", "oldmask", "cr2"};
    out.BeginRecord(kDumpTagRegisters);
    out.U32(NGREG);
    for (int i = 0; i < NGREG; ++i)
    {
        out.String(kNames[i]);
        out.U64(static_cast<uint64_t>(context.uc_mcontext.gregs[i]));
    }
    out.EndRecord();
}

// The module that holds an address: its path, load bias and build id. Remembers the last module
// looked up, since neighbouring frames mostly share one.
class ModuleCache
{
public:
    void LookUp(uint64_t address, const char*& path, uint64_t& bias, const uint8_t*& buildId, size_t& buildIdLength)
    {
        if (!(m_valid && address >= m_start && address < m_end))
            Load(address);
        path = m_valid ? m_path : "";
        bias = m_valid ? m_bias : 0;
        buildId = m_buildId;
        buildIdLength = m_valid ? m_buildIdLength : 0;
    }

private:
    void Load(uint64_t address)
    {
        m_valid = false;
        m_buildIdLength = 0;
        // Lock-free and allocation-free in the dynamic loader (unlike dladdr).
        dl_find_object found{};
        if (_dl_find_object(reinterpret_cast<void*>(address), &found) != 0)
            return;
        m_valid = true;
        m_start = reinterpret_cast<uint64_t>(found.dlfo_map_start);
        m_end = reinterpret_cast<uint64_t>(found.dlfo_map_end);
        const link_map* map = found.dlfo_link_map;
        m_bias = map ? static_cast<uint64_t>(map->l_addr) : 0;
        m_path = map && map->l_name && map->l_name[0] ? map->l_name : ExecutablePath();
        ReadBuildId();
    }

    const char* ExecutablePath()
    {
        ssize_t length = readlink("/proc/self/exe", m_exe, sizeof(m_exe) - 1);
        m_exe[length > 0 ? length : 0] = '\0';
        return m_exe;
    }

    // The module's ELF header lies at the start of its first mapping; its note segment carries
    // the build id.
    void ReadBuildId()
    {
        Elf64_Ehdr header;
        if (!SafeRead(&header, m_start, sizeof(header)) || memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
            return;
        for (unsigned i = 0; i < header.e_phnum && i < 64; ++i)
        {
            Elf64_Phdr segment;
            if (!SafeRead(&segment, m_start + header.e_phoff + i * sizeof(Elf64_Phdr), sizeof(segment)))
                return;
            if (segment.p_type != PT_NOTE)
                continue;
            uint8_t notes[1024];
            size_t size = segment.p_memsz < sizeof(notes) ? segment.p_memsz : sizeof(notes);
            if (!SafeRead(notes, m_bias + segment.p_vaddr, size))
                continue;
            m_buildIdLength = FindGnuBuildId(notes, size, m_buildId, sizeof(m_buildId));
            if (m_buildIdLength > 0)
                return;
        }
    }

    bool m_valid = false;
    uint64_t m_start = 0;
    uint64_t m_end = 0;
    uint64_t m_bias = 0;
    const char* m_path = "";
    char m_exe[1024] = {};
    uint8_t m_buildId[64] = {};
    size_t m_buildIdLength = 0;
};

// The return addresses of the failing code, innermost first: the walk of the current stack from
// the place the request names, leaving out the frames of the handler and the writer.
size_t CollectFrames(const CrashDumpRequest& request, uint64_t* frames, size_t capacity)
{
    uint64_t walk[kCrashDumpMaxFrames + 32];
    uint64_t first = request.firstFrame;
    if (first == 0 && request.context)
        first = static_cast<uint64_t>(request.context->uc_mcontext.gregs[REG_RIP]);
    const uint64_t sp = request.context ? static_cast<uint64_t>(request.context->uc_mcontext.gregs[REG_RSP]) : 0;
    const size_t found = platform::CaptureFramesFrom(first, sp, walk, sizeof(walk) / sizeof(walk[0]));
    size_t count = 0;
    for (; count < found && count < capacity; ++count)
        frames[count] = walk[count];
    return count;
}

void WriteFrames(DumpOutput& out, const CrashDumpRequest& request)
{
    uint64_t frames[kCrashDumpMaxFrames];
    const size_t count = CollectFrames(request, frames, kCrashDumpMaxFrames);
    ModuleCache modules;
    out.BeginRecord(kDumpTagFrames);
    out.U32(static_cast<uint32_t>(count));
    for (size_t i = 0; i < count; ++i)
    {
        // A return address may be the first byte after the module's last call: look up the call.
        const bool exact = i == 0 && request.reason == CrashDumpReason::Signal;
        const uint64_t probe = exact || frames[i] == 0 ? frames[i] : frames[i] - 1;
        const char* path = "";
        uint64_t bias = 0;
        const uint8_t* buildId = nullptr;
        size_t buildIdLength = 0;
        modules.LookUp(probe, path, bias, buildId, buildIdLength);
        out.U64(frames[i]);
        out.U64(path[0] ? frames[i] - bias : 0);
        out.String(path);
        out.String(reinterpret_cast<const char*>(buildId), buildIdLength);
    }
    out.EndRecord();
}

void WriteStack(DumpOutput& out, uint64_t stackPointer)
{
    const uint64_t start = platform::StackWindowStart(stackPointer);
    out.BeginRecord(kDumpTagStack);
    out.U64(start);
    platform::ReadMappedMemory(
        0, start, kCrashDumpStackWindow,
        [](const void* bytes, size_t size, void* context) { static_cast<DumpOutput*>(context)->Bytes(bytes, size); },
        &out);
    out.EndRecord();
}

void WriteFileText(DumpOutput& out, uint32_t tag, const char* path)
{
    out.BeginRecord(tag);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0)
    {
        char chunk[1024];
        for (;;)
        {
            ssize_t n = read(fd, chunk, sizeof(chunk));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            out.Bytes(chunk, static_cast<size_t>(n));
        }
        close(fd);
    }
    out.EndRecord();
}

struct LinuxDirent64
{
    uint64_t inode;
    int64_t offset;
    unsigned short recordLength;
    unsigned char type;
    char name[1];
};

void WriteThreads(DumpOutput& out)
{
    uint32_t tids[1024];
    uint32_t count = 0;
    // getdents64 directly: opendir allocates.
    const int fd = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0)
    {
        alignas(8) char entries[4096];
        long n;
        while ((n = syscall(SYS_getdents64, fd, entries, sizeof(entries))) > 0)
        {
            for (long at = 0; at < n;)
            {
                const LinuxDirent64* entry = reinterpret_cast<const LinuxDirent64*>(entries + at);
                uint32_t tid = 0;
                bool numeric = entry->name[0] != '\0';
                for (const char* c = entry->name; *c; ++c)
                {
                    if (*c < '0' || *c > '9')
                        numeric = false;
                    else
                        tid = tid * 10 + static_cast<uint32_t>(*c - '0');
                }
                if (numeric && count < sizeof(tids) / sizeof(tids[0]))
                    tids[count++] = tid;
                at += entry->recordLength;
            }
        }
        close(fd);
    }
    out.BeginRecord(kDumpTagThreads);
    out.U32(count);
    for (uint32_t i = 0; i < count; ++i)
        out.U32(tids[i]);
    out.EndRecord();
}

void WriteHeader(DumpOutput& out)
{
    out.Bytes(kCrashDumpMagic, sizeof(kCrashDumpMagic));
    out.U32(kCrashDumpVersion);
    out.U32(16);
}

void WriteThreadState(DumpOutput& out, const platform::SnapshotThread& thread)
{
    out.BeginRecord(kDumpTagThreadState);
    out.U32(static_cast<uint32_t>(thread.id));
    out.String(thread.name.data(), thread.name.size());
    out.U32(static_cast<uint32_t>(thread.registers.size()));
    for (const auto& [name, value] : thread.registers)
    {
        out.String(name.data(), name.size());
        out.U64(value);
    }
    out.U32(static_cast<uint32_t>(thread.frames.size()));
    for (const platform::SnapshotFrame& frame : thread.frames)
    {
        out.U64(frame.address);
        out.U64(frame.offset);
        out.String(frame.module.data(), frame.module.size());
        out.String(frame.buildId.data(), frame.buildId.size());
    }
    out.U64(thread.stackStart);
    out.U32(static_cast<uint32_t>(thread.stack.size()));
    out.Bytes(thread.stack.data(), thread.stack.size());
    out.EndRecord();
}

void WriteTextRecord(DumpOutput& out, uint32_t tag, const std::string& text)
{
    out.BeginRecord(tag);
    out.Bytes(text.data(), text.size());
    out.EndRecord();
}

}  // namespace

bool WriteRemoteCrashDump(int fd, const platform::ProcessSnapshot& snapshot)
{
    DumpOutput out(fd);
    WriteHeader(out);
    WriteProcess(out, static_cast<uint32_t>(snapshot.pid), snapshot.executable.data(), snapshot.executable.size());
    CrashDumpRequest request;
    request.reason = CrashDumpReason::Remote;
    WriteReason(out, request);
    for (const platform::SnapshotThread& thread : snapshot.threads)
        WriteThreadState(out, thread);
    WriteTextRecord(out, kDumpTagMaps, snapshot.maps);
    WriteTextRecord(out, kDumpTagStatus, snapshot.status);
    out.BeginRecord(kDumpTagThreads);
    out.U32(static_cast<uint32_t>(snapshot.threads.size()));
    for (const platform::SnapshotThread& thread : snapshot.threads)
        out.U32(static_cast<uint32_t>(thread.id));
    out.EndRecord();
    out.BeginRecord(kDumpTagEnd);
    out.EndRecord();
    out.Flush();
    return !out.Failed();
}

void PrepareCrashDumpWriter()
{
    platform::PrepareStackCapture();
}

bool WriteCrashDump(int fd, const CrashDumpRequest& request)
{
    DumpOutput out(fd);
    WriteHeader(out);
    WriteProcess(out);
    WriteReason(out, request);
    WriteThread(out);
    if (request.context)
        WriteRegisters(out, *request.context);
    // The walk may fault on a damaged stack; everything before it is on disk by then.
    out.Flush();
    WriteFrames(out, request);
    uint64_t stackPointer = request.context ? static_cast<uint64_t>(request.context->uc_mcontext.gregs[REG_RSP])
                                            : reinterpret_cast<uint64_t>(__builtin_frame_address(0));
    WriteStack(out, stackPointer);
    WriteFileText(out, kDumpTagMaps, "/proc/self/maps");
    WriteFileText(out, kDumpTagStatus, "/proc/self/status");
    WriteThreads(out);
    out.BeginRecord(kDumpTagEnd);
    out.EndRecord();
    out.Flush();
    return !out.Failed();
}

namespace
{

// Appends `text` to `target` (capacity counted with its NUL); false when it does not fit.
bool AppendText(char* target, size_t capacity, size_t& length, const char* text)
{
    for (; *text; ++text)
    {
        if (length + 1 >= capacity)
            return false;
        target[length++] = *text;
    }
    target[length] = '\0';
    return true;
}

bool AppendNumber(char* target, size_t capacity, size_t& length, unsigned value)
{
    char digits[12];
    size_t count = 0;
    do
    {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    char text[13];
    for (size_t i = 0; i < count; ++i)
        text[i] = digits[count - 1 - i];
    text[count] = '\0';
    return AppendText(target, capacity, length, text);
}

// Tries folder + name, then the numbered names. -1 with errno EEXIST only when every number was
// taken; any other errno means the folder refused the file.
int CreateNumbered(const char* folder, const char* name, char* path, size_t capacity)
{
    const char* dot = nullptr;
    for (const char* c = name; *c; ++c)
    {
        if (*c == '.')
            dot = c;
    }
    for (unsigned number = 0; number < 10000; ++number)
    {
        size_t length = 0;
        path[0] = '\0';
        bool fits = AppendText(path, capacity, length, folder);
        if (number == 0)
        {
            fits = fits && AppendText(path, capacity, length, name);
        }
        else
        {
            char stem[256];
            size_t stemLength = dot ? static_cast<size_t>(dot - name) : CStringLength(name);
            if (stemLength >= sizeof(stem))
                stemLength = sizeof(stem) - 1;
            memcpy(stem, name, stemLength);
            stem[stemLength] = '\0';
            fits = fits && AppendText(path, capacity, length, stem) && AppendText(path, capacity, length, "_") &&
                   AppendNumber(path, capacity, length, number) && AppendText(path, capacity, length, dot ? dot : "");
        }
        if (!fits)
        {
            errno = ENAMETOOLONG;
            return -1;
        }
        const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

int CreateCrashDumpFile(const char* folder, const char* name, const char* fallbackParent, char* path,
                        size_t pathCapacity)
{
    if (!path || pathCapacity == 0 || !name || !*name)
        return -1;
    int fd = CreateNumbered(folder ? folder : "", name, path, pathCapacity);
    if (fd >= 0 || !fallbackParent || !*fallbackParent)
        return fd;

    char privateFolder[1024];
    size_t length = 0;
    privateFolder[0] = '\0';
    if (!AppendText(privateFolder, sizeof(privateFolder), length, fallbackParent) ||
        !AppendText(privateFolder, sizeof(privateFolder), length, "/lumo-dump-XXXXXX"))
        return -1;
    if (!mkdtemp(privateFolder))
        return -1;
    if (!AppendText(privateFolder, sizeof(privateFolder), length, "/"))
        return -1;
    return CreateNumbered(privateFolder, name, path, pathCapacity);
}

size_t FindGnuBuildId(const uint8_t* notes, size_t size, uint8_t* id, size_t capacity)
{
    auto u32At = [notes](size_t at) {
        return static_cast<uint32_t>(notes[at]) | static_cast<uint32_t>(notes[at + 1]) << 8 |
               static_cast<uint32_t>(notes[at + 2]) << 16 | static_cast<uint32_t>(notes[at + 3]) << 24;
    };
    // Each note: u32 name size, u32 descriptor size, u32 type, name and descriptor each padded
    // to 4 bytes.
    size_t at = 0;
    while (at + 12 <= size)
    {
        const uint32_t nameSize = u32At(at);
        const uint32_t descriptorSize = u32At(at + 4);
        const uint32_t type = u32At(at + 8);
        const size_t nameAt = at + 12;
        const size_t descriptorAt = nameAt + ((static_cast<size_t>(nameSize) + 3) & ~static_cast<size_t>(3));
        const size_t next = descriptorAt + ((static_cast<size_t>(descriptorSize) + 3) & ~static_cast<size_t>(3));
        if (descriptorAt > size || next > size || next <= at)
            return 0;
        if (type == NT_GNU_BUILD_ID && nameSize == 4 && memcmp(notes + nameAt, "GNU", 4) == 0)
        {
            const size_t length = descriptorSize < capacity ? descriptorSize : capacity;
            memcpy(id, notes + descriptorAt, length);
            return length;
        }
        at = next;
    }
    return 0;
}
