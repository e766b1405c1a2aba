// run-tool [--cwd DIR] -- PROGRAM ARGS...
//
// Runs PROGRAM through the program's own child-process code, relays everything it prints
// (standard output and error joined) line by line to standard output, and ends with the child's
// exit code: 128 + the signal when a signal ended it, 127 when it could not be started.
//
// The arguments are handed on as one Windows-style command line, the way the program starts
// its children; each must survive the program's 8-bit text (TextConversion.h).

#include <stdio.h>
#include <string.h>

#include <string>

#include "lumo/os/ChildProcess.h"
#include "lumo/text/TextConversion.h"
#include "platform/CommandLineSplit.h"
#include "platform/LastError.h"
#include "platform/NativePath.h"

namespace
{

int Usage()
{
    fprintf(stderr, "usage: run-tool [--cwd DIR] -- PROGRAM ARGS...\n");
    return 2;
}

void WriteOut(const std::string& text)
{
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    int i = 1;
    std::wstring workingFolder;
    if (i < argc && strcmp(argv[i], "--cwd") == 0)
    {
        if (i + 1 >= argc)
            return Usage();
        workingFolder = FromNativePath(argv[i + 1]);
        i += 2;
    }
    if (i >= argc || strcmp(argv[i], "--") != 0 || i + 1 >= argc)
        return Usage();
    ++i;

    const std::wstring program = FromNativePath(argv[i++]);
    std::string args;
    for (; i < argc; ++i)
    {
        const std::wstring argument = FromNativePath(argv[i]);
        if (!SurvivesNarrowing(argument))
        {
            fprintf(stderr, "run-tool: the argument \"%s\" cannot be passed as 8-bit text\n", argv[i]);
            return 2;
        }
        if (!args.empty())
            args += ' ';
        args += platform::QuoteCommandLineArgument(ToNarrow(argument));
    }

    std::unique_ptr<OS::Process> process = OS::Process::Start(program, args, workingFolder);
    if (!process)
    {
        const uint32_t error = platform::GetLastError();
        std::string reason;
        if (!platform::LookUpErrorText(error, reason))
            reason = "error " + std::to_string(error);
        fprintf(stderr, "run-tool: cannot start \"%s\": %s\n", ToNativePath(program).c_str(), reason.c_str());
        return 127;
    }

    std::string pending;
    while (process->ReadOutput(pending))
    {
        const size_t end = pending.rfind('\n');
        if (end == std::string::npos)
            continue;
        WriteOut(pending.substr(0, end + 1));
        pending.erase(0, end + 1);
    }
    if (!pending.empty())
        WriteOut(pending);

    process->Wait(0xFFFFFFFF);
    const int code = process->GetExitCode();
    process->Close();
    if (code < 0 || code > 255)
    {
        fprintf(stderr, "run-tool: the exit code could not be read (%d)\n", code);
        return 255;
    }
    return code;
}
