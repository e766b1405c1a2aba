#include "lumo/buffers/LumoDataBufferFile.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "lumo/diagnostics/SystemLog.h"
#include "platform/NativePath.h"

namespace
{
// As large as a copy block: stdio's default 4 KiB buffer splits every large write into a 4 KiB
// top-up and the rest, twice the system calls for a block copy.
constexpr size_t kStreamBuffer = 1 << 17;

// A stream over the open descriptor fd (taken over: closed on failure); folders are refused.
FILE* StreamOf(int fd, const char* streamMode)
{
    if (fd < 0)
        return nullptr;
    struct stat info;
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode))
    {
        ::close(fd);
        return nullptr;
    }
    FILE* file = ::fdopen(fd, streamMode);
    if (file == nullptr)
        ::close(fd);
    return file;
}

// Opens path as the access mode asks, close-on-exec, and refuses folders. Mode 2 opens an existing
// file and creates a missing one in a single call, so no other failure can ever lead to a
// truncating open of a file that exists.
FILE* OpenStream(const std::string& path, uint32_t mode)
{
    // A NUL inside the name would make the OS open a shorter name.
    if (path.find('\0') != std::string::npos)
        return nullptr;
    int flags = O_CLOEXEC;
    const char* streamMode = "rb";
    switch (mode)
    {
    case LumoDataBufferFile::MODE_READ:
        flags |= O_RDONLY;
        break;
    case LumoDataBufferFile::MODE_WRITE:
        flags |= O_WRONLY | O_CREAT | O_TRUNC;
        streamMode = "wb";
        break;
    case LumoDataBufferFile::MODE_WRITE_KEEP:
        flags |= O_RDWR | O_CREAT;
        streamMode = "r+b";
        break;
    default:
        flags |= O_RDWR;
        streamMode = "r+b";
        break;
    }
    return StreamOf(::open(path.c_str(), flags, 0666), streamMode);
}

// The commit half of a flush. Devices and pipes cannot be synced; for them there is nothing more
// to commit than what the flush handed over.
bool CommitToDisk(FILE* file)
{
    if (::fsync(::fileno(file)) == 0)
        return true;
    return errno == EINVAL || errno == EROFS;
}
}

LumoDataBufferFile::LumoDataBufferFile(std::wstring path, uint32_t mode) : m_mode(mode)
{
    if (mode > MODE_READ_WRITE)
    {
        WriteConsoleText(ToNativePath(path) + " is not opened: the access mode " + std::to_string(mode) + " is unknown\n");
        return;
    }
    Start(OpenStream(ToNativePath(path), mode));
}

LumoDataBufferFile::LumoDataBufferFile(int fd, uint32_t mode) : m_mode(mode)
{
    if (mode > MODE_READ_WRITE)
    {
        WriteConsoleText("A file is not opened: the access mode " + std::to_string(mode) + " is unknown\n");
        if (fd >= 0)
            ::close(fd);
        return;
    }
    Start(StreamOf(fd, mode == MODE_READ ? "rb" : mode == MODE_WRITE ? "wb" : "r+b"));
}

void LumoDataBufferFile::Start(FILE* file)
{
    const uint32_t mode = m_mode;
    m_file = file;
    if (m_file == nullptr)
        return;
    m_streamBuffer.reset(new (std::nothrow) char[kStreamBuffer]);
    if (m_streamBuffer)
        std::setvbuf(m_file, m_streamBuffer.get(), _IOFBF, kStreamBuffer);
    m_commit = mode != MODE_READ;
    if (mode != MODE_WRITE)
    {
        // A stream that cannot seek (a pipe) stays usable front to back with size 0.
        if (::fseeko(m_file, 0, SEEK_END) == 0)
        {
            const off_t end = ::ftello(m_file);
            if (end > 0)
                m_size = static_cast<uint64_t>(end);
            ::fseeko(m_file, 0, SEEK_SET);
        }
        m_lastOpWasRead = true;
    }
}

LumoDataBufferFile::~LumoDataBufferFile()
{
    if (m_file != nullptr)
        std::fclose(m_file);
}

uint64_t LumoDataBufferFile::GetSize() const
{
    return m_size;
}

uint64_t LumoDataBufferFile::GetPosition() const
{
    return m_position.load(std::memory_order_relaxed);
}

