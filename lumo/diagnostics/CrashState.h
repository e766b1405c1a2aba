#pragma once
// State shared by the crash handlers' files (lumo/diagnostics/CrashHandlers.h). Everything here is read in
// signal context: atomics and fixed buffers only, filled outside signal context.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "lumo/diagnostics/CrashDump.h"

namespace crash
{

// A once-per-process dump: 0 none yet, the writing thread's id while it is written, -1 written.
using DumpOnce = std::atomic<int>;
constexpr int kDumpWritten = -1;

extern DumpOnce g_crashDump;
extern DumpOnce g_fatalDump;
extern std::atomic<bool> g_installed;
extern std::atomic<bool> g_fatalPathEnabled;

// Folders and names, NUL-terminated native paths.
extern char g_dumpFolder[4096];       // "" (working directory) or ending in "/"
extern char g_fallbackParent[1024];   // the temporary folder for dumps a folder refuses
extern char g_fatalDumpName[1024];    // "" until BuildMinidumpName

// True for the thread that may write the dump; false when it was written, when this thread is
// writing it already (a fault inside the writer), or after waiting long for another writer.
bool BeginDump(DumpOnce& once);
void EndDump(DumpOnce& once);
bool DumpWritten(const DumpOnce& once);

// Writes a dump to a new file; the path written to lands in `path`. False when no file could be
// created or writing failed.
bool WriteDumpFile(const char* folder, const char* name, const CrashDumpRequest& request, char* path,
                   size_t pathCapacity);

// Whether the calling thread runs inside GuardedThreadEntry.
bool IsGuardedThread();
bool IsMainThread();

// The fatal-exception path: records the failure for WriteMinidump and calls the fatal handler.
void RunFatalPath(const CrashDumpRequest& request);
// The guarded thread's end: the message on standard error, exit status 255.
[[noreturn]] void EndGuardedThreadProcess();

}  // namespace crash
