// run-tool [--cwd DIR] -- PROGRAM ARGS...
//
// Runs PROGRAM through the program's own child-process code, relays everything it prints
// (standard output and error joined) line by line to standard output, and ends with the child's
// exit code: 128 + the signal when a signal ended it, 127 when it could not be started.

#include <stdio.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "lumo/os/ChildProcess.h"
#include "platform/NativePath.h"
#include "tools/ArgumentCheck.h"
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

// What is wrong with the command line, "" when nothing; the working folder and the index of
// PROGRAM in argv otherwise. The program's own arguments are its business: empty ones included.
std::string WrongArguments(int argc, char** argv, std::string& folder, int& program)
{
    const std::vector<std::string> given = tools::ArgumentsFrom(argc, argv);
    size_t i = 0;
    if (i < given.size() && given[i] == "--cwd")
    {
        if (std::string wrong = tools::WrongValues({given.begin() + 1, given.begin() + std::min<size_t>(2, given.size())},
                                                   {"--cwd DIR"});
            !wrong.empty())
            return wrong;
        folder = given[1];
        i = 2;
    }
    if (i >= given.size())
        return "\"--\" and PROGRAM are missing";
    if (given[i] != "--")
        return given[i].starts_with("-") ? tools::WrongValue("", given[i]) : "\"--\" must come before PROGRAM";
    // After "--" nothing is an option: PROGRAM is only checked for being there.
    program = int(i) + 2;
    return i + 1 < given.size() ? tools::WrongBlank("PROGRAM", given[i + 1]) : "PROGRAM is missing";
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
    std::string folder;
    int i = 0;
    if (const std::string wrong = WrongArguments(argc, argv, folder, i); !wrong.empty())
        return tools::WrongCommandLine("run-tool", wrong, kHelp);
    std::wstring workingFolder;
    if (!folder.empty())
    {
        struct stat info = {};
        errno = 0;
        if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        {
            fprintf(stderr, "run-tool: cannot run in the folder \"%s\": %s\n", folder.c_str(),
                    errno != 0 ? strerror(errno) : "it is not a folder");
            return 127;
        }
        workingFolder = FromNativePath(folder);
    }

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
