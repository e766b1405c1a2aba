#include "lumo/buffers/LumoDataBufferUtil.h"

#include <algorithm>
#include <memory>
#include <new>

namespace
{
constexpr uint32_t kStackBlock = 4096;
constexpr uint64_t kStackCopyLimit = 8192;
constexpr uint32_t kHeapBlockLimit = 0x20000;
// The kernel copies file data to and from a page-aligned block markedly faster (a heap block that
// starts 16 bytes into a page costs about half as much again in system time).
constexpr uintptr_t kPageSize = 4096;

// Bytes from the position to the end; nothing when the position lies at or beyond the end (file
// buffers allow that).
uint64_t Remainder(const LumoDataBuffer& source)
{
    const uint64_t size = source.GetSize();
    const uint64_t position = source.GetPosition();
    return position >= size ? 0 : size - position;
}
}

namespace LumoUtil
{
LUMORESULT CopyData(LumoDataBuffer& destination, LumoDataBuffer& source, uint64_t count)
{
    if (count == 0)
        return LUMORESULT_OK;

    // Small copies stay on the stack; a large one holds at most one block in memory.
    alignas(64) uint8_t stackBlock[kStackBlock];
    std::unique_ptr<uint8_t[]> heapBlock;
    uint8_t* block = stackBlock;
    uint32_t blockSize = kStackBlock;
    if (count > kStackCopyLimit)
    {
        blockSize = static_cast<uint32_t>(std::min<uint64_t>(count, kHeapBlockLimit));
        heapBlock.reset(new (std::nothrow) uint8_t[blockSize + kPageSize]);
        if (!heapBlock)
            return LUMORESULT_OUT_OF_SPACE;
        const uintptr_t start = reinterpret_cast<uintptr_t>(heapBlock.get());
        block = heapBlock.get() + ((kPageSize - start % kPageSize) % kPageSize);
    }

    while (count > 0)
    {
        const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(count, blockSize));
        LUMORESULT result = source.ReadData(block, chunk);
        if (result != LUMORESULT_OK)
            return result;
        result = destination.WriteData(block, chunk);
        if (result != LUMORESULT_OK)
            return result;
        count -= chunk;
    }
    return LUMORESULT_OK;
}

LUMORESULT CopyRemainingData(LumoDataBuffer& destination, LumoDataBuffer& source)
{
    return CopyData(destination, source, Remainder(source));
}

LUMORESULT ReadAllToString(std::string& out, LumoDataBuffer& source)
{
    const uint64_t remainder = Remainder(source);
    if (remainder > 0xFFFFFFFFu)
    {
        out.clear();
        return LUMORESULT_OUT_OF_SPACE;
    }
    const uint32_t length = static_cast<uint32_t>(remainder);
    try
    {
        out.resize(length);
    }
    catch (const std::bad_alloc&)
    {
        out.clear();
        return LUMORESULT_OUT_OF_SPACE;
    }
    const uint64_t start = source.GetPosition();
    const LUMORESULT result = source.ReadData(out.data(), length);
    if (result != LUMORESULT_OK)
    {
        // Hand back only what arrived, never the unfilled rest of the block.
        const uint64_t position = source.GetPosition();
        const uint64_t got = position > start ? position - start : 0;
        out.resize(static_cast<size_t>(std::min<uint64_t>(got, length)));
    }
    return result;
}

LUMORESULT WriteU32(LumoDataBuffer& destination, uint32_t value)
{
    const uint8_t bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
    return destination.WriteData(bytes, 4);
}

LUMORESULT ReadU32(LumoDataBuffer& source, uint32_t& value)
{
    uint8_t bytes[4] = {};
    const LUMORESULT result = source.ReadData(bytes, 4);
    value = uint32_t(bytes[0]) | (uint32_t(bytes[1]) << 8) | (uint32_t(bytes[2]) << 16) | (uint32_t(bytes[3]) << 24);
    return result;
}
}
