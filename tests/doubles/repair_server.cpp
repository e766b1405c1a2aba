// repair-server: the repair server's half of the segment-transfer protocol, for tests and demos.
//
//   repair-server ROOT [--port N] [--compress] [--managed PATTERN]... [--delay-ms N] [--fault MODE]
//                 [--bad-name NAME]
//
// Serves the folder ROOT on 127.0.0.1 (port 0, the default, picks a free one); prints
// "listening on port N" once ROOT's checksums are ready, then a line for everything it receives
// and sends. One connection at a time: it reads the u32 version and answers 6, parses the
// client's "0stf" summary with bounds, and answers with the segments of ROOT whose checksum the
// client lacks or has different (plain, or compressed with --compress), a checksum-0 record where
// the client's file is longer, and a delete record for every client file that ROOT lacks and a
// --managed pattern matches. After the last record it waits for the client to close (at most
// 30 s). --delay-ms pauses before each record.
//
// Fault modes, for the tests of the client's error paths:
//   version      answers version 5             no-version    closes without answering
//   short        announces every record, sends half of them and closes
//   stall        announces the records and goes silent
//   stall-half   announces every record, sends half of them and goes silent
//   drip         sends the records one byte at a time, --delay-ms apart (20 s unless given)
//   drop         sends half of the records, then half of the next one, and closes
//   wrong-length sends the first record one byte short of the length its checksum covers
//   bad-name     sends one record named NAME (--bad-name, default "..\escape.bin#000") with valid data
//   cut-name     sends one checksum-0 record (a cut, or a delete at index 0) named NAME (--bad-name)
//   bad-flags    sends one record with checksum 0 and compressed 1
//   oversize     sends one plain record announcing 4 MiB + 1 bytes
//   bad-zip      sends one compressed record whose zlib stream is corrupt
//   huge-count   announces 4294967295 records, sends one valid record of one byte named NAME
//                (--bad-name, default "data\f.bin#1000000": 4 TB into the file) and closes
//   huge-hold    as huge-count, then three small new files ("data\small<i>.txt#000") so that the
//                far record is written, and keeps the connection open until the client closes it

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "lumo/buffers/Compression.h"
#include "lumo/buffers/LumoDataBuffer.h"
#include "lumo/net/ConsoleLine.h"
#include "lumo/net/FileSegment.h"
#include "lumo/net/FileTreeSummary.h"
#include "lumo/net/SegmentCrc.h"
#include "lumo/net/SegmentName.h"
#include "lumo/net/WireIntegers.h"
#include "lumo/text/PathUtil.h"
#include "lumo/text/StringUtil.h"
#include "lumo/text/Utf16.h"
#include "platform/NativePath.h"

