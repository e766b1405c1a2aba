#include "platform/SharedMemory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/LastError.h"
#include "platform/NamedObjects.h"
#include "platform/ShmFile.h"

namespace platform
{

namespace
{

constexpr off_t kPresenceByte = 0;

bool LockPresence(int fd, short type, bool wait)
{
    return LockByte(fd, type, kPresenceByte, wait);
}

std::unique_ptr<SharedMemory> Fail(int fd)
{
    SetLastErrorFromErrno(errno);
    close(fd);
    return nullptr;
}

}  // namespace

SharedMemory::SharedMemory(int fd, void* view, uint32_t size, std::string shmName)
    : m_fd(fd), m_view(view), m_size(size), m_shmName(std::move(shmName))
{
}

std::unique_ptr<SharedMemory> SharedMemory::Open(const std::string& name, uint32_t size, bool& created)
{
    created = false;
    if (size == 0)
    {
        SetLastError(kErrorInvalidParameter);
        return nullptr;
    }
    const std::string shmName = SharedObjectName(name) + "~map";
    for (int attempt = 0; attempt < 100; ++attempt)
    {
        const int fd = shm_open(shmName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0)
        {
            SetLastErrorFromErrno(errno);
            return nullptr;
        }
        const bool alone = LockPresence(fd, F_WRLCK, false);
        // Not alone: wait out an opener that is making the block, or a closer that is removing it.
        if (!alone && ((errno != EAGAIN && errno != EACCES) || !LockPresence(fd, F_RDLCK, true)))
            return Fail(fd);
        if (!StillNamed(fd, shmName))
        {
            close(fd);
            continue;
        }
        if (alone)
        {
            // Whatever the file holds was left by a process that died: start from zero bytes.
            if (ftruncate(fd, 0) != 0 || ftruncate(fd, size) != 0 || !LockPresence(fd, F_RDLCK, false))
                return Fail(fd);
        }
        else
        {
            struct stat st;
            if (fstat(fd, &st) != 0)
                return Fail(fd);
            if (st.st_size < static_cast<off_t>(size))
            {
                close(fd);
                SetLastError(kErrorInvalidParameter);
                return nullptr;
            }
        }
        void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (view == MAP_FAILED)
        {
            // Our presence lock goes with the descriptor; a block we made is left for the next.
            return Fail(fd);
        }
        created = alone;
        SetLastError(alone ? kErrorSuccess : kErrorAlreadyExists);
        return std::unique_ptr<SharedMemory>(new SharedMemory(fd, view, size, shmName));
    }
    SetLastError(kErrorBusy);
    return nullptr;
}

SharedMemory::~SharedMemory()
{
    munmap(m_view, m_size);
    // Last one out: the name goes with us, so nothing is left in /dev/shm.
    if (LockPresence(m_fd, F_WRLCK, false))
        shm_unlink(m_shmName.c_str());
    close(m_fd);
}

}  // namespace platform
