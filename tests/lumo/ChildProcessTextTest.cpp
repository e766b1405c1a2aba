// A child's output as the log shows it: UTF-8 (what a Linux program prints, paths in any script)
// read as such, also when a character is cut between two reads; other bytes by the 8-bit table.
#include <gtest/gtest.h>

#include <string>

#include "lumo/os/ChildProcess.h"

namespace
{

std::wstring ReadAllText(const std::string& script)
{
    std::unique_ptr<OS::Process> process = OS::Process::Start(L"/bin/sh", std::vector<std::wstring>{L"-c", std::wstring(script.begin(), script.end())});
    EXPECT_TRUE(process);
    if (!process)
        return L"";
    std::wstring text;
    while (process->ReadOutputText(text))
    {
    }
    process->Wait(0xFFFFFFFF);
    return text;
}

}  // namespace

TEST(ChildProcessText, Utf8IsReadAsUtf8AndOtherBytesByTheEightBitTable)
{
    struct Case { std::string bytes; std::wstring text; };
    const Case cases[] = {
        {"plain ASCII\n", L"plain ASCII\n"},
        {"/home/\xd0\x98\xd0\xb3\xd1\x80\xd0\xb0/Sollex \xe6\x97\xa5\xf0\x9f\x98\x80\n", L"/home/\u0418\u0433\u0440\u0430/Sollex \u65e5\U0001F600\n"},
        {"Caf\xe9 \x93\n", L"Caf\u00e9 \u201c\n"},  // Windows-1252
        {"cut \xd0", L"cut \u00d0"},                            // a lead byte that never gets its rest
    };
    for (const Case& c : cases)
        EXPECT_EQ(OS::DecodeChildOutput(c.bytes), c.text) << c.bytes;
}

// The child writes one character in two pieces with a pause between, so the reader sees its first
// byte alone at the end of a read.
TEST(ChildProcessText, ACharacterCutBetweenTwoReadsIsKeptWhole)
{
    EXPECT_EQ(ReadAllText("printf 'a \\320'; sleep 0.3; printf '\\230\\320\\263 b\\n'; sleep 0.3; printf '\\342\\202'; sleep 0.3; printf '\\254'"),
              L"a \u0418\u0433 b\n\u20ac");
    // A child that ends in the middle of a character: what it wrote is still shown.
    EXPECT_EQ(ReadAllText("printf 'end \\320'"), L"end \u00d0");
}
