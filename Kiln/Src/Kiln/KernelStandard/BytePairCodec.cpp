#include "Kiln/Src/Kiln/KernelStandard/BytePairCodec.h"

#include <cstring>
#include <memory>

namespace Kiln
{

namespace
{

constexpr uint32_t kBlockSize = 2048;
constexpr uint32_t kMaxDistinct = 210;
constexpr uint32_t kHashSize = 4096;
constexpr uint32_t kThreshold = 3;

// The compressor's work state: one block and its pair statistics.
struct PairState
{
    uint8_t block[kBlockSize];
    uint8_t leftcode[256];
    uint8_t rightcode[256];
    uint8_t left[kHashSize];
    uint8_t right[kHashSize];
    uint8_t count[kHashSize];
    uint32_t size;
    uint16_t slotsWithCount[256];  // how many slots hold each count value: the largest is found at once
    uint32_t top;                  // no slot holds a count above this
    // Where each pair sits. Within a block a pair keeps its slot: counts never fall back to 0, so
    // the probe from its home never stops earlier. Entries of older blocks have older stamps.
    uint16_t pairSlot[65536];
    uint32_t pairStamp[65536];
    uint32_t generation;

    void SetCount(uint32_t index, uint8_t value)
    {
        --slotsWithCount[count[index]];
        ++slotsWithCount[value];
        count[index] = value;
        if (value > top)
            top = value;
    }
    void Raise(uint32_t index)
    {
        if (count[index] < 255)
            SetCount(index, static_cast<uint8_t>(count[index] + 1));
    }
    void Lower(uint32_t index)
    {
        if (count[index] > 1)
            SetCount(index, static_cast<uint8_t>(count[index] - 1));
    }

    // The slot of the pair (a, b); an empty slot is claimed for it.
    uint32_t Lookup(uint8_t a, uint8_t b)
    {
        const uint32_t key = (static_cast<uint32_t>(a) << 8) | b;
        if (pairStamp[key] == generation)
            return pairSlot[key];
        uint32_t index = (a ^ (static_cast<uint32_t>(b) << 5)) & (kHashSize - 1);
        while ((left[index] != a || right[index] != b) && count[index] != 0)
            index = (index + 1) & (kHashSize - 1);
        left[index] = a;
        right[index] = b;
        pairStamp[key] = generation;
        pairSlot[key] = static_cast<uint16_t>(index);
        return index;
    }

    // Takes the next block from src; returns the bytes taken.
    uint32_t ReadBlock(const uint8_t* src, uint32_t available)
    {
        std::memset(count, 0, sizeof count);
        std::memset(slotsWithCount, 0, sizeof slotsWithCount);
        slotsWithCount[0] = kHashSize;
        top = 0;
        if (++generation == 0)
        {
            std::memset(pairStamp, 0, sizeof pairStamp);
            generation = 1;
        }
        for (uint32_t c = 0; c < 256; ++c)
        {
            leftcode[c] = static_cast<uint8_t>(c);
            rightcode[c] = 0;
        }
        size = 0;
        uint32_t used = 0;
        while (size < kBlockSize && used < kMaxDistinct && size < available)
        {
            const uint8_t c = src[size];
            if (size > 0)
            {
                Raise(Lookup(block[size - 1], c));
            }
            block[size++] = c;
            if (!rightcode[c])
            {
                rightcode[c] = 1;  // present in the block: not free as a pair code
                ++used;
            }
        }
        return size;
    }

    void ReplacePairs()
    {
        int code = 255;  // 255 itself is never a pair code
        for (;;)
        {
            for (--code; code >= 0; --code)
                if (code == leftcode[code] && !rightcode[code])
                    break;
            if (code < 0)
                break;
            // The first slot holding the largest count is the pair the classic scan (first
            // count above the best so far, from 2) picks.
            while (top > 0 && slotsWithCount[top] == 0)
                --top;
            const uint32_t best = top;
            if (best < kThreshold)
                break;
            const uint32_t chosen = static_cast<uint32_t>(
                static_cast<const uint8_t*>(std::memchr(count, best, kHashSize)) - count);
            const uint8_t leftch = left[chosen];
            const uint8_t rightch = right[chosen];
            const uint8_t newCode = static_cast<uint8_t>(code);
            const uint32_t oldSize = size - 1;
            uint32_t w = 0, r = 0;
            while (r < oldSize)
            {
                // Next occurrence of the pair at or after r; the bytes before it move down as they are.
                uint32_t at = r;
                for (;;)
                {
                    const void* hit = std::memchr(block + at, leftch, oldSize - at);
                    if (!hit)
                    {
                        at = oldSize;
                        break;
                    }
                    at = static_cast<uint32_t>(static_cast<const uint8_t*>(hit) - block);
                    if (block[at + 1] == rightch)
                        break;
                    if (++at >= oldSize)
                        break;
                }
                if (at > r)
                {
                    std::memmove(block + w, block + r, at - r);
                    w += at - r;
                    r = at;
                }
                if (r >= oldSize)
                    break;
                if (r > 0)
                {
                    Lower(Lookup(block[w - 1], leftch));
                    Raise(Lookup(block[w - 1], newCode));
                }
                if (r < oldSize - 1)
                {
                    Lower(Lookup(rightch, block[r + 2]));
                    Raise(Lookup(newCode, block[r + 2]));
                }
                block[w++] = newCode;
                r += 2;
                --size;
            }
            if (r == oldSize)
                block[w] = block[r];
            leftcode[code] = leftch;
            rightcode[code] = rightch;
            SetCount(Lookup(leftch, rightch), 1);
        }
    }

