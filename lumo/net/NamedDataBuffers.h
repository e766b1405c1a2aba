#pragma once
// An ordered collection of named byte blobs, each held in a memory stream the collection owns: the
// fields of a multipart form (lumo/net/MultipartForm.h), a name with a file extension being sent as
// a file. Names are 8-bit and compared byte for byte; the first entry of a name wins.
//
// Serialised form (all integers u32 little-endian):
//   count                      at most 128 on reading
//   per entry: name length n   at most 0x400000
//              name           n bytes, no terminator
//              data length m   the whole blob
//              data            m bytes
// Reading checks every count and length before it allocates for it, and gives LUMORESULT_BAD_FORMAT
// for a count or name length over its limit and the source's own failure (or
// LUMORESULT_END_OF_DATA) for a source that ends early.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lumo/buffers/LumoDataBuffer.h"
#include "lumo/buffers/LumoResult.h"

class NamedDataBuffers
{
public:
    static constexpr uint32_t kMaxReadCount = 128;

    NamedDataBuffers();
    ~NamedDataBuffers();
    NamedDataBuffers(const NamedDataBuffers&) = delete;
    NamedDataBuffers& operator=(const NamedDataBuffers&) = delete;

    uint32_t GetCount() const { return static_cast<uint32_t>(m_entries.size()); }
    // "" for an index out of range.
    std::string GetName(uint32_t index) const;

    // The whole blob of name into destination at its position: LUMORESULT_NOT_FOUND when no entry
    // has the name, else the copy's result.
    LUMORESULT GetBuffer(const std::string& name, LumoDataBuffer& destination);
    LUMORESULT GetString(const std::string& name, std::string& value);

    // A copy of source from its position to its end (or of value) under name, at the end of the
    // order; an entry of that name is replaced. A copy that fails returns its code and leaves the
    // collection as it was.
    LUMORESULT AddBuffer(const std::string& name, LumoDataBuffer& source);
    LUMORESULT AddString(const std::string& name, const std::string& value);

    // LUMORESULT_NOT_FOUND when no entry has the name.
    LUMORESULT Remove(const std::string& name);
    void DeleteAll();

    // The first failure; later entries are still written.
    LUMORESULT Write(LumoDataBuffer& destination);
    // Replaces the contents. A count over 128 (or a count that cannot be read) leaves the collection
    // as it was; otherwise the entries read whole before a failure stay.
    LUMORESULT Read(LumoDataBuffer& source);

    // Each blob into a file in folder named by the part of its name after the last "/" or "\".
    // LUMORESULT_INVALID_ARGUMENT for a name whose last part is empty, "." or "..". The first
    // failure ends the loop.
    LUMORESULT SaveToDirectory(const std::wstring& folder);
    // Not implemented: says so on standard output and returns LUMORESULT_NOT_SUPPORTED.
    LUMORESULT PackDirectory(const std::wstring& folder);

private:
    struct Entry
    {
        std::string name;
        std::unique_ptr<LumoDataBuffer> buffer;  // never null
    };

    Entry* Find(const std::string& name);
    LUMORESULT Add(const std::string& name, std::unique_ptr<LumoDataBuffer> buffer);

    std::vector<Entry> m_entries;
};
