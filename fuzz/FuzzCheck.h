#pragma once

#include <fcntl.h>
#include <unistd.h>

// A broken promise ends the run at once, where the fuzzer records the input that broke it.

inline void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

// Code that logs a line for every rejected input would bury the fuzzer's own output: standard
// output goes to /dev/null for the run.
inline int SilenceStandardOutput()
{
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0)
    {
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    return 0;
}