namespace
{
struct Options
{
    std::wstring root;
    int port = 0;
    bool compress = false;
    std::vector<std::wstring> managed;
    std::string fault;
    int delayMs = 0;
    std::wstring badName = L"..\\escape.bin#000";
};

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string line = LumoUtil::FormatStringV(format, args) + "\n";
    va_end(args);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

bool ReadFully(int fd, void* data, size_t length)
{
    auto* p = static_cast<uint8_t*>(data);
    while (length > 0)
    {
        const ssize_t n = ::recv(fd, p, length, 0);
        if (n <= 0)
            return false;
        p += n;
        length -= size_t(n);
    }
    return true;
}

bool SendAll(int fd, const std::vector<uint8_t>& bytes, size_t length)
{
    for (size_t done = 0; done < length;)
    {
        const ssize_t n = ::send(fd, bytes.data() + done, length - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

bool ReadU32(int fd, uint32_t& value)
{
    uint8_t b[4];
    if (!ReadFully(fd, b, 4))
        return false;
    value = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    return true;
}

// The client's summary, parsed field by field from the socket: it has no length of its own.
bool ReadClientSummary(int fd, FileTreeSummary::Table& table)
{
    uint32_t magic = 0;
    uint32_t count = 0;
    if (!ReadU32(fd, magic) || magic != kSummaryMagic || !ReadU32(fd, count) || count > (16u << 20))
        return false;
    for (uint32_t i = 0; i < count; ++i)
    {
        uint32_t units = 0;
        if (!ReadU32(fd, units) || units > kMaxSummaryNameUnits)
            return false;
        std::vector<uint8_t> name(size_t(units) * 2);
        uint8_t tail[12];
        if (!ReadFully(fd, name.data(), name.size()) || !ReadFully(fd, tail, sizeof tail))
            return false;
        SegmentEntry entry;
        std::memcpy(&entry.checksum, tail, 4); // x86-64 only, little-endian like the wire
        std::memcpy(&entry.time, tail + 4, 8);
        table[LumoUtil::DecodeUtf16LE(name.data(), units)] = entry;
    }
    return true;
}

struct Record
{
    uint8_t compressed = 0;
    std::wstring name;
    uint32_t checksum = 0;
    std::vector<uint8_t> data;
    // Bytes of data the header announces (data.size() unless a fault says otherwise).
    uint32_t announced = 0;
    // A segment of ROOT whose bytes are read (and compressed) only when it is sent (see Ready).
    bool fromRoot = false;

    std::vector<uint8_t> Encode() const
    {
        std::vector<uint8_t> out{compressed};
        LumoNet::AppendU32(out, uint32_t(LumoUtil::Utf16Length(name)));
        LumoUtil::AppendUtf16LE(out, name);
        LumoNet::AppendU32(out, checksum);
        LumoNet::AppendU32(out, announced);
        out.insert(out.end(), data.begin(), data.end());
        return out;
    }
};

// The container of raw. A container that cannot be made ends the server with the reason: a record
// sent half-made would only show as a checksum error on the client, far from its cause.
std::vector<uint8_t> Compress(const std::vector<uint8_t>& raw, const std::wstring& name)
{
    std::vector<uint8_t> copy = raw;
    LumoDataBufferMemoryStatic source(copy.data(), uint32_t(copy.size()));
    LumoDataBufferMemoryDynamic container;
    LUMORESULT result = LumoUtil::CompressData(container, source);
    std::vector<uint8_t> out(size_t(container.GetSize()));
    if (result == LUMORESULT_OK)
        result = container.SetPosition(0);
    if (result == LUMORESULT_OK)
        result = container.ReadData(out.data(), uint32_t(out.size()));
    if (result != LUMORESULT_OK)
    {
        Log("cannot compress %s: %s (%u)", LumoNet::ShownPath(name).c_str(), LumoUtil::GetResultName(result).c_str(),
            result);
        std::fprintf(stderr, "repair-server: cannot compress %s: %s\n", LumoNet::ShownPath(name).c_str(),
                     LumoUtil::GetResultName(result).c_str());
        std::exit(1);
    }
    return out;
}

Record SegmentRecord(const Options& options, const std::wstring& name)
{
    Record record;
    record.name = name;
    ReadFileSegment(MakeSegmentName(LumoUtil::JoinPath(options.root, GetSegmentPath(name)), uint64_t(GetSegmentIndex(name))),
                    record.data);
    record.checksum = LumoUtil::SegmentChecksumOf(record.data.data(), record.data.size());
    if (options.compress && !record.data.empty())
    {
        record.data = Compress(record.data, name);
        record.compressed = 1;
    }
    record.announced = uint32_t(record.data.size());
    return record;
}

// The segment's bytes when they are still to be read from ROOT; the record as it is otherwise.
Record Ready(const Options& options, const Record& record)
{
    return record.fromRoot ? SegmentRecord(options, record.name) : record;
}

// ROOT's table, scanned before the server listens and brought up to date for each client (only
// files whose time changed are read again): a client never waits on checksums of the whole folder.
FileTreeSummary& Reference()
{
    static FileTreeSummary reference;
    return reference;
}

// What the reference folder has that the client's table lacks, in table order. Segments of ROOT
// are read when they are sent, so the count goes out as soon as the client's summary is in.
std::vector<Record> Diff(const Options& options, const FileTreeSummary::Table& client)
{
    Reference().Scan(options.root, {});
    const FileTreeSummary::Table ours = Reference().Snapshot();

    std::map<std::wstring, uint64_t> segmentsOfFile;
    for (const auto& [name, entry] : ours)
        segmentsOfFile[GetSegmentPath(name)]++;
    std::map<std::wstring, bool, Utf16Order> send; // name -> whole segment (else a cut or delete)
    for (const auto& [name, entry] : ours)
    {
        auto found = client.find(name);
        if (found == client.end() || found->second.checksum != entry.checksum)
            send[name] = true;
    }
    for (const auto& [name, entry] : client)
    {
        const std::wstring path = GetSegmentPath(name);
        auto file = segmentsOfFile.find(path);
        if (file != segmentsOfFile.end())
        {
            if (uint64_t(GetSegmentIndex(name)) >= file->second && !send.count(MakeSegmentName(path, file->second)))
                send[MakeSegmentName(path, file->second)] = file->second == 0; // an empty file: an empty segment
        }
        else if (GetSegmentIndex(name) == 0 && FileTreeSummary::IsExcluded(name, {options.managed.begin(), options.managed.end()}))
            send[name] = false;
    }
    std::vector<Record> records;
    for (const auto& [name, whole] : send)
    {
        if (whole && ours.count(name))
        {
            Record segment;
            segment.name = name;
            segment.fromRoot = true;
            records.push_back(segment);
        }
        else if (whole)
            records.push_back(Record{0, name, 1, {}, 0});
        else
            records.push_back(Record{0, name, 0, {}, 0});
    }
    return records;
}

std::vector<Record> FaultRecords(const Options& options, std::vector<Record> records)
{
    Record sample{0, L"fault.bin#000", 0, {'d', 'a', 't', 'a'}, 4};
    sample.checksum = LumoUtil::SegmentChecksumOf(sample.data.data(), sample.data.size());
    if (options.fault == "bad-name")
        sample.name = options.badName;
    else if (options.fault == "cut-name")
        sample = Record{0, options.badName, 0, {}, 0};
    else if (options.fault == "huge-count" || options.fault == "huge-hold")
    {
        sample.name = options.badName == L"..\\escape.bin#000" ? L"data\\f.bin#1000000" : options.badName;
        sample.data = {'x'};
        sample.announced = 1;
        sample.checksum = LumoUtil::SegmentChecksumOf(sample.data.data(), sample.data.size());
        if (options.fault == "huge-hold")
        {
            // The slots write a record only once later ones have arrived.
            std::vector<Record> held{sample};
            for (int i = 0; i < 3; ++i)
            {
                Record small{0, L"data\\small" + std::to_wstring(i) + L".txt#000", 0, {'s', uint8_t('0' + i)}, 2};
                small.checksum = LumoUtil::SegmentChecksumOf(small.data.data(), small.data.size());
                held.push_back(small);
            }
            return held;
        }
    }
    else if (options.fault == "bad-flags")
        sample = Record{1, L"fault.bin#000", 0, {}, 0};
    else if (options.fault == "oversize")
        sample.announced = (4u << 20) + 1;
    else if (options.fault == "bad-zip")
    {
        sample.data = Compress(std::vector<uint8_t>(1000, 'z'), sample.name);
        sample.data[sample.data.size() - 3] ^= 0x55;
        sample.compressed = 1;
        sample.announced = uint32_t(sample.data.size());
    }
    else if (options.fault == "wrong-length" && !records.empty())
    {
        records[0] = Ready(options, records[0]);
        records[0].announced -= 1;
        records[0].data.pop_back();
        return records;
    }
    else
        return records;
    return {sample};
}

void Serve(int fd, const Options& options)
{
    uint32_t version = 0;
    if (!ReadU32(fd, version))
        return Log("connection closed before the version");
    Log("received version %u", version);
    if (options.fault == "no-version")
        return Log("closing without a version");
    std::vector<uint8_t> reply;
    LumoNet::AppendU32(reply, options.fault == "version" ? 5 : 6);
    if (!SendAll(fd, reply, reply.size()) || options.fault == "version")
        return;

    FileTreeSummary::Table client;
    if (!ReadClientSummary(fd, client))
        return Log("bad or cut summary");
    Log("received a summary of %zu entries", client.size());
    const std::vector<Record> records = FaultRecords(options, Diff(options, client));

    std::vector<uint8_t> count;
    const bool huge = options.fault == "huge-count" || options.fault == "huge-hold";
    LumoNet::AppendU32(count, huge ? 0xFFFFFFFFu : uint32_t(records.size()));
    if (!SendAll(fd, count, count.size()))
        return;
    Log("announced %u records", huge ? 0xFFFFFFFFu : unsigned(records.size()));
    size_t toSend = records.size();
    if (options.fault == "short" || options.fault == "drop")
        toSend /= 2;
    if (options.fault == "stall")
        toSend = 0;
    if (options.fault == "stall-half")
        toSend /= 2;
    if (options.fault == "drip")
    {
        const int pauseMs = options.delayMs > 0 ? options.delayMs : 20000;
        for (const Record& record : records)
        {
            const std::vector<uint8_t> bytes = Ready(options, record).Encode();
            for (size_t at = 0; at < bytes.size(); ++at)
            {
                if (!SendAll(fd, std::vector<uint8_t>(1, bytes[at]), 1))
                    return Log("the client went away after %zu bytes of %s", at,
                               LumoNet::ShownPath(record.name).c_str());
                std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
            }
        }
        return Log("dripped every record");
    }
    for (size_t i = 0; i < toSend; ++i)
    {
        if (options.delayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(options.delayMs));
        const std::vector<uint8_t> bytes = Ready(options, records[i]).Encode();
        if (!SendAll(fd, bytes, bytes.size()))
            return Log("the client went away");
        Log("sent %s", LumoNet::ShownPath(records[i].name).c_str());
    }
    if (options.fault == "drop" && toSend < records.size())
    {
        const std::vector<uint8_t> bytes = Ready(options, records[toSend]).Encode();
        SendAll(fd, bytes, bytes.size() / 2);
        return Log("dropped the connection inside %s", LumoNet::ShownPath(records[toSend].name).c_str());
    }
    if (options.fault == "short" || options.fault == "huge-count")
        return Log("closed after %zu records", toSend);

    // Wait for the client to close (it never sends more), or give up after 30 s (never when holding).
    timeval wait{options.fault == "huge-hold" ? 0 : 30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    uint8_t byte;
    while (::recv(fd, &byte, 1, 0) > 0)
    {
    }
    Log("client closed");
}

constexpr char kUsage[] = "usage: repair-server ROOT [--port N] [--compress] [--managed PATTERN]... "
                          "[--delay-ms N] [--fault MODE] [--bad-name NAME]\n";

int Usage()
{
    std::fputs(kUsage, stderr);
    return 2;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return Usage();
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)
    {
        std::printf("%sServes the folder ROOT to repair clients on 127.0.0.1 (see the top of "
                    "tests/doubles/repair_server.cpp for the options and fault modes).\n",
                    kUsage);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    Options options;
    options.root = FromNativePath(argv[1]);
    for (int i = 2; i < argc; ++i)
    {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--port" && hasValue)
            options.port = std::atoi(argv[++i]);
        else if (arg == "--compress")
            options.compress = true;
        else if (arg == "--managed" && hasValue)
            options.managed.push_back(FromNativePath(argv[++i]));
        else if (arg == "--delay-ms" && hasValue)
            options.delayMs = std::atoi(argv[++i]);
        else if (arg == "--fault" && hasValue)
            options.fault = argv[++i];
        else if (arg == "--bad-name" && hasValue)
            options.badName = FromNativePath(argv[++i]);
        else
            return Usage();
    }
    signal(SIGPIPE, SIG_IGN);
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(options.port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 4) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    {
        std::perror("repair-server: cannot listen");
        return 1;
    }
    Reference().Scan(options.root, {});
    Log("listening on port %d", int(ntohs(address.sin_port)));
    for (;;)
    {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        Serve(fd, options);
        close(fd);
    }
}
