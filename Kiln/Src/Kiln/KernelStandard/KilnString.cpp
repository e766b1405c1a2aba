#include "Kiln/Src/Kiln/KernelStandard/KilnString.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "Kiln/Src/Kiln/KernelStandard/KilnFormatBuffer.h"
#include "Kiln/Src/Kiln/KernelStandard/StringData.h"

namespace Kiln
{

struct KilnString::Block
{
    std::atomic<int32_t> refcount;
    uint32_t capacity;
    uint32_t length;

    char* Text() { return reinterpret_cast<char*>(this + 1); }
};
static_assert(sizeof(std::atomic<int32_t>) == 4, "the block header is 12 bytes");

namespace
{

constexpr uint32_t kHeader = 12;

// The shared empty string: a block and its terminator.
struct EmptyStorage
{
    std::atomic<int32_t> refcount{1};
    uint32_t capacity = 0;
    uint32_t length = 0;
    char text[4] = {};
};

}  // namespace

KilnString::Block* KilnString::EmptyBlock()
{
    static EmptyStorage* storage = new EmptyStorage;  // never freed
    static_assert(offsetof(EmptyStorage, text) == kHeader, "the empty block has the block layout");
    return reinterpret_cast<Block*>(storage);
}

KilnString::Block* KilnString::NewBlock(uint32_t capacity)
{
    void* memory = StringDataAlloc(capacity + kHeader);
    Block* block = static_cast<Block*>(memory);
    new (&block->refcount) std::atomic<int32_t>(1);
    block->capacity = capacity;
    block->length = 0;
    block->Text()[0] = '\0';
    return block;
}

void KilnString::ReleaseBlock(Block* block)
{
    if (!block || block == EmptyBlock())
        return;
    if (block->refcount.fetch_sub(1, std::memory_order_acq_rel) == 1)
        StringDataFree(block, block->capacity + kHeader);
}

KilnString::KilnString() : m_block(EmptyBlock())
{
}

KilnString::KilnString(const char* text)
{
    *this = text;
}

KilnString::KilnString(const KilnString& other) : m_block(other.m_block)
{
    if (m_block && m_block != EmptyBlock())
        m_block->refcount.fetch_add(1, std::memory_order_relaxed);
}

KilnString& KilnString::operator=(const KilnString& other)
{
    if (other.m_block != m_block)
    {
        KilnString copy(other);
        std::swap(m_block, copy.m_block);
    }
    return *this;
}

KilnString& KilnString::operator=(const char* text)
{
    if (!text)
    {
        AssignEmpty();
        return *this;
    }
    const uint32_t length = static_cast<uint32_t>(std::strlen(text));
    Block* block = NewBlock(CapacityFor(length));
    std::memcpy(block->Text(), text, length + 1);
    block->length = length;
    ReleaseBlock(m_block);
    m_block = block;
    return *this;
}

KilnString::~KilnString()
{
    ReleaseBlock(m_block);
}

KilnString KilnString::Empty()
{
    return KilnString();
}

void KilnString::AssignEmpty()
{
    ReleaseBlock(m_block);
    m_block = EmptyBlock();
}

bool KilnString::IsSharedEmpty() const
{
    return m_block == EmptyBlock();
}

void KilnString::Reserve(uint32_t capacity, bool keep)
{
    if (m_block && m_block != EmptyBlock() && m_block->refcount.load() == 1 && m_block->capacity != 0 &&
        capacity <= m_block->capacity)
        return;
    if (!m_block)
    {
        m_block = NewBlock(capacity == 0 ? 4 : capacity);
        return;
    }
    Block* old = m_block;
    Block* block;
    if (keep)
    {
        // Room for the old text and its terminator, also when the old block is the empty one.
        block = NewBlock(std::max({capacity, old->capacity, old->length + 1, 4u}));
        std::memcpy(block->Text(), old->Text(), old->length + 1);
        block->length = old->length;
    }
    else
    {
        block = NewBlock(std::max(capacity, 4u));
    }
    m_block = block;
    ReleaseBlock(old);
}

void KilnString::Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    FormatV(format, args);
    va_end(args);
}

void KilnString::FormatV(const char* format, va_list args)
{
    KilnFormatBuffer formatted(format, args);
    if (formatted.Length() == 0)
    {
        AssignEmpty();
        return;
    }
    Reserve(CapacityFor(formatted.Length()), false);
    std::memcpy(m_block->Text(), formatted.Text(), formatted.Length() + 1);
    m_block->length = formatted.Length();
}

void KilnString::AppendFormat(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    AppendFormatV(format, args);
    va_end(args);
}

void KilnString::AppendFormatV(const char* format, va_list args)
{
    KilnFormatBuffer formatted(format, args);
    const uint32_t n = formatted.Length();
    if (n == 0)
        return;
    const uint32_t oldLength = Length();
    const uint32_t newLength = oldLength + n;
    Reserve(CapacityFor(newLength), true);
    std::memcpy(m_block->Text() + oldLength, formatted.Text(), n);
    m_block->length = newLength;
    m_block->Text()[newLength] = '\0';
}

int32_t KilnString::Find(const char* needle, uint32_t start) const
{
    if (!m_block || m_block == EmptyBlock() || !needle || start > m_block->length)
        return -1;
    const char* text = m_block->Text();
    const char* found = std::strstr(text + start, needle);
    return found ? static_cast<int32_t>(found - text) : -1;
}

void KilnString::Truncate(uint32_t length)
{
    if (!m_block || length >= m_block->length)
        return;
    Reserve(m_block->capacity, true);
    m_block->length = length;
    m_block->Text()[length] = '\0';
}

void KilnString::Insert(uint32_t position, const char* text)
{
    const uint32_t length = Length();
    if (!text || position > length)
        return;
    const uint32_t n = static_cast<uint32_t>(std::strlen(text));
    if (n == 0)
        return;
    Reserve(CapacityFor(length + n), true);
    char* out = m_block->Text();
    std::memmove(out + position + n, out + position, length - position + 1);
    std::memcpy(out + position, text, n);
    m_block->length = length + n;
}

const char* KilnString::Text() const
{
    return m_block ? m_block->Text() : "";
}

uint32_t KilnString::Length() const
{
    return m_block ? m_block->length : 0;
}

uint32_t KilnString::Capacity() const
{
    return m_block ? m_block->capacity : 0;
}

int32_t KilnString::RefCount() const
{
    return m_block ? m_block->refcount.load() : 0;
}

}  // namespace Kiln
