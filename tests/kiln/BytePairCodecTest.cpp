#include "Kiln/Src/Kiln/KernelStandard/BytePairCodec.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace
{

using Bytes = std::vector<uint8_t>;

Bytes Pack(const Bytes& input)
{
    Bytes out(input.size());
    const uint32_t n = Kiln::CompressBlockBPE(out.data(), input.data(), static_cast<uint32_t>(input.size()));
    out.resize(n);
    return out;
}

Bytes Generate(const std::string& kind, size_t length, std::mt19937& random)
{
    Bytes data(length);
    static const char* words[] = {"texture", "model", "/bin/", "Sollex", "0x00", "error", " ", "\r\n", "route"};
    for (size_t i = 0; i < length; ++i)
    {
        if (kind == "uniform")
            data[i] = static_cast<uint8_t>(random());
        else if (kind == "skewed")
            data[i] = static_cast<uint8_t>(std::min<uint32_t>(random() % 8, random() % 300));
        else if (kind == "runs")
            data[i] = i > 0 && random() % 16 != 0 ? data[i - 1] : static_cast<uint8_t>(random());
        else if (kind == "every byte")
            data[i] = static_cast<uint8_t>(i * 7);
        else if (kind == "few")
            data[i] = static_cast<uint8_t>("ab"[random() % 2]);
    }
    if (kind == "text")
    {
        std::string text;
        while (text.size() < length)
            text += words[random() % 9];
        data.assign(text.begin(), text.begin() + static_cast<long>(length));
    }
    return data;
}

TEST(BytePairCodec, RoundTripsEveryKindOfInput)
{
    std::mt19937 random(20261206);
    const char* kinds[] = {"uniform", "skewed", "text", "runs", "every byte", "few"};
    const size_t lengths[] = {0, 1, 2, 3, 4, 5, 209, 210, 211, 2047, 2048, 2049, 4096, 16384, 20000, 50000};
    for (const char* kind : kinds)
    {
        for (size_t length : lengths)
        {
            const Bytes input = Generate(kind, length, random);
            const Bytes packed = Pack(input);
            if (packed.size() == input.size())
            {
                EXPECT_EQ(packed, input) << kind << " " << length << ": a raw result is the input";
                continue;
            }
            EXPECT_LT(packed.size(), input.size());
            Bytes out(input.size());
            const uint32_t n = Kiln::ExpandBlockBPE(out.data(), packed.data(), static_cast<uint32_t>(packed.size()),
                                                    static_cast<uint32_t>(out.size()));
            ASSERT_EQ(n, input.size()) << kind << " " << length;
            EXPECT_EQ(out, input) << kind << " " << length;
        }
    }
}

TEST(BytePairCodec, GoldenBlocks)
{
    // 32 copies of "a": a = 254 pairs, then 253, 252, 251 each pair the code before.
    const Bytes packed = Pack(Bytes(32, 'a'));
    const Bytes expected = {0xFE, 0xFB, 0x03, 0xFC, 0xFC, 0xFD, 0xFD, 0xFE, 0xFE, 0x61, 0x61, 0x80, 0x00, 0x02, 0xFB, 0xFB};
    EXPECT_EQ(packed, expected);

    // A block of 210 distinct values ends at the 210th, before 2,048 bytes: all codes literal
    // (runs of 127, 127, 2), then the size 210.
    Bytes input;
    for (int i = 0; i < 210; ++i)
        input.push_back(static_cast<uint8_t>(i));
    input.insert(input.end(), 1000, 'a');
    const Bytes first = Pack(input);
    ASSERT_GE(first.size(), 5u);
    EXPECT_EQ(Bytes(first.begin(), first.begin() + 5), (Bytes{0xFE, 0xFE, 0x81, 0x00, 0xD2}));
}

// Packed files written by earlier versions are compared and patched byte for byte, so the packer
// must keep choosing the same pairs: every packed byte of this corpus hashes to what the packer
// gave before its occurrence lists (FNV-1a over all outputs in order).
TEST(BytePairCodec, PacksTheCorpusAsItAlwaysHas)
{
    const char* kinds[] = {"uniform", "skewed", "text", "runs", "every byte", "few"};
    const size_t lengths[] = {3, 211, 2047, 2048, 2049, 5000, 16384};
    uint64_t hash = 0xCBF29CE484222325ull;
    size_t packedBytes = 0;
    for (unsigned seed = 1; seed <= 4; ++seed)
    {
        std::mt19937 random(seed);
        for (const char* kind : kinds)
            for (size_t length : lengths)
                for (uint8_t byte : Pack(Generate(kind, length, random)))
                {
                    hash = (hash ^ byte) * 0x100000001B3ull;
                    ++packedBytes;
                }
    }
    EXPECT_EQ(packedBytes, 390387u);
    EXPECT_EQ(hash, 13864261532649547176ull);
}

TEST(BytePairCodec, DamagedBlocksAreRefused)
{
    const Bytes good = {0xFE, 0xFE, 0x00, 0x61, 0x61, 0x80, 0x00, 0x02, 0xFE, 0xFE};  // "aaaa"
    uint8_t out[16384];
    ASSERT_EQ(Kiln::ExpandBlockBPE(out, good.data(), static_cast<uint32_t>(good.size()), sizeof out), 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 4), "aaaa");

    Bytes cycle = {0xFE, 0xFD, 0x01, 0xFE, 0x00, 0xFD, 0x00, 0x80, 0x00, 0x01, 0xFD};  // 253 -> 254 -> 253 ...
    Bytes tooManyCodes = {0xFE, 0xFE, 0x05, 0x61, 0x61};                                  // run past code 255
    Bytes literalsPast = {0xFE, 0xFE, 0x85, 0x00, 0x00};
    Bytes sizePastEnd = {0xFE, 0xFE, 0x82, 0x00, 0x09, 0x61};
    struct
    {
        const char* name;
        Bytes input;
        uint32_t capacity;
    } rows[] = {
        {"table cut short", Bytes(good.begin(), good.begin() + 4), 16384},
        {"size cut short", Bytes(good.begin(), good.begin() + 7), 16384},
        {"data cut short", Bytes(good.begin(), good.end() - 1), 16384},
        {"pair run past 255", tooManyCodes, 16384},
        {"literal run past 255", literalsPast, 16384},
        {"size past the end", sizePastEnd, 16384},
        {"endless expansion", cycle, 16384},
        {"output beyond capacity", good, 3},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Kiln::ExpandBlockBPE(out, row.input.data(), static_cast<uint32_t>(row.input.size()), row.capacity),
                  Kiln::kExpandFailed)
            << row.name;
}

}  // namespace
