#include "platform/SymbolLookup.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

// GCC ships libbacktrace with the compiler; other compilers build without file and line.
#if __has_include(<backtrace.h>)
#include <backtrace.h>
#define LUMO_HAVE_LIBBACKTRACE 1
#else
#define LUMO_HAVE_LIBBACKTRACE 0
#endif

namespace platform
{
namespace
{

#if LUMO_HAVE_LIBBACKTRACE
backtrace_state* g_state = nullptr;

// Missing debug information in one image is the normal case for system libraries: the function
// then comes from the symbol tables and the frame stays without file and line.
void IgnoreError(void* /*data*/, const char* /*message*/, int /*errnum*/)
{
}

struct PcInfo
{
    std::string function;
    std::string file;
    uint32_t line = 0;
    int functions = 0;  // how many functions share the address: more than one when inlined
};

// Called innermost first (an inlined function before the one it was inlined into); the
// innermost names the exact place.
int CollectPcInfo(void* data, uintptr_t /*pc*/, const char* filename, int lineno, const char* function)
{
    PcInfo& info = *static_cast<PcInfo*>(data);
    if (function == nullptr && filename == nullptr)
        return 0;
    if (info.functions++ == 0)
    {
        if (function)
            info.function = function;
        if (filename)
            info.file = filename;
        info.line = lineno > 0 ? static_cast<uint32_t>(lineno) : 0;
    }
    return 0;
}

void TakeSymbol(void* data, uintptr_t /*pc*/, const char* symname, uintptr_t /*symval*/, uintptr_t /*symsize*/)
{
    if (symname)
        *static_cast<std::string*>(data) = symname;
}
#endif

std::atomic<bool> g_ready{false};  // set once, after g_state

const std::string& ExecutablePath()
{
    static const std::string path = [] {
        char buffer[PATH_MAX];
        const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }();
    return path;
}

}  // namespace

bool InitialiseSymbolLookup()
{
    static std::once_flag once;
    std::call_once(once, [] {
        ExecutablePath();
#if LUMO_HAVE_LIBBACKTRACE
        g_state = backtrace_create_state(nullptr, 1, IgnoreError, nullptr);
        g_ready.store(g_state != nullptr);
#else
        g_ready.store(true);
#endif
    });
    return g_ready.load();
}

std::string DemangleSymbol(const char* symbol)
{
    if (symbol == nullptr)
        return std::string();
    int status = 0;
    char* demangled = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
    if (status != 0 || demangled == nullptr)
        return symbol;
    std::string result(demangled);
    free(demangled);
    return result;
}

bool LookUpSymbol(uint64_t address, SymbolInfo& info)
{
    if (!g_ready.load() || address == 0)
        return false;
    // A return address points after the call; the call itself is the line wanted.
    const uint64_t pc = address - 1;

    Dl_info loaded{};
    const bool inImage = dladdr(reinterpret_cast<void*>(pc), &loaded) != 0;

    std::string function;
    std::string file;
    uint32_t line = 0;
#if LUMO_HAVE_LIBBACKTRACE
    PcInfo pcInfo;
    backtrace_pcinfo(g_state, static_cast<uintptr_t>(pc), CollectPcInfo, IgnoreError, &pcInfo);
    file = pcInfo.file;
    line = pcInfo.line;
    // The debug information may give a function only its short name; the symbol table has the
    // full one (namespaces, parameters), but that names the outer function of inlined code.
    if (pcInfo.functions <= 1)
        backtrace_syminfo(g_state, static_cast<uintptr_t>(pc), TakeSymbol, IgnoreError, &function);
    if (function.empty())
        function = pcInfo.function;
#endif
    if (function.empty() && inImage && loaded.dli_sname)
        function = loaded.dli_sname;
    if (function.empty())
        return false;

    info.function = DemangleSymbol(function.c_str());
    info.file = file;
    info.line = line;
    info.image.clear();
    if (inImage && loaded.dli_fname)
        info.image = loaded.dli_fname;
    // The loader names the executable as it was started (or not at all); give its full path.
    if (info.image.empty() || info.image[0] != '/')
    {
        Dl_info main{};
        if (!inImage || dladdr(reinterpret_cast<void*>(&ExecutablePath), &main) == 0 ||
            main.dli_fbase == loaded.dli_fbase)
            info.image = ExecutablePath();
    }
    return true;
}

}  // namespace platform
