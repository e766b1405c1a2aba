#pragma once
// Process-wide state of the kernel log: the optional kernel log file and its lock, the echo
// stream, the start time, and the running and suppressed flags that the fatal path reads. This
// program opens no kernel log file, so its channels write to the debugger output only; an opener
// hands the file and lock over with SetKernelLogFile.
//
// The kernel clock is the monotonic counter in seconds (lumo/diagnostics/TimeBase.h).

#include <cstdint>
#include <cstdio>

namespace Kiln
{

class File;
class SyncObject;

double GetKernelSeconds();
// Replaces the clock (tests); null restores the monotonic counter.
void SetKernelClock(double (*clock)());
// The start time the message prefix counts from; 0: none recorded.
void SetKernelStartTime(double seconds);
double GetKernelStartTime();

// Takes over the kernel log file and its lock (either may be null).
void SetKernelLogFile(File* file, SyncObject* lock);
File* GetKernelLogFile();
SyncObject* GetKernelLogLock();

void SetLogEcho(FILE* stream);
FILE* GetLogEcho();

void SetLogRunning(bool running);
bool IsLogRunning();
void SetLogSuppressed(bool suppressed);
bool IsLogSuppressed();
// 1: new channels print the time prefix.
uint8_t GetLogPrefixDefault();
// 1: the kernel log file is committed after each message.
void SetLogFlushAfterWrite(bool flush);
bool GetLogFlushAfterWrite();

// Writes a text to the kernel log file: UTF-16LE when the file's textEncoding is 2, else the
// bytes as they are. An empty text, or no file, writes nothing. Returns the bytes written.
uint32_t WriteLogText(const char* text);
// Writes out the kernel log file's buffer and commits it to disk.
void FlushLogFile();
// Closes the kernel log file at once (the fatal path).
void LogEmergencyClose();
// Part of the log shut-down: clears the running flag, drops the lock, writes "End.\r\n" to the
// kernel log file and closes it.
void CloseKernelLog();

}  // namespace Kiln
