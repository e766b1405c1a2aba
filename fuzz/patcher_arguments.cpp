// Parses arbitrary argument vectors (the bytes split at NUL, read as UTF-8) as the patcher's
// command line and takes them over into fresh options: no crash, a target directory always ends
// up absolute, and the driver's parse says why whenever it refuses.

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <wx/init.h>
#include <wx/msgout.h>

#include "fuzz/FuzzCheck.h"
#include "app/core/CommandLine.h"
#include "platform/NativePath.h"

namespace
{

// The parser's usage and error texts are of no interest here.
class Silent : public wxMessageOutput
{
public:
    void Output(const wxString&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static wxInitializer initializer;
    static Silent* silent = new Silent;
    wxMessageOutput::Set(silent);

    std::vector<std::wstring> arguments = {L"/opt/sollex/patcher"};
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    for (size_t start = 0; start <= bytes.size();)
    {
        const size_t end = std::min(bytes.find('\0', start), bytes.size());
        arguments.push_back(FromNativePath(bytes.substr(start, end - start)));
        start = end + 1;
    }
    if (arguments.size() > 64)
        return 0;

    CommandLine commandLine = ParseCommandLine(arguments);
    Check(commandLine.parameters.size() <= 2);
    // The driver's parse refuses exactly what the window's refuses, and says why.
    const CommandLine driver = ParseCommandLine(arguments, false, CommandLineProgram::Driver);
    Check(driver.parsed == commandLine.parsed && driver.parsed == driver.wrong.empty());
    // A list file names any file, /dev/stdin included: that reader has its own target.
    commandLine.listFile.reset();
    PatcherOptions options;
    const auto lines = ApplyCommandLine(commandLine, options, L"/work");
    Check(options.installPath.empty() || options.installPath[0] == L'/' || options.installPath[0] == L'\\');
    Check(lines.empty());
    return 0;
}
