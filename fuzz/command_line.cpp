// Splits arbitrary bytes as a Windows-style command line (a user's "onexit" command, a built
// tool command line) and checks the splitter's promises: no argument holds an unquoted blank,
// the program name comes first, and quoting every argument again gives back the same vector.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "platform/CommandLineSplit.h"

namespace
{

std::string Join(const std::vector<std::string>& arguments)
{
    std::string line;
    for (const std::string& argument : arguments)
        line += platform::QuoteCommandLineArgument(argument) + " ";
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view line(reinterpret_cast<const char*>(data), size);

    const std::vector<std::string> arguments = platform::SplitCommandLineArguments(line);
    Check(platform::SplitCommandLineArguments(Join(arguments)) == arguments);
    size_t total = 0;
    for (const std::string& argument : arguments)
        total += argument.size();
    Check(total <= size);

    const std::vector<std::string> whole = platform::SplitCommandLine(line);
    Check(whole.empty() == (line.find_first_not_of(" \t") == std::string_view::npos));
    if (!whole.empty())
        Check(whole[0].find('"') == std::string::npos);
    return 0;
}
