#pragma once
// Named log channels. A channel formats a printf-style message, optionally prefixes it with a
// level letter and the minutes and seconds since the kernel's start time ("%c %3d:%02d.%d : ",
// letters " !?+-" for levels 0 to 4), ends it with CR LF, and sends it to the sinks its flags
// select: the kernel log file (KernelLog.h), the debugger output, and the echo stream.
//
// Channels are found or created by name (ASCII case ignored) in one process-wide list and live
// until LogShutdown. Find is locked; a channel's level and its print are two steps, so threads
// that share a channel may see each other's level (the level is atomic, so that is all they see). LogShutdown runs at process exit, after the
// program's threads have stopped.

#include <atomic>
#include <cstdarg>
#include <cstdint>

#include "Kiln/Src/Kiln/KernelStandard/KilnString.h"

namespace Kiln
{

class LogChannel
{
public:
    static constexpr uint8_t kSinkFile = 1;
    static constexpr uint8_t kSinkDebugger = 2;
    static constexpr uint8_t kFormatLineEnd = 1;
    static constexpr uint8_t kFormatPrefix = 2;
    static constexpr const char* kLevelLetters = " !?+-";

    static LogChannel* Find(const char* name);
    static void Printf(LogChannel* channel, const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Write(const char* format, va_list args) __attribute__((format(printf, 2, 0)));

    // The prefix for a message at `level` after `elapsed` seconds.
    static KilnString Prefix(int32_t level, float elapsed);

    LogChannel* next = nullptr;
    LogChannel* prev = nullptr;
    KilnString name;
    KilnString text2;
    int32_t threshold = 2;
    std::atomic<int32_t> level{0};
    std::atomic<uint8_t> busy{0};  // re-entry guard of the file sink
    uint8_t sinks = kSinkFile | kSinkDebugger;
    uint8_t format = 3;
};

// Creates the channels of the kernel ("PackedHeap", "ExceptionHandler") and offers the
// "ExceptionHandler" channel to the fatal path. Called by the kernel start-up.
void LogChannelsInit();
// Part of the kernel shut-down: closes the kernel log and destroys every channel.
void LogShutdown();

}  // namespace Kiln
