#include "app/core/FileBytes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/NativePath.h"

bool ReadFileBytes(const std::wstring& path, std::string& bytes, size_t maxBytes)
{
    std::wstring ignored;
    return ReadFileBytes(path, bytes, ignored, maxBytes);
}

bool ReadFileBytes(const std::wstring& path, std::string& bytes, std::wstring& why, size_t maxBytes)
{
    bytes.clear();
    // Without blocking: a FIFO named by mistake must not hold the start-up.
    const int fd = ::open(ToNativePath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
    {
        why = FromNativePath(std::strerror(errno));
        return false;
    }
    struct stat status{};
    bool ok = false;
    if (::fstat(fd, &status) != 0)
        why = FromNativePath(std::strerror(errno));
    else if (S_ISDIR(status.st_mode))
        why = L"it is a folder";
    else if (!S_ISREG(status.st_mode))
        why = L"it is not a regular file";
    else if (uint64_t(status.st_size) > maxBytes)
        why = L"it is larger than " + std::to_wstring(maxBytes) + L" bytes";
    else
    {
        ok = true;
        char buffer[65536];
        for (ssize_t n; ok && (n = ::read(fd, buffer, sizeof buffer)) != 0;)
        {
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 || bytes.size() + size_t(n) > maxBytes)
            {
                why = n < 0 ? FromNativePath(std::strerror(errno))
                            : L"it is larger than " + std::to_wstring(maxBytes) + L" bytes";
                ok = false;
                break;
            }
            bytes.append(buffer, size_t(n));
        }
    }
    ::close(fd);
    if (!ok)
        bytes.clear();
    return ok;
}
