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
// 30 s). --delay-ms pauses before each record. Between connections it keeps ROOT's checksums while
// a watch on every folder of ROOT sees no change; a file the watch names is read again.
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
#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

// Reads the socket through a buffer: a summary of 100,000 entries would otherwise cost three
// receives an entry.
class SocketReader
{
public:
    explicit SocketReader(int fd) : m_fd(fd) {}
    bool Read(void* data, size_t length)
    {
        auto* p = static_cast<uint8_t*>(data);
        while (length > 0)
        {
            if (m_at == m_end)
            {
                const ssize_t n = ::recv(m_fd, m_buffer, sizeof m_buffer, 0);
                if (n <= 0)
                    return false;
                m_at = 0;
                m_end = size_t(n);
            }
            const size_t take = std::min(length, m_end - m_at);
            std::memcpy(p, m_buffer + m_at, take);
            m_at += take;
            p += take;
            length -= take;
        }
        return true;
    }
    bool ReadU32(uint32_t& value)
    {
        uint8_t b[4];
        if (!Read(b, 4))
            return false;
        value = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
        return true;
    }

private:
    int m_fd;
    uint8_t m_buffer[1 << 16];
    size_t m_at = 0, m_end = 0;
};

// The client's summary, parsed field by field from the socket: it has no length of its own. The
// client sends it in table order, so each entry goes in at the end (any order is taken all the same).
bool ReadClientSummary(SocketReader& in, FileTreeSummary::Table& table)
{
    uint32_t magic = 0;
    uint32_t count = 0;
    if (!in.ReadU32(magic) || magic != kSummaryMagic || !in.ReadU32(count) || count > (16u << 20))
        return false;
    std::vector<uint8_t> name;
    for (uint32_t i = 0; i < count; ++i)
    {
        uint32_t units = 0;
        if (!in.ReadU32(units) || units > kMaxSummaryNameUnits)
            return false;
        name.resize(size_t(units) * 2);
        uint8_t tail[12];
        if (!in.Read(name.data(), name.size()) || !in.Read(tail, sizeof tail))
            return false;
        SegmentEntry entry;
        std::memcpy(&entry.checksum, tail, 4); // x86-64 only, little-endian like the wire
        std::memcpy(&entry.time, tail + 4, 8);
        std::wstring key = LumoUtil::DecodeUtf16LE(name.data(), units);
        // A name sent twice: the last one counts.
        table.emplace_hint(table.end(), std::move(key), entry)->second = entry;
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

// Tells what changed under ROOT since the last look: every folder of the tree is watched for a
// change of its entries or of a file in it (content, time, mode, a name added, removed or moved).
// A tree it cannot watch whole (the system's watch limits, a folder it cannot open) or a lost
// event counts as anything changed, so nothing is ever served from a stale table.
class TreeWatch
{
public:
    struct Changes
    {
        bool folders = false; // a folder came, went or moved: watch afresh
        bool unknown = false; // not known what changed: read everything again
        std::vector<std::wstring> files; // install-relative, "\" between parts
    };

    ~TreeWatch() { Close(); }

    Changes Take()
    {
        Changes changes;
        if (m_fd < 0)
        {
            changes.folders = changes.unknown = true;
            return changes;
        }
        alignas(inotify_event) char buffer[1 << 16];
        for (;;)
        {
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return changes;
            if (n <= 0)
            {
                changes.folders = changes.unknown = true; // the watch is broken: trust nothing
                return changes;
            }
            for (ssize_t at = 0; at < n;)
            {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                at += ssize_t(sizeof(inotify_event) + event->len);
                const auto folder = m_folders.find(event->wd);
                if ((event->mask & IN_Q_OVERFLOW) || folder == m_folders.end())
                    changes.folders = changes.unknown = true;
                else if (event->mask & (IN_ISDIR | IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED))
                    changes.folders = true;
                else if (event->len > 0)
                {
                    const std::wstring name = FromNativePath(event->name);
                    changes.files.push_back(folder->second.empty() ? name : folder->second + L"\\" + name);
                }
            }
        }
    }

    // Watches every folder under root afresh, before the tree is scanned: a change during the scan
    // is seen at the next look.
    void Rewatch(const std::string& root)
    {
        Close();
        m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_fd >= 0 && !WatchFolder(root, L""))
            Close();
    }

private:
    bool WatchFolder(const std::string& folder, const std::wstring& relative)
    {
        constexpr uint32_t kEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_DELETE_SELF |
                                     IN_MOVE_SELF | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR | IN_DONT_FOLLOW;
        const int wd = ::inotify_add_watch(m_fd, folder.c_str(), kEvents);
        if (wd < 0)
            return false;
        m_folders[wd] = relative;
        DIR* dir = ::opendir(folder.c_str());
        if (!dir)
            return false;
        bool whole = true;
        while (const dirent* item = ::readdir(dir))
        {
            const std::string name = item->d_name;
            if (name == "." || name == "..")
                continue;
            struct stat status{};
            const std::string path = folder + "/" + name;
            const std::wstring below = relative.empty() ? FromNativePath(name) : relative + L"\\" + FromNativePath(name);
            if (::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && !WatchFolder(path, below))
            {
                whole = false;
                break;
            }
        }
        ::closedir(dir);
        return whole;
    }
    void Close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        m_folders.clear();
    }

    int m_fd = -1;
    std::map<int, std::wstring> m_folders; // watch -> folder, install-relative
};

