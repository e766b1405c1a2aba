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

#include "lumo/diagnostics/CrashDump.h"
#include "lumo/diagnostics/CrashDumpReader.h"
#include "lumo/diagnostics/DumpSymbols.h"
#include "tools/ToolSupport.h"

namespace
{

constexpr char kHelp[] =
    "usage: dump-tool FILE\n"
    "Prints the crash dump FILE (written by the patcher's crash handler): process, reason, registers,\n"
    "the failing thread's frames (named where the module files are at hand), stack, threads, memory\n"
    "map and status. A dump cut short is shown as far as its whole records go.\n"
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

std::string DescribeFrame(DumpSymbols& symbols, const CrashDumpContents& dump, size_t index)
{
    const CrashDumpFrame& frame = dump.frames[index];
    std::string text = Hex(frame.address);
    if (frame.module.empty())
        return text + " (no module)";
    text += " " + Escaped(frame.module) + "+" + Hex(frame.offset);
    const bool returnAddress = !(index == 0 && dump.reason == static_cast<uint32_t>(CrashDumpReason::Signal));
    DumpFrameName name;
    if (symbols.LookUp(frame.module, frame.buildId, frame.offset, returnAddress, name))
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

void PrintHexDump(const CrashDumpContents& dump, size_t limit)
{
    const size_t size = dump.stack.size() < limit ? dump.stack.size() : limit;
    for (size_t row = 0; row < size; row += 16)
    {
        std::string line = "  " + Hex(dump.stackStart + row) + ":";
        for (size_t i = row; i < row + 16 && i < size; ++i)
        {
            char byte[4];
            snprintf(byte, sizeof(byte), " %02x", static_cast<unsigned char>(dump.stack[i]));
            line += byte;
        }
        printf("%s\n", line.c_str());
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
        for (const auto& [name, value] : dump.registers)
            printf("  %-8s %s\n", Escaped(name).c_str(), Hex(value).c_str());
    }
    printf("Frames (%zu):\n", dump.frames.size());
    for (size_t i = 0; i < dump.frames.size(); ++i)
    {
        printf("  #%-3zu %s\n", i, DescribeFrame(symbols, dump, i).c_str());
        if (!dump.frames[i].buildId.empty())
            printf("        build id %s\n", HexBytes(dump.frames[i].buildId).c_str());
    }
    printf("Stack: %zu bytes from %s (the first 256 shown)\n", dump.stack.size(), Hex(dump.stackStart).c_str());
    PrintHexDump(dump, 256);
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
    if (argc != 2)
    {
        fprintf(stderr, "%s", kHelp);
        return 2;
    }
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
