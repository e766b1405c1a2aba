#include "lumo/net/FileSegment.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "lumo/net/ConsoleLine.h"
#include "lumo/net/SegmentCrc.h"
#include "lumo/net/SegmentName.h"
#include "platform/NativePath.h"

namespace
{
class FileDescriptor
{
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

bool ReadFully(int fd, uint8_t* data, size_t length, uint64_t offset)
{
    while (length > 0)
    {
        const ssize_t n = ::pread(fd, data, length, off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= size_t(n);
        offset += uint64_t(n);
    }
    return true;
}
} // namespace

bool ReadFileSegment(const std::wstring& segmentPath, std::vector<uint8_t>& out)
{
    const std::wstring path = GetSegmentPath(segmentPath);
    const uint64_t start = uint64_t(GetSegmentIndex(segmentPath)) * LumoUtil::kSegmentSize;
    uint64_t end = start + LumoUtil::kSegmentSize;
    const std::string narrow = LumoNet::ShownPath(path);

    // Only the regular file scanned or written: a link or a FIFO put in its place meanwhile is
    // neither followed nor waited for.
    FileDescriptor file(::open(ToNativePath(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status{};
    if (file.Get() < 0 || ::fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode))
    {
        LumoNet::PrintConsoleLine("ReadFileSegment> unabled to open file: %s\n", narrow.c_str());
        return false;
    }
    if (uint64_t(status.st_size) < end)
        end = uint64_t(status.st_size);
    if (end < start)
    {
        LumoNet::PrintConsoleLine("ReadFileSegment> segment past end of file for: %s\n", narrow.c_str());
        return false;
    }
    out.resize(size_t(end - start));
    if (!ReadFully(file.Get(), out.data(), out.size(), start))
    {
        out.clear();
        LumoNet::PrintConsoleLine("ReadFileSegment> unabled to read from file: %s\n", narrow.c_str());
        return false;
    }
    return true;
}

uint32_t ComputeSegmentChecksum(const std::wstring& segmentPath)
{
    // One line per segment of every scan: a developer's trace, not what a user reads.
    LumoNet::PrintDebugLine(" Checksum %s ..\n", LumoNet::ShownSlashPath(segmentPath).c_str());
    // One segment buffer per scanning thread, reused from segment to segment.
    thread_local std::vector<uint8_t> segment;
    if (!ReadFileSegment(segmentPath, segment))
        return 0;
    return LumoUtil::SegmentChecksumOf(segment.data(), segment.size());
}

bool SegmentBeginsWithZeroByte(const std::wstring& segmentPath)
{
    const uint64_t start = uint64_t(GetSegmentIndex(segmentPath)) * LumoUtil::kSegmentSize;
    FileDescriptor file(::open(ToNativePath(GetSegmentPath(segmentPath)).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    uint8_t first = 1;
    return file.Get() >= 0 && ReadFully(file.Get(), &first, 1, start) && first == 0;
}
