#pragma once
// Names for the frames of a crash dump, looked up in the modules' files where they are at hand:
// functions, source files and lines from their debug information (libbacktrace), functions from
// their symbol tables otherwise. A module whose file has a different build id than the dump
// recorded is not used: its names would be wrong.

#include <cstdint>
#include <map>
#include <string>

struct DumpFrameName
{
    std::string function;  // demangled; empty when unknown
    std::string file;      // empty when unknown
    int line = 0;
};

class DumpSymbols
{
public:
    DumpSymbols() = default;
    DumpSymbols(const DumpSymbols&) = delete;
    DumpSymbols& operator=(const DumpSymbols&) = delete;

    // offset: the frame's offset in its module; returnAddress: the offset follows a call (the
    // look-up then steps back into the call). False when nothing is known.
    bool LookUp(const std::string& module, const std::string& buildId, uint64_t offset, bool returnAddress,
                DumpFrameName& name);

    // Why the module cannot be used ("" when it can): missing, unreadable, other build id.
    std::string ModuleProblem(const std::string& module, const std::string& buildId);

private:
    struct Module
    {
        void* state = nullptr;  // libbacktrace state, kept for the process (it cannot be freed)
        std::string problem;
    };
    Module& Open(const std::string& module, const std::string& buildId);

    std::map<std::string, Module> m_modules;
};

// The GNU build id of an ELF file (raw bytes), or "" when it has none or cannot be read.
std::string ReadFileBuildId(const std::string& path);
