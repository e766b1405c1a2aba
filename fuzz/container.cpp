// Reads arbitrary bytes as a chunked zlib container (a patch package or a repair record from a
// server) into a capped sink, and checks that the reader never writes past the cap nor claims
// success for output it did not produce. The same bytes, taken as raw data, must survive a
// compress and decompress round trip unchanged.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "lumo/buffers/Compression.h"
#include "lumo/buffers/LumoDataBuffer.h"

namespace
{
constexpr uint64_t kOutputCap = 1 << 20;

}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return SilenceStandardOutput();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 0xFFFFF)
        return 0;
    std::string bytes(reinterpret_cast<const char*>(data), size);

    {
        LumoDataBufferMemoryStatic source(bytes.data(), uint32_t(size));
        LumoDataBufferMemoryDynamic sink;
        const LUMORESULT result = LumoUtil::DecompressData(sink, source, kOutputCap);
        Check(sink.GetSize() <= kOutputCap);
        Check(source.GetPosition() <= size);
        // Success needs at least the count and, for output, a chunk header and a stream.
        if (result == LUMORESULT_OK)
            Check(size >= 4 && (sink.GetSize() == 0 || size >= 4 + 8 + 8));
    }

    // Round trip, with chunks down to one byte to exercise chunk boundaries, but never more than
    // 64 of them (each chunk resets a whole deflate state).
    const uint32_t chunkSize = std::max<uint32_t>(size == 0 ? 1 : 1 + data[0] * 97, uint32_t(size / 64 + 1));
    LumoDataBufferMemoryStatic raw(bytes.data(), uint32_t(size));
    LumoDataBufferMemoryDynamic container;
    Check(LumoUtil::CompressData(container, raw, chunkSize) == LUMORESULT_OK);
    Check(container.SetPosition(0) == LUMORESULT_OK);
    LumoDataBufferMemoryDynamic back;
    Check(LumoUtil::DecompressData(back, container) == LUMORESULT_OK);
    Check(container.GetPosition() == container.GetSize());
    std::string restored(size_t(back.GetSize()), '\0');
    Check(back.SetPosition(0) == LUMORESULT_OK);
    Check(back.ReadData(restored.data(), uint32_t(restored.size())) == LUMORESULT_OK);
    Check(restored == bytes);
    return 0;
}
