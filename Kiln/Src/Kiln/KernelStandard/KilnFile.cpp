#include "Kiln/Src/Kiln/KernelStandard/KilnFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Kiln/Src/Kiln/KernelStandard/BytePairCodec.h"
#include "Kiln/Src/Kiln/KernelStandard/KilnException.h"
#include "platform/WriteFully.h"

namespace Kiln
{

namespace
{

// The source place the kernel's file errors have always named.
constexpr const char* kSourcePlace = "Kiln\\Src\\Kiln\\KernelStandard\\File";
constexpr uint8_t kMagic[4] = {'C', 'F', 'I', 'L'};

std::atomic<uint32_t> g_tempCounter{0};

void PutU32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t GetU32(const uint8_t* p)
{
    return p[0] | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

std::string FolderOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

File::File() = default;

File::~File()
{
    Close();
}

void File::Fail(const std::string& what)
{
    m_error = m_name + ": " + what;
}

bool File::Open(const char* path, OpenMode mode)
{
    Close();
    m_name = path ? path : "";
    m_error.clear();
    int flags = O_CLOEXEC;
    switch (mode)
    {
    case OpenMode::Read:
    case OpenMode::CompressedRead:
        flags |= O_RDONLY;
        break;
    case OpenMode::Write:
        flags |= O_WRONLY | O_CREAT | O_TRUNC;
        break;
    case OpenMode::CompressedWrite:
        // Read back at Close to build the container.
        flags |= O_RDWR | O_CREAT | O_TRUNC;
        break;
    }
    const int fd = ::open(m_name.c_str(), flags, 0666);
    if (fd < 0)
    {
        Fail(std::string("cannot open: ") + std::strerror(errno));
        return false;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || info.st_size > 0xFFFFFFFFLL)
    {
        ::close(fd);
        Fail("files of 4 GiB and more are not supported");
        return false;
    }
    m_fd = fd;
    m_buffer.reset(new uint8_t[kBufferSize]);
    m_cursor = m_fill = m_bufferStart = m_position = m_dirty = m_dataStart = m_recordPos = 0;
    m_size = static_cast<uint32_t>(info.st_size);
    m_mode = mode == OpenMode::Write ? kWritePlain : mode == OpenMode::CompressedWrite ? kWriteCompressed : 0;
    if (mode == OpenMode::CompressedRead)
    {
        m_mode = kReadCompressed;
        m_packed.reset(new uint8_t[kBufferSize]);
        if (!CheckContainer())
        {
            ::close(m_fd);
            m_fd = -1;
            m_mode = 0;
            return false;
        }
    }
    return true;
}

// Walks the record chain once: every record must lie inside the file, cover the part of the
// file the header's size gives it, and the chain must end exactly at the end of the file.
bool File::CheckContainer()
{
    const uint64_t fileLength = m_size;
    uint8_t header[kHeaderSize];
    if (fileLength < kHeaderSize || !ReadAt(0, header, kHeaderSize))
    {
        Fail("not a CFIL container: shorter than its 12-byte header");
        return false;
    }
    if (std::memcmp(header, kMagic, 4) != 0)
    {
        Fail("not a CFIL container: the magic is not \"CFIL\"");
        return false;
    }
    if (GetU32(header + 4) != kContainerVersion)
    {
        Fail("CFIL container of unknown version " + std::to_string(GetU32(header + 4)));
        return false;
    }
    const uint32_t size = GetU32(header + 8);
    uint64_t record = kHeaderSize;
    uint64_t logical = 0;
    while (logical < size)
    {
        const uint32_t expected = static_cast<uint32_t>(std::min<uint64_t>(kBufferSize, size - logical));
        uint8_t h[2];
        if (record + 2 > fileLength || !ReadAt(record, h, 2))
        {
            Fail("damaged CFIL container: the record at offset " + std::to_string(record) + " is missing (size " +
                 std::to_string(size) + ")");
            return false;
        }
        const uint32_t value = h[0] | (static_cast<uint32_t>(h[1]) << 8);
        const uint32_t stored = value & 0x7FFF;
        const bool raw = (value & 0x8000) != 0;
        if ((raw && stored != expected) || (!raw && (stored == 0 || stored > kBufferSize)))
        {
            Fail("damaged CFIL container: the record at offset " + std::to_string(record) + " has header " +
                 std::to_string(value) + " for a chunk of " + std::to_string(expected) + " bytes");
            return false;
        }
        record += 2 + stored;
        if (record > fileLength)
        {
            Fail("damaged CFIL container: the record at offset " + std::to_string(record - 2 - stored) +
                 " runs past the end of the file");
            return false;
        }
        logical += expected;
    }
    if (record != fileLength)
    {
        Fail("damaged CFIL container: " + std::to_string(fileLength - record) +
             " bytes follow the last record");
        return false;
    }
    m_size = size;
    m_dataStart = kHeaderSize;
    m_recordPos = kHeaderSize;
    return true;
}

bool File::WriteAt(uint64_t offset, const uint8_t* data, size_t length)
{
    while (length > 0)
    {
        const ssize_t n = ::pwrite(m_fd, data, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
        {
            Fail(std::string("write failed: ") + (n < 0 ? std::strerror(errno) : "nothing written"));
            return false;
        }
        data += n;
        offset += static_cast<uint64_t>(n);
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool File::ReadAt(uint64_t offset, uint8_t* data, size_t length)
{
    if (handler)
        handler->BeforeRead(*this);
    ++m_readCount;
    bool ok = true;
    while (length > 0)
    {
        const ssize_t n = ::pread(m_fd, data, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
        {
            ok = false;
            break;
        }
        data += n;
        offset += static_cast<uint64_t>(n);
        length -= static_cast<size_t>(n);
    }
    if (handler)
        handler->AfterRead(*this);
    return ok;
}

uint32_t File::Write(const void* data, uint32_t length)
{
    if (!IsOpen())
        throw FileEx(kSourcePlace, 2130, "Write() File not open");
    if ((m_mode & 0x0F) == 0)
        throw FileEx(kSourcePlace, 2134, "Write() File not open for writing");
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t remaining = length;
    while (remaining > 0)
    {
        if (remaining >= kBufferSize || m_cursor == kBufferSize)
        {
            if (m_fill > 0 && !Flush())
                break;
            // Large pieces bypass the buffer.
            if (!WriteAt(static_cast<uint64_t>(m_dataStart) + m_position, p, remaining))
                break;
            m_position += remaining;
            m_bufferStart = m_position;
            p += remaining;
            remaining = 0;
        }
        else
        {
            const uint32_t n = std::min(remaining, kBufferSize - m_cursor);
            std::memcpy(m_buffer.get() + m_cursor, p, n);
            m_cursor += n;
            m_position += n;
            m_fill = std::max(m_fill, m_cursor);
            m_dirty += n;
            p += n;
            remaining -= n;
            if (m_cursor == kBufferSize && !Flush())
                break;
        }
        m_size = std::max(m_size, m_position);
    }
    m_size = std::max(m_size, m_position);
    return length - remaining;
}

bool File::Flush()
{
    if (!IsOpen() || m_dirty == 0)
        return true;
    const bool ok = WriteAt(static_cast<uint64_t>(m_dataStart) + m_bufferStart, m_buffer.get(), m_fill);
    m_fill = m_dirty = m_cursor = 0;
    m_bufferStart = m_position;
    return ok;
}

bool File::Commit()
{
    if (!Flush())
        return false;
    if (::fsync(m_fd) != 0)
    {
        Fail(std::string("cannot commit to disk: ") + std::strerror(errno));
        return false;
    }
    return true;
}

bool File::FillPlain()
{
    const uint32_t want = m_position >= m_size ? 0 : std::min(kBufferSize, m_size - m_position);
    m_bufferStart = m_position;
    m_cursor = m_fill = 0;
    if (want == 0 || !ReadAt(static_cast<uint64_t>(m_dataStart) + m_position, m_buffer.get(), want))
        return false;
    m_fill = want;
    return true;
}

uint32_t File::Read(void* data, uint32_t length)
{
    if (!IsOpen() || (m_mode & 0x0F) != 0)
        return 0;
    uint8_t* out = static_cast<uint8_t*>(data);
    uint32_t done = 0;
    while (done < length && m_position < m_size)
    {
        const bool inBuffer = m_fill > 0 && m_position >= m_bufferStart && m_position < m_bufferStart + m_fill;
        if (!inBuffer)
        {
            if (m_mode == kReadCompressed ? Seek(m_position) == kSeekFailed : !FillPlain())
                break;
        }
        m_cursor = m_position - m_bufferStart;
        const uint32_t n = std::min(length - done, m_fill - m_cursor);
        std::memcpy(out + done, m_buffer.get() + m_cursor, n);
        done += n;
        m_position += n;
        m_cursor += n;
    }
    return done;
}

uint32_t File::Seek(uint32_t position)
{
    if ((m_mode & 0x0F) == kWriteCompressed)
        throw FileEx(kSourcePlace, 2336, "Seek() Can't seek writing compressed file");
    Flush();
    if (m_mode != kReadCompressed || position >= m_size)
    {
        m_position = position;
        m_bufferStart = position;
        m_cursor = m_fill = 0;
        return position;
    }
    if (m_fill > 0 && position >= m_bufferStart && position < m_bufferStart + m_fill)
    {
        m_cursor = position - m_bufferStart;
        m_position = position;
        return position;
    }
    if (!LoadChunk(position))
    {
        m_size = 0;
        m_fill = m_cursor = 0;
        return kSeekFailed;
    }
    return position;
}

// Walks the records from the one after the buffered chunk when position lies beyond it, else
// from the first, and loads the chunk that holds position.
bool File::LoadChunk(uint32_t position)
{
    uint64_t logical = 0;
    uint64_t record = m_dataStart;
    if (m_fill > 0 && position >= m_bufferStart + m_fill)
    {
        logical = static_cast<uint64_t>(m_bufferStart) + m_fill;
        record = m_recordPos;
    }
    m_fill = 0;
    for (;;)
    {
        uint8_t h[2];
        if (logical >= m_size || !ReadAt(record, h, 2))
        {
            Fail("short read in the record at offset " + std::to_string(record));
            return false;
        }
        const uint32_t value = h[0] | (static_cast<uint32_t>(h[1]) << 8);
        const bool raw = (value & 0x8000) != 0;
        const uint32_t stored = raw ? value & 0x7FFF : value;
        const uint32_t covers = raw ? stored : static_cast<uint32_t>(std::min<uint64_t>(kBufferSize, m_size - logical));
        if (covers == 0 || stored > kBufferSize)
        {
            Fail("damaged record at offset " + std::to_string(record));
            return false;
        }
        if (position < logical + covers)
        {
            if (raw)
            {
                if (!ReadAt(record + 2, m_buffer.get(), stored))
                {
                    Fail("short read in the record at offset " + std::to_string(record));
                    return false;
                }
            }
            else if (!ReadAt(record + 2, m_packed.get(), stored) ||
                     ExpandBlockBPE(m_buffer.get(), m_packed.get(), stored, kBufferSize) != covers)
            {
                Fail("the record at offset " + std::to_string(record) + " does not expand to " +
                     std::to_string(covers) + " bytes");
                return false;
            }
            m_bufferStart = static_cast<uint32_t>(logical);
            m_fill = covers;
            m_cursor = static_cast<uint32_t>(position - logical);
            m_position = position;
            m_recordPos = static_cast<uint32_t>(record + 2 + stored);
            return true;
        }
        logical += covers;
        record += 2 + stored;
    }
}

int File::Close()
{
    if (!IsOpen())
        return 0;
    int result = Flush() ? 0 : -1;
    if (handler)
        handler->CloseFile(*this);
    if ((m_mode & 0x0F) == kWriteCompressed && result == 0)
    {
        result = PackOnClose();
    }
    else if (::close(m_fd) != 0 && (m_mode & 0x0F) != 0)
    {
        Fail(std::string("close failed: ") + std::strerror(errno));
        result = -1;
    }
    m_fd = -1;
    m_mode = 0;
    m_fill = m_cursor = m_dirty = 0;
    m_buffer.reset();
    m_packed.reset();
    return result;
}

// Packs the plain file into a container written beside it under a hidden name, then renames
// the container over it. Until the rename the plain file is untouched; on any failure the
// temporary file is removed and the plain file stays.
int File::PackOnClose()
{
    const int source = m_fd;
    struct stat info;
    if (::fstat(source, &info) != 0 || info.st_size > 0xFFFFFFFFLL)
    {
        Fail("cannot take the length of the file to pack");
        ::close(source);
        return -1;
    }
    const uint32_t length = static_cast<uint32_t>(info.st_size);
    char tempName[32];
    std::snprintf(tempName, sizeof tempName, ".%08X.T%08X", static_cast<unsigned>(::getpid()),
                  static_cast<unsigned>(g_tempCounter.fetch_add(1)));
    const std::string tempPath = FolderOf(m_name) + tempName;
    const int target = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                              info.st_mode & 07777);
    if (target < 0)
    {
        Fail("cannot create " + tempPath + ": " + std::strerror(errno));
        ::close(source);
        return -1;
    }
    std::vector<uint8_t> chunk(kBufferSize);
    std::vector<uint8_t> out;
    out.reserve(4 * (kBufferSize + 2));
    out.insert(out.end(), kMagic, kMagic + 4);
    out.resize(kHeaderSize);
    PutU32(out.data() + 4, kContainerVersion);
    PutU32(out.data() + 8, length);
    bool ok = true;
    std::string failure;
    for (uint32_t done = 0; ok && done < length;)
    {
        const uint32_t n = std::min(kBufferSize, length - done);
        if (!ReadAt(done, chunk.data(), n))
        {
            ok = false;
            failure = "cannot read back the file to pack";
            break;
        }
        const uint32_t p = CompressBlockBPE(m_buffer.get(), chunk.data(), n);
        const uint32_t header = p != n ? p : (n | 0x8000);
        out.push_back(static_cast<uint8_t>(header));
        out.push_back(static_cast<uint8_t>(header >> 8));
        out.insert(out.end(), m_buffer.get(), m_buffer.get() + p);
        done += n;
        if (out.size() >= 3 * kBufferSize || done == length)
        {
            if (!platform::WriteFully(target, out.data(), out.size()))
            {
                ok = false;
                failure = "cannot write " + tempPath + ": " + std::strerror(errno);
            }
            out.clear();
        }
    }
    if (ok && length == 0 && !platform::WriteFully(target, out.data(), out.size()))
    {
        ok = false;
        failure = "cannot write " + tempPath + ": " + std::strerror(errno);
    }
    if (ok && ::fsync(target) != 0)
    {
        ok = false;
        failure = "cannot commit " + tempPath + ": " + std::strerror(errno);
    }
    if (::close(target) != 0 && ok)
    {
        ok = false;
        failure = "cannot close " + tempPath + ": " + std::strerror(errno);
    }
    if (ok && ::rename(tempPath.c_str(), m_name.c_str()) != 0)
    {
        ok = false;
        failure = "cannot rename " + tempPath + " over the file: " + std::strerror(errno);
    }
    ::close(source);
    if (!ok)
    {
        ::unlink(tempPath.c_str());
        Fail(failure + " (the file is left unpacked)");
        return -1;
    }
    // Make the rename itself durable.
    const std::string folder = FolderOf(m_name);
    const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0)
    {
        ::fsync(dir);
        ::close(dir);
    }
    return 0;
}

}  // namespace Kiln
