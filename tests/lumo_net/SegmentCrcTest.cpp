// The segment CRC against the definition (bit by bit, in the test) and against cksum's register.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "lumo/net/SegmentCrc.h"
#include "tests/fixtures/PatternBytes.h"

namespace
{

// The definition, one bit at a time: the reference the fast forms must agree with.
uint32_t BitwiseCrc(uint32_t crc, const uint8_t* p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
    {
        crc ^= uint32_t(p[i]) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

TEST(SegmentCrc, CheckValues)
{
    struct Case { std::string text; uint32_t checksum; };
    const Case cases[] = {
        {"123456789", 0x89A1897F},
        {"abc", 0x2C17398C},
        {"", 1},                         // 0 is stored as 1
        {std::string(1000, '\0'), 1},    // leading zeros leave the register at 0
    };
    for (const Case& c : cases)
        EXPECT_EQ(LumoUtil::SegmentChecksumOf(c.text.data(), c.text.size()), c.checksum) << c.text.size();
}

TEST(SegmentCrc, TableAndFoldingAgreeWithTheDefinition)
{
    // Lengths around every block boundary of both forms, odd starting alignments, non-zero
    // incoming registers, and one whole segment.
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; ++n)
        lengths.push_back(n);
    lengths.push_back(4u << 20);
    const std::string bytes = fixtures::PatternBytes((4u << 20) + 8, 7);
    for (size_t n : lengths)
        for (size_t offset : {size_t(0), size_t(3)})
        {
            const auto* p = reinterpret_cast<const uint8_t*>(bytes.data()) + offset;
            const uint32_t start = n % 2 ? 0xDEADBEEF : 0;
            const uint32_t expected = BitwiseCrc(start, p, n);
            EXPECT_EQ(LumoUtil::UpdateSegmentCrcTable(start, p, n), expected) << n;
            if (LumoUtil::HasCarrylessMultiply())
            {
                EXPECT_EQ(LumoUtil::UpdateSegmentCrcFolded(start, p, n), expected) << n;
            }
            EXPECT_EQ(LumoUtil::UpdateSegmentCrc(start, p, n), expected) << n;
        }
}

TEST(SegmentCrc, IsTheRegisterOfCksum)
{
    // cksum appends the length (least significant byte first, no zero bytes) and complements:
    // "123456789" gives 930766865.
    const std::string text = "123456789";
    uint32_t crc = LumoUtil::UpdateSegmentCrc(0, text.data(), text.size());
    const uint8_t length = uint8_t(text.size());
    crc = LumoUtil::UpdateSegmentCrc(crc, &length, 1);
    EXPECT_EQ(~crc, 930766865u);
}

} // namespace
