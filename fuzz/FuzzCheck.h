#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

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

// A folder of the run's own below TMPDIR (else /tmp), removed with what it holds when the fuzzer
// ends normally. A fuzzer that crashes cannot remove it: scripts/fuzz runs each one with a TMPDIR
// that it removes itself.
inline std::string MakeFuzzFolder(const char* name)
{
    static std::string folder;
    Check(folder.empty()); // one per process: the removal at exit knows only one
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name + ".XXXXXX";
    Check(mkdtemp(pattern.data()) != nullptr);
    folder = pattern;
    atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored); // removes links found inside, never what they lead to
    });
    return folder;
}