LUMORESULT LumoDataBufferFile::SetPosition(uint64_t position)
{
    if (m_file == nullptr)
        return LUMORESULT_INVALID_STATE;
    if (position > static_cast<uint64_t>(INT64_MAX) ||
        ::fseeko(m_file, static_cast<off_t>(position), SEEK_SET) != 0)
        return LUMORESULT_IO_ERROR;
    m_position.store(position, std::memory_order_relaxed);
    return LUMORESULT_OK;
}

LUMORESULT LumoDataBufferFile::SetSize(uint64_t size)
{
    if (m_file == nullptr)
        return LUMORESULT_INVALID_STATE;
    // Bytes still in the stream's buffer would otherwise be written after the cut, beyond the new
    // end, and grow the file again.
    if (std::fflush(m_file) != 0)
        return LUMORESULT_IO_ERROR;
    if (size > static_cast<uint64_t>(INT64_MAX) ||
        ::ftruncate(::fileno(m_file), static_cast<off_t>(size)) != 0)
        return LUMORESULT_IO_ERROR;
    SetPosition(std::min(GetPosition(), size));
    m_size = size;
    return LUMORESULT_OK;
}

LUMORESULT LumoDataBufferFile::SwitchDirection()
{
    // Flushing first makes a failed pending write visible here rather than lost inside the seek.
    if (std::fflush(m_file) != 0)
        return LUMORESULT_IO_ERROR;
    if (::fseeko(m_file, static_cast<off_t>(GetPosition()), SEEK_SET) != 0)
        return LUMORESULT_IO_ERROR;
    return LUMORESULT_OK;
}

LUMORESULT LumoDataBufferFile::WriteData(const void* data, uint32_t length)
{
    if (m_file == nullptr)
        return LUMORESULT_INVALID_STATE;
    if (m_mode == MODE_READ)
        return LUMORESULT_NOT_ALLOWED;
    if (length == 0)
        return LUMORESULT_OK;
    if (m_mode == MODE_READ_WRITE && m_lastOpWasRead)
    {
        const LUMORESULT result = SwitchDirection();
        if (result != LUMORESULT_OK)
            return result;
    }
    m_lastOpWasRead = false;
    errno = 0;
    const size_t written = std::fwrite(data, 1, length, m_file);
    const uint64_t position = GetPosition() + written;
    m_position.store(position, std::memory_order_relaxed);
    m_size = std::max(m_size, position);
    return written < length ? NoteWriteFailure(LUMORESULT_IO_ERROR) : LUMORESULT_OK;
}

LUMORESULT LumoDataBufferFile::NoteWriteFailure(LUMORESULT result)
{
    if (m_writeError == 0)
        m_writeError = errno != 0 ? errno : EIO;
    return result;
}

LUMORESULT LumoDataBufferFile::ReadData(void* data, uint32_t length)
{
    if (m_file == nullptr)
        return LUMORESULT_INVALID_STATE;
    if (m_mode == MODE_WRITE || m_mode == MODE_WRITE_KEEP)
        return LUMORESULT_NOT_ALLOWED;
    if (length == 0)
        return LUMORESULT_OK;
    if (m_mode == MODE_READ_WRITE && !m_lastOpWasRead)
    {
        const LUMORESULT result = SwitchDirection();
        if (result != LUMORESULT_OK)
            return result;
    }
    m_lastOpWasRead = true;
    const size_t got = std::fread(data, 1, length, m_file);
    m_position.store(GetPosition() + got, std::memory_order_relaxed);
    return got < length ? LUMORESULT_IO_ERROR : LUMORESULT_OK;
}

void LumoDataBufferFile::Flush()
{
    if (m_file == nullptr)
        return;
    if (std::fflush(m_file) == 0 && m_commit)
        CommitToDisk(m_file);
}

LUMORESULT LumoDataBufferFile::Close()
{
    if (m_file == nullptr)
        return LUMORESULT_INVALID_STATE;
    errno = 0;
    bool stored = std::fflush(m_file) == 0;
    if (stored && m_commit)
        stored = CommitToDisk(m_file);
    if (!stored)
        NoteWriteFailure(LUMORESULT_IO_ERROR);
    if (std::fclose(m_file) != 0)
    {
        stored = false;
        NoteWriteFailure(LUMORESULT_IO_ERROR);
    }
    m_file = nullptr;
    return stored ? LUMORESULT_OK : LUMORESULT_IO_ERROR;
}
