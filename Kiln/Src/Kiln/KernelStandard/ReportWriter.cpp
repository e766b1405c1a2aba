#include "Kiln/Src/Kiln/KernelStandard/ReportWriter.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/WriteFully.h"

namespace Kiln
{

namespace
{

constexpr size_t kBufferSize = 8193;
constexpr size_t kFlushAbove = 7168;

char g_buffer[kBufferSize];
size_t g_pending = 0;

struct Output
{
    char* out;
    size_t capacity;
    size_t length = 0;
    bool overflow = false;

    void Put(char c)
    {
        if (length + 1 < capacity)
            out[length++] = c;
        else
            overflow = true;
    }
};

void PutNumber(Output& output, uint64_t value, bool negative, unsigned base, bool upper, bool leftAlign, char pad,
               int width)
{
    char digits[24];
    int count = 0;
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    do
    {
        digits[count++] = set[value % base];
        value /= base;
    } while (value != 0);
    const int length = count + (negative ? 1 : 0);
    if (!leftAlign && pad == '0' && negative)
        output.Put('-');
    if (!leftAlign)
        for (int i = length; i < width; ++i)
            output.Put(pad);
    if (negative && !(!leftAlign && pad == '0'))
        output.Put('-');
    while (count > 0)
        output.Put(digits[--count]);
    if (leftAlign)
        for (int i = length; i < width; ++i)
            output.Put(' ');
}

}  // namespace

size_t FormatBounded(char* out, size_t capacity, const char* format, va_list args)
{
    Output output{out, capacity};
    for (const char* p = format; *p; ++p)
    {
        if (*p != '%')
        {
            output.Put(*p);
            continue;
        }
        const char* start = p++;
        bool leftAlign = false;
        char pad = ' ';
        for (; *p == '-' || *p == '0'; ++p)
        {
            if (*p == '-')
                leftAlign = true;
            else
                pad = '0';
        }
        int width = 0;
        for (; *p >= '0' && *p <= '9'; ++p)
            width = width * 10 + (*p - '0');
        int longs = 0;
        for (; *p == 'l' || *p == 'h'; ++p)
            longs += *p == 'l' ? 1 : 0;
        switch (*p)
        {
        case '%':
            output.Put('%');
            break;
        case 'c':
            output.Put(static_cast<char>(va_arg(args, int)));
            break;
        case 's':
        {
            const char* text = va_arg(args, const char*);
            if (!text)
                text = "(null)";
            const int length = static_cast<int>(strnlen(text, 1 << 20));
            if (!leftAlign)
                for (int i = length; i < width; ++i)
                    output.Put(' ');
            for (const char* t = text; *t; ++t)
                output.Put(*t);
            if (leftAlign)
                for (int i = length; i < width; ++i)
                    output.Put(' ');
            break;
        }
        case 'd':
        case 'i':
        {
            const int64_t value = longs > 0 ? va_arg(args, long long) : va_arg(args, int);
            const uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
            PutNumber(output, magnitude, value < 0, 10, false, leftAlign, pad, width);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        {
            const uint64_t value = longs > 0 ? va_arg(args, unsigned long long) : va_arg(args, unsigned);
            PutNumber(output, value, false, *p == 'u' ? 10 : 16, *p == 'X', leftAlign, pad, width);
            break;
        }
        default:
            // Not understood: copy the rest as written and read no further argument.
            for (const char* t = start; *t; ++t)
                output.Put(*t);
            out[output.length] = '\0';
            return output.overflow ? capacity : output.length;
        }
        if (!*p)
            break;
    }
    out[output.length] = '\0';
    return output.overflow ? capacity : output.length;
}

size_t FormatInto(char* out, size_t capacity, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const size_t length = FormatBounded(out, capacity, format, args);
    va_end(args);
    return length;
}

size_t ReportPrintf(int fd, const char* format, ...)
{
    if (g_pending > kFlushAbove)
        ReportFlush(fd);
    va_list args;
    va_start(args, format);
    va_list retry;
    va_copy(retry, args);
    size_t added = FormatBounded(g_buffer + g_pending, kBufferSize - g_pending, format, args);
    if (added >= kBufferSize - g_pending && g_pending > 0)
    {
        // It did not fit behind the pending text: write that out and format again at the start.
        g_buffer[g_pending] = '\0';
        ReportFlush(fd);
        added = FormatBounded(g_buffer, kBufferSize, format, retry);
    }
    if (added >= kBufferSize - g_pending)
        added = strlen(g_buffer + g_pending);  // longer than the whole buffer: cut
    g_pending += added;
    va_end(retry);
    va_end(args);
    return added;
}

void ReportFlush(int fd)
{
    if (g_pending > 0)
        platform::WriteFully(fd, g_buffer, g_pending);
    g_pending = 0;
}

void ReportDiscard()
{
    g_pending = 0;
}

}  // namespace Kiln
