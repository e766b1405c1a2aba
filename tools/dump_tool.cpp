// dump-tool FILE: prints a crash dump (lumo/diagnostics/CrashDump.h) with the failing thread's frames named
// where the modules' files are at hand. Text from the dump is printed with control characters
// escaped (\xNN). Exit status 0 printed, 1 failed (the reason on standard error), 2 bad command line.

#include <time.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "lumo/diagnostics/CrashDump.h"
#include "lumo/diagnostics/CrashDumpReader.h"
#include "lumo/diagnostics/DumpSymbols.h"
#include "tools/ArgumentCheck.h"
#include "tools/ToolSupport.h"

namespace
{

constexpr char kHelp[] =
    "usage: dump-tool FILE\n"
    "Prints the crash dump FILE (written by the patcher's crash handler): process, reason, registers,\n"
    "the failing thread's frames (named where the module files are at hand), stack, threads, memory\n"
    "map and status; for a dump of another process each thread with its registers, frames and stack.\n"
    "A dump cut short is shown as far as its whole records go.\n"
    "Exit status: 0 printed, 1 failed (the reason on standard error), 2 bad command line.\n";

// A dump is outside input: its text reaches the terminal with control characters escaped.
// keepLines leaves line ends and tabs of multi-line texts (memory map, status) as they are.
std::string Escaped(const std::string& text, bool keepLines = false)
{
    std::string out;
    for (unsigned char c : text)
    {
        if ((c < 0x20 || c == 0x7F) && !(keepLines && (c == '\n' || c == '\t')))
        {
            char code[8];
            snprintf(code, sizeof(code), "\\x%02x", c);
            out += code;
        }
        else
            out += static_cast<char>(c);
    }
    return out;
}

// The whole of a regular file; false with error set otherwise.
bool ReadDumpFile(const char* path, std::string& bytes, std::string& error)
{
    if (const std::string why = tools::NotARegularFile(path); !why.empty())
    {
        error = why;
        return false;
    }
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
    {
        error = std::string("cannot be opened: ") + std::strerror(errno);
        return false;
    }
    char buffer[65536];
    for (;;)
    {
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
        {
            if (n < 0)
                error = std::string("cannot be read: ") + std::strerror(errno);
            close(fd);
            return n == 0;
        }
        bytes.append(buffer, static_cast<size_t>(n));
    }
}

std::string Hex(uint64_t value)
{
    char text[24];
    snprintf(text, sizeof(text), "0x%" PRIx64, value);
    return text;
}

std::string FormatTime(uint64_t seconds, uint32_t nanoseconds)
{
    const time_t when = static_cast<time_t>(seconds);
    tm utc{};
    gmtime_r(&when, &utc);
    char text[64];
    snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d.%03u UTC", utc.tm_year + 1900, utc.tm_mon + 1,
             utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, nanoseconds / 1000000);
    return text;
}

// exact: the frame is the instruction itself (a fault, a stopped thread), not a return address.
std::string DescribeFrame(DumpSymbols& symbols, const CrashDumpFrame& frame, bool exact)
{
    std::string text = Hex(frame.address);
    if (frame.module.empty())
        return text + " (no module)";
    text += " " + Escaped(frame.module) + "+" + Hex(frame.offset);
    DumpFrameName name;
    if (symbols.LookUp(frame.module, frame.buildId, frame.offset, !exact, name))
    {
        text += " " + (name.function.empty() ? std::string("??") : Escaped(name.function));
        if (!name.file.empty())
            text += " at " + Escaped(name.file) + ":" + std::to_string(name.line);
    }
    else
    {
        const std::string problem = symbols.ModuleProblem(frame.module, frame.buildId);
        if (!problem.empty())
            text += " (" + problem + ")";
    }
    return text;
}

std::string DescribeFrame(DumpSymbols& symbols, const CrashDumpContents& dump, size_t index)
{
    return DescribeFrame(symbols, dump.frames[index],
                         index == 0 && dump.reason == static_cast<uint32_t>(CrashDumpReason::Signal));
}

void PrintHexDump(uint64_t start, const std::string& stack, size_t limit, const char* indent)
{
    const size_t size = stack.size() < limit ? stack.size() : limit;
    for (size_t row = 0; row < size; row += 16)
    {
        std::string line = indent + Hex(start + row) + ":";
        for (size_t i = row; i < row + 16 && i < size; ++i)
        {
            char byte[4];
            snprintf(byte, sizeof(byte), " %02x", static_cast<unsigned char>(stack[i]));
            line += byte;
        }
        printf("%s\n", line.c_str());
    }
}

void PrintRegisters(const std::vector<std::pair<std::string, uint64_t>>& registers, const char* indent)
{
    for (const auto& [name, value] : registers)
        printf("%s%-8s %s\n", indent, Escaped(name).c_str(), Hex(value).c_str());
}

