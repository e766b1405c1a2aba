#include "lumo/diagnostics/DumpSymbols.h"

#include <elf.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "lumo/diagnostics/CrashDump.h"
#include "platform/SymbolLookup.h"

#if __has_include(<backtrace.h>)
#include <backtrace.h>
#define LUMO_HAVE_LIBBACKTRACE 1
#else
#define LUMO_HAVE_LIBBACKTRACE 0
#endif

namespace
{

#if LUMO_HAVE_LIBBACKTRACE
void IgnoreError(void*, const char*, int) {}

int TakeFirstLine(void* data, uintptr_t, const char* file, int line, const char* function)
{
    DumpFrameName& name = *static_cast<DumpFrameName*>(data);
    // Inlined frames come first; the outermost one that has a name is the real function, but
    // the innermost gives the line that was running. Keep the innermost.
    if (name.function.empty() && function)
        name.function = platform::DemangleSymbol(function);
    if (name.file.empty() && file)
    {
        name.file = file;
        name.line = line;
    }
    return 1;
}

void TakeSymbol(void* data, uintptr_t, const char* symbol, uintptr_t, uintptr_t)
{
    if (symbol)
        static_cast<DumpFrameName*>(data)->function = platform::DemangleSymbol(symbol);
}

// libbacktrace places the file it was created for where this process's own executable is
// loaded: the module offsets of the dump are relative to that place.
int TakeExecutableBias(dl_phdr_info* info, size_t, void* data)
{
    if (info->dlpi_name && info->dlpi_name[0])
        return 0;
    *static_cast<uintptr_t*>(data) = static_cast<uintptr_t>(info->dlpi_addr);
    return 1;
}

uintptr_t ExecutableBias()
{
    static const uintptr_t bias = [] {
        uintptr_t value = 0;
        dl_iterate_phdr(TakeExecutableBias, &value);
        return value;
    }();
    return bias;
}
#endif

bool ReadAt(std::ifstream& file, uint64_t offset, void* target, size_t size)
{
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(static_cast<char*>(target), static_cast<std::streamsize>(size));
    return file.good();
}

}  // namespace

std::string ReadFileBuildId(const std::string& path)
{
    // Only a regular file: opening a FIFO or a device named in a dump could wait for ever.
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::string();
    std::ifstream file(path, std::ios::binary);
    Elf64_Ehdr header;
    if (!file || !ReadAt(file, 0, &header, sizeof(header)) || memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB)
        return std::string();
    for (unsigned i = 0; i < header.e_phnum && i < 256; ++i)
    {
        Elf64_Phdr segment;
        if (!ReadAt(file, header.e_phoff + i * sizeof(Elf64_Phdr), &segment, sizeof(segment)))
            return std::string();
        if (segment.p_type != PT_NOTE || segment.p_filesz == 0 || segment.p_filesz > 65536)
            continue;
        std::vector<uint8_t> notes(segment.p_filesz);
        if (!ReadAt(file, segment.p_offset, notes.data(), notes.size()))
            continue;
        uint8_t id[64];
        const size_t length = FindGnuBuildId(notes.data(), notes.size(), id, sizeof(id));
        if (length > 0)
            return std::string(reinterpret_cast<const char*>(id), length);
    }
    return std::string();
}

DumpSymbols::Module& DumpSymbols::Open(const std::string& module, const std::string& buildId)
{
    auto found = m_modules.find(module);
    if (found != m_modules.end())
        return found->second;
    Module& entry = m_modules[module];
    struct stat info;
    if (module.empty())
        entry.problem = "no module";
    else if (stat(module.c_str(), &info) != 0 || access(module.c_str(), R_OK) != 0)
        entry.problem = "module file not at hand";
    else if (!S_ISREG(info.st_mode))
        entry.problem = "module file is not a regular file";
    else if (!buildId.empty() && ReadFileBuildId(module) != buildId)
        entry.problem = "module file has another build id";
#if LUMO_HAVE_LIBBACKTRACE
    if (entry.problem.empty())
    {
        // Single-threaded state: the tool looks up from one thread.
        entry.state = backtrace_create_state(module.c_str(), 0, IgnoreError, nullptr);
        if (!entry.state)
            entry.problem = "module file cannot be read";
    }
#else
    if (entry.problem.empty())
        entry.problem = "built without libbacktrace";
#endif
    return entry;
}

std::string DumpSymbols::ModuleProblem(const std::string& module, const std::string& buildId)
{
    return Open(module, buildId).problem;
}

bool DumpSymbols::LookUp(const std::string& module, const std::string& buildId, [[maybe_unused]] uint64_t offset,
                         [[maybe_unused]] bool returnAddress, DumpFrameName& name)
{
    name = DumpFrameName();
    Module& entry = Open(module, buildId);
    if (!entry.state)
        return false;
#if LUMO_HAVE_LIBBACKTRACE
    const uintptr_t pc = ExecutableBias() + static_cast<uintptr_t>(returnAddress && offset > 0 ? offset - 1 : offset);
    backtrace_state* state = static_cast<backtrace_state*>(entry.state);
    backtrace_pcinfo(state, pc, TakeFirstLine, IgnoreError, &name);
    if (name.function.empty())
        backtrace_syminfo(state, pc, TakeSymbol, IgnoreError, &name);
#endif
    return !name.function.empty() || !name.file.empty();
}
