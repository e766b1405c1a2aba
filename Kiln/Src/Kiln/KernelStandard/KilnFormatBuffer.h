#pragma once
// A growing formatter on the stack: results of up to 1,023 characters stay in the object; longer
// ones go to a heap buffer of 32,768 bytes, then 4 times larger up to 33,554,432. A result that
// does not fit below 128 MiB becomes the empty text. The text always ends in a zero byte.
// Formats go through the project's one formatter (lumo/text/FormatDialect.h).

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace Kiln
{

class KilnFormatBuffer
{
public:
    static constexpr size_t kInlineSize = 1024;
    static constexpr size_t kFirstHeapSize = 32768;
    static constexpr size_t kSizeLimit = 134217728;  // 128 MiB: never reached

    KilnFormatBuffer(const char* format, va_list args) __attribute__((format(printf, 2, 0)));
    ~KilnFormatBuffer();
    KilnFormatBuffer(const KilnFormatBuffer&) = delete;
    KilnFormatBuffer& operator=(const KilnFormatBuffer&) = delete;

    const char* Text() const { return m_text; }
    uint32_t Length() const { return m_length; }
    // The size of the buffer holding the text: kInlineSize or a heap size.
    size_t BufferSize() const { return m_bufferSize; }

private:
    char* m_text;
    char m_inline[kInlineSize];
    uint32_t m_length = 0;
    size_t m_bufferSize = kInlineSize;
};

}  // namespace Kiln
