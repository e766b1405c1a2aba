#include <gtest/gtest.h>

#include "platform/CommandLineSplit.h"

using platform::QuoteCommandLineArgument;
using platform::SplitCommandLine;
using platform::SplitCommandLineArguments;
using Args = std::vector<std::string>;

TEST(CommandLineSplit, ArgumentsFollowTheWindowsRuntimeRules)
{
    struct Case { const char* line; Args expected; };
    const Case cases[] = {
        {"", {}},
        {" \t ", {}},
        {"repairdatabase patcher", {"repairdatabase", "patcher"}},
        {"listbuilds \"C:\\x y\\b.txt\" norender", {"listbuilds", "C:\\x y\\b.txt", "norender"}},
        {"  a\t\tb  ", {"a", "b"}},
        {"\"\"", {""}},
        {"a \"\" b", {"a", "", "b"}},
        {"a\"b c\"d", {"ab cd"}},
        {"\"unterminated arg", {"unterminated arg"}},
        // Backslashes are literal unless a quote follows them.
        {"C:\\dir\\ x\\\\y", {"C:\\dir\\", "x\\\\y"}},
        // 2n backslashes + quote: n backslashes, quote toggles.
        {"\"a\\\\\" b", {"a\\", "b"}},
        {"a\\\\\\\\\"b c\"", {"a\\\\b c"}},
        // 2n+1 backslashes + quote: n backslashes and a literal quote.
        {"a\\\"b", {"a\"b"}},
        {"\"a\\\\\\\" b\"", {"a\\\" b"}},
        // A doubled quote inside quotes is one literal quote, and quoting goes on.
        {"\"a\"\"b c\"", {"a\"b c"}},
        {"\"\"\"\"", {"\""}},
        // A trailing backslash stays, even inside an open quote.
        {"\"C:\\path\\\\\"", {"C:\\path\\"}},
        {"x\\", {"x\\"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SplitCommandLineArguments(c.line), c.expected) << "line: " << c.line;
}

TEST(CommandLineSplit, ProgramNameTakesQuotesButNoEscapes)
{
    EXPECT_EQ(SplitCommandLine("\"C:\\Program Files\\tool.exe\" -x \"a b\""),
              (Args{"C:\\Program Files\\tool.exe", "-x", "a b"}));
    EXPECT_EQ(SplitCommandLine("C:\\dir\\\"x y\"\\tool a"), (Args{"C:\\dir\\x y\\tool", "a"}));
    EXPECT_EQ(SplitCommandLine("tool"), (Args{"tool"}));
    EXPECT_EQ(SplitCommandLine("   "), Args{});
}

TEST(CommandLineSplit, QuotingRoundTrips)
{
    const Args arguments = {"", "plain", "two words", "tab\there", "quote\"inside", "\"", "\\", "trailing\\",
                            "C:\\x y\\", "\\\\server\\share", "a\\\"b", "\"\"", "multi\\\\\"\\", "\xc3\xa9t\xc3\xa9"};
    std::string line;
    for (const std::string& argument : arguments)
    {
        EXPECT_EQ(SplitCommandLineArguments(QuoteCommandLineArgument(argument)), Args{argument}) << argument;
        line += QuoteCommandLineArgument(argument) + " ";
    }
    EXPECT_EQ(SplitCommandLineArguments(line), arguments);
    EXPECT_EQ(QuoteCommandLineArgument("plain"), "plain");
}
