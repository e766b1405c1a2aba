#include "Kiln/Src/Kiln/KernelStandard/ErrorReport.h"

#include <pwd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Kiln/Src/Kiln/KernelStandard/ReportWriter.h"

namespace
{

// Runs `write` against an in-memory file and returns what reached it.
template <typename Write>
std::string Written(Write write)
{
    const int fd = memfd_create("report", MFD_CLOEXEC);
    write(fd);
    Kiln::ReportFlush(fd);
    std::string text(static_cast<size_t>(lseek(fd, 0, SEEK_END)), '\0');
    pread(fd, text.data(), text.size(), 0);
    close(fd);
    return text;
}

TEST(ReportWriter, FlushesWhenTheBufferFills)
{
    // 4 KiB lines: the second goes after the first is written out; nothing is lost or cut.
    const std::string line(4000, 'q');
    const std::string text = Written([&](int fd) {
        for (int i = 0; i < 5; ++i)
            Kiln::ReportPrintf(fd, "%s\r\n", line.c_str());
    });
    EXPECT_EQ(text.size(), 5 * 4002u);
    EXPECT_EQ(text.find_first_not_of("q\r\n"), std::string::npos);
}

TEST(ErrorReport, StackDumpStopsAtTheLimitAndAtUnreadableMemory)
{
    // 12,288 bytes at most, 16 a line.
    static uint8_t big[20000];
    const uint64_t sp = reinterpret_cast<uint64_t>(big);
    const std::string text = Written([&](int fd) { Kiln::WriteStackDump(fd, sp, sp + sizeof big); });
    size_t lines = 0;
    for (size_t at = 0; (at = text.find("\r\n0x", at)) != std::string::npos; ++at)
        ++lines;
    EXPECT_EQ(lines, 12288u / 16);

    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    const uint64_t start = reinterpret_cast<uint64_t>(page);
    const std::string broken = Written([&](int fd) { Kiln::WriteStackDump(fd, start, start + 64); });
    EXPECT_EQ(broken, "\r\n\r\nStack:\r\nException encountered during stack dump.\r\n");
    munmap(page, 4096);
}

// "run by" names the account the process runs as, whatever the environment says (a session
// started through su keeps the caller's USER; pkexec and services start without either name).
TEST(ErrorReport, RunByNamesTheAccountOfTheUserId)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: nothing read yet
    std::vector<char> buffer(16384);
    passwd entry;
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        GTEST_SKIP() << "this user id has no account entry";
    const std::string expected = std::string(", run by ") + found->pw_name + ".\r\n";
    const struct
    {
        const char* user;
        const char* logname;
    } environments[] = {{nullptr, nullptr}, {"someone-else", nullptr}, {nullptr, "someone-else"}, {"", ""}};
    for (const auto& environment : environments)
    {
        // The names are read once per process: each case in a child of its own.
        EXPECT_EXIT(
            {
                environment.user ? setenv("USER", environment.user, 1) : unsetenv("USER");
                environment.logname ? setenv("LOGNAME", environment.logname, 1) : unsetenv("LOGNAME");
                Kiln::PrepareErrorReport();
                const std::string text = Written([](int fd) { Kiln::WriteSystemInfo(fd); });
                _exit(text.find(expected) != std::string::npos ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "")
            << (environment.user ? environment.user : "-") << " " << (environment.logname ? environment.logname : "-");
    }
}

TEST(ErrorReport, ExceptionRecordsFromSignals)
{
    struct Row { int signalNumber; int code; uint32_t expected; const char* name; } rows[] = {
        {SIGFPE, FPE_INTDIV, 0xC0000094, "an Integer Divide by Zero"},
        {SIGFPE, FPE_FLTDIV, 0xC000008E, "a Float Divide by Zero"},
        {SIGFPE, FPE_INTOVF, 0xC0000095, "an Integer Overflow"},
        {SIGILL, ILL_ILLOPC, 0xC000001D, "an Illegal Instruction"},
        {SIGBUS, BUS_ADRALN, 0x80000002, "a Datatype Misalignment"},
        {SIGBUS, BUS_ADRERR, 0xC0000006, "an In Page Error"},
        {SIGTRAP, 0, 0x80000003, "a Breakpoint"},
        {SIGABRT, 0, Kiln::kAbortCode, "an Abort"},
    };
    for (const Row& row : rows)
    {
        siginfo_t info{};
        info.si_signo = row.signalNumber;
        info.si_code = row.code;
        Kiln::ExceptionPointers pointers;
        Kiln::MakeExceptionPointers(row.signalNumber, &info, nullptr, pointers);
        EXPECT_EQ(pointers.code, row.expected) << row.name;
        EXPECT_STREQ(Kiln::GetExceptionName(pointers.code), row.name);
        EXPECT_EQ(pointers.parameterCount, 0u);
    }
    EXPECT_STREQ(Kiln::GetExceptionName(0x12345678), "an Unknown exception type");
    EXPECT_STREQ(Kiln::GetExceptionName(0xE06D7363), "a Microsoft C++ Exception");

    // A write fault far from the stack: an access violation with its direction and address.
    ucontext_t context{};
    context.uc_mcontext.gregs[REG_RSP] = 0x7ffd00000000;
    context.uc_mcontext.gregs[REG_ERR] = 6;  // user-mode write
    siginfo_t info{};
    info.si_code = SEGV_MAPERR;
    info.si_addr = reinterpret_cast<void*>(0x10);
    Kiln::ExceptionPointers pointers;
    Kiln::MakeExceptionPointers(SIGSEGV, &info, &context, pointers);
    EXPECT_EQ(pointers.code, Kiln::kAccessViolationCode);
    EXPECT_EQ(pointers.parameterCount, 2u);
    EXPECT_EQ(pointers.parameters[0], 1u);
    EXPECT_EQ(pointers.parameters[1], 0x10u);
    // Just below the stack pointer: the stack ran out.
    info.si_addr = reinterpret_cast<void*>(0x7ffd00000000 - 100);
    Kiln::MakeExceptionPointers(SIGSEGV, &info, &context, pointers);
    EXPECT_STREQ(Kiln::GetExceptionName(pointers.code), "a Stack Overflow");
}

}  // namespace
