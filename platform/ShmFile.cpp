#include "platform/ShmFile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace platform
{

bool LockByte(int fd, short type, off_t byte, bool wait)
{
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    for (;;)
    {
        if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

bool OtherHolds(int fd, short type, off_t byte)
{
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    return fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
}

bool StillNamed(int fd, const std::string& shmName)
{
    struct stat byFd, byName;
    const std::string path = "/dev/shm" + shmName;
    return fstat(fd, &byFd) == 0 && stat(path.c_str(), &byName) == 0 && byFd.st_ino == byName.st_ino &&
           byFd.st_dev == byName.st_dev;
}

} // namespace platform
