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
constexpr uint16_t kNone = 0xFFFF;
// Each pair seen when the block is read, and two new pairs per replacement (fewer than the block).
constexpr uint32_t kOccurrences = 3 * kBlockSize;

// The compressor's work state: one block and its pair statistics.
struct PairState
{
    uint8_t block[kBlockSize];
    uint8_t leftcode[256];
    uint8_t rightcode[256];
    uint8_t left[kHashSize];
    uint8_t right[kHashSize];
    uint8_t count[kHashSize];
    uint16_t nextFree[kHashSize];  // a slot's own index when empty, else a step towards the next empty one
    uint32_t size;
    uint16_t slotsWithCount[256];  // how many slots hold each count value: the largest is found at once
    uint32_t top;                  // no slot holds a count above this
    // Where each pair sits. Within a block a pair keeps its slot: counts never fall back to 0, so
    // the probe from its home never stops earlier. Entries of older blocks have older stamps.
    uint32_t pairSlot[65536];  // (generation << 16) | slot: one memory access finds both
    uint32_t generation;       // 1 to 0xFFFF

    // The block as a list: block[i] is the symbol at node i, nodes joined in block order. A
    // replacement turns the left node of each occurrence into the new code and unlinks the right
    // one, so the first node is always node 0.
    uint16_t next[kBlockSize];
    uint16_t previous[kBlockSize];
    bool removed[kBlockSize];
    // Where each pair (by slot) occurred, in block order: the left node of each occurrence. An
    // entry may be stale (a neighbour was replaced since); it is checked when used.
    uint16_t occurrenceHead[kHashSize];
    uint16_t occurrenceTail[kHashSize];
    uint16_t occurrenceNode[kOccurrences];
    uint16_t occurrenceNext[kOccurrences];
    uint32_t occurrences;

    void AddOccurrence(uint32_t slot, uint32_t node)
    {
        const uint16_t entry = static_cast<uint16_t>(occurrences++);
        occurrenceNode[entry] = static_cast<uint16_t>(node);
        occurrenceNext[entry] = kNone;
        if (occurrenceHead[slot] == kNone)
            occurrenceHead[slot] = entry;
        else
            occurrenceNext[occurrenceTail[slot]] = entry;
        occurrenceTail[slot] = entry;
    }

    void SetCount(uint32_t index, uint8_t value)
    {
        if (count[index] == 0)
            nextFree[index] = static_cast<uint16_t>((index + 1) & (kHashSize - 1));  // taken for the block
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
        if ((pairSlot[key] >> 16) == generation)
            return pairSlot[key] & 0xFFFF;
        // A pair not met in this block has no slot yet: the probe from its home would stop at
        // the first empty slot, which the skip links reach without walking the taken ones.
        uint32_t index = (a ^ (static_cast<uint32_t>(b) << 5)) & (kHashSize - 1);
        while (nextFree[index] != index)
        {
            nextFree[index] = nextFree[nextFree[index]];
            index = nextFree[index];
        }
        left[index] = a;
        right[index] = b;
        pairSlot[key] = (generation << 16) | index;
        return index;
    }

    // Takes the next block from src; returns the bytes taken.
    uint32_t ReadBlock(const uint8_t* src, uint32_t available)
    {
        std::memset(count, 0, sizeof count);
        std::memset(slotsWithCount, 0, sizeof slotsWithCount);
        slotsWithCount[0] = kHashSize;
        top = 0;
        if (++generation > 0xFFFF)
        {
            std::memset(pairSlot, 0, sizeof pairSlot);
            generation = 1;
        }
        for (uint32_t c = 0; c < 256; ++c)
        {
            leftcode[c] = static_cast<uint8_t>(c);
            rightcode[c] = 0;
        }
        std::memset(occurrenceHead, 0xFF, sizeof occurrenceHead);
        for (uint32_t slot = 0; slot < kHashSize; ++slot)
            nextFree[slot] = static_cast<uint16_t>(slot);
        occurrences = 0;
        size = 0;
        uint32_t used = 0;
        while (size < kBlockSize && used < kMaxDistinct && size < available)
        {
            const uint8_t c = src[size];
            if (size > 0)
            {
                const uint32_t slot = Lookup(block[size - 1], c);
                Raise(slot);
                AddOccurrence(slot, size - 1);
            }
            previous[size] = static_cast<uint16_t>(size - 1);
            next[size] = static_cast<uint16_t>(size + 1);
            removed[size] = false;
            block[size++] = c;
            if (!rightcode[c])
            {
                rightcode[c] = 1;  // present in the block: not free as a pair code
                ++used;
            }
        }
        next[size - 1] = kNone;
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
            // The occurrences in block order, each taken unless an earlier one this round used
            // its bytes; neighbours' counts change in the order a left-to-right scan meets them.
            for (uint16_t entry = occurrenceHead[chosen]; entry != kNone; entry = occurrenceNext[entry])
            {
                const uint16_t at = occurrenceNode[entry];
                if (removed[at] || block[at] != leftch)
                    continue;
                const uint16_t second = next[at];
                if (second == kNone || block[second] != rightch)
                    continue;
                if (at != 0)
                {
                    const uint16_t before = previous[at];
                    Lower(Lookup(block[before], leftch));
                    const uint32_t slot = Lookup(block[before], newCode);
                    Raise(slot);
                    AddOccurrence(slot, before);
                }
                const uint16_t after = next[second];
                if (after != kNone)
                {
                    Lower(Lookup(rightch, block[after]));
                    const uint32_t slot = Lookup(newCode, block[after]);
                    Raise(slot);
                    AddOccurrence(slot, at);
                    previous[after] = at;
                }
                block[at] = newCode;
                next[at] = after;
                removed[second] = true;
                --size;
            }
            leftcode[code] = leftch;
            rightcode[code] = rightch;
            SetCount(Lookup(leftch, rightch), 1);
            occurrenceHead[chosen] = kNone;
        }
        // Back to a plain array for writing.
        uint32_t length = 0;
        for (uint16_t node = 0; node != kNone; node = next[node])
            block[length++] = block[node];
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
        std::memset(state->pairSlot, 0, sizeof state->pairSlot);
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
