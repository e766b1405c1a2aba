#include "Kiln/Src/Kiln/KernelStandard/StringTable.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string_view>
#include <new>

#include "Kiln/Src/Kiln/KernelStandard/StringData.h"
#include "platform/DebugOutput.h"

namespace Kiln
{

namespace
{

InternedString* Next(const InternedString* entry)
{
    InternedString* p;
    std::memcpy(&p, entry->links, sizeof p);
    return p;
}

InternedString* Prev(const InternedString* entry)
{
    InternedString* p;
    std::memcpy(&p, entry->links + 8, sizeof p);
    return p;
}

void SetNext(InternedString* entry, InternedString* p)
{
    std::memcpy(entry->links, &p, sizeof p);
}

void SetPrev(InternedString* entry, InternedString* p)
{
    std::memcpy(entry->links + 8, &p, sizeof p);
}

}  // namespace

StringTable* GetStringTable()
{
    static StringTable* table = new StringTable;  // never destroyed: see StringTable.h
    return table;
}

StringTable::StringTable() : m_buckets(new Bucket[kBucketCount]()), m_index(1024)
{
}

uint32_t StringTable::TextHash(const char* text, uint32_t length)
{
    const uint64_t h = std::hash<std::string_view>{}(std::string_view(text, length));
    return static_cast<uint32_t>(h ^ (h >> 32));
}

void StringTable::IndexInsert(InternedString* entry)
{
    if ((m_indexed + 1) * 2 > m_index.size())
    {
        std::vector<Slot> old(m_index.size() * 2);
        old.swap(m_index);
        m_indexed = 0;
        for (const Slot& slot : old)
            if (slot.entry)
                IndexInsert(slot.entry);
    }
    const size_t mask = m_index.size() - 1;
    size_t i = entry->hash & mask;
    while (m_index[i].entry)
        i = (i + 1) & mask;
    m_index[i] = Slot{entry->hash, entry};
    ++m_indexed;
}

// Linear probing without tombstones: later members of the probe run move back into the gap.
void StringTable::IndexErase(InternedString* entry)
{
    const size_t mask = m_index.size() - 1;
    size_t i = entry->hash & mask;
    while (m_index[i].entry != entry)
    {
        if (!m_index[i].entry)
            return;
        i = (i + 1) & mask;
    }
    for (size_t j = (i + 1) & mask; m_index[j].entry; j = (j + 1) & mask)
    {
        const size_t home = m_index[j].hash & mask;
        const bool stays = i <= j ? (home > i && home <= j) : (home > i || home <= j);
        if (!stays)
        {
            m_index[i] = m_index[j];
            i = j;
        }
    }
    m_index[i] = Slot{0, nullptr};
    --m_indexed;
}

uint32_t StringTable::BucketOf(const char* text, uint32_t length)
{
    const uint32_t start = length > 16 ? length - 16 : 0;
    uint32_t h = 0;
    for (uint32_t i = start; i < length; ++i)
        h = (h * 8) ^ static_cast<unsigned char>(text[i]);
    return h % kBucketCount;
}

size_t StringTable::EntrySize(uint32_t length)
{
    return (static_cast<size_t>(length) + sizeof(InternedString) + 2 + 15) & ~static_cast<size_t>(15);
}

void StringTable::Unlink(Bucket& bucket, InternedString* entry)
{
    InternedString* next = Next(entry);
    InternedString* prev = Prev(entry);
    if (prev)
        SetNext(prev, next);
    else
        bucket.head = next;
    if (next)
        SetPrev(next, prev);
    else
        bucket.tail = prev;
    --bucket.count;
}

void StringTable::PushFront(Bucket& bucket, InternedString* entry)
{
    SetPrev(entry, nullptr);
    SetNext(entry, bucket.head);
    if (bucket.head)
        SetPrev(bucket.head, entry);
    else
        bucket.tail = entry;
    bucket.head = entry;
    ++bucket.count;
}

void StringTable::FreeEntry(InternedString* entry)
{
    const size_t size = entry->capacity + sizeof(InternedString);
    entry->~InternedString();
    StringDataFree(entry, size);
}

InternedString* StringTable::Find(const char* text, uint32_t length, uint32_t& bucketIndex)
{
    bucketIndex = BucketOf(text, length);
    Bucket& bucket = m_buckets[bucketIndex];
    const uint32_t hash = TextHash(text, length);
    const size_t mask = m_index.size() - 1;
    for (size_t i = hash & mask; m_index[i].entry; i = (i + 1) & mask)
    {
        InternedString* entry = m_index[i].entry;
        if (m_index[i].hash == hash && entry->length == length && std::memcmp(entry->Text(), text, length) == 0)
        {
            if (entry != bucket.head)
            {
                Unlink(bucket, entry);
                PushFront(bucket, entry);
            }
            ++m_counters.hits;
            return entry;
        }
        ++m_counters.probes;
    }
    return nullptr;
}

InternedString* StringTable::Intern(const char* text, uint32_t length)
{
    std::lock_guard<std::mutex> hold(m_lock);
    ++m_counters.references;
    uint32_t bucket = 0;
    if (InternedString* entry = Find(text, length, bucket))
    {
        if (entry->refcount == 0)
            ++m_counters.live;
        ++entry->refcount;
        return entry;
    }
    const size_t size = EntrySize(length);
    void* memory = StringDataAlloc(size);
    auto* entry = new (memory) InternedString{};
    entry->length = length;
    entry->capacity = static_cast<uint32_t>(size - sizeof(InternedString));
    entry->refcount = 1;
    entry->hash = TextHash(text, length);
    char* out = reinterpret_cast<char*>(entry + 1);
    std::memcpy(out, text, length);
    out[length] = '\0';
    ++m_counters.created;
    ++m_counters.live;
    PushFront(m_buckets[bucket], entry);
    IndexInsert(entry);
    return entry;
}

InternedString* StringTable::InternCString(const char* text)
{
    return text ? Intern(text, static_cast<uint32_t>(std::strlen(text))) : nullptr;
}

void StringTable::Release(InternedString* entry)
{
    if (!entry)
        return;
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_shutDown)
        return;
    if (entry->refcount == 0)
    {
        platform::WriteDebugOutput("StringTable::Release: the string has no references left\n");
        return;
    }
    if (entry->refcount == 1)
        --m_counters.live;
    --m_counters.references;
    --entry->refcount;
}

