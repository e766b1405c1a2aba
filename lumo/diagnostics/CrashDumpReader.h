#pragma once
// Reads the crash dumps of lumo/diagnostics/CrashDump.h (the format is documented there) and names their
// signals and codes for printing.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct CrashDumpFrame
{
    uint64_t address = 0;
    uint64_t offset = 0;  // in the module
    std::string module;
    std::string buildId;  // raw bytes
};

// One thread of a dump of another process (THREAD STATE record).
struct CrashDumpThreadState
{
    uint32_t threadId = 0;
    std::string name;
    std::vector<std::pair<std::string, uint64_t>> registers;
    std::vector<CrashDumpFrame> frames;  // the first is the instruction the thread was stopped at
    uint64_t stackStart = 0;
    std::string stack;
};

struct CrashDumpContents
{
    uint32_t version = 0;
    bool complete = false;  // the END record was there
    std::string cutShort;   // when the file ends inside a record: where, in words

    bool hasProcess = false;
    uint32_t pid = 0;
    uint32_t buildNumber = 0;
    std::string versionText;
    std::string executable;
    uint64_t seconds = 0;
    uint32_t nanoseconds = 0;

    bool hasReason = false;
    uint32_t reason = 0;
    int32_t signalNumber = 0;
    int32_t signalCode = 0;
    uint64_t faultAddress = 0;
    std::string detail;

    bool hasThread = false;
    uint32_t threadId = 0;
    std::string threadName;

    std::vector<std::pair<std::string, uint64_t>> registers;
    std::vector<CrashDumpFrame> frames;
    uint64_t stackStart = 0;
    std::string stack;
    std::string maps;
    std::string status;
    std::vector<uint32_t> threads;
    std::vector<CrashDumpThreadState> threadStates;
};

// Parses a whole dump. False with `error` saying what is wrong and at which byte offset; a dump
// cut short is read as far as its whole records go (complete stays false), and when the cut lies
// inside a record, cutShort says where.
bool ReadCrashDump(const std::string& bytes, CrashDumpContents& contents, std::string& error);

// "SIGSEGV", ... ("signal <n>" for others); the code's name for that signal ("SEGV_MAPERR", ...)
// or its number; the reason kind ("signal", "assertion", ...).
std::string SignalName(int signalNumber);
std::string SignalCodeName(int signalNumber, int code);
std::string CrashReasonName(uint32_t reason);

// Lower-case hexadecimal of raw bytes (a build id).
std::string HexBytes(const std::string& bytes);