    // Writes the table, size and block at out; false when it would reach limit.
    bool WriteBlock(uint8_t*& out, const uint8_t* limit) const
    {
        uint8_t table[256 * 2 + 256];
        uint32_t t = 0;
        uint32_t c = 0;
        while (c < 256)
        {
            if (c == leftcode[c])
            {
                uint32_t run = 1;
                ++c;
                while (run < 127 && c < 256 && c == leftcode[c])
                {
                    ++run;
                    ++c;
                }
                table[t++] = static_cast<uint8_t>(run + 127);
                continue;
            }
            uint32_t len = 0;
            ++c;
            while ((len < 127 && c < 256 && c != leftcode[c]) ||
                   (len < 125 && c + 1 < 255 && c + 1 != leftcode[c + 1]))
            {
                ++len;
                ++c;
            }
            table[t++] = static_cast<uint8_t>(len);
            c -= len + 1;
            for (uint32_t i = 0; i <= len; ++i, ++c)
            {
                table[t++] = leftcode[c];
                if (c != leftcode[c])
                    table[t++] = rightcode[c];
            }
        }
        if (static_cast<size_t>(limit - out) <= static_cast<size_t>(t) + 2 + size)
            return false;
        std::memcpy(out, table, t);
        out += t;
        *out++ = static_cast<uint8_t>(size >> 8);
        *out++ = static_cast<uint8_t>(size & 0xFF);
        std::memcpy(out, block, size);
        out += size;
        return true;
    }
};

}  // namespace

uint32_t CompressBlockBPE(uint8_t* dst, const uint8_t* src, uint32_t length)
{
    // About 400 KiB of work state, kept per thread.
    thread_local std::unique_ptr<PairState> state;
    if (!state)
    {
        state = std::make_unique<PairState>();
        std::memset(state->pairStamp, 0, sizeof state->pairStamp);
        state->generation = 0;
    }
    uint8_t* out = dst;
    const uint8_t* limit = dst + length;
    uint32_t done = 0;
    while (done < length)
    {
        done += state->ReadBlock(src + done, length - done);
        state->ReplacePairs();
        if (!state->WriteBlock(out, limit))
        {
            std::memmove(dst, src, length);
            return length;
        }
    }
    return static_cast<uint32_t>(out - dst);
}

uint32_t ExpandBlockBPE(uint8_t* dst, const uint8_t* src, uint32_t length, uint32_t capacity)
{
    const uint8_t* in = src;
    const uint8_t* end = src + length;
    uint32_t written = 0;
    uint8_t left[256], right[256];
    uint8_t stack[kBpeStackDepth];
    while (in < end)
    {
        for (uint32_t c = 0; c < 256; ++c)
        {
            left[c] = static_cast<uint8_t>(c);
            right[c] = 0;
        }
        uint32_t c = 0;
        while (c < 256)
        {
            if (in >= end)
                return kExpandFailed;
            const uint32_t n = *in++;
            if (n >= 128)
            {
                c += n - 127;
                if (c > 256)
                    return kExpandFailed;
                continue;
            }
            if (c + n + 1 > 256)
                return kExpandFailed;
            for (uint32_t i = 0; i <= n; ++i, ++c)
            {
                if (in >= end)
                    return kExpandFailed;
                left[c] = *in++;
                if (left[c] != c)
                {
                    if (in >= end)
                        return kExpandFailed;
                    right[c] = *in++;
                }
            }
        }
        if (end - in < 2)
            return kExpandFailed;
        const uint32_t size = (static_cast<uint32_t>(in[0]) << 8) | in[1];
        in += 2;
        if (static_cast<size_t>(end - in) < size)
            return kExpandFailed;
        // A pair code is expanded once per block; later uses copy that first expansion, which
        // stays in place earlier in dst.
        uint32_t firstAt[256];
        uint32_t expandedLength[256];
        for (uint32_t code = 0; code < 256; ++code)
            expandedLength[code] = 0;
        for (uint32_t k = 0; k < size; ++k)
        {
            const uint8_t packed = *in++;
            if (left[packed] == packed)
            {
                if (written >= capacity)
                    return kExpandFailed;
                dst[written++] = packed;
                continue;
            }
            if (const uint32_t length = expandedLength[packed])
            {
                if (length > capacity - written)
                    return kExpandFailed;
                std::memcpy(dst + written, dst + firstAt[packed], length);
                written += length;
                continue;
            }
            const uint32_t start = written;
            uint32_t depth = 0;
            stack[depth++] = packed;
            while (depth > 0)
            {
                const uint8_t code = stack[--depth];
                if (left[code] == code)
                {
                    if (written >= capacity)
                        return kExpandFailed;
                    dst[written++] = code;
                    continue;
                }
                if (depth + 2 > kBpeStackDepth)
                    return kExpandFailed;
                stack[depth++] = right[code];
                stack[depth++] = left[code];
            }
            firstAt[packed] = start;
            expandedLength[packed] = written - start;
        }
    }
    return written;
}

}  // namespace Kiln
