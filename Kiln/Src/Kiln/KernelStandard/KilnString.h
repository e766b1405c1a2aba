#pragma once
// The kernel's string value: a handle to a reference-counted block {i32 refcount, u32 capacity,
// u32 length, text} in string-data memory (StringData.h), capacity + 12 bytes. The text always
// ends in a zero byte within the capacity. A change never writes into a block another holder
// can see: the block is copied first unless its count is 1. The shared empty string is one
// static block whose count never changes.
//
// One value is changed by one thread at a time; the count itself is atomic.

#include <cstdarg>
#include <cstdint>

namespace Kiln
{

class KilnString
{
public:
    KilnString();  // the empty string
    KilnString(const char* text);
    KilnString(const KilnString& other);
    KilnString& operator=(const KilnString& other);
    KilnString& operator=(const char* text);
    ~KilnString();

    static KilnString Empty();
    void AssignEmpty();
    bool IsSharedEmpty() const;

    // Makes the block unique with room for `capacity` bytes; `keep` keeps the text.
    void Reserve(uint32_t capacity, bool keep);
    // Replaces the text with the formatted one.
    void Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void FormatV(const char* format, va_list args) __attribute__((format(printf, 2, 0)));
    // Appends the formatted text when it is not empty.
    void AppendFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void AppendFormatV(const char* format, va_list args) __attribute__((format(printf, 2, 0)));
    // Offset of the first `needle` at or after `start`, or -1.
    int32_t Find(const char* needle, uint32_t start = 0) const;
    void Truncate(uint32_t length);
    void Insert(uint32_t position, const char* text);

    const char* Text() const;
    uint32_t Length() const;
    uint32_t Capacity() const;
    int32_t RefCount() const;

    // The capacity asked for a text of `length` bytes: (length + 17) rounded down to 16.
    static uint32_t CapacityFor(uint32_t length) { return (length + 17) & ~15u; }

private:
    struct Block;
    static Block* EmptyBlock();
    static Block* NewBlock(uint32_t capacity);
    static void ReleaseBlock(Block* block);
    char* MutableText();

    Block* m_block = nullptr;
};

}  // namespace Kiln
