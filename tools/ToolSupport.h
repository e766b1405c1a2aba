#pragma once
// Error output shared by the command-line tools. Header-only: every tools/*.cpp is a program of
// its own.
#include <cstdio>
#include <string>

#include "lumo/buffers/LumoResult.h"
#include "platform/NativePath.h"

namespace tools
{

// UTF-8 for the terminal, keeping "\" as it stands in package paths.
inline std::string ForDisplay(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text)
        out += c == L'\\' ? std::string("\\") : ToNativePath(std::wstring(1, c));
    return out;
}

// "<tool>: <result name>: <what>" on standard error; returns exit status 1.
inline int PrintFailure(const char* tool, LUMORESULT code, const std::wstring& what)
{
    std::fprintf(stderr, "%s: %s: %s\n", tool, LumoUtil::GetResultName(code).c_str(), ForDisplay(what).c_str());
    return 1;
}

// "<tool>: <result name>: bad command line" and "usage: <usage>" on standard error; returns exit
// status 2.
inline int PrintUsage(const char* tool, const char* usage)
{
    std::fprintf(stderr, "%s: %s: bad command line\nusage: %s", tool,
                 LumoUtil::GetResultName(LUMORESULT_INVALID_ARGUMENT).c_str(), usage);
    return 2;
}

} // namespace tools
