#include "Kiln/Src/Kiln/KernelStandard/KilnFormatBuffer.h"

#include <cstring>
#include <string>

#include "lumo/text/FormatDialect.h"

namespace Kiln
{

KilnFormatBuffer::KilnFormatBuffer(const char* format, va_list args) : m_text(m_inline)
{
    m_inline[0] = '\0';
    // The largest heap buffer holds 33,554,431 characters; format one more to see a longer
    // result, which becomes the empty text.
    size_t largest = kFirstHeapSize;
    while (largest * 4 < kSizeLimit)
        largest *= 4;
    std::string text;
    {
        va_list copy;
        va_copy(copy, args);
        LumoUtil::VaListFormatArgs formatArgs(copy);
        text = LumoUtil::FormatNarrowDialect(format ? format : "", formatArgs, largest);
        va_end(copy);
    }
    const size_t n = text.size();
    if (n < kInlineSize)
    {
        std::memcpy(m_inline, text.data(), n);
        m_inline[n] = '\0';
        m_length = static_cast<uint32_t>(n);
        return;
    }
    size_t size = kFirstHeapSize;
    while (size < kSizeLimit && n > size - 1)
        size *= 4;
    if (size >= kSizeLimit)
        return;  // too long: the empty text
    m_text = new char[size];
    m_bufferSize = size;
    std::memcpy(m_text, text.data(), n);
    m_text[n] = '\0';
    m_length = static_cast<uint32_t>(n);
}

KilnFormatBuffer::~KilnFormatBuffer()
{
    if (m_text != m_inline)
        delete[] m_text;
}

}  // namespace Kiln
