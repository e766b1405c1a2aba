#pragma once
// Runs a shell command line; gives what it wrote to standard output and, when asked, its wait status.

#include <cstdio>
#include <string>

inline std::string RunShell(const std::string& command, int* status = nullptr)
{
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    char block[4096];
    for (size_t got; pipe != nullptr && (got = std::fread(block, 1, sizeof block, pipe)) != 0;)
        output.append(block, got);
    const int result = pipe != nullptr ? pclose(pipe) : -1;
    if (status != nullptr)
        *status = result;
    return output;
}
