#pragma once
// Turns a Windows-style command line into the argument vector a Linux child receives, by the
// rules a Windows program's C runtime applies to its own command line, and back.
//
// Arguments are separated by blanks and tabs outside double quotes. A double quote toggles
// quoting; inside quotes a doubled quote ("") is a literal quote. Backslashes are literal unless
// they precede a double quote: 2n backslashes and a quote give n backslashes and a toggle,
// 2n+1 backslashes and a quote give n backslashes and a literal quote.
//
// The program name (the first item of a whole command line) follows simpler rules: quotes
// toggle and are dropped, backslashes are always literal.
//
// The texts are bytes; only blank, tab, '"' and '\' are special, so UTF-8 passes through whole.

#include <string>
#include <string_view>
#include <vector>

namespace platform
{

// The arguments after the program name, e.g. the `args` half of a "\"%s\" %s" command line.
std::vector<std::string> SplitCommandLineArguments(std::string_view arguments);

// A whole command line: the program name first, then the arguments. An empty or blank line
// gives an empty vector.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// The argument quoted so that SplitCommandLineArguments gives it back unchanged.
std::string QuoteCommandLineArgument(std::string_view argument);

}  // namespace platform
