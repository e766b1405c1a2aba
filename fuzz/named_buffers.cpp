// Reads arbitrary bytes as serialised named data buffers. Whatever the reader accepts must write
// back to exactly the bytes it read, and a second read of those bytes must give the same entries.

#include <cstddef>
#include <cstdint>
#include <string>

#include "lumo/net/NamedDataBuffers.h"

namespace
{
void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

std::string Contents(LumoDataBufferMemoryDynamic& buffer)
{
    std::string bytes(buffer.GetSize(), '\0');
    buffer.SetPosition(0);
    buffer.ReadData(bytes.data(), static_cast<uint32_t>(bytes.size()));
    return bytes;
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    LumoDataBufferMemoryStatic source(const_cast<uint8_t*>(data), static_cast<uint32_t>(size));
    NamedDataBuffers buffers;
    if (buffers.Read(source) != LUMORESULT_OK)
        return 0;
    LumoDataBufferMemoryDynamic written;
    Check(buffers.Write(written) == LUMORESULT_OK);
    const std::string bytes = Contents(written);
    Check(bytes == std::string(reinterpret_cast<const char*>(data), source.GetPosition()));

    NamedDataBuffers again;
    written.SetPosition(0);
    Check(again.Read(written) == LUMORESULT_OK);
    Check(again.GetCount() == buffers.GetCount());
    for (uint32_t i = 0; i < buffers.GetCount(); ++i)
    {
        std::string first, second;
        Check(again.GetName(i) == buffers.GetName(i));
        buffers.GetString(buffers.GetName(i), first);
        again.GetString(again.GetName(i), second);
        // Names may repeat in a stream; the first entry of a name is the one both find.
        Check(first == second);
    }
    return 0;
}
