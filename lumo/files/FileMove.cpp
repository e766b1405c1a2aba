// Moving and copying whole files: the "is it in use" probe, the no-replace rename and the
// committed copy that a move across file systems needs.

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "lumo/files/FileUtil.h"
#include "platform/FileInUse.h"
#include "platform/LastError.h"
#include "platform/NativePath.h"

namespace
{
// rename that never replaces an existing target. File systems without the no-replace flag get a
// hard link and an unlink, which fail on an existing target just the same.
bool RenameNoReplace(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    if (::link(from.c_str(), to.c_str()) != 0)
        return false;
    if (::unlink(from.c_str()) != 0)
    {
        const int error = errno;
        ::unlink(to.c_str());
        errno = error;
        return false;
    }
    return true;
}

constexpr uint64_t COMMIT_SLICE = 32ull << 20;

bool CopyBytes(int in, int out, uint64_t size)
{
    // Same file system with shared extents: a clone is instant and takes no space.
    if (::ioctl(out, FICLONE, in) == 0)
        return true;

    uint64_t done = 0;
    bool kernelCopy = true;
    while (done < size && kernelCopy)
    {
        // In slices, each handed to the disk as soon as it is copied, so that writing back
        // overlaps the copy and the final commit has little left to wait for.
        const size_t chunk = static_cast<size_t>(std::min<uint64_t>(size - done, COMMIT_SLICE));
        const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, chunk, 0);
        if (copied > 0)
        {
            ::sync_file_range(out, static_cast<off64_t>(done), copied, SYNC_FILE_RANGE_WRITE);
            done += static_cast<uint64_t>(copied);
            continue;
        }
        if (copied == 0)
            return done == size;
        if (errno == EINTR)
            continue;
        if (done == 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP))
            kernelCopy = false;
        else
            return false;
    }
    if (done >= size)
        return true;

    const size_t bufferSize = 1 << 20;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[bufferSize]);
    if (!buffer)
    {
        errno = ENOMEM;
        return false;
    }
    uint64_t queued = 0;
    for (;;)
    {
        const ssize_t got = ::read(in, buffer.get(), bufferSize);
        if (got == 0)
            return true;
        if (got < 0)
        {
            if (errno == EINTR)
                continue;
            return false;
        }
        for (ssize_t put = 0; put < got;)
        {
            const ssize_t written = ::write(out, buffer.get() + put, static_cast<size_t>(got - put));
            if (written < 0)
            {
                if (errno == EINTR)
                    continue;
                return false;
            }
            put += written;
        }
        done += static_cast<uint64_t>(got);
        if (done - queued >= COMMIT_SLICE)
        {
            ::sync_file_range(out, static_cast<off64_t>(queued), static_cast<off64_t>(done - queued), SYNC_FILE_RANGE_WRITE);
            queued = done;
        }
    }
}

bool CopyNative(const std::string& from, const std::string& to)
{
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    struct stat info{};
    if (::fstat(in, &info) != 0 || !S_ISREG(info.st_mode))
    {
        const int error = S_ISREG(info.st_mode) || info.st_mode == 0 ? errno : EINVAL;
        ::close(in);
        errno = error;
        return false;
    }

    // An unpredictable name beside the target, created exclusively.
    const size_t slash = to.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : to.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? to : to.substr(slash + 1);
    std::string temp = folder + "." + base + ".XXXXXX";
    const int out = ::mkostemp(temp.data(), O_CLOEXEC);
    if (out < 0)
    {
        const int error = errno;
        ::close(in);
        errno = error;
        return false;
    }

    bool ok = CopyBytes(in, out, static_cast<uint64_t>(info.st_size)) &&
              ::fchmod(out, info.st_mode & 07777) == 0 && ::fsync(out) == 0;
    int error = errno;
    if (::close(out) != 0 && ok)
    {
        ok = false;
        error = errno;
    }
    ::close(in);
    if (ok && RenameNoReplace(temp, to))
        return true;
    if (ok)
        error = errno;
    ::unlink(temp.c_str());
    errno = error;
    return false;
}
}

namespace LumoUtil
{

bool CopyFileCommitted(std::wstring from, std::wstring to)
{
    if (CopyNative(ToNativePath(from), ToNativePath(to)))
        return true;
    platform::SetLastErrorFromErrno(errno);
    return false;
}

bool MoveFileIfUnused(std::wstring from, std::wstring to)
{
    const std::string source = ToNativePath(from);
    const std::string target = ToNativePath(to);

    // The open for writing fails on a missing file, a folder and a link.
    const int fd = ::open(source.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
    {
        platform::SetLastErrorFromErrno(errno);
        return false;
    }
    struct stat info{};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || (info.st_mode & S_IWUSR) == 0)
    {
        ::close(fd);
        platform::SetLastError(platform::kErrorAccessDenied);
        return false;
    }
    ::close(fd);
    // Our own descriptor is closed first: it would count as a holder. Where the probe cannot tell
    // (no lease support), the file counts as unused.
    if (platform::ProbeFileInUse(source) == platform::FileUse::InUse)
    {
        platform::SetLastError(platform::kErrorSharingViolation);
        return false;
    }

    if (RenameNoReplace(source, target))
        return true;
    if (errno != EXDEV)
    {
        platform::SetLastErrorFromErrno(errno);
        return false;
    }
    // Another file system: the copy is on the disk before the original goes.
    if (!CopyNative(source, target))
    {
        platform::SetLastErrorFromErrno(errno);
        return false;
    }
    if (::unlink(source.c_str()) != 0)
    {
        const int error = errno;
        ::unlink(target.c_str());
        platform::SetLastErrorFromErrno(error);
        return false;
    }
    return true;
}

}  // namespace LumoUtil
