#include "lumo/net/SegmentCrc.h"

#include <immintrin.h>

#include <array>

namespace
{
constexpr uint32_t kPolynomial = 0x04C11DB7;

struct SliceTables
{
    // t[k][b]: the register after byte b followed by k zero bytes.
    uint32_t t[8][256];
};

constexpr SliceTables MakeSliceTables()
{
    SliceTables tables{};
    for (uint32_t b = 0; b < 256; ++b)
    {
        uint32_t crc = b << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ kPolynomial : crc << 1;
        tables.t[0][b] = crc;
    }
    for (int k = 1; k < 8; ++k)
        for (uint32_t b = 0; b < 256; ++b)
        {
            const uint32_t previous = tables.t[k - 1][b];
            tables.t[k][b] = (previous << 8) ^ tables.t[0][previous >> 24];
        }
    return tables;
}

constexpr SliceTables kTables = MakeSliceTables();

inline uint32_t LoadBigEndian32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// x^n mod P, the folding distances.
constexpr uint64_t PowerOfXModP(int n)
{
    uint64_t r = 1;
    for (int i = 0; i < n; ++i)
    {
        r <<= 1;
        if (r & 0x100000000ull)
            r ^= 0x100000000ull | kPolynomial;
    }
    return r;
}

constexpr uint64_t kFold512High = PowerOfXModP(512 + 64);
constexpr uint64_t kFold512Low = PowerOfXModP(512);
constexpr uint64_t kFold128High = PowerOfXModP(128 + 64);
constexpr uint64_t kFold128Low = PowerOfXModP(128);

// The register polynomial is kept in natural bit order (bit i is the coefficient of x^i), so each
// 16-byte block is byte-swapped: its first byte carries the highest powers.
__attribute__((target("pclmul,ssse3"))) inline __m128i LoadBlock(const uint8_t* p)
{
    const __m128i swap = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), swap);
}

// x * x^d + next, reduced to 95 bits: the high half moves by d + 64, the low half by d.
__attribute__((target("pclmul,ssse3"))) inline __m128i Fold(__m128i x, __m128i distance, __m128i next)
{
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, distance, 0x11),
                                       _mm_clmulepi64_si128(x, distance, 0x00)),
                         next);
}
} // namespace

namespace LumoUtil
{

uint32_t UpdateSegmentCrcTable(uint32_t crc, const void* data, size_t length)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    const auto& t = kTables.t;
    while (length >= 8)
    {
        const uint32_t head = crc ^ LoadBigEndian32(p);
        crc = t[7][head >> 24] ^ t[6][(head >> 16) & 0xFF] ^ t[5][(head >> 8) & 0xFF] ^ t[4][head & 0xFF] ^
              t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
        p += 8;
        length -= 8;
    }
    while (length-- > 0)
        crc = (crc << 8) ^ t[0][(crc >> 24) ^ *p++];
    return crc;
}

__attribute__((target("pclmul,ssse3"))) uint32_t UpdateSegmentCrcFolded(uint32_t crc, const void* data,
                                                                         size_t length)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    if (length < 64)
        return UpdateSegmentCrcTable(crc, p, length);

    // The incoming register continues the message: it is added to its first 32 bits.
    __m128i x0 = _mm_xor_si128(LoadBlock(p), _mm_set_epi32(int(crc), 0, 0, 0));
    __m128i x1 = LoadBlock(p + 16);
    __m128i x2 = LoadBlock(p + 32);
    __m128i x3 = LoadBlock(p + 48);
    p += 64;
    length -= 64;

    const __m128i by512 = _mm_set_epi64x(int64_t(kFold512High), int64_t(kFold512Low));
    while (length >= 64)
    {
        x0 = Fold(x0, by512, LoadBlock(p));
        x1 = Fold(x1, by512, LoadBlock(p + 16));
        x2 = Fold(x2, by512, LoadBlock(p + 32));
        x3 = Fold(x3, by512, LoadBlock(p + 48));
        p += 64;
        length -= 64;
    }
    const __m128i by128 = _mm_set_epi64x(int64_t(kFold128High), int64_t(kFold128Low));
    __m128i x = Fold(Fold(Fold(x0, by128, x1), by128, x2), by128, x3);
    while (length >= 16)
    {
        x = Fold(x, by128, LoadBlock(p));
        p += 16;
        length -= 16;
    }

    // x is congruent to the message so far modulo the polynomial, and the register depends only on
    // that residue: the register of x's 16 bytes is the register of the whole message.
    alignas(16) uint8_t residue[16];
    const __m128i swap = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    _mm_store_si128(reinterpret_cast<__m128i*>(residue), _mm_shuffle_epi8(x, swap));
    return UpdateSegmentCrcTable(UpdateSegmentCrcTable(0, residue, sizeof residue), p, length);
}

bool HasCarrylessMultiply()
{
    static const bool has = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
    return has;
}

uint32_t UpdateSegmentCrc(uint32_t crc, const void* data, size_t length)
{
    return HasCarrylessMultiply() ? UpdateSegmentCrcFolded(crc, data, length)
                                  : UpdateSegmentCrcTable(crc, data, length);
}

uint32_t SegmentChecksumOf(const void* data, size_t length)
{
    const uint32_t crc = UpdateSegmentCrc(0, data, length);
    return crc == 0 ? 1 : crc;
}

} // namespace LumoUtil
