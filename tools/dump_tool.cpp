// dump-tool FILE: prints a crash dump (lumo/diagnostics/CrashDump.h) with the failing thread's frames named
// where the modules' files are at hand.

#include <time.h>

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "lumo/diagnostics/CrashDump.h"
#include "lumo/diagnostics/CrashDumpReader.h"
#include "lumo/diagnostics/DumpSymbols.h"

namespace
{

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
    text += " " + frame.module + "+" + Hex(frame.offset);
    const bool returnAddress = !(index == 0 && dump.reason == static_cast<uint32_t>(CrashDumpReason::Signal));
    DumpFrameName name;
    if (symbols.LookUp(frame.module, frame.buildId, frame.offset, returnAddress, name))
    {
        text += " " + (name.function.empty() ? std::string("??") : name.function);
        if (!name.file.empty())
            text += " at " + name.file + ":" + std::to_string(name.line);
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
    printf("Dump file: %s\n", path.c_str());
    printf("Format version: %u%s\n", dump.version, dump.complete ? "" : " (cut short: no end record)");
    if (dump.hasProcess)
    {
        printf("Process: pid %u, build %u, version %s\n", dump.pid, dump.buildNumber, dump.versionText.c_str());
        printf("Executable: %s\n", dump.executable.c_str());
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
            printf("Detail: %s\n", dump.detail.c_str());
    }
    if (dump.hasThread)
        printf("Thread: %u \"%s\"\n", dump.threadId, dump.threadName.c_str());
    if (!dump.frames.empty())
        printf("Crashed at: %s\n", DescribeFrame(symbols, dump, 0).c_str());
    if (!dump.registers.empty())
    {
        printf("Registers:\n");
        for (const auto& [name, value] : dump.registers)
            printf("  %-8s %s\n", name.c_str(), Hex(value).c_str());
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
    printf("Memory map:\n%s", dump.maps.c_str());
    printf("Process status:\n%s", dump.status.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        fprintf(stderr, "usage: dump-tool FILE\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    if (!file)
    {
        fprintf(stderr, "dump-tool: cannot open %s\n", argv[1]);
        return 1;
    }
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    CrashDumpContents dump;
    std::string error;
    if (!ReadCrashDump(bytes, dump, error))
    {
        fprintf(stderr, "dump-tool: %s: %s\n", argv[1], error.c_str());
        return 1;
    }
    Print(argv[1], dump);
    return 0;
}
