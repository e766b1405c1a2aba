#pragma once
// Byte locks and the name check on a shared-memory file (under /dev/shm), used by the named
// objects and shared memory to count their users: open file description locks, so every handle
// in one process counts on its own.
#include <sys/types.h>

#include <string>

namespace platform
{

// Sets (F_RDLCK, F_WRLCK) or clears (F_UNLCK) a lock on one byte of fd, waiting for it when wait
// is true; retried on EINTR. False with errno set when the lock cannot be had.
bool LockByte(int fd, short type, off_t byte, bool wait);

// Whether another open file description holds a lock on the byte that conflicts with type.
bool OtherHolds(int fd, short type, off_t byte);

// Whether fd is still the file that shmName refers to (a last closer may have removed it between
// our open and our lock).
bool StillNamed(int fd, const std::string& shmName);

} // namespace platform
