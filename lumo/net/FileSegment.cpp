#include "lumo/net/FileSegment.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lumo/files/UniqueFd.h"
#include "lumo/net/ConsoleLine.h"
#include "lumo/net/SegmentCrc.h"
#include "lumo/net/SegmentName.h"
#include "platform/NativePath.h"

namespace
{

bool ReadFully(int fd, uint8_t* data, size_t length, uint64_t offset)
{
    while (length > 0)
    {
        const ssize_t n = ::pread(fd, data, length, off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = 0; // the file ended early: no system reason
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
    // Only the regular file scanned or written: a link or a FIFO put in its place meanwhile is
    // neither followed nor waited for.
    LumoUtil::UniqueFd file(::open(ToNativePath(GetSegmentPath(segmentPath)).c_str(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    return ReadFileSegmentAt(file.Get(), uint64_t(GetSegmentIndex(segmentPath)), segmentPath, out);
}

bool ReadFileSegmentAt(int fd, uint64_t index, const std::wstring& shownPath, std::vector<uint8_t>& out)
{
    const uint64_t start = index * LumoUtil::kSegmentSize;
    uint64_t end = start + LumoUtil::kSegmentSize;
    struct stat status{};
    if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
    {
        LumoNet::PrintConsoleLine("%s cannot be read: it is no longer a readable file\n",
                                  LumoNet::ShownPath(GetSegmentPath(shownPath)).c_str());
        return false;
    }
    if (uint64_t(status.st_size) < end)
        end = uint64_t(status.st_size);
    if (end < start)
    {
        LumoNet::PrintConsoleLine("%s is shorter than the segment that was to be read\n",
                                  LumoNet::ShownPath(GetSegmentPath(shownPath)).c_str());
        return false;
    }
    out.resize(size_t(end - start));
    if (!ReadFully(fd, out.data(), out.size(), start))
    {
        const int reason = errno;
        out.clear();
        LumoNet::PrintConsoleLine("%s cannot be read: %s\n", LumoNet::ShownPath(GetSegmentPath(shownPath)).c_str(),
                                  reason != 0 ? std::strerror(reason) : "the file ended early");
        return false;
    }
    return true;
}

uint32_t ComputeSegmentChecksum(const std::wstring& segmentPath)
{
    LumoUtil::UniqueFd file(::open(ToNativePath(GetSegmentPath(segmentPath)).c_str(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    return ComputeSegmentChecksumAt(file.Get(), uint64_t(GetSegmentIndex(segmentPath)), segmentPath);
}

uint32_t ComputeSegmentChecksumAt(int fd, uint64_t index, const std::wstring& shownPath)
{
    // One line per segment of every scan: a developer's trace, not what a user reads.
    LumoNet::PrintDebugLine(" Checksum %s ..\n", LumoNet::ShownSlashPath(shownPath).c_str());
    // One segment buffer per scanning thread, reused from segment to segment.
    thread_local std::vector<uint8_t> segment;
    if (!ReadFileSegmentAt(fd, index, shownPath, segment))
        return 0;
    return LumoUtil::SegmentChecksumOf(segment.data(), segment.size());
}

bool SegmentBeginsWithZeroByte(const std::wstring& segmentPath)
{
    const uint64_t start = uint64_t(GetSegmentIndex(segmentPath)) * LumoUtil::kSegmentSize;
    LumoUtil::UniqueFd file(::open(ToNativePath(GetSegmentPath(segmentPath)).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    uint8_t first = 1;
    return file.Get() >= 0 && ReadFully(file.Get(), &first, 1, start) && first == 0;
}
