// The patcher's command line:
//
//   sollex-patcher [-h] [-a] [-r] [-d] [-l FILE] [-s URL]... [-f BUILD] [-o CMD] [[current_build] target_directory]
//
//   -h --help     print the usage (start-up goes on)
//   -a --admin    this copy was started elevated: never elevate again
//   -r --repair   repair instead of patching
//   -d --debug    show detail lines in the log
//   -l --list     a text file of patch servers, one URL a line
//   -s --server   a patch server; may be given several times
//   -f --final    accepted and never read
//   -o --onexit   a program (with its arguments) to start when the patcher ends
//
// One parameter is the target directory; two are the current build and the target directory.
// Neither may be empty or only blanks (an unset variable in a script must not leave the
// installation to the registry's choice), and no server may be: such a value is a wrong command
// line.
// Parsed with the toolkit's parser (wxBase); usage and errors go to the toolkit's message output
// (standard error).
#pragma once

#include "app/core/PatcherOptions.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

struct CommandLine {
    bool parsed = false;  // false: the parser found an error (the window's: printed with the usage)
    std::wstring wrong;   // when not parsed: what is wrong, one line per fault (the toolkit's words or ours)
    bool help = false;
    bool admin = false;
    bool repair = false;
    bool debug = false;
    bool finalGiven = false;                // "final" was given (its value is never read)
    std::optional<std::wstring> onexit;     // the "onexit" value, when given (possibly empty)
    std::optional<std::wstring> listFile;
    std::vector<std::wstring> servers;      // every "server" value in the order given
    std::vector<std::wstring> parameters;   // at most two
};

// The program that reads the command line. The patcher without its window still parses -f and -o
// (so that it can refuse them by name) but its usage does not list them.
enum class CommandLineProgram { Window, Driver };

// Parses the program's arguments, arguments[0] being the program (its name heads the usage). Each
// argument that ends in a backslash and a double quote first loses that quote (a quoted folder path
// whose last character is a backslash keeps it on the original platform's command line). Prints the
// usage for "help" unless printUsage is false (it was shown already). An empty or blank parameter,
// server or server list is an error: the window's parse reports it with the usage, the driver's
// prints nothing and leaves it in `wrong` for the driver to say; the result is not parsed.
CommandLine ParseCommandLine(std::vector<std::wstring> arguments, bool printUsage = true,
                             CommandLineProgram program = CommandLineProgram::Window);

// The usage text when the arguments ask for "help" and parse without error; empty otherwise.
// Prints nothing: the window program shows it before its toolkit starts, which without a display
// ends the process.
std::wstring UsageWhenAsked(std::vector<std::wstring> arguments);

// The usage of programPath (its name heads it): its first line and the table of options.
std::wstring CommandLineUsage(const std::wstring& programPath, CommandLineProgram program);
// Prints that usage on standard error, as "help" does.
void PrintCommandLineUsage(const std::wstring& programPath, CommandLineProgram program);

// A log line for the window, kept until it exists.
using StartupLine = std::pair<int, std::wstring>;

// Takes a parsed command line over into the options: the repair flag, the current build and
// target directory (a relative directory made absolute against workingFolder, the folder the
// program was started in), every server and the servers of the list file. Switches and options
// count whatever the number of parameters. A command line the parser refused changes nothing.
// Returns the lines to log (136 with the file name when the list cannot be read).
std::vector<StartupLine> ApplyCommandLine(const CommandLine& commandLine, PatcherOptions& options,
                                          const std::wstring& workingFolder);

// path made absolute against folder; an empty or absolute path ("/" or "\" first) unchanged.
std::wstring MakeAbsolutePath(const std::wstring& path, const std::wstring& folder);

// This process's working folder and its own executable (/proc/self/exe), as wide paths.
std::wstring CurrentWorkingFolder();
std::wstring OwnExecutablePath();
