#pragma once
// Text building for code that may run inside a signal handler: a fixed buffer, no allocation, no
// locale, no stdio. Text that does not fit is cut, never overrun.

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

template <size_t Capacity>
class SignalSafeText
{
public:
    SignalSafeText() { m_text[0] = '\0'; }

    SignalSafeText& Append(const char* text)
    {
        for (; text && *text && m_length + 1 < Capacity; ++text)
            m_text[m_length++] = *text;
        m_text[m_length] = '\0';
        return *this;
    }

    SignalSafeText& AppendDecimal(int64_t value)
    {
        char digits[24];
        size_t count = 0;
        // Works on the magnitude as unsigned, so INT64_MIN needs no special case.
        uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        do
        {
            digits[count++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (value < 0)
            digits[count++] = '-';
        while (count > 0 && m_length + 1 < Capacity)
            m_text[m_length++] = digits[--count];
        m_text[m_length] = '\0';
        return *this;
    }

    // Lower-case hexadecimal with a "0x" prefix.
    SignalSafeText& AppendHex(uint64_t value)
    {
        Append("0x");
        char digits[16];
        size_t count = 0;
        do
        {
            digits[count++] = "0123456789abcdef"[value & 0xF];
            value >>= 4;
        } while (value != 0);
        while (count > 0 && m_length + 1 < Capacity)
            m_text[m_length++] = digits[--count];
        m_text[m_length] = '\0';
        return *this;
    }

    const char* Text() const { return m_text; }
    size_t Length() const { return m_length; }

    // Writes the text to a descriptor, retrying after interruptions.
    void WriteTo(int fd) const
    {
        size_t done = 0;
        while (done < m_length)
        {
            ssize_t n = write(fd, m_text + done, m_length - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            done += static_cast<size_t>(n);
        }
    }

private:
    char m_text[Capacity];
    size_t m_length = 0;
};
