#pragma once
// The chunked zlib container: a long byte stream stored or sent as independently compressed
// chunks, so that neither side ever holds more than one chunk. Patch packages and the repair
// server's segment records use it.
//
// Byte format (every integer unsigned 32-bit little-endian):
//
//   offset  size  field
//   0       4     chunk count
//   then per chunk:
//           4     packed length: bytes of the zlib stream that follows
//           4     raw length: bytes of the chunk before compression
//           n     a complete zlib stream (header, deflate data, Adler-32 trailer) at the default
//                 level, packed length bytes long
//
// Every chunk but the last holds exactly kContainerChunkSize raw bytes; the last holds the rest.
// An empty stream is the count 0 alone. There is no magic, version or overall checksum; each
// zlib stream checks itself.

#include <cstdint>

#include "lumo/buffers/LumoDataBuffer.h"
#include "lumo/buffers/LumoResult.h"

namespace LumoUtil
{
// Raw bytes per chunk; also the largest raw length a reader accepts.
constexpr uint32_t kContainerChunkSize = 0x10000000;
// The largest packed length a reader accepts: zlib's compressBound of a full chunk.
constexpr uint32_t kContainerMaxPackedLength =
    kContainerChunkSize + (kContainerChunkSize >> 12) + (kContainerChunkSize >> 14) + (kContainerChunkSize >> 25) + 13;
// DecompressData's default: no limit beyond the per-chunk ones.
constexpr uint64_t kNoOutputLimit = UINT64_MAX;

// Compresses the source from its position to its end and writes one container at the destination's
// position; the destination ends positioned at its end. The destination must be seekable: the count
// is written last, over a placeholder. Large chunks are compressed on several threads; the bytes
// are still one zlib stream per chunk.
//
// Returns the first failure: the source read's code, the first failing write or seek of the
// destination, or LUMORESULT_OUT_OF_SPACE when memory is short or zlib fails. After a failure the
// count names the chunks written so far, the last of them possibly incomplete.
//
// chunkSize (1 to kContainerChunkSize, else LUMORESULT_INVALID_ARGUMENT) exists for tests of
// multi-chunk containers; stored and sent containers use the default.
LUMORESULT CompressData(LumoDataBuffer& destination, LumoDataBuffer& source,
                        uint32_t chunkSize = kContainerChunkSize);

// Reads one container at the source's position and writes the raw bytes at the destination's
// position. Lengths read from the source are checked before anything is allocated: a raw length
// over kContainerChunkSize, a packed length over kContainerMaxPackedLength, or a total output over
// maxOutput gives LUMORESULT_OUT_OF_SPACE. Other results: the failing read's code (a container cut
// anywhere, header included), LUMORESULT_OUT_OF_SPACE for a corrupt stream, a raw length too small
// or memory that cannot be had, LUMORESULT_END_OF_DATA for a chunk shorter than its raw length, or
// the failing write's code. Chunks decoded before a failure stay written; nothing of the failing
// chunk does.
LUMORESULT DecompressData(LumoDataBuffer& destination, LumoDataBuffer& source,
                          uint64_t maxOutput = kNoOutputLimit);
}