void PrintFrames(DumpSymbols& symbols, const std::vector<CrashDumpFrame>& frames, bool firstExact, const char* indent)
{
    for (size_t i = 0; i < frames.size(); ++i)
    {
        printf("%s#%-3zu %s\n", indent, i, DescribeFrame(symbols, frames[i], i == 0 && firstExact).c_str());
        if (!frames[i].buildId.empty())
            printf("%s      build id %s\n", indent, HexBytes(frames[i].buildId).c_str());
    }
}

// The threads of a dump of another process, each with its registers, frames and stack.
void PrintThreadStates(DumpSymbols& symbols, const CrashDumpContents& dump)
{
    for (const CrashDumpThreadState& thread : dump.threadStates)
    {
        printf("Thread %u \"%s\":\n", thread.threadId, Escaped(thread.name).c_str());
        printf("  Registers:\n");
        PrintRegisters(thread.registers, "    ");
        printf("  Frames (%zu):\n", thread.frames.size());
        PrintFrames(symbols, thread.frames, true, "    ");
        printf("  Stack: %zu bytes from %s (the first 128 shown)\n", thread.stack.size(), Hex(thread.stackStart).c_str());
        PrintHexDump(thread.stackStart, thread.stack, 128, "    ");
    }
}

void Print(const std::string& path, const CrashDumpContents& dump)
{
    DumpSymbols symbols;
    printf("Dump file: %s\n", Escaped(path).c_str());
    printf("Format version: %u%s\n", dump.version, dump.complete ? "" : " (cut short: no end record)");
    if (!dump.cutShort.empty())
        printf("Cut short: %s; the whole records before it follow\n", dump.cutShort.c_str());
    if (dump.hasProcess)
    {
        printf("Process: pid %u, build %u, version %s\n", dump.pid, dump.buildNumber, Escaped(dump.versionText).c_str());
        printf("Executable: %s\n", Escaped(dump.executable).c_str());
        printf("Time: %s\n", FormatTime(dump.seconds, dump.nanoseconds).c_str());
    }
    if (dump.hasReason)
    {
        std::string reason = CrashReasonName(dump.reason);
        const std::string signal = SignalName(dump.signalNumber) + " (" + std::to_string(dump.signalNumber) + ")";
        if (dump.reason == static_cast<uint32_t>(CrashDumpReason::Signal))
            reason += ": " + signal + ", code " + SignalCodeName(dump.signalNumber, dump.signalCode) +
                      ", fault address " + Hex(dump.faultAddress);
        else if (dump.signalNumber != 0)
            reason += ", ending by " + signal;
        printf("Reason: %s\n", reason.c_str());
        if (!dump.detail.empty())
            printf("Detail: %s\n", Escaped(dump.detail).c_str());
    }
    if (dump.hasThread)
        printf("Thread: %u \"%s\"\n", dump.threadId, Escaped(dump.threadName).c_str());
    if (!dump.frames.empty())
        printf("Crashed at: %s\n", DescribeFrame(symbols, dump, 0).c_str());
    if (!dump.registers.empty())
    {
        printf("Registers:\n");
        PrintRegisters(dump.registers, "  ");
    }
    if (dump.threadStates.empty() || !dump.frames.empty())
    {
        printf("Frames (%zu):\n", dump.frames.size());
        PrintFrames(symbols, dump.frames, dump.reason == static_cast<uint32_t>(CrashDumpReason::Signal), "  ");
        printf("Stack: %zu bytes from %s (the first 256 shown)\n", dump.stack.size(), Hex(dump.stackStart).c_str());
        PrintHexDump(dump.stackStart, dump.stack, 256, "  ");
    }
    PrintThreadStates(symbols, dump);
    printf("Threads (%zu):", dump.threads.size());
    for (uint32_t tid : dump.threads)
        printf(" %u", tid);
    printf("\n");
    printf("Memory map:\n%s", Escaped(dump.maps, true).c_str());
    printf("Process status:\n%s", Escaped(dump.status, true).c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    tools::LibraryLinesToStandardError();
    if (tools::AsksForHelp(argc, argv))
        return tools::PrintHelp(kHelp);
    if (const std::string wrong = tools::WrongValues(tools::ArgumentsFrom(argc, argv), {"FILE"}); !wrong.empty())
        return tools::WrongCommandLine("dump-tool", wrong, kHelp);
    std::string bytes, error;
    if (!ReadDumpFile(argv[1], bytes, error))
    {
        fprintf(stderr, "dump-tool: %s: %s\n", Escaped(argv[1]).c_str(), error.c_str());
        return 1;
    }
    CrashDumpContents dump;
    if (!ReadCrashDump(bytes, dump, error))
    {
        fprintf(stderr, "dump-tool: %s: %s\n", Escaped(argv[1]).c_str(), error.c_str());
        return 1;
    }
    Print(argv[1], dump);
    return tools::FinishOutput("dump-tool", 0);
}