// ROOT's table, scanned before the server listens and brought up to date for a client when the
// watch saw a change: a file named in a change is read again whatever its time says (a change
// within the second of the last scan keeps the time), the others only when their time changed. A
// client never waits on checksums of the whole folder, nor on a walk of a tree that did not change.
const FileTreeSummary::Table& Reference(const Options& options)
{
    static FileTreeSummary reference;
    static FileTreeSummary::Table table;
    static TreeWatch watch;
    static bool scanned = false;
    const TreeWatch::Changes changes = watch.Take();
    if (scanned && !changes.folders && changes.files.empty())
        return table;
    if (changes.folders)
        watch.Rewatch(ToNativePath(options.root));
    if (changes.unknown)
        reference.Clear();
    for (const std::wstring& file : changes.files)
        reference.RemoveSegmentsFrom(file, 0);
    reference.Scan(options.root, {});
    table = reference.Snapshot();
    scanned = true;
    return table;
}

// How many segments the table holds for the file path: its names all begin with path + "#", so
// they lie together in the table's order.
uint64_t SegmentsOf(const FileTreeSummary::Table& table, const std::wstring& path)
{
    const std::wstring prefix = path + L"#";
    uint64_t count = 0;
    for (auto it = table.lower_bound(prefix); it != table.end() && it->first.starts_with(prefix); ++it)
        if (GetSegmentPath(it->first) == path)
            ++count;
    return count;
}

// What the reference folder has that the client's table lacks, in table order. Segments of ROOT
// are read when they are sent, so the count goes out as soon as the client's summary is in. Both
// tables are in one order, so they are walked side by side.
std::vector<Record> Diff(const Options& options, const FileTreeSummary::Table& client)
{
    const FileTreeSummary::Table& ours = Reference(options);
    const FileTreeSummary::ExclusionSet managed{options.managed.begin(), options.managed.end()};
    const Utf16Order before;

    std::map<std::wstring, bool, Utf16Order> send; // name -> whole segment (else a cut or delete)
    auto mine = ours.begin();
    for (auto theirs = client.begin(); theirs != client.end() || mine != ours.end();)
    {
        if (theirs == client.end() || (mine != ours.end() && before(mine->first, theirs->first)))
        {
            send[mine->first] = true; // the client lacks it
            ++mine;
            continue;
        }
        if (mine != ours.end() && !before(theirs->first, mine->first))
        {
            if (mine->second.checksum != theirs->second.checksum)
                send[mine->first] = true;
            ++mine;
            ++theirs;
            continue;
        }
        // A segment of the client's that ROOT lacks: past the end of ROOT's file, or a file ROOT lacks.
        const std::wstring path = GetSegmentPath(theirs->first);
        if (const uint64_t segments = SegmentsOf(ours, path); segments > 0)
        {
            if (uint64_t(GetSegmentIndex(theirs->first)) >= segments)
                send.try_emplace(MakeSegmentName(path, segments), false);
        }
        else if (GetSegmentIndex(theirs->first) == 0 && FileTreeSummary::IsExcluded(theirs->first, managed))
            send[theirs->first] = false;
        ++theirs;
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
    SocketReader in(fd);
    uint32_t version = 0;
    if (!in.ReadU32(version))
        return Log("connection closed before the version");
    Log("received version %u", version);
    if (options.fault == "no-version")
        return Log("closing without a version");
    std::vector<uint8_t> reply;
    LumoNet::AppendU32(reply, options.fault == "version" ? 5 : 6);
    if (!SendAll(fd, reply, reply.size()) || options.fault == "version")
        return;

    FileTreeSummary::Table client;
    if (!ReadClientSummary(in, client))
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
    Reference(options);
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
