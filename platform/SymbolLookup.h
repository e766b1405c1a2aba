#pragma once
// Names for code addresses of this process: the image (executable or shared library) that holds
// one, the function (demangled), the source file and line. Functions, files and lines come from
// the images' DWARF debug information (an image's is read when an address first falls in it);
// without debug information the function comes from the symbol tables; the image from the
// dynamic loader.
// Not for signal context: look-ups allocate.

#include <cstdint>
#include <string>

namespace platform
{

struct SymbolInfo
{
    std::string image;     // full path of the image, empty when unknown
    std::string function;  // empty when unknown
    std::string file;      // empty when unknown
    uint32_t line = 0;     // 0 when unknown
};

// Sets the look-up up once per process; later calls only report how that went. The set-up is
// kept for the process.
bool InitialiseSymbolLookup();

// Fills `info` for a code address. For a return address pass the address itself: the look-up
// steps back into the call instruction. False, with `info` untouched, when no function is known
// for it. Thread-safe once InitialiseSymbolLookup has succeeded.
bool LookUpSymbol(uint64_t address, SymbolInfo& info);

// The C++ name of a mangled symbol, or the symbol itself when it is not mangled.
std::string DemangleSymbol(const char* symbol);

}  // namespace platform
