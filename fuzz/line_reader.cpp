// Reads lines and tokens from arbitrary bytes (a patch list from a server, for instance) and checks
// that the reader always moves on, never reads outside the data, and returns exactly the bytes of
// the stream without line ends or blanks.
//
// Input: the first byte picks, bit by bit, whether each step reads a token or a line; the rest is
// the stream.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "lumo/buffers/LumoDataBuffer.h"
#include "lumo/buffers/LumoDataBufferReader.h"

namespace
{
bool IsLineEnd(uint8_t byte)
{
    return byte == '\r' || byte == '\n';
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || size > 0xFFFF)
        return 0;
    const uint8_t pattern = data[0];
    const uint8_t* text = data + 1;
    const uint32_t length = static_cast<uint32_t>(size - 1);

    // A private copy: the static buffer takes writable memory.
    std::string bytes(reinterpret_cast<const char*>(text), length);
    LumoDataBufferMemoryStatic buffer(bytes.data(), length);
    LumoDataBufferReader reader(buffer);

    std::string item;
    for (unsigned step = 0; reader.firstError == LUMORESULT_OK; ++step)
    {
        Check(step <= 2 * length + 2);
        const uint64_t before = buffer.GetPosition();
        const bool token = ((pattern >> (step % 8)) & 1) != 0;
        if (token)
            reader.ReadToken(item);
        else
            reader.ReadLine(item);
        const uint64_t after = buffer.GetPosition();

        Check(after <= length);
        Check(before + item.size() <= after);
        Check(std::memcmp(item.data(), text + before, item.size()) == 0);
        for (char c : item)
        {
            Check(!IsLineEnd(static_cast<uint8_t>(c)));
            Check(!token || (c != ' ' && c != '\t'));
        }
        if (reader.firstError != LUMORESULT_OK)
        {
            Check(reader.firstError == LUMORESULT_END_OF_DATA);
            Check(after == length);
            break;
        }
        if (after == before)
        {
            // Only a token stops in front of a line end; a line always moves on.
            Check(token && after < length && IsLineEnd(text[after]));
            reader.ReadLine(item);
            Check(item.empty());
            Check(buffer.GetPosition() > after);
        }
    }
    return 0;
}