void StringTable::PurgeStep()
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_purgeCursor = m_purgeCursor == kBucketCount - 1 ? 0 : m_purgeCursor + 1;
    Bucket& bucket = m_buckets[m_purgeCursor];
    for (InternedString* entry = bucket.head; entry;)
    {
        InternedString* next = Next(entry);
        if (entry->refcount == 0)
        {
            Unlink(bucket, entry);
            IndexErase(entry);
            FreeEntry(entry);
        }
        entry = next;
    }
}

StringTable::Counters StringTable::GetCounters()
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_counters;
}

uint32_t StringTable::PurgeCursor()
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_purgeCursor;
}

uint32_t StringTable::BucketEntryCount(uint32_t bucket)
{
    std::lock_guard<std::mutex> hold(m_lock);
    return bucket < kBucketCount ? m_buckets[bucket].count : 0;
}

void StringTable::Shutdown()
{
    std::lock_guard<std::mutex> hold(m_lock);
    for (uint32_t i = 0; i < kBucketCount; ++i)
    {
        Bucket& bucket = m_buckets[i];
        for (InternedString* entry = bucket.head; entry;)
        {
            InternedString* next = Next(entry);
            FreeEntry(entry);
            entry = next;
        }
        bucket = Bucket{};
    }
    std::fill(m_index.begin(), m_index.end(), Slot{0, nullptr});
    m_indexed = 0;
    m_counters.live = 0;
    m_counters.references = 0;
    m_shutDown = true;
}

}  // namespace Kiln
