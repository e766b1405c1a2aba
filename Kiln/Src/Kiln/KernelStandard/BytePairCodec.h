#pragma once
// The kernel's block compressor: byte-pair encoding over blocks of at most 2,048 bytes that hold
// fewer than 210 distinct byte values, so that unused byte values remain to stand for pairs.
//
// Packed block, as CompressBlockBPE writes it and ExpandBlockBPE reads it:
//   1. Pair table, in runs until 256 codes are covered (code counter c from 0). Each run starts
//      with a count byte n:
//        n >= 128: the next n - 127 codes (1..127) stand for themselves; c += n - 127.
//        n <  128: n + 1 entries for codes c, c + 1, ...: the left byte, then the right byte
//                  only when the left byte differs from the code (an entry whose left byte is
//                  its own code is a literal written inline).
//   2. Block size: u16 big-endian, the number of packed bytes.
//   3. The packed bytes. A code whose left entry is itself stands for itself; any other code
//      stands for its left entry followed by its right entry, each expanded again.
// A chunk is packed as a sequence of such blocks.

#include <cstdint>

namespace Kiln
{

// Packs `length` bytes of src into dst (room for `length` bytes). When the packed form would
// not be shorter than the input, the input is copied to dst as it is and `length` is returned:
// a result equal to `length` means "stored raw".
uint32_t CompressBlockBPE(uint8_t* dst, const uint8_t* src, uint32_t length);

constexpr uint32_t kExpandFailed = 0xFFFFFFFF;
constexpr uint32_t kBpeStackDepth = 512;

// Expands the packed blocks in src[0, length) into dst, which has room for `capacity` bytes.
// Returns the bytes written, or kExpandFailed when the input is damaged: a table or block that
// runs past the input, a table run past code 255, an expansion deeper than 512 codes, or output
// beyond `capacity`.
uint32_t ExpandBlockBPE(uint8_t* dst, const uint8_t* src, uint32_t length, uint32_t capacity);

}  // namespace Kiln
