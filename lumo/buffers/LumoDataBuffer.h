#pragma once
// The stream family: a seekable byte stream with a 64-bit size and position, read and written in
// blocks of up to 4 GiB - 1, reporting every outcome as a LUMORESULT. Code written against
// LumoDataBuffer works over files, memory and TCP connections alike.
//
// A read or write starts at the position and advances it by the bytes actually transferred, also
// when it returns a failure code.

#include <boost/noncopyable.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "lumo/buffers/LumoResult.h"

class LumoDataBuffer : private boost::noncopyable
{
public:
    // Members are deleted through the base.
    virtual ~LumoDataBuffer();

    virtual uint64_t GetSize() const = 0;
    virtual LUMORESULT SetSize(uint64_t size) = 0;
    virtual uint64_t GetPosition() const = 0;
    virtual LUMORESULT SetPosition(uint64_t position) = 0;
    virtual LUMORESULT WriteData(const void* data, uint32_t length) = 0;
    virtual LUMORESULT ReadData(void* data, uint32_t length) = 0;
    // Pushes buffered writes towards their destination; the base has nothing to push.
    virtual void Flush();
};

// A growable byte array owned by the buffer. Size and position are 32-bit inside: anything that
// would take the size past 0xFFFFFFFF is refused with LUMORESULT_OUT_OF_SPACE, as is an allocation
// failure; the buffer is then unchanged.
class LumoDataBufferMemoryDynamic : public LumoDataBuffer
{
public:
    LumoDataBufferMemoryDynamic();
    ~LumoDataBufferMemoryDynamic() override;

    uint64_t GetSize() const override;
    LUMORESULT SetSize(uint64_t size) override;
    uint64_t GetPosition() const override;
    LUMORESULT SetPosition(uint64_t position) override;
    LUMORESULT WriteData(const void* data, uint32_t length) override;
    LUMORESULT ReadData(void* data, uint32_t length) override;

    // Drops the first min(count, size) bytes; the position moves back by as many (not below 0).
    void DiscardFront(uint64_t count);

private:
    std::vector<uint8_t> m_data;
    uint32_t m_position = 0;
};

// A fixed block of memory that never changes its size. Made by a constructor it reads and writes
// the caller's memory, which must outlive it; made by a factory it owns a block allocated with
// new uint8_t[] and frees it with delete[].
class LumoDataBufferMemoryStatic : public LumoDataBuffer
{
public:
    // Flag 1; the flag is kept for callers that mark how the buffer was made and is read by no
    // operation here.
    LumoDataBufferMemoryStatic(void* data, uint32_t size);
    LumoDataBufferMemoryStatic(void* data, uint32_t size, uint8_t flag);
    ~LumoDataBufferMemoryStatic() override;

    // Each factory returns a new owning buffer at position 0 with flag 0; the caller deletes it.
    // A copy of length bytes; null when the memory cannot be had.
    static LumoDataBufferMemoryStatic* CreateCopy(const void* data, uint32_t length);
    // Takes over data, which the caller allocated with new uint8_t[length] (freed here also when
    // the buffer cannot be made and null is returned).
    static LumoDataBufferMemoryStatic* CreateOwning(void* data, uint32_t length);
    // The source's bytes from its position to its end, read with its ReadData. Null when that read
    // fails, when more than 0xFFFFFFFF bytes remain, or when the memory cannot be had; a source at
    // (or beyond) its end gives an empty buffer.
    static LumoDataBufferMemoryStatic* CreateFromRemainder(LumoDataBuffer& source);
    // A copy of the string's bytes, without a terminator; null as for CreateCopy.
    static LumoDataBufferMemoryStatic* CreateFromString(std::string text);

    uint64_t GetSize() const override;
    // Always LUMORESULT_NOT_ALLOWED: the block is fixed.
    LUMORESULT SetSize(uint64_t size) override;
    uint64_t GetPosition() const override;
    LUMORESULT SetPosition(uint64_t position) override;
    // Stores what fits; LUMORESULT_OUT_OF_SPACE when not all of it did.
    LUMORESULT WriteData(const void* data, uint32_t length) override;
    LUMORESULT ReadData(void* data, uint32_t length) override;

    uint8_t GetFlag() const { return m_flag; }

private:
    uint8_t* m_data;
    uint32_t m_position = 0;
    uint32_t m_size;
    uint8_t m_flag;
    bool m_ownsData = false;
};
