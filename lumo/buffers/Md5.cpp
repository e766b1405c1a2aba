// MD5 as RFC 1321 defines it. The compression function is written for a short dependency chain:
// in each step the terms that do not depend on the newest chaining word are added first, so only
// one or two logic operations, the rotate and one add wait for the previous step.
#include "lumo/buffers/Md5.h"

#include <bit>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <memory>
#include <unistd.h>

namespace
{
inline uint32_t LoadLittleEndian32(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline void StoreLittleEndian32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

void ReportMisuse(const char* text)
{
    std::cerr << text << std::endl;
}

// F(b,c,d) = (b & c) | (~b & d), written as d ^ (b & (c ^ d)).
#define STEP_F(a, b, c, d, x, s, k)                                                                \
    a += (x) + uint32_t(k);                                                                        \
    a += (d) ^ ((b) & ((c) ^ (d)));                                                                \
    a = std::rotl(a, s) + (b)

// G(b,c,d) = (b & d) | (c & ~d): the two halves share no bits, so they are added separately and
// the half without b is ready before b is.
#define STEP_G(a, b, c, d, x, s, k)                                                                \
    a += (x) + uint32_t(k);                                                                        \
    a += (c) & ~(d);                                                                               \
    a += (b) & (d);                                                                                \
    a = std::rotl(a, s) + (b)

#define STEP_H(a, b, c, d, x, s, k)                                                                \
    a += (x) + uint32_t(k);                                                                        \
    a += (b) ^ ((c) ^ (d));                                                                        \
    a = std::rotl(a, s) + (b)

#define STEP_I(a, b, c, d, x, s, k)                                                                \
    a += (x) + uint32_t(k);                                                                        \
    a += (c) ^ ((b) | ~(d));                                                                       \
    a = std::rotl(a, s) + (b)
} // namespace

void MD5::transform_blocks(uint32_t chain[4], const uint8_t* blocks, size_t blockCount)
{
    uint32_t a = chain[0], b = chain[1], c = chain[2], d = chain[3];
    for (; blockCount != 0; --blockCount, blocks += 64)
    {
        const uint32_t x0 = LoadLittleEndian32(blocks + 0), x1 = LoadLittleEndian32(blocks + 4);
        const uint32_t x2 = LoadLittleEndian32(blocks + 8), x3 = LoadLittleEndian32(blocks + 12);
        const uint32_t x4 = LoadLittleEndian32(blocks + 16), x5 = LoadLittleEndian32(blocks + 20);
        const uint32_t x6 = LoadLittleEndian32(blocks + 24), x7 = LoadLittleEndian32(blocks + 28);
        const uint32_t x8 = LoadLittleEndian32(blocks + 32), x9 = LoadLittleEndian32(blocks + 36);
        const uint32_t x10 = LoadLittleEndian32(blocks + 40), x11 = LoadLittleEndian32(blocks + 44);
        const uint32_t x12 = LoadLittleEndian32(blocks + 48), x13 = LoadLittleEndian32(blocks + 52);
        const uint32_t x14 = LoadLittleEndian32(blocks + 56), x15 = LoadLittleEndian32(blocks + 60);
        const uint32_t a0 = a, b0 = b, c0 = c, d0 = d;

        STEP_F(a, b, c, d, x0 ,  7, 0xd76aa478);
        STEP_F(d, a, b, c, x1 , 12, 0xe8c7b756);
        STEP_F(c, d, a, b, x2 , 17, 0x242070db);
        STEP_F(b, c, d, a, x3 , 22, 0xc1bdceee);
        STEP_F(a, b, c, d, x4 ,  7, 0xf57c0faf);
        STEP_F(d, a, b, c, x5 , 12, 0x4787c62a);
        STEP_F(c, d, a, b, x6 , 17, 0xa8304613);
        STEP_F(b, c, d, a, x7 , 22, 0xfd469501);
        STEP_F(a, b, c, d, x8 ,  7, 0x698098d8);
        STEP_F(d, a, b, c, x9 , 12, 0x8b44f7af);
        STEP_F(c, d, a, b, x10, 17, 0xffff5bb1);
        STEP_F(b, c, d, a, x11, 22, 0x895cd7be);
        STEP_F(a, b, c, d, x12,  7, 0x6b901122);
        STEP_F(d, a, b, c, x13, 12, 0xfd987193);
        STEP_F(c, d, a, b, x14, 17, 0xa679438e);
        STEP_F(b, c, d, a, x15, 22, 0x49b40821);

        STEP_G(a, b, c, d, x1 ,  5, 0xf61e2562);
        STEP_G(d, a, b, c, x6 ,  9, 0xc040b340);
        STEP_G(c, d, a, b, x11, 14, 0x265e5a51);
        STEP_G(b, c, d, a, x0 , 20, 0xe9b6c7aa);
        STEP_G(a, b, c, d, x5 ,  5, 0xd62f105d);
        STEP_G(d, a, b, c, x10,  9, 0x02441453);
        STEP_G(c, d, a, b, x15, 14, 0xd8a1e681);
        STEP_G(b, c, d, a, x4 , 20, 0xe7d3fbc8);
        STEP_G(a, b, c, d, x9 ,  5, 0x21e1cde6);
        STEP_G(d, a, b, c, x14,  9, 0xc33707d6);
        STEP_G(c, d, a, b, x3 , 14, 0xf4d50d87);
        STEP_G(b, c, d, a, x8 , 20, 0x455a14ed);
        STEP_G(a, b, c, d, x13,  5, 0xa9e3e905);
        STEP_G(d, a, b, c, x2 ,  9, 0xfcefa3f8);
        STEP_G(c, d, a, b, x7 , 14, 0x676f02d9);
        STEP_G(b, c, d, a, x12, 20, 0x8d2a4c8a);

        STEP_H(a, b, c, d, x5 ,  4, 0xfffa3942);
        STEP_H(d, a, b, c, x8 , 11, 0x8771f681);
        STEP_H(c, d, a, b, x11, 16, 0x6d9d6122);
        STEP_H(b, c, d, a, x14, 23, 0xfde5380c);
        STEP_H(a, b, c, d, x1 ,  4, 0xa4beea44);
        STEP_H(d, a, b, c, x4 , 11, 0x4bdecfa9);
        STEP_H(c, d, a, b, x7 , 16, 0xf6bb4b60);
        STEP_H(b, c, d, a, x10, 23, 0xbebfbc70);
        STEP_H(a, b, c, d, x13,  4, 0x289b7ec6);
        STEP_H(d, a, b, c, x0 , 11, 0xeaa127fa);
        STEP_H(c, d, a, b, x3 , 16, 0xd4ef3085);
        STEP_H(b, c, d, a, x6 , 23, 0x04881d05);
        STEP_H(a, b, c, d, x9 ,  4, 0xd9d4d039);
        STEP_H(d, a, b, c, x12, 11, 0xe6db99e5);
        STEP_H(c, d, a, b, x15, 16, 0x1fa27cf8);
        STEP_H(b, c, d, a, x2 , 23, 0xc4ac5665);

        STEP_I(a, b, c, d, x0 ,  6, 0xf4292244);
        STEP_I(d, a, b, c, x7 , 10, 0x432aff97);
        STEP_I(c, d, a, b, x14, 15, 0xab9423a7);
        STEP_I(b, c, d, a, x5 , 21, 0xfc93a039);
        STEP_I(a, b, c, d, x12,  6, 0x655b59c3);
        STEP_I(d, a, b, c, x3 , 10, 0x8f0ccc92);
        STEP_I(c, d, a, b, x10, 15, 0xffeff47d);
        STEP_I(b, c, d, a, x1 , 21, 0x85845dd1);
        STEP_I(a, b, c, d, x8 ,  6, 0x6fa87e4f);
        STEP_I(d, a, b, c, x15, 10, 0xfe2ce6e0);
        STEP_I(c, d, a, b, x6 , 15, 0xa3014314);
        STEP_I(b, c, d, a, x13, 21, 0x4e0811a1);
        STEP_I(a, b, c, d, x4 ,  6, 0xf7537e82);
        STEP_I(d, a, b, c, x11, 10, 0xbd3af235);
        STEP_I(c, d, a, b, x2 , 15, 0x2ad7d2bb);
        STEP_I(b, c, d, a, x9 , 21, 0xeb86d391);

        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    chain[0] = a;
    chain[1] = b;
    chain[2] = c;
    chain[3] = d;
}

MD5::MD5()
{
    init();
}

MD5::MD5(FILE* file)
{
    init();
    update(file);
    finalize();
}

void MD5::init()
{
    finalized = false;
    m_readFailed = false;
    count[0] = 0;
    count[1] = 0;
    state[0] = 0x67452301;
    state[1] = 0xefcdab89;
    state[2] = 0x98badcfe;
    state[3] = 0x10325476;
    std::memset(buffer, 0, sizeof buffer);
    std::memset(digest, 0, sizeof digest);
}

void MD5::transform(const uint8_t block[64])
{
    transform_blocks(state, block, 1);
}

void MD5::update(const uint8_t* input, uint32_t length)
{
    if (finalized)
    {
        ReportMisuse("MD5::update:  Can't update a finalized digest!");
        return;
    }
    if (length == 0)
        return;

    uint32_t index = (count[0] >> 3) & 0x3F;
    const uint32_t addedBitsLow = length << 3;
    count[0] += addedBitsLow;
    if (count[0] < addedBitsLow)
        ++count[1];
    count[1] += length >> 29;

    uint32_t done = 0;
    if (index != 0)
    {
        const uint32_t room = 64 - index;
        if (length < room)
        {
            std::memcpy(buffer + index, input, length);
            return;
        }
        std::memcpy(buffer + index, input, room);
        transform(buffer);
        done = room;
    }
    const uint32_t wholeBlocks = (length - done) / 64;
    transform_blocks(state, input + done, wholeBlocks);
    done += wholeBlocks * 64;
    std::memcpy(buffer, input + done, length - done);
}

void MD5::update(FILE* file)
{
    if (file == nullptr)
    {
        m_readFailed = true;
        return;
    }
    uint8_t piece[1024];
    size_t got;
    while ((got = std::fread(piece, 1, sizeof piece, file)) != 0)
        update(piece, uint32_t(got));
    if (std::ferror(file))
        m_readFailed = true;
    std::fclose(file);
}

void MD5::finalize()
{
    if (finalized)
    {
        ReportMisuse("MD5::finalize:  Already finalized this digest!");
        return;
    }
    uint8_t bits[8];
    StoreLittleEndian32(bits, count[0]);
    StoreLittleEndian32(bits + 4, count[1]);

    // Pad with 0x80 and zeros to 56 bytes mod 64, then the message length in bits.
    static const uint8_t padding[64] = {0x80};
    const uint32_t index = (count[0] >> 3) & 0x3F;
    const uint32_t padLength = index < 56 ? 56 - index : 120 - index;
    update(padding, padLength);
    update(bits, 8);

    for (int i = 0; i < 4; ++i)
        StoreLittleEndian32(digest + 4 * i, state[i]);
    std::memset(buffer, 0, sizeof buffer);
    finalized = true;
}

char* MD5::hex_digest()
{
    char* text = new char[33];
    text[0] = 0;
    if (!finalized)
    {
        ReportMisuse("MD5::hex_digest:  Can't get digest if you haven't finalized the digest!");
        return text;
    }
    if (m_readFailed)
        return text;
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i)
    {
        text[2 * i] = digits[digest[i] >> 4];
        text[2 * i + 1] = digits[digest[i] & 0x0F];
    }
    text[32] = 0;
    return text;
}

int ComputeFileMD5Hex(const std::string& nativePath, std::string& hexDigest)
{
    hexDigest.clear();
    const int fd = ::open(nativePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int error = ComputeDescriptorMD5Hex(fd, hexDigest);
    ::close(fd);
    return error;
}

int ComputeDescriptorMD5Hex(int fd, std::string& hexDigest, const std::function<bool()>& keepGoing)
{
    hexDigest.clear();
    // Large reads keep the system-call count low; the block still fits the second-level cache, so
    // the hash reads what the copy has just written.
    std::unique_ptr<uint8_t[]> block(new uint8_t[kMD5BlockSize]);
    MD5 md5;
    for (size_t blocks = 0;; ++blocks)
    {
        if (keepGoing && blocks > 0 && blocks % kMD5BlocksPerCheck == 0 && !keepGoing())
            return ECANCELED;
        ssize_t got;
        while ((got = ::read(fd, block.get(), kMD5BlockSize)) < 0 && errno == EINTR)
        {
        }
        if (got < 0)
            return errno;
        if (got == 0)
            break;
        md5.update(block.get(), uint32_t(got));
    }
    md5.finalize();
    std::unique_ptr<char[]> text(md5.hex_digest());
    hexDigest = text.get();
    return 0;
}
