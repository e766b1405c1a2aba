#include "app/core/CommandLine.h"

#include "app/core/StringTable.h"
#include "lumo/text/TextConversion.h"
#include "platform/NativePath.h"

#include <unistd.h>

#include <wx/cmdline.h>
#include <wx/msgout.h>

#include <climits>
#include <cstdlib>

namespace {

wxString Text(uint32_t id)
{
    return wxString(LoadResString(id));
}

void DescribeCommandLine(wxCmdLineParser& parser, CommandLineProgram program)
{
    // The window's own options are still known to the driver, which refuses them by name.
    const int windowOnly = program == CommandLineProgram::Driver ? wxCMD_LINE_HIDDEN : 0;
    // Added one by one with wxString descriptions: a static table would pass them through the C
    // library's locale and garble the translated texts.
    parser.AddSwitch("h", "help", Text(121));
    parser.AddSwitch("a", "admin", Text(122));
    parser.AddParam(Text(123), wxCMD_LINE_VAL_STRING, wxCMD_LINE_PARAM_OPTIONAL);
    // The window keeps its table's texts, which speak of FTP only; the driver's help says what the
    // servers may be.
    const bool driver = program == CommandLineProgram::Driver;
    parser.AddOption("l", "list", driver ? wxString("text file of patch servers (HTTP, HTTPS or FTP URLs)") : Text(124));
    parser.AddOption("s", "server", driver ? wxString("patch server URL (HTTP, HTTPS or FTP)") : Text(125));
    parser.AddOption("f", "final", Text(126), wxCMD_LINE_VAL_STRING, windowOnly);
    parser.AddParam(Text(127), wxCMD_LINE_VAL_STRING, wxCMD_LINE_PARAM_OPTIONAL);
    parser.AddSwitch("r", "repair", Text(129));
    parser.AddOption("o", "onexit", Text(130), wxCMD_LINE_VAL_STRING, windowOnly);
    // The patcher's table gives no text for it; the driver prints every level whatever it says.
    parser.AddSwitch("d", "debug", driver ? wxString("accepted; detail lines (level 0) are always printed")
                                          : wxString("show detail lines (level 0) in the log"));
}

// Nothing but blanks: a folder or build of spaces is no more given than an empty one.
bool IsBlank(const wxString& value)
{
    return !value.empty() && value.find_first_not_of(L" \t") == wxString::npos;
}

// Why the command line's values cannot be used: its first empty or blank parameter (named as the
// usage names it; one parameter is the target directory, two are the build and the target
// directory), or an empty server. Empty when they can.
wxString UnusableValue(const wxCmdLineParser& parser)
{
    const size_t count = parser.GetParamCount();
    for (size_t i = 0; i < count; ++i) {
        const wxString value = parser.GetParam(i);
        if (value.empty() || IsBlank(value))
            return wxString::Format(value.empty() ? "The parameter '%s' must not be empty."
                                                  : "The parameter '%s' must not be only blanks.",
                                    Text(count == 2 && i == 0 ? 123 : 127));
    }
    // An empty server would be asked for "patches.txt" as a host, an empty list read as a file.
    for (const wxCmdLineArg& argument : parser.GetArguments())
    {
        // Only an option has a value to ask for: a switch asserts.
        if (argument.GetKind() != wxCMD_LINE_OPTION)
            continue;
        const bool empty = argument.GetStrVal().empty() || IsBlank(argument.GetStrVal());
        if (argument.GetShortName() == "s" && empty)
            return "The option 'server' must name a patch server.";
        if (argument.GetShortName() == "l" && empty)
            return "The option 'list' must name a file of patch servers.";
    }
    return wxString();
}

std::optional<std::wstring> OptionValue(const wxCmdLineParser& parser, const char* name)
{
    wxString value;
    if (!parser.Found(name, &value))
        return std::nullopt;
    return value.ToStdWstring();
}

// The pointers the toolkit's parser takes, into arguments (repaired first: each argument that ends
// in a backslash and a double quote loses the quote). Null-terminated.
std::vector<wchar_t*> ParserArguments(std::vector<std::wstring>& arguments)
{
    for (std::wstring& argument : arguments)
        if (argument.size() >= 2 && argument.ends_with(L"\\\""))
            argument.pop_back();
    std::vector<wchar_t*> argv;
    for (std::wstring& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    return argv;
}

}  // namespace

std::wstring CommandLineUsage(const std::wstring& programPath, CommandLineProgram program)
{
    // The usage names the program after the first argument.
    std::vector<std::wstring> arguments = {programPath};
    std::vector<wchar_t*> argv = {arguments[0].data(), nullptr};
    wxCmdLineParser parser(1, argv.data());
    DescribeCommandLine(parser, program);
    return parser.GetUsageString().ToStdWstring();
}

void PrintCommandLineUsage(const std::wstring& programPath, CommandLineProgram program)
{
    if (!wxMessageOutput::Get())
        wxMessageOutput::Set(new wxMessageOutputStderr);
    wxMessageOutput::Get()->Output(CommandLineUsage(programPath, program));
}

std::wstring UsageWhenAsked(std::vector<std::wstring> arguments)
{
    // The parser reports errors even when told to show no usage; they are reported at start-up.
    struct Silent : wxMessageOutput {
        Silent() : previous(wxMessageOutput::Set(this)) {}
        ~Silent() override { wxMessageOutput::Set(previous); }
        void Output(const wxString&) override {}
        wxMessageOutput* previous;
    } silent;
    std::vector<wchar_t*> argv = ParserArguments(arguments);
    wxCmdLineParser parser(static_cast<int>(arguments.size()), argv.data());
    DescribeCommandLine(parser, CommandLineProgram::Window);
    if (parser.Parse(false) != 0 || !parser.Found("h") || !UnusableValue(parser).empty())
        return std::wstring();
    return parser.GetUsageString().ToStdWstring();
}

CommandLine ParseCommandLine(std::vector<std::wstring> arguments, bool printUsage, CommandLineProgram program)
{
    std::vector<wchar_t*> argv = ParserArguments(arguments);

    // A program without the toolkit's application object has no message output of its own yet.
    if (!wxMessageOutput::Get())
        wxMessageOutput::Set(new wxMessageOutputStderr);
    wxCmdLineParser parser(static_cast<int>(arguments.size()), argv.data());
    DescribeCommandLine(parser, program);

    CommandLine result;
    // The window shows the parser's report as the toolkit words it (the usage, then the error);
    // the driver says what is wrong in its own line, before its usage.
    const bool window = program == CommandLineProgram::Window;
    int refused = 0;
    if (window)
        refused = parser.Parse(true);
    else
    {
        struct Kept : wxMessageOutput {
            Kept() : previous(wxMessageOutput::Set(this)) {}
            ~Kept() override { wxMessageOutput::Set(previous); }
            void Output(const wxString& text) override { kept += text; }
            wxMessageOutput* previous;
            wxString kept;
        } kept;
        refused = parser.Parse(false);
        result.wrong = kept.kept.ToStdWstring();
    }
    if (refused != 0)
        return result;
    // An empty folder (an unset variable in a script) would leave the installation to the
    // registry's choice: a wrong command line, reported as the parser reports its own.
    if (const wxString unusable = UnusableValue(parser); !unusable.empty())
    {
        result.wrong = unusable.ToStdWstring();
        if (window)
        {
            wxMessageOutput::Get()->Printf("%s\n", unusable);
            parser.Usage();
        }
        return result;
    }
    result.parsed = true;
    result.help = parser.Found("h");
    if (result.help && printUsage)
        parser.Usage();
    result.admin = parser.Found("a");
    result.repair = parser.Found("r");
    result.debug = parser.Found("d");
    result.finalGiven = parser.Found("f");
    result.onexit = OptionValue(parser, "o");
    result.listFile = OptionValue(parser, "l");
    // Every occurrence: Found() would give only the last.
    for (const wxCmdLineArg& argument : parser.GetArguments())
        if (argument.GetKind() == wxCMD_LINE_OPTION && argument.GetShortName() == "s")
            result.servers.push_back(argument.GetStrVal().ToStdWstring());
    for (size_t i = 0; i < parser.GetParamCount(); ++i)
        result.parameters.push_back(parser.GetParam(i).ToStdWstring());
    return result;
}

std::vector<StartupLine> ApplyCommandLine(const CommandLine& commandLine, PatcherOptions& options,
                                          const std::wstring& workingFolder)
{
    std::vector<StartupLine> lines;
    if (!commandLine.parsed)
        return lines;
    options.repair = commandLine.repair;
    if (commandLine.parameters.size() == 1) {
        options.installPath = MakeAbsolutePath(commandLine.parameters[0], workingFolder);
    } else if (commandLine.parameters.size() == 2) {
        options.AddBuild(ToNarrow(commandLine.parameters[0]));
        options.installPath = MakeAbsolutePath(commandLine.parameters[1], workingFolder);
    }
    for (const std::wstring& server : commandLine.servers)
        AddPatchServer(server);
    if (std::wstring why; commandLine.listFile &&
        !ReadPatchServerList(MakeAbsolutePath(*commandLine.listFile, workingFolder), &why))
        lines.push_back({3, LoadResString(136) + *commandLine.listFile + L": " + why});
    return lines;
}

std::wstring MakeAbsolutePath(const std::wstring& path, const std::wstring& folder)
{
    if (path.empty() || path[0] == L'/' || path[0] == L'\\' || folder.empty())
        return path;
    return folder + (folder.back() == L'/' ? L"" : L"/") + path;
}

std::wstring CurrentWorkingFolder()
{
    char* cwd = getcwd(nullptr, 0);
    if (cwd == nullptr)
        return std::wstring();
    const std::wstring folder = FromNativePath(cwd);
    free(cwd);
    return folder;
}

std::wstring OwnExecutablePath()
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof path)
        return std::wstring();
    return FromNativePath(std::string(path, static_cast<size_t>(length)));
}
