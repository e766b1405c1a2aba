// run-tool [--cwd DIR] -- PROGRAM ARGS...
//
// Runs PROGRAM through the program's own child-process code, relays everything it prints
// (standard output and error joined) line by line to standard output, and ends with the child's
// exit code: 128 + the signal when a signal ended it, 127 when it could not be started.

#include <stdio.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "lumo/os/ChildProcess.h"
#include "platform/NativePath.h"
#include "tools/ToolSupport.h"

namespace
{

constexpr char kHelp[] =
    "usage: run-tool [--cwd DIR] -- PROGRAM ARGS...\n"
    "Runs PROGRAM with ARGS the way the patcher starts its helper programs, and copies everything it\n"
    "prints (standard output and error joined) to standard output, line by line.\n"
    "  --cwd DIR  the folder PROGRAM runs in (default: the current one)\n"
    "Exit status: PROGRAM's own; 128 + the signal that ended it; 127 when it could not be started;\n"
    "2 for a bad command line; 1 when the output could not be written.\n";

int Usage()
{
    fprintf(stderr, "%s", kHelp);
    return 2;
}

bool WriteOut(const std::string& text)
{
    return fwrite(text.data(), 1, text.size(), stdout) == text.size() && fflush(stdout) == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    tools::LibraryLinesToStandardError();
    if (tools::AsksForHelp(argc, argv))
        return tools::PrintHelp(kHelp);
    int i = 1;
    std::wstring workingFolder;
    if (i < argc && strcmp(argv[i], "--cwd") == 0)
    {
        if (i + 1 >= argc)
            return Usage();
        struct stat info = {};
        errno = 0;
        if (stat(argv[i + 1], &info) != 0 || !S_ISDIR(info.st_mode))
        {
            fprintf(stderr, "run-tool: cannot run in the folder \"%s\": %s\n", argv[i + 1],
                    errno != 0 ? strerror(errno) : "it is not a folder");
            return 127;
        }
        workingFolder = FromNativePath(argv[i + 1]);
        i += 2;
    }
    if (i >= argc || strcmp(argv[i], "--") != 0 || i + 1 >= argc)
        return Usage();
    ++i;

    const std::wstring program = FromNativePath(argv[i++]);
    std::vector<std::wstring> arguments;
    for (; i < argc; ++i)
        arguments.push_back(FromNativePath(argv[i]));

    std::string error;
    std::unique_ptr<OS::Process> process = OS::Process::Start(program, arguments, workingFolder, &error);
    if (!process)
    {
        fprintf(stderr, "run-tool: %s\n", error.c_str());
        return 127;
    }

    std::string pending;
    bool written = true;
    while (process->ReadOutput(pending))
    {
        const size_t end = pending.rfind('\n');
        if (end == std::string::npos)
            continue;
        written = WriteOut(pending.substr(0, end + 1)) && written;
        pending.erase(0, end + 1);
    }
    if (!pending.empty())
        written = WriteOut(pending) && written;

    process->Wait(0xFFFFFFFF);
    const int code = process->GetExitCode();
    process->Close();
    if (!written)
        return tools::FinishOutput("run-tool", 1);
    if (code < 0 || code > 255)
    {
        fprintf(stderr, "run-tool: the exit code could not be read (%d)\n", code);
        return 255;
    }
    return code;
}
