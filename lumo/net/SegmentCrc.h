#pragma once
// The CRC-32 of repair segments: polynomial 0x04C11DB7 taken most significant bit first, initial
// register 0, no reflection and no final complement. It is the register of the POSIX cksum
// algorithm before cksum appends the length and complements. The repair server computes the same
// value, so it cannot be exchanged for another CRC. zlib's crc32 is a different (reflected) CRC.
//
// Check values of the register: "123456789" -> 0x89A1897F, "abc" -> 0x2C17398C.
//
// Known weakness kept for the server's sake: with an initial value of 0 leading zero bytes do not
// change the register, so an all-zero segment of any length has the same checksum as an empty one.
//
// Two implementations with identical results: slice-by-8 tables everywhere, and folding with
// carry-less multiplication where the processor has it (chosen once at run time).

#include <cstddef>
#include <cstdint>

namespace LumoUtil
{

// Continues the register crc over length bytes.
uint32_t UpdateSegmentCrc(uint32_t crc, const void* data, size_t length);

// The two implementations, for tests and benchmarks.
uint32_t UpdateSegmentCrcTable(uint32_t crc, const void* data, size_t length);
// Only valid where HasCarrylessMultiply() is true.
uint32_t UpdateSegmentCrcFolded(uint32_t crc, const void* data, size_t length);
bool HasCarrylessMultiply();

// The checksum a segment is stored under: the register from 0 over its bytes, with 0 given as 1,
// since 0 marks a segment that could not be read.
uint32_t SegmentChecksumOf(const void* data, size_t length);

} // namespace LumoUtil
