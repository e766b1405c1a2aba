#include "platform/CommandLineSplit.h"

namespace platform
{
namespace
{

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

}  // namespace

std::vector<std::string> SplitCommandLineArguments(std::string_view arguments)
{
    std::vector<std::string> result;
    size_t i = 0;
    const size_t n = arguments.size();
    for (;;)
    {
        while (i < n && IsBlank(arguments[i]))
            ++i;
        if (i >= n)
            break;

        std::string argument;
        bool quoted = false;
        while (i < n && (quoted || !IsBlank(arguments[i])))
        {
            if (arguments[i] == '\\')
            {
                size_t slashes = 0;
                while (i < n && arguments[i] == '\\')
                {
                    ++slashes;
                    ++i;
                }
                if (i < n && arguments[i] == '"')
                {
                    argument.append(slashes / 2, '\\');
                    if (slashes % 2 == 1)
                    {
                        argument += '"';
                        ++i;
                    }
                    // An even count leaves the quote to the code below, which toggles.
                }
                else
                {
                    argument.append(slashes, '\\');
                }
                continue;
            }
            if (arguments[i] == '"')
            {
                if (quoted && i + 1 < n && arguments[i + 1] == '"')
                {
                    argument += '"';
                    i += 2;
                }
                else
                {
                    quoted = !quoted;
                    ++i;
                }
                continue;
            }
            argument += arguments[i++];
        }
        result.push_back(std::move(argument));
    }
    return result;
}

std::vector<std::string> SplitCommandLine(std::string_view commandLine)
{
    size_t i = 0;
    const size_t n = commandLine.size();
    while (i < n && IsBlank(commandLine[i]))
        ++i;
    if (i >= n)
        return {};

    std::string program;
    bool quoted = false;
    for (; i < n && (quoted || !IsBlank(commandLine[i])); ++i)
    {
        if (commandLine[i] == '"')
            quoted = !quoted;
        else
            program += commandLine[i];
    }

    std::vector<std::string> result;
    result.push_back(std::move(program));
    for (std::string& argument : SplitCommandLineArguments(commandLine.substr(i)))
        result.push_back(std::move(argument));
    return result;
}

std::string QuoteCommandLineArgument(std::string_view argument)
{
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string_view::npos)
        return std::string(argument);

    std::string quoted = "\"";
    size_t slashes = 0;
    for (char c : argument)
    {
        if (c == '\\')
        {
            ++slashes;
            continue;
        }
        if (c == '"')
            quoted.append(slashes * 2 + 1, '\\');  // escape the backslashes and the quote
        else
            quoted.append(slashes, '\\');
        slashes = 0;
        quoted += c;
    }
    quoted.append(slashes * 2, '\\');  // they precede the closing quote
    quoted += '"';
    return quoted;
}

}  // namespace platform
