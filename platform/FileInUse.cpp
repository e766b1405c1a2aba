#include "platform/FileInUse.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/DebugOutput.h"
#include "platform/LastError.h"

namespace platform
{

namespace
{

std::atomic<bool> g_reportedUnknown{false};

FileUse Unknown(const std::string& path, int error)
{
    SetLastErrorFromErrno(error);
    if (!g_reportedUnknown.exchange(true))
        WriteDebugOutput("FileInUse> cannot tell whether " + path + " is in use (" + strerror(error) +
                         "); treating such files as unused\n");
    return FileUse::Unknown;
}

}  // namespace

FileUse ProbeFileInUse(const std::string& path)
{
    // Non-blocking, so that a FIFO never stalls the probe; read-only, so that the probe itself
    // needs no write permission.
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
    {
        int error = errno;
        if (error == ENOENT || error == ENOTDIR)
        {
            SetLastErrorFromErrno(error);
            return FileUse::Unknown;
        }
        return Unknown(path, error);
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    {
        close(fd);
        return Unknown(path, EINVAL);
    }
    FileUse result = FileUse::NotInUse;
    if (fcntl(fd, F_SETLEASE, F_WRLCK) == 0)
    {
        fcntl(fd, F_SETLEASE, F_UNLCK);
    }
    else if (errno == EAGAIN || errno == EBUSY)
    {
        SetLastError(kErrorSharingViolation);
        result = FileUse::InUse;
    }
    else
    {
        result = Unknown(path, errno);
    }
    close(fd);
    return result;
}

}  // namespace platform
