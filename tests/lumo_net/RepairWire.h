#pragma once
// The repair protocol's bytes as the tests write and read them on their own: segment records built
// by hand, and a reader of the client's "0stf" summary that decodes its UTF-16LE names without the
// product's codec, so that a name the product mangles shows up as a different name.
#include <sys/socket.h>

#include <cstdint>
#include <map>
#include <string>

#include "lumo/net/SegmentCrc.h"
#include "lumo/text/Utf16.h"

namespace repairtest
{

inline void PutU32(std::string& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(char(value >> (8 * i)));
}

inline uint32_t ChecksumOf(const std::string& data)
{
    return LumoUtil::SegmentChecksumOf(data.data(), data.size());
}

// One record as the server sends it; announced overrides the data length field.
inline std::string Record(uint8_t compressed, const std::wstring& name, uint32_t checksum, const std::string& data,
                          int64_t announced = -1)
{
    std::string out(1, char(compressed));
    PutU32(out, uint32_t(LumoUtil::Utf16Length(name)));
    for (uint8_t b : LumoUtil::EncodeUtf16LE(name))
        out.push_back(char(b));
    PutU32(out, checksum);
    PutU32(out, announced < 0 ? uint32_t(data.size()) : uint32_t(announced));
    return out + data;
}

inline std::string Plain(const std::wstring& name, const std::string& data)
{
    return Record(0, name, ChecksumOf(data), data);
}

// Reads exactly size bytes from a plain socket; false when the peer closed first.
inline bool ReceiveExactly(int fd, void* data, size_t size)
{
    auto* at = static_cast<char*>(data);
    while (size > 0)
    {
        const ssize_t n = recv(fd, at, size, 0);
        if (n <= 0)
            return false;
        at += n;
        size -= size_t(n);
    }
    return true;
}

inline bool ReceiveU32(int fd, uint32_t& value)
{
    uint8_t b[4];
    if (!ReceiveExactly(fd, b, 4))
        return false;
    value = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    return true;
}

// The client's summary from the socket: name (UTF-16 code units) -> checksum.
inline bool ReceiveSummary(int fd, std::map<std::u16string, uint32_t>& entries)
{
    uint32_t magic = 0;
    uint32_t count = 0;
    if (!ReceiveU32(fd, magic) || magic != 0x66747330 || !ReceiveU32(fd, count))
        return false;
    for (uint32_t i = 0; i < count; ++i)
    {
        uint32_t units = 0;
        if (!ReceiveU32(fd, units) || units > 32767)
            return false;
        std::string bytes(size_t(units) * 2, '\0');
        uint32_t checksum = 0;
        uint8_t time[8];
        if (!ReceiveExactly(fd, bytes.data(), bytes.size()) || !ReceiveU32(fd, checksum) ||
            !ReceiveExactly(fd, time, sizeof time))
            return false;
        std::u16string name;
        for (size_t k = 0; k < bytes.size(); k += 2)
            name.push_back(char16_t(uint8_t(bytes[k]) | uint8_t(bytes[k + 1]) << 8));
        entries[name] = checksum;
    }
    return true;
}

} // namespace repairtest
