#include "platform/SymbolLookup.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <unordered_map>
#include <vector>

// elfutils' libdwfl reads an image's debug information only when a looked-up address falls in
// it, so naming addresses of the executable never inflates the C library's. Without it, GCC's
// libbacktrace (which reads every loaded image's at once); without either, no file and line.
#if LUMO_HAVE_LIBDW
#include <dwarf.h>
#include <elfutils/libdwfl.h>
#define LUMO_HAVE_LIBBACKTRACE 0
#elif __has_include(<backtrace.h>)
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

#if LUMO_HAVE_LIBDW
// The process's images, reported once (and again when an address lies in none of them, after a
// library was loaded); each image's symbols and debug information are read on its first look-up.
// libdwfl is not thread-safe: one look-up at a time.
const Dwfl_Callbacks kCallbacks = {dwfl_linux_proc_find_elf, dwfl_standard_find_debuginfo, nullptr, nullptr};
Dwfl* g_dwfl = nullptr;
std::mutex g_dwflLock;

bool ReportImages(bool again)
{
    if (again)
        dwfl_report_begin_add(g_dwfl);
    else
        dwfl_report_begin(g_dwfl);
    const int reported = dwfl_linux_proc_report(g_dwfl, getpid());
    return dwfl_report_end(g_dwfl, nullptr, nullptr) == 0 && reported == 0;
}

struct PcInfo
{
    std::string function;  // the innermost inlined function, when the address is inlined code
    std::string file;
    uint32_t line = 0;
    int functions = 0;  // how many functions share the address: more than one when inlined
};

// A function's name as the symbol tables spell it (mangled), else its plain name.
const char* NameOf(Dwarf_Die* die)
{
    Dwarf_Attribute attribute;
    const char* linkage = dwarf_formstring(dwarf_attr_integrate(die, DW_AT_linkage_name, &attribute));
    return linkage ? linkage : dwarf_diename(die);
}

// A function's code, or code inlined into it: the depth of nesting tells the innermost.
struct FunctionRange
{
    Dwarf_Addr low, high;
    Dwarf_Off offset;  // of its DIE
    int depth;
};

// Each unit's functions and inlined code, by the unit's DIE; kept for the process.
std::unordered_map<const void*, std::vector<FunctionRange>> g_units;

void CollectFunctions(Dwarf_Die die, int depth, std::vector<FunctionRange>& ranges)
{
    do
    {
        const int tag = dwarf_tag(&die);
        int inner = depth;
        if (tag == DW_TAG_subprogram || tag == DW_TAG_inlined_subroutine)
        {
            Dwarf_Addr base = 0, low = 0, high = 0;
            for (ptrdiff_t at = 0; (at = dwarf_ranges(&die, at, &base, &low, &high)) > 0;)
                ranges.push_back({low, high, dwarf_dieoffset(&die), depth});
            inner = depth + 1;
        }
        // Functions hold their inlined code in nested blocks; other DIEs (types, variables) hold
        // no code of their own.
        if (tag == DW_TAG_subprogram || tag == DW_TAG_inlined_subroutine || tag == DW_TAG_lexical_block ||
            tag == DW_TAG_namespace || tag == DW_TAG_class_type || tag == DW_TAG_structure_type)
        {
            Dwarf_Die child;
            if (dwarf_child(&die, &child) == 0)
                CollectFunctions(child, inner, ranges);
        }
    } while (dwarf_siblingof(&die, &die) == 0);
}

// The module's source place of pc, and the inlined functions around it, innermost first.
void DescribePc(Dwfl_Module* module, Dwarf_Addr pc, PcInfo& info, std::string& symbol)
{
    if (const char* name = dwfl_module_addrname(module, pc))
        symbol = name;
    if (Dwfl_Line* line = dwfl_module_getsrc(module, pc))
    {
        int number = 0;
        if (const char* file = dwfl_lineinfo(line, nullptr, &number, nullptr, nullptr, nullptr))
            info.file = file;
        info.line = number > 0 ? static_cast<uint32_t>(number) : 0;
    }
    Dwarf_Addr bias = 0;
    Dwarf_Die* unit = dwfl_module_addrdie(module, pc, &bias);
    if (!unit)
        return;
    // The unit's functions are walked once; every later address in it is a search of the list.
    auto found = g_units.find(unit->addr);
    if (found == g_units.end())
    {
        std::vector<FunctionRange> ranges;
        Dwarf_Die child;
        if (dwarf_child(unit, &child) == 0)
            CollectFunctions(child, 0, ranges);
        found = g_units.emplace(unit->addr, std::move(ranges)).first;
    }
    const Dwarf_Addr address = pc - bias;
    const FunctionRange* innermost = nullptr;
    for (const FunctionRange& range : found->second)
    {
        if (address < range.low || address >= range.high)
            continue;
        ++info.functions;
        if (!innermost || range.depth > innermost->depth)
            innermost = &range;
    }
    if (innermost)
    {
        Dwarf_Die die;
        if (dwarf_offdie(dwfl_module_getdwarf(module, &bias), innermost->offset, &die))
            if (const char* name = NameOf(&die))
                info.function = name;
    }
}
#endif

std::atomic<bool> g_ready{false};  // set once, after the look-up's state

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
#if LUMO_HAVE_LIBDW
        g_dwfl = dwfl_begin(&kCallbacks);
        g_ready.store(g_dwfl != nullptr && ReportImages(false));
#elif LUMO_HAVE_LIBBACKTRACE
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
#if LUMO_HAVE_LIBDW
    {
        PcInfo pcInfo;
        std::string symbol;
        std::lock_guard<std::mutex> lock(g_dwflLock);
        Dwfl_Module* module = dwfl_addrmodule(g_dwfl, pc);
        if (!module && inImage && ReportImages(true))
            module = dwfl_addrmodule(g_dwfl, pc);
        if (module)
            DescribePc(module, pc, pcInfo, symbol);
        file = pcInfo.file;
        line = pcInfo.line;
        // The symbol table has the full name (namespaces, parameters), but that names the outer
        // function of inlined code.
        function = pcInfo.functions <= 1 && !symbol.empty() ? symbol : pcInfo.function;
        if (function.empty())
            function = symbol;
    }
#elif LUMO_HAVE_LIBBACKTRACE
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
