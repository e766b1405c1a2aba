#pragma once
// Diagnostic lines of the summary, the segment slots and the repair client: printf-style text
// written to the console output (standard output unless a tool chose otherwise, see
// SetConsoleOutputHandle) with one call, so that lines of the scan threads, the slot threads and
// the repair worker never interleave.

namespace LumoNet
{
void PrintConsoleLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
}
