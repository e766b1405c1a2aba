#pragma once
// The error report's buffered writer. It runs inside signal handlers, so it allocates nothing,
// takes no lock and uses no stdio or locale: one process-wide buffer of 8,193 bytes, written to
// the file whenever more than 7,168 bytes are pending, and a small bounded formatter of its own
// (the program's general formatter allocates, which a signal handler must not do).
//
// The formatter understands what the report's lines use: %% %c %s, d i u x X with an optional
// "-" or "0" flag, a width, and the C length modifiers l / ll (64 bits). A conversion it does
// not know is copied out as written and ends the line's formatting.

#include <cstdarg>
#include <cstddef>

namespace Kiln
{

// Formats into `out` (capacity at least 1), always terminated; returns the length written, or
// `capacity` when the text did not fit (then `out` holds the part that did).
size_t FormatBounded(char* out, size_t capacity, const char* format, va_list args);

// FormatBounded with its arguments in place.
size_t FormatInto(char* out, size_t capacity, const char* format, ...) __attribute__((format(printf, 3, 4)));

// Appends formatted text to the pending report text of `fd` and returns the characters added.
// When the text does not fit after the pending text, the pending text is written first.
size_t ReportPrintf(int fd, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Writes the pending text to `fd` and empties the buffer.
void ReportFlush(int fd);

// Empties the buffer without writing it (its report is gone).
void ReportDiscard();

}  // namespace Kiln
