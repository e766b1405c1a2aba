#pragma once
// Diagnostic lines of the summary, the segment slots and the repair client: printf-style text
// written to the console output (standard output unless a tool chose otherwise, see
// SetConsoleOutputHandle) with one call, so that lines of the scan threads, the slot threads and
// the repair worker never interleave.

#include <string>

namespace LumoNet
{
void PrintConsoleLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A line for a developer watching the process, never for the user: written to the debug channel
// (platform/DebugOutput.h), and not even formatted while nobody reads it.
void PrintDebugLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The text and a line end as they are, however long (a formatted line is cut at the formatter's
// limit, which a path thousands of bytes long would pass, losing the reason behind it).
void PrintWholeLine(const std::string& text);

// A path or segment name as such a line shows it: UTF-8 with its separators as they are, and "?"
// for control characters and values that are no Unicode character (a name from a server may hold
// anything).
std::string ShownPath(const std::wstring& path);
// ShownPath with every "\\" shown as "/": a segment name from the wire joined to a folder.
std::string ShownSlashPath(const std::wstring& path);
}
