#pragma once
// The kernel's interned strings: one entry per distinct text, found by its text and then held
// and compared by its address. Entries count their holders; an entry nobody holds stays in its
// bucket (interning the text again revives it) until PurgeStep frees it.
//
// Buckets: 997 lists with move-to-front; they are the unit of PurgeStep. The bucket hash runs
// h = h * 8 ^ byte over the last up to 16 bytes of the text; with a 32-bit h only the last 11
// bytes change the result in practice, so texts with long common endings (install paths ending
// in "_diffuse.dds") gather in few buckets, and 997 buckets hold 50 entries each at 50,000
// texts. Look-ups therefore go through an index keyed by a hash of the whole text (an open-
// addressing table that grows with the entries) and then move the entry to the front of its
// bucket as before; probes counts the index entries passed over.
//
// Entry layout on this 64-bit system: a 32-byte header {next, prev (8 bytes each), u32 length,
// u32 capacity, u32 refcount, u32 hash of the whole text} and the text with its terminator; the allocation is
// the smallest multiple of 16 of at least 32 + length + 2 bytes (48 for an empty text) and the
// capacity is that size less the header. Entries live in string-data memory (4-byte aligned),
// so the links are kept as bytes.
//
// Every operation and every counter is under the table lock. The table object and its lock are
// never destroyed: the kernel shut-down frees the entries, and from then on Release does nothing
// (globals destroyed later may still give their entries back).

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace Kiln
{

struct InternedString
{
    unsigned char links[16];  // next, prev
    uint32_t length;
    uint32_t capacity;
    uint32_t refcount;
    uint32_t hash;  // of the whole text: the index's key

    const char* Text() const { return reinterpret_cast<const char*>(this + 1); }
    uint32_t Length() const { return length; }
};
static_assert(sizeof(InternedString) == 32, "the entry header is 32 bytes");

class StringTable
{
public:
    static constexpr uint32_t kBucketCount = 997;

    struct Counters
    {
        uint32_t live;        // entries whose reference count is above 0
        uint32_t references;  // sum of all reference counts
        uint32_t hits;        // look-ups that found their entry
        uint32_t created;     // entries ever created
        uint32_t probes;      // non-matching entries passed over
    };

    // The caller owns one reference of the result.
    InternedString* Intern(const char* text, uint32_t length);
    // Null for a null text.
    InternedString* InternCString(const char* text);
    // Drops one reference; does nothing once the kernel has shut down.
    void Release(InternedString* entry);
    // Frees the unreferenced entries of the next bucket (bucket 1 first, bucket 0 last).
    void PurgeStep();

    Counters GetCounters();
    uint32_t PurgeCursor();
    uint32_t BucketEntryCount(uint32_t bucket);
    static uint32_t BucketOf(const char* text, uint32_t length);
    static uint32_t TextHash(const char* text, uint32_t length);
    static size_t EntrySize(uint32_t length);

    // Part of the kernel shut-down: frees every entry.
    void Shutdown();

private:
    friend StringTable* GetStringTable();
    StringTable();

    struct Bucket
    {
        InternedString* head;
        InternedString* tail;
        uint32_t count;
    };

    InternedString* Find(const char* text, uint32_t length, uint32_t& bucket);
    void Unlink(Bucket& bucket, InternedString* entry);
    void PushFront(Bucket& bucket, InternedString* entry);
    void FreeEntry(InternedString* entry);
    void IndexInsert(InternedString* entry);
    void IndexErase(InternedString* entry);

    struct Slot
    {
        uint32_t hash;
        InternedString* entry;  // null: empty
    };

    std::mutex m_lock;
    Counters m_counters{};
    uint32_t m_purgeCursor = 0;
    bool m_shutDown = false;
    Bucket* m_buckets;
    std::vector<Slot> m_index;  // a power of two in size, at most half full
    uint32_t m_indexed = 0;
};

// The one table, created on first use.
StringTable* GetStringTable();

}  // namespace Kiln
